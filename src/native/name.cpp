#include "native/name.hpp"

namespace velkor {

namespace {

// The heads of this library's lists, constant-initialised before any Name.
Name* names_head = nullptr;
KeywordTuple* keywords_head = nullptr;

}  // namespace

Name::Name(const char* text) noexcept : text_(text), next_(names_head) { names_head = this; }

KeywordTuple::KeywordTuple(const char* const* names, std::size_t count) noexcept
    : names_(names), count_(count), next_(keywords_head) {
    keywords_head = this;
}

int Name::intern_all() {
    for (Name* name = names_head; name != nullptr; name = name->next_) {
        if (name->object_ != nullptr) {
            continue;
        }
        name->object_ = PyUnicode_InternFromString(name->text_);
        if (name->object_ == nullptr) {
            return -1;
        }
    }
    for (KeywordTuple* keywords = keywords_head; keywords != nullptr; keywords = keywords->next_) {
        if (keywords->tuple_ != nullptr) {
            continue;
        }
        PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(keywords->count_));
        if (tuple == nullptr) {
            return -1;
        }
        for (std::size_t i = 0; i < keywords->count_; ++i) {
            PyObject* name = PyUnicode_InternFromString(keywords->names_[i]);
            if (name == nullptr) {
                Py_DECREF(tuple);
                return -1;
            }
            PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), name);
        }
        keywords->tuple_ = tuple;
    }
    return 0;
}

}  // namespace velkor
