// Text helpers that module code needs again and again: string concatenation,
// replacement and iteration over a mapping's items.  Each mirrors one Python
// expression and raises what that expression raises.
#pragma once

#include <Python.h>

#include <cstring>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "native/calls.hpp"
#include "native/name.hpp"
#include "native/ref.hpp"
#include "native/unpack.hpp"

namespace velkor {

namespace text_names {
inline const Name replace{"replace"};
inline const Name items{"items"};
}  // namespace text_names

// Copies all of `part` into `result` at `at`: memcpy when both have the same
// kind, otherwise the interpreter's converting copy.
inline int copy_into(PyObject* result, Py_ssize_t at, PyObject* part, Py_ssize_t start,
                     Py_ssize_t length) {
    if (length == 0) {
        return 0;
    }
    const int kind = PyUnicode_KIND(result);
    if (PyUnicode_KIND(part) == kind) {
        std::memcpy(static_cast<char*>(PyUnicode_DATA(result)) + at * kind,
                    static_cast<const char*>(PyUnicode_DATA(part)) + start * kind,
                    static_cast<std::size_t>(length) * kind);
        return 0;
    }
    return PyUnicode_CopyCharacters(result, at, part, start, length) < 0 ? -1 : 0;
}

// a + b + c ... over str values, made in one allocation.  A value that is not
// a str raises TypeError "can only concatenate str (not "...") to str".
inline Ref concat(std::initializer_list<PyObject*> parts) {
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 127;
    for (PyObject* part : parts) {
        if (!PyUnicode_Check(part)) {
            PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                         Py_TYPE(part)->tp_name);
            return Ref();
        }
        length += PyUnicode_GET_LENGTH(part);
        const Py_UCS4 part_max = PyUnicode_MAX_CHAR_VALUE(part);
        max_char = part_max > max_char ? part_max : max_char;
    }
    Ref result = Ref::steal(PyUnicode_New(length, max_char));
    if (!result) {
        return Ref();
    }
    Py_ssize_t at = 0;
    for (PyObject* part : parts) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(part);
        if (copy_into(result.get(), at, part, 0, n) < 0) {
            return Ref();
        }
        at += n;
    }
    return result;
}

// text.replace(old, new): the str method for a str, otherwise whatever
// `replace` the object has.  The common case, a one-byte text and pattern,
// is searched with memchr and copied with memcpy; the result is the same
// string (the very object when nothing matched).  Every other case is left
// to the interpreter.
inline Ref replace(PyObject* text, PyObject* old, PyObject* new_) {
    if (!PyUnicode_CheckExact(text)) {
        return call_method(text, text_names::replace, {old, new_});
    }
    if (!PyUnicode_Check(old) || !PyUnicode_Check(new_) || PyUnicode_GET_LENGTH(old) == 0 ||
        PyUnicode_KIND(text) != PyUnicode_1BYTE_KIND ||
        PyUnicode_KIND(old) != PyUnicode_1BYTE_KIND) {
        return Ref::steal(PyUnicode_Replace(text, old, new_, -1));
    }
    const Py_UCS4 text_max = PyUnicode_MAX_CHAR_VALUE(text);
    const Py_UCS4 old_max = PyUnicode_MAX_CHAR_VALUE(old);
    const Py_UCS4 new_max = PyUnicode_MAX_CHAR_VALUE(new_);
    if (new_max < old_max && text_max == old_max) {
        // The result may need a narrower kind than the text.
        return Ref::steal(PyUnicode_Replace(text, old, new_, -1));
    }
    const std::string_view haystack(static_cast<const char*>(PyUnicode_DATA(text)),
                                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
    const std::string_view needle(static_cast<const char*>(PyUnicode_DATA(old)),
                                  static_cast<std::size_t>(PyUnicode_GET_LENGTH(old)));
    Py_ssize_t count = 0;
    for (std::size_t at = haystack.find(needle); at != std::string_view::npos;
         at = haystack.find(needle, at + needle.size())) {
        ++count;
    }
    if (count == 0) {
        return Ref::borrow(text);
    }
    const Py_ssize_t old_length = PyUnicode_GET_LENGTH(old);
    const Py_ssize_t new_length = PyUnicode_GET_LENGTH(new_);
    Ref result = Ref::steal(
        PyUnicode_New(PyUnicode_GET_LENGTH(text) + count * (new_length - old_length),
                      text_max > new_max ? text_max : new_max));
    if (!result) {
        return Ref();
    }
    Py_ssize_t from = 0;
    Py_ssize_t to = 0;
    for (std::size_t at = haystack.find(needle); at != std::string_view::npos;
         at = haystack.find(needle, at + needle.size())) {
        const Py_ssize_t match = static_cast<Py_ssize_t>(at);
        if (copy_into(result.get(), to, text, from, match - from) < 0 ||
            copy_into(result.get(), to + match - from, new_, 0, new_length) < 0) {
            return Ref();
        }
        to += match - from + new_length;
        from = match + old_length;
    }
    if (copy_into(result.get(), to, text, from, PyUnicode_GET_LENGTH(text) - from) < 0) {
        return Ref();
    }
    return result;
}

// for key, value in mapping.items(): each(key, value), where each returns 0
// or -1 with an exception set.  An exact dict is walked in place, and a
// change of its size between two steps raises RuntimeError "dictionary
// changed size during iteration", as its items view would.  Both values are
// owned for the length of the step, whatever the step does to the mapping.
template <typename Each>
int for_each_item(PyObject* mapping, Each&& each) {
    if (PyDict_CheckExact(mapping)) {
        const Py_ssize_t size = PyDict_GET_SIZE(mapping);
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (true) {
            if (PyDict_GET_SIZE(mapping) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return -1;
            }
            if (!PyDict_Next(mapping, &position, &key, &value)) {
                return 0;
            }
            Ref owned_key = Ref::borrow(key);
            Ref owned_value = Ref::borrow(value);
            if (each(owned_key.get(), owned_value.get()) < 0) {
                return -1;
            }
        }
    }
    Ref view = call_method(mapping, text_names::items);
    if (!view) {
        return -1;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(view.get()));
    if (!iterator) {
        return -1;
    }
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref pair[2];
        if (unpack(item.get(), pair, 2) < 0 || each(pair[0].get(), pair[1].get()) < 0) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace velkor
