// Type annotations, type names and references of a type description.
//
// Read twice on purpose, as the interpreter does (see module.cpp):
// items.key and items.value are looked up anew for .type and for .items,
// and CoreTypes at each comparison.
#include "native/calls.hpp"
#include "native/text.hpp"
#include "velkor/migration/class_foundry/methods.hpp"
#include "velkor/migration/class_foundry/names.hpp"

namespace velkor::foundry {

namespace {

// A ValueError is dropped (returns 0); any other error stays (returns -1).
int drop_value_error() {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

// try:
//     member = CoreTypes(type_)
//     if member in BASIC_TYPES_MAP:
//         return BASIC_TYPES_MAP[member].__name__
// except ValueError:
//     pass
//
// The name found (an exact str), or an empty Ref: with an exception set on
// error, without one when type_ is no basic type.
Ref basic_type_name(const Globals& g, PyObject* type_) {
    Ref core_types = g[CoreTypes];
    if (!core_types) {
        return Ref();
    }
    Ref member = call(core_types.get(), {type_});
    if (!member) {
        drop_value_error();
        return Ref();
    }
    Ref types_map = g[BASIC_TYPES_MAP];
    if (!types_map) {
        return Ref();
    }
    const int known = PySequence_Contains(types_map.get(), member.get());
    if (known <= 0) {
        if (known < 0) {
            drop_value_error();
        }
        return Ref();
    }
    Ref python_type = Ref::steal(PyObject_GetItem(types_map.get(), member.get()));
    if (!python_type) {
        drop_value_error();
        return Ref();
    }
    Ref name = attr(python_type.get(), dunder_name);
    if (!name) {
        drop_value_error();
        return Ref();
    }
    if (expect_exact(name.get(), &PyUnicode_Type, "unicode", false) < 0) {
        return Ref();
    }
    return name;
}

// type_[0].upper() == type_[0]; IndexError for an empty type_.
int upper_leaves_first_char(PyObject* type_) {
    if (PyUnicode_GET_LENGTH(type_) == 0) {
        PyErr_SetString(PyExc_IndexError, "string index out of range");
        return -1;
    }
    const Py_UCS4 ch = PyUnicode_READ_CHAR(type_, 0);
    if (ch < 128) {
        return !(ch >= 'a' && ch <= 'z');
    }
    Ref first = Ref::steal(PyUnicode_Substring(type_, 0, 1));
    if (!first) {
        return -1;
    }
    Ref upper_first = call_method(first.get(), upper);
    if (!upper_first) {
        return -1;
    }
    return PyObject_RichCompareBool(upper_first.get(), first.get(), Py_EQ);
}

// type_ == CoreTypes.<member>.value
int equals_core_value(const Globals& g, PyObject* type_, PyObject* member_name) {
    Ref core_types = g[CoreTypes];
    if (!core_types) {
        return -1;
    }
    Ref value = attr_path(core_types.get(), {member_name, field::value});
    if (!value) {
        return -1;
    }
    Ref equal = Ref::steal(PyObject_RichCompare(type_, value.get(), Py_EQ));
    if (!equal) {
        return -1;
    }
    return PyObject_IsTrue(equal.get());
}

// isinstance(items, <global class_name>)
int is_instance_of(const Globals& g, PyObject* items, PyObject* class_name) {
    Ref cls = g[class_name];
    if (!cls) {
        return -1;
    }
    return PyObject_IsInstance(items, cls.get());
}

// self.<method>(record.<type_field>, record.<items_field>); without an items
// field the second argument is None.
Ref call_on_fields(PyObject* self, PyObject* method, PyObject* record, PyObject* type_field,
                   PyObject* items_field) {
    Ref type_ = attr(record, type_field);
    if (!type_) {
        return Ref();
    }
    Ref items = items_field != nullptr ? attr(record, items_field) : Ref::borrow(Py_None);
    if (!items) {
        return Ref();
    }
    return call_method(self, method, {type_.get(), items.get()});
}

// self.<method>(items.<side>.type, items.<side>.items), reading items.<side> twice.
Ref call_on_side(PyObject* self, PyObject* method, PyObject* items, PyObject* side) {
    Ref type_ = attr_path(items, {side, field::type});
    if (!type_) {
        return Ref();
    }
    Ref nested = attr_path(items, {side, field::items});
    if (!nested) {
        return Ref();
    }
    return call_method(self, method, {type_.get(), nested.get()});
}

PyObject* unknown_type(PyObject* type_) {
    PyErr_Format(PyExc_ValueError, "Unknown property type: \"%U\"", type_);
    return nullptr;
}

// def _render_type_annotation(self, type_: str, items) -> str:
//     if not items:
//         <basic_type_name: the mapped type's name, if any>
//         if self._is_reference(type_):
//             return "Union[Reference, '" + type_ + "', LegacyModel]"
//         if type_[0].upper() == type_[0]:
//             return "'" + type_ + "'"
//         return type_
//     if type_ == CoreTypes.ARRAY.value:
//         return "list[" + self._render_type_annotation(items.type, items.items) + "]"
//     if type_ == CoreTypes.DICTIONARY.value:
//         if isinstance(items, LegacyDictSchema):
//             key = self._render_type_annotation(items.key_type, None)
//             value = self._render_type_annotation(items.value_type, None)
//         elif isinstance(items, DictSchema):
//             key = self._render_type_annotation(items.key.type, items.key.items)
//             value = self._render_type_annotation(items.value.type, items.value.items)
//         else:
//             raise ValueError(f'Unknown property type: "{type_}"')
//         return "dict[" + key + ", " + value + "]"
//     raise ValueError(f'Unknown property type: "{type_}"')
PyObject* render_type_annotation(const Globals& g, PyObject* self, PyObject* type_,
                                 PyObject* items) {
    const int has_items = PyObject_IsTrue(items);
    if (has_items < 0) {
        return nullptr;
    }
    if (!has_items) {
        Ref basic = basic_type_name(g, type_);
        if (basic || PyErr_Occurred()) {
            return basic.release();
        }
        Ref reference = call_method(self, _is_reference, {type_});
        if (!reference) {
            return nullptr;
        }
        const int is_reference = PyObject_IsTrue(reference.get());
        if (is_reference < 0) {
            return nullptr;
        }
        if (is_reference) {
            return concat({text_union_open, type_, text_union_close}).release();
        }
        const int quoted = upper_leaves_first_char(type_);
        if (quoted < 0) {
            return nullptr;
        }
        if (quoted) {
            return concat({text_quote, type_, text_quote}).release();
        }
        return Py_NewRef(type_);
    }

    const int is_array = equals_core_value(g, type_, ARRAY);
    if (is_array < 0) {
        return nullptr;
    }
    if (is_array) {
        Ref element = call_on_fields(self, _render_type_annotation, items, field::type,
                                     field::items);
        if (!element) {
            return nullptr;
        }
        return concat({text_list_open, element.get(), text_close_bracket}).release();
    }

    const int is_dictionary = equals_core_value(g, type_, DICTIONARY);
    if (is_dictionary < 0) {
        return nullptr;
    }
    if (!is_dictionary) {
        return unknown_type(type_);
    }
    Ref key;
    Ref value;
    const int legacy = is_instance_of(g, items, LegacyDictSchema);
    if (legacy < 0) {
        return nullptr;
    }
    if (legacy) {
        key = call_on_fields(self, _render_type_annotation, items, field::key_type, nullptr);
        if (!key) {
            return nullptr;
        }
        value = call_on_fields(self, _render_type_annotation, items, field::value_type, nullptr);
    } else {
        const int current = is_instance_of(g, items, DictSchema);
        if (current < 0) {
            return nullptr;
        }
        if (!current) {
            return unknown_type(type_);
        }
        key = call_on_side(self, _render_type_annotation, items, field::key);
        if (!key) {
            return nullptr;
        }
        value = call_on_side(self, _render_type_annotation, items, field::value);
    }
    if (!value) {
        return nullptr;
    }
    return concat({text_dict_open, key.get(), text_comma, value.get(), text_close_bracket})
        .release();
}

// Merges every element of `more` into the set `types` (types.update(more)).
int update(PyObject* types, Ref more) {
    if (!more) {
        return -1;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(more.get()));
    if (!iterator) {
        return -1;
    }
    while (Ref element = Ref::steal(PyIter_Next(iterator.get()))) {
        if (PySet_Add(types, element.get()) < 0) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

// def _get_all_types(self, type_: str, items) -> set[str]:
//     types = {type_}
//     if items:
//         if isinstance(items, DictSchema):
//             types.update(self._get_all_types(items.key.type, items.key.items))
//             types.update(self._get_all_types(items.value.type, items.value.items))
//         elif isinstance(items, LegacyDictSchema):
//             types.update(self._get_all_types(items.key_type, None))
//             types.update(self._get_all_types(items.value_type, None))
//         else:
//             types.update(self._get_all_types(items.type, items.items))
//     return types
PyObject* get_all_types(const Globals& g, PyObject* self, PyObject* type_, PyObject* items) {
    Ref types = Ref::steal(PySet_New(nullptr));
    if (!types || PySet_Add(types.get(), type_) < 0) {
        return nullptr;
    }
    const int has_items = PyObject_IsTrue(items);
    if (has_items <= 0) {
        return has_items < 0 ? nullptr : types.release();
    }
    const int current = is_instance_of(g, items, DictSchema);
    if (current < 0) {
        return nullptr;
    }
    if (current) {
        if (update(types.get(), call_on_side(self, _get_all_types, items, field::key)) < 0 ||
            update(types.get(), call_on_side(self, _get_all_types, items, field::value)) < 0) {
            return nullptr;
        }
        return types.release();
    }
    const int legacy = is_instance_of(g, items, LegacyDictSchema);
    if (legacy < 0) {
        return nullptr;
    }
    if (legacy) {
        if (update(types.get(), call_on_fields(self, _get_all_types, items, field::key_type,
                                               nullptr)) < 0 ||
            update(types.get(), call_on_fields(self, _get_all_types, items, field::value_type,
                                               nullptr)) < 0) {
            return nullptr;
        }
        return types.release();
    }
    if (update(types.get(),
               call_on_fields(self, _get_all_types, items, field::type, field::items)) < 0) {
        return nullptr;
    }
    return types.release();
}

// def _is_reference(self, type_: str) -> bool:
//     return type_ in self._classes
PyObject* is_reference(const Globals&, PyObject* self, PyObject* type_) {
    Ref classes = attr(self, _classes);
    if (!classes) {
        return nullptr;
    }
    const int known = PySequence_Contains(classes.get(), type_);
    if (known < 0) {
        return nullptr;
    }
    return PyBool_FromLong(known);
}

}  // namespace

constexpr FunctionDef render_type_annotation_def = function<render_type_annotation>(
    "_render_type_annotation",
    {{"self"},
     {"type_", "str", &PyUnicode_Type},
     {"items", "TypeData | DictSchema | LegacyDictSchema | None"}},
    "str");

constexpr FunctionDef get_all_types_def = function<get_all_types>(
    "_get_all_types",
    {{"self"},
     {"type_", "str", &PyUnicode_Type},
     {"items", "TypeData | DictSchema | LegacyDictSchema | None"}},
    "set[str]");

constexpr FunctionDef is_reference_def =
    function<is_reference>("_is_reference", {{"self"}, {"type_", "str", &PyUnicode_Type}}, "bool");

}  // namespace velkor::foundry
