// Registering, compiling and unregistering buffered schemas.
//
// Read twice on purpose, as the interpreter does (see module.cpp):
// self._buffered_classes for the test and again to clear it, self._classes
// for the test and again to delete from it.
#include <utility>
#include <vector>

#include "native/calls.hpp"
#include "native/text.hpp"
#include "native/unpack.hpp"
#include "velkor/migration/class_foundry/methods.hpp"
#include "velkor/migration/class_foundry/names.hpp"

namespace velkor::foundry {

namespace {

// def register_model(self, class_name: str, object_schema: ObjectSchema,
//                    schema_type: SchemaTypes) -> None:
//     self.register_model_version(class_name=class_name, class_version=Versions.LATEST)
//     self._buffered_classes.append((class_name, object_schema, schema_type))
PyObject* register_model(const Globals& g, PyObject* self, PyObject* class_name,
                         PyObject* object_schema, PyObject* schema_type) {
    Ref versions = g[Versions];
    if (!versions) {
        return nullptr;
    }
    Ref latest = attr(versions.get(), LATEST);
    if (!latest) {
        return nullptr;
    }
    Ref registered = call_method_kw(self, register_model_version_, {class_name, latest.get()},
                                    kw_register_model_version);
    if (!registered) {
        return nullptr;
    }
    Ref buffer = attr(self, _buffered_classes);
    if (!buffer) {
        return nullptr;
    }
    Ref entry = Ref::steal(PyTuple_Pack(3, class_name, object_schema, schema_type));
    if (!entry) {
        return nullptr;
    }
    Ref appended = call_method(buffer.get(), append, {entry.get()});
    if (!appended) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// def compile_buffered_classes(self) -> None:
//     if not self._buffered_classes:
//         return
//     compiled = self._compile_buffered_classes()
//     for name, model_class in compiled:
//         self._classes[name] = model_class
//     self._buffered_classes.clear()
//
// The whole result is unpacked before the registry changes, so a malformed
// result leaves the registry and the buffer as they were.
PyObject* compile_buffered_classes(const Globals&, PyObject* self) {
    Ref buffer = attr(self, _buffered_classes);
    if (!buffer) {
        return nullptr;
    }
    const int pending = PyObject_IsTrue(buffer.get());
    if (pending <= 0) {
        return pending < 0 ? nullptr : Py_NewRef(Py_None);
    }
    Ref compiled = call_method(self, _compile_buffered_classes);
    if (!compiled) {
        return nullptr;
    }
    std::vector<std::pair<Ref, Ref>> pairs;
    Ref iterator = Ref::steal(PyObject_GetIter(compiled.get()));
    if (!iterator) {
        return nullptr;
    }
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref pair[2];
        if (unpack(item.get(), pair, 2) < 0 || PyObject_Hash(pair[0].get()) == -1) {
            return nullptr;
        }
        pairs.emplace_back(std::move(pair[0]), std::move(pair[1]));
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    Ref classes = attr(self, _classes);
    if (!classes) {
        return nullptr;
    }
    for (const auto& [name, model_class] : pairs) {
        if (PyObject_SetItem(classes.get(), name.get(), model_class.get()) < 0) {
            return nullptr;
        }
    }
    buffer = attr(self, _buffered_classes);
    if (!buffer) {
        return nullptr;
    }
    Ref cleared = call_method(buffer.get(), clear);
    if (!cleared) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// def unregister_model(self, class_name: str) -> None:
//     if class_name not in self._classes:
//         return
//     del self._classes[class_name]
PyObject* unregister_model(const Globals&, PyObject* self, PyObject* class_name) {
    Ref classes = attr(self, _classes);
    if (!classes) {
        return nullptr;
    }
    const int known = PySequence_Contains(classes.get(), class_name);
    if (known <= 0) {
        return known < 0 ? nullptr : Py_NewRef(Py_None);
    }
    classes = attr(self, _classes);
    if (!classes || PyObject_DelItem(classes.get(), class_name) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// parts += [text, "\n"], for a str `text` (as text + "\n" requires).
int append_line(PyObject* parts, PyObject* text) {
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                     Py_TYPE(text)->tp_name);
        return -1;
    }
    if (PyList_Append(parts, text) < 0) {
        return -1;
    }
    return PyList_Append(parts, text_newline);
}

// def _compile_buffered_classes(self) -> list[tuple[str, type[Model]]]:
//     all_imports, all_sources, all_class_names = "", "", []
//     for class_name, schema, schema_type in self._buffered_classes:
//         imports, source = self._build_class_source(class_name, schema, schema_type)
//         all_imports += imports + "\n"
//         all_sources += source + "\n"
//         all_class_names.append(class_name)
//     module_text = (
//         self.model_class_template_layout.read_text()
//         .replace("{{imports}}", all_imports)
//         .replace("{{classes}}", all_sources)
//         .replace("{{classes_model_rebuild}}",
//                  "\n".join(f"{name}.model_rebuild()" for name in all_class_names))
//     )
//     code = compile(module_text, "classes", "exec")
//     namespace = dict(self._classes)
//     eval(code, namespace)
//     return [(name, namespace[name]) for name in all_class_names]
//
// The texts are gathered in lists and joined once, which gives the same text
// as the repeated `+=` without its quadratic copying.
PyObject* compile_buffered_classes_inner(const Globals& g, PyObject* self) {
    Ref all_imports = Ref::steal(PyList_New(0));
    Ref all_sources = Ref::steal(PyList_New(0));
    Ref all_class_names = Ref::steal(PyList_New(0));
    if (!all_imports || !all_sources || !all_class_names) {
        return nullptr;
    }
    Ref buffer = attr(self, _buffered_classes);
    if (!buffer) {
        return nullptr;
    }
    Ref entries = Ref::steal(PyObject_GetIter(buffer.get()));
    if (!entries) {
        return nullptr;
    }
    while (Ref entry = Ref::steal(PyIter_Next(entries.get()))) {
        Ref fields[3];  // class_name, schema, schema_type
        if (unpack(entry.get(), fields, 3) < 0) {
            return nullptr;
        }
        Ref built = call_method(self, _build_class_source,
                                {fields[0].get(), fields[1].get(), fields[2].get()});
        if (!built) {
            return nullptr;
        }
        Ref texts[2];  // imports, source
        if (unpack(built.get(), texts, 2) < 0 ||
            append_line(all_imports.get(), texts[0].get()) < 0 ||
            append_line(all_sources.get(), texts[1].get()) < 0 ||
            PyList_Append(all_class_names.get(), fields[0].get()) < 0) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }

    Ref layout_path = attr(self, model_class_template_layout);
    if (!layout_path) {
        return nullptr;
    }
    Ref module_text = call_method(layout_path.get(), read_text);
    if (!module_text) {
        return nullptr;
    }
    Ref imports_text = Ref::steal(PyUnicode_Join(text_empty, all_imports.get()));
    if (!imports_text) {
        return nullptr;
    }
    module_text = replace(module_text.get(), ph_imports, imports_text.get());
    if (!module_text) {
        return nullptr;
    }
    Ref sources_text = Ref::steal(PyUnicode_Join(text_empty, all_sources.get()));
    if (!sources_text) {
        return nullptr;
    }
    module_text = replace(module_text.get(), ph_classes, sources_text.get());
    if (!module_text) {
        return nullptr;
    }
    const Py_ssize_t count = PyList_GET_SIZE(all_class_names.get());
    Ref rebuild_lines = Ref::steal(PyList_New(count));
    if (!rebuild_lines) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref line = concat({PyList_GET_ITEM(all_class_names.get(), i), text_model_rebuild});
        if (!line) {
            return nullptr;
        }
        PyList_SET_ITEM(rebuild_lines.get(), i, line.release());
    }
    Ref rebuild_text = Ref::steal(PyUnicode_Join(text_newline, rebuild_lines.get()));
    if (!rebuild_text) {
        return nullptr;
    }
    module_text = replace(module_text.get(), ph_classes_model_rebuild, rebuild_text.get());
    if (!module_text) {
        return nullptr;
    }

    Ref compile_ = g[compile];
    if (!compile_) {
        return nullptr;
    }
    Ref code = call(compile_.get(), {module_text.get(), text_classes, text_exec});
    if (!code) {
        return nullptr;
    }
    Ref classes = attr(self, _classes);
    if (!classes) {
        return nullptr;
    }
    Ref namespace_ = Ref::steal(PyDict_New());
    if (!namespace_ || PyDict_Merge(namespace_.get(), classes.get(), 1) < 0) {
        return nullptr;
    }
    Ref eval_ = g[eval];
    if (!eval_) {
        return nullptr;
    }
    Ref executed = call(eval_.get(), {code.get(), namespace_.get()});
    if (!executed) {
        return nullptr;
    }

    Ref compiled = Ref::steal(PyList_New(count));
    if (!compiled) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyList_GET_ITEM(all_class_names.get(), i);
        Ref model_class = Ref::steal(PyObject_GetItem(namespace_.get(), name));
        if (!model_class) {
            return nullptr;
        }
        Ref pair = Ref::steal(PyTuple_Pack(2, name, model_class.get()));
        if (!pair) {
            return nullptr;
        }
        PyList_SET_ITEM(compiled.get(), i, pair.release());
    }
    return compiled.release();
}

}  // namespace

constexpr FunctionDef register_model_def =
    function<register_model>("register_model", register_model_params, "None");

constexpr FunctionDef compile_buffered_classes_def =
    function<compile_buffered_classes>("compile_buffered_classes", {{"self"}}, "None");

constexpr FunctionDef unregister_model_def = function<unregister_model>(
    "unregister_model", {{"self"}, {"class_name", "str", &PyUnicode_Type}}, "None");

constexpr FunctionDef compile_buffered_classes_inner_def = function<compile_buffered_classes_inner>(
    "_compile_buffered_classes", {{"self"}}, "list[tuple[str, type[Model]]]");

}  // namespace velkor::foundry
