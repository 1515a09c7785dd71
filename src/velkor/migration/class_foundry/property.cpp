// One typed attribute line per schema property.
#include "native/calls.hpp"
#include "native/text.hpp"
#include "velkor/migration/class_foundry/methods.hpp"
#include "velkor/migration/class_foundry/names.hpp"

namespace velkor::foundry {

namespace {

// Whether `ch` must be escaped between single quotes.
bool needs_escape(Py_UCS4 ch) {
    return ch == '\'' || ch == '\\' || !Py_UNICODE_ISPRINTABLE(ch);
}

// The length of the escape of `ch` that repr() writes, with \' for the quote.
Py_ssize_t escape_length(Py_UCS4 ch) {
    switch (ch) {
        case '\'':
        case '\\':
        case '\t':
        case '\n':
        case '\r':
            return 2;
        default:
            return ch <= 0xff ? 4 : ch <= 0xffff ? 6 : 10;
    }
}

// Writes that escape of `ch` into `data` (of `kind`) at `at`; returns the
// position after it.
Py_ssize_t write_escape(int kind, void* data, Py_ssize_t at, Py_UCS4 ch) {
    static const char hex[] = "0123456789abcdef";
    PyUnicode_WRITE(kind, data, at++, '\\');
    switch (ch) {
        case '\'':
        case '\\':
            PyUnicode_WRITE(kind, data, at++, ch);
            return at;
        case '\t':
            PyUnicode_WRITE(kind, data, at++, 't');
            return at;
        case '\n':
            PyUnicode_WRITE(kind, data, at++, 'n');
            return at;
        case '\r':
            PyUnicode_WRITE(kind, data, at++, 'r');
            return at;
        default:
            break;
    }
    const Py_ssize_t digits = escape_length(ch) - 2;
    PyUnicode_WRITE(kind, data, at++, digits == 2 ? 'x' : digits == 4 ? 'u' : 'U');
    for (Py_ssize_t shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        PyUnicode_WRITE(kind, data, at++, hex[(ch >> shift) & 0xf]);
    }
    return at;
}

// A single-quoted Python literal that evaluates to `value`: "'" + value + "'"
// when nothing in it needs escaping; otherwise backslashes and non-printable
// characters are escaped as repr() escapes them, and a single quote as \'.
// The literal is measured in one pass and written straight into the result.
Ref quoted_literal(PyObject* value) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
    const int kind = PyUnicode_KIND(value);
    const void* data = PyUnicode_DATA(value);
    Py_ssize_t first = 0;
    while (first < length && !needs_escape(PyUnicode_READ(kind, data, first))) {
        ++first;
    }
    if (first == length) {
        return concat({text_quote, value, text_quote});
    }
    Py_ssize_t size = first + 2;
    Py_UCS4 widest = '\'';
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        const bool escaped = i >= first && needs_escape(ch);
        if (!escaped && ch > widest) {
            widest = ch;
        }
        if (i >= first) {
            if (size > PY_SSIZE_T_MAX - 10) {
                return Ref::steal(PyErr_NoMemory());
            }
            size += escaped ? escape_length(ch) : 1;
        }
    }
    Ref literal = Ref::steal(PyUnicode_New(size, widest));
    if (!literal) {
        return Ref();
    }
    const int out_kind = PyUnicode_KIND(literal.get());
    void* out = PyUnicode_DATA(literal.get());
    Py_ssize_t at = 0;
    PyUnicode_WRITE(out_kind, out, at++, '\'');
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (i >= first && needs_escape(ch)) {
            at = write_escape(out_kind, out, at, ch);
        } else {
            PyUnicode_WRITE(out_kind, out, at++, ch);
        }
    }
    PyUnicode_WRITE(out_kind, out, at, '\'');
    return literal;
}

// def _render_property(self, name: str, property_schema: PropertyData,
//                      required: list[str]) -> str:
//     _is_required = name in required
//     annotation = self._render_type_annotation(property_schema.type, property_schema.items)
//     line = name + ": " + (annotation if _is_required else "Optional[" + annotation + "]")
//     default = property_schema.default
//     if default is not None:
//         line += " = " + (quoted_literal(default) if isinstance(default, str) else f"{default}")
//     elif not _is_required:
//         line += " = None"
//     return line
PyObject* render_property(const Globals&, PyObject* self, PyObject* name,
                          PyObject* property_schema, PyObject* required) {
    const int is_required = PySequence_Contains(required, name);
    if (is_required < 0) {
        return nullptr;
    }
    Ref type_ = attr(property_schema, field::type);
    if (!type_) {
        return nullptr;
    }
    Ref items = attr(property_schema, field::items);
    if (!items) {
        return nullptr;
    }
    Ref annotation = call_method(self, _render_type_annotation, {type_.get(), items.get()});
    if (!annotation) {
        return nullptr;
    }
    Ref line = is_required ? concat({name, text_colon, annotation.get()})
                           : concat({name, text_colon, text_optional_open, annotation.get(),
                                     text_close_bracket});
    if (!line) {
        return nullptr;
    }
    Ref default_value = attr(property_schema, field::default_);
    if (!default_value) {
        return nullptr;
    }
    if (default_value.get() != Py_None) {
        Ref default_text = PyUnicode_Check(default_value.get())
                               ? quoted_literal(default_value.get())
                               : Ref::steal(PyObject_Format(default_value.get(), text_empty));
        if (!default_text) {
            return nullptr;
        }
        return concat({line.get(), text_assign, default_text.get()}).release();
    }
    if (!is_required) {
        return concat({line.get(), text_assign_none}).release();
    }
    return line.release();
}

}  // namespace

constexpr FunctionDef render_property_def = function<render_property>(
    "_render_property",
    {{"self"},
     {"name", "str", &PyUnicode_Type},
     {"property_schema", "PropertyData"},
     {"required", "list[str]", &PyList_Type}},
    "str");

}  // namespace velkor::foundry
