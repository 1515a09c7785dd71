// The source text of one model class.
//
// Read more than once on purpose, as the interpreter does (see module.cpp):
// schema.required is looked up anew for every property.
#include "native/calls.hpp"
#include "native/text.hpp"
#include "velkor/migration/class_foundry/methods.hpp"
#include "velkor/migration/class_foundry/names.hpp"

namespace velkor::foundry {

namespace {

// imports, custom_code = pair
// A tuple or list is taken by its size, anything else is iterated to its end.
// ValueError "too many values to unpack (expected 2)" or "need more than N
// value(s) to unpack".  Not native/unpack.hpp's unpack(): the messages for
// too few values and for a value that is not iterable differ from it, and
// callers rely on these, so this unpacking keeps its own.
int unpack_pair(PyObject* pair, Ref* out) {
    auto need_more = [](Py_ssize_t got) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                     got == 1 ? "" : "s");
        return -1;
    };
    auto too_many = []() {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                     static_cast<Py_ssize_t>(2));
        return -1;
    };
    if (PyTuple_CheckExact(pair) || PyList_CheckExact(pair)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(pair);
        if (size != 2) {
            return size > 2 ? too_many() : need_more(size);
        }
        out[0] = Ref::borrow(PySequence_Fast_GET_ITEM(pair, 0));
        out[1] = Ref::borrow(PySequence_Fast_GET_ITEM(pair, 1));
        return 0;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(pair));
    if (!iterator) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < 2; ++i) {
        out[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!out[i]) {
            return PyErr_Occurred() ? -1 : need_more(i);
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        return too_many();
    }
    return PyErr_Occurred() ? -1 : 0;
}

// "\n    ".join(text.split("\n")): every line after the first indented by
// four blanks.  A str is re-indented in one replacement, which gives the same
// text; anything else goes through its own `split`.
Ref indent_lines(PyObject* text) {
    if (PyUnicode_CheckExact(text)) {
        return replace(text, text_newline, text_indented_newline);
    }
    Ref lines = call_method(text, split, {text_newline});
    if (!lines) {
        return Ref();
    }
    return Ref::steal(PyUnicode_Join(text_indented_newline, lines.get()));
}

// def _build_class_source(self, class_name: str, schema: ObjectSchema,
//                         schema_type: SchemaTypes) -> tuple[str, str]:
//     class_inheritance = self._resolve_class_inheritance(schema)
//     schema_type_repr = f"SchemaTypes.{schema_type.name}"
//     class_fingerprint = calculate_schema_fingerprint(schema)
//     properties = []
//     for property_name, property_schema in schema.properties.items():
//         properties.append(self._render_property(
//             name=property_name, property_schema=property_schema, required=schema.required))
//     validators = "\n".join(self._render_validators(schema))
//     imports, custom_code = self._process_custom_code(schema.custom_code)
//     source = (
//         self.model_class_template.read_text()
//         .replace("{{class_name}}", class_name)
//         .replace("{{class_inheritance}}", class_inheritance)
//         .replace("{{schema_type}}", schema_type_repr)
//         .replace("{{class_fingerprint}}", class_fingerprint)
//         .replace("{{properties}}", "\n    ".join(properties))
//         .replace("{{custom_code}}", "\n    ".join(custom_code.split("\n")))
//         .replace("{{validators}}", "\n    ".join(validators.split("\n")))
//     )
//     return imports, source
PyObject* build_class_source(const Globals& g, PyObject* self, PyObject* class_name,
                             PyObject* schema, PyObject* schema_type) {
    Ref class_inheritance = call_method(self, _resolve_class_inheritance, {schema});
    if (!class_inheritance) {
        return nullptr;
    }

    Ref type_name = attr(schema_type, field::name);
    if (!type_name) {
        return nullptr;
    }
    Ref type_name_text = Ref::steal(PyObject_Format(type_name.get(), text_empty));
    if (!type_name_text) {
        return nullptr;
    }
    Ref schema_type_repr = concat({text_schema_types_dot, type_name_text.get()});
    if (!schema_type_repr) {
        return nullptr;
    }

    Ref fingerprint = g[calculate_schema_fingerprint];
    if (!fingerprint) {
        return nullptr;
    }
    Ref class_fingerprint = call(fingerprint.get(), {schema});
    if (!class_fingerprint) {
        return nullptr;
    }

    Ref properties = Ref::steal(PyList_New(0));
    if (!properties) {
        return nullptr;
    }
    Ref property_map = attr(schema, field::properties);
    if (!property_map) {
        return nullptr;
    }
    const int rendered = for_each_item(property_map.get(), [&](PyObject* property_name,
                                                               PyObject* property_schema) {
        Ref required = attr(schema, field::required);
        if (!required) {
            return -1;
        }
        Ref line = call_method_kw(self, _render_property,
                                  {property_name, property_schema, required.get()},
                                  kw_render_property);
        if (!line) {
            return -1;
        }
        return PyList_Append(properties.get(), line.get());
    });
    if (rendered < 0) {
        return nullptr;
    }

    Ref validator_blocks = call_method(self, _render_validators, {schema});
    if (!validator_blocks) {
        return nullptr;
    }
    Ref validators = Ref::steal(PyUnicode_Join(text_newline, validator_blocks.get()));
    if (!validators) {
        return nullptr;
    }

    Ref custom_code_text = attr(schema, field::custom_code);
    if (!custom_code_text) {
        return nullptr;
    }
    Ref processed = call_method(self, _process_custom_code, {custom_code_text.get()});
    if (!processed) {
        return nullptr;
    }
    Ref pieces[2];  // imports, custom_code
    if (unpack_pair(processed.get(), pieces) < 0) {
        return nullptr;
    }

    Ref template_path = attr(self, model_class_template);
    if (!template_path) {
        return nullptr;
    }
    Ref source = call_method(template_path.get(), read_text);
    if (!source) {
        return nullptr;
    }
    source = replace(source.get(), ph_class_name, class_name);
    if (!source) {
        return nullptr;
    }
    source = replace(source.get(), ph_class_inheritance, class_inheritance.get());
    if (!source) {
        return nullptr;
    }
    source = replace(source.get(), ph_schema_type, schema_type_repr.get());
    if (!source) {
        return nullptr;
    }
    source = replace(source.get(), ph_class_fingerprint, class_fingerprint.get());
    if (!source) {
        return nullptr;
    }
    Ref property_lines = Ref::steal(PyUnicode_Join(text_indented_newline, properties.get()));
    if (!property_lines) {
        return nullptr;
    }
    source = replace(source.get(), ph_properties, property_lines.get());
    if (!source) {
        return nullptr;
    }
    Ref custom_code = indent_lines(pieces[1].get());
    if (!custom_code) {
        return nullptr;
    }
    source = replace(source.get(), ph_custom_code, custom_code.get());
    if (!source) {
        return nullptr;
    }
    Ref validator_lines = indent_lines(validators.get());
    if (!validator_lines) {
        return nullptr;
    }
    source = replace(source.get(), ph_validators, validator_lines.get());
    if (!source) {
        return nullptr;
    }
    return PyTuple_Pack(2, pieces[0].get(), source.get());
}

}  // namespace

constexpr FunctionDef build_class_source_def = function<build_class_source>(
    "_build_class_source",
    {{"self"},
     {"class_name", "str", &PyUnicode_Type},
     {"schema", "ObjectSchema"},
     {"schema_type", "SchemaTypes"}},
    "tuple[str, str]");

}  // namespace velkor::foundry
