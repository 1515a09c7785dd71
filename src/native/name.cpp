#include "native/name.hpp"


namespace velkor {

namespace {

std::vector<Name*>& registry() {
    static std::vector<Name*> names;
    return names;
}

std::vector<Keywords*>& keyword_registry() {
    static std::vector<Keywords*> keywords;
    return keywords;
}

}  // namespace

Keywords::Keywords(std::initializer_list<const char*> names) : names_(names) {
    keyword_registry().push_back(this);
}

Name::Name(const char* text) : text_(text) { registry().push_back(this); }

int Name::intern_all() {
    for (Name* name : registry()) {
        if (name->object_ != nullptr) {
            continue;
        }
        name->object_ = PyUnicode_InternFromString(name->text_);
        if (name->object_ == nullptr) {
            return -1;
        }
    }
    for (Keywords* keywords : keyword_registry()) {
        if (keywords->tuple_ != nullptr) {
            continue;
        }
        PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(keywords->names_.size()));
        if (tuple == nullptr) {
            return -1;
        }
        for (std::size_t i = 0; i < keywords->names_.size(); ++i) {
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
