// One typed attribute line per schema property.
#include <vector>

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

// Appends the escape of `ch` that repr() writes, with \' for the quote.
void append_escape(std::vector<Py_UCS4>& out, Py_UCS4 ch) {
    static const char hex[] = "0123456789abcdef";
    out.push_back('\\');
    switch (ch) {
        case '\'':
        case '\\':
            out.push_back(ch);
            return;
        case '\t':
            out.push_back('t');
            return;
        case '\n':
            out.push_back('n');
            return;
        case '\r':
            out.push_back('r');
            return;
        default:
            break;
    }
    int digits = 8;
    if (ch <= 0xff) {
        out.push_back('x');
        digits = 2;
    } else if (ch <= 0xffff) {
        out.push_back('u');
        digits = 4;
    } else {
        out.push_back('U');
    }
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        out.push_back(static_cast<Py_UCS4>(hex[(ch >> shift) & 0xf]));
    }
}

// A single-quoted Python literal that evaluates to `value`: "'" + value + "'"
// when nothing in it needs escaping; otherwise backslashes and non-printable
// characters are escaped as repr() escapes them, and a single quote as \'.
Ref quoted_literal(PyObject* value) {
    if (PyUnicode_READY(value) < 0) {
        return Ref();
    }
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
    std::vector<Py_UCS4> out;
    out.reserve(static_cast<std::size_t>(length) + 16);
    out.push_back('\'');
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (i >= first && needs_escape(ch)) {
            append_escape(out, ch);
        } else {
            out.push_back(ch);
        }
    }
    out.push_back('\'');
    return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(),
                                                static_cast<Py_ssize_t>(out.size())));
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

const FunctionDef render_property_def = function<render_property>(
    "_render_property",
    {{"self"},
     {"name", "str", &PyUnicode_Type},
     {"property_schema", "PropertyData"},
     {"required", "list[str]", &PyList_Type}},
    "str");

}  // namespace velkor::foundry
