// Validator blocks for dictionary properties and properties with options.
//
// Read twice on purpose, as the interpreter does (see module.cpp):
// schema.properties for the test and again for the loop, a property's
// options for the test and again for their values, and CoreTypes and the
// templates for every property.
#include "native/calls.hpp"
#include "native/text.hpp"
#include "velkor/migration/class_foundry/methods.hpp"
#include "velkor/migration/class_foundry/names.hpp"

namespace velkor::foundry {

namespace {

// self.<template_attribute>.read_text()
Ref read_template(PyObject* self, PyObject* template_attribute) {
    Ref path = attr(self, template_attribute);
    if (!path) {
        return Ref();
    }
    return call_method(path.get(), read_text);
}

// json.dumps([option.value for option in property_.options])
Ref options_json(const Globals& g, PyObject* property_) {
    Ref options = attr(property_, field::options);
    if (!options) {
        return Ref();
    }
    Ref values = Ref::steal(PyList_New(0));
    Ref iterator = Ref::steal(PyObject_GetIter(options.get()));
    if (!values || !iterator) {
        return Ref();
    }
    while (Ref option = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref value = attr(option.get(), field::value);
        if (!value || PyList_Append(values.get(), value.get()) < 0) {
            return Ref();
        }
    }
    if (PyErr_Occurred()) {
        return Ref();
    }
    Ref json_module = g[json];
    if (!json_module) {
        return Ref();
    }
    return call_method(json_module.get(), dumps, {values.get()});
}

// def _render_validators(self, schema: ObjectSchema) -> list[str]:
//     validators = []
//     if not schema.properties:
//         return validators
//     for _name, _property in schema.properties.items():
//         _types = self._get_all_types(_property.type, _property.items)
//         if CoreTypes.DICTIONARY in _types:
//             validators.append(self.dict_validator_template.read_text()
//                               .replace("{{property_name}}", _name))
//         if _property.options:
//             block = self.options_validator_template.read_text()
//             block = block.replace("{{property_name}}", _name)
//             options = json.dumps([option.value for option in _property.options])
//             validators.append(block.replace("{{property_options}}", options))
//     return validators
PyObject* render_validators(const Globals& g, PyObject* self, PyObject* schema) {
    Ref validators = Ref::steal(PyList_New(0));
    if (!validators) {
        return nullptr;
    }
    Ref property_map = attr(schema, field::properties);
    if (!property_map) {
        return nullptr;
    }
    const int has_properties = PyObject_IsTrue(property_map.get());
    if (has_properties <= 0) {
        return has_properties < 0 ? nullptr : validators.release();
    }
    property_map = attr(schema, field::properties);
    if (!property_map) {
        return nullptr;
    }
    const int rendered = for_each_item(property_map.get(), [&](PyObject* name,
                                                               PyObject* property_) {
        Ref type_ = attr(property_, field::type);
        if (!type_) {
            return -1;
        }
        Ref items = attr(property_, field::items);
        if (!items) {
            return -1;
        }
        Ref types = call_method(self, _get_all_types, {type_.get(), items.get()});
        if (!types) {
            return -1;
        }
        Ref core_types = g[CoreTypes];
        if (!core_types) {
            return -1;
        }
        Ref dictionary = attr(core_types.get(), DICTIONARY);
        if (!dictionary) {
            return -1;
        }
        const int has_dictionary = PySequence_Contains(types.get(), dictionary.get());
        if (has_dictionary < 0) {
            return -1;
        }
        if (has_dictionary) {
            Ref block = read_template(self, dict_validator_template);
            if (!block) {
                return -1;
            }
            block = replace(block.get(), ph_property_name, name);
            if (!block || PyList_Append(validators.get(), block.get()) < 0) {
                return -1;
            }
        }

        Ref options = attr(property_, field::options);
        if (!options) {
            return -1;
        }
        const int has_options = PyObject_IsTrue(options.get());
        if (has_options <= 0) {
            return has_options;
        }
        Ref block = read_template(self, options_validator_template);
        if (!block) {
            return -1;
        }
        block = replace(block.get(), ph_property_name, name);
        if (!block) {
            return -1;
        }
        Ref options_text = options_json(g, property_);
        if (!options_text) {
            return -1;
        }
        block = replace(block.get(), ph_property_options, options_text.get());
        if (!block) {
            return -1;
        }
        return PyList_Append(validators.get(), block.get());
    });
    if (rendered < 0) {
        return nullptr;
    }
    return validators.release();
}

}  // namespace

constexpr FunctionDef render_validators_def = function<render_validators>(
    "_render_validators", {{"self"}, {"schema", "ObjectSchema"}}, "list[str]");

}  // namespace velkor::foundry
