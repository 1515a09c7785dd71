// A schema's custom code, split into imports and class body.
//
// Read more than once on purpose, as the interpreter does (see module.cpp):
// the module global astor is looked up anew for every node.
#include "native/calls.hpp"
#include "native/text.hpp"
#include "velkor/migration/class_foundry/methods.hpp"
#include "velkor/migration/class_foundry/names.hpp"

namespace velkor::foundry {

namespace {

// lambda _node: getattr(_node, "name", "")
PyObject* sort_key(const Globals&, PyObject* node) {
    PyObject* name = PyObject_GetAttr(node, field::name);
    if (name == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return Py_NewRef(text_empty.get());
    }
    return name;
}

constexpr FunctionDef sort_key_def = function<sort_key>("<lambda>", {{"_node"}}, nullptr);

// for node in nodes: parts += [f"{astor.to_source(node)}", "\n"]
int render_nodes(const Globals& g, PyObject* nodes, PyObject* parts) {
    Ref iterator = Ref::steal(PyObject_GetIter(nodes));
    if (!iterator) {
        return -1;
    }
    while (Ref node = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref astor_module = g[astor];
        if (!astor_module) {
            return -1;
        }
        Ref source = call_method(astor_module.get(), to_source, {node.get()});
        if (!source) {
            return -1;
        }
        Ref text = Ref::steal(PyObject_Format(source.get(), text_empty));
        if (!text || PyList_Append(parts, text.get()) < 0 ||
            PyList_Append(parts, text_newline) < 0) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

// @staticmethod
// def _process_custom_code(custom_code: str | None) -> tuple[str, str]:
//     if not custom_code:
//         return "", ""
//     imports = ""
//     code = ""
//     custom_code_ast = CustomCodeAst(custom_code=custom_code)
//     for node in custom_code_ast.ast_imports:
//         imports += f"{astor.to_source(node)}\n"
//     for node in sorted(custom_code_ast.ast, key=lambda _node: getattr(_node, "name", "")):
//         code += f"{astor.to_source(node)}\n"
//     return imports, code
//
// Each text is gathered in a list and joined once at the end.
PyObject* process_custom_code(const Globals& g, PyObject* custom_code) {
    const int given = PyObject_IsTrue(custom_code);
    if (given <= 0) {
        return given < 0 ? nullptr : PyTuple_Pack(2, text_empty.get(), text_empty.get());
    }
    Ref imports = Ref::steal(PyList_New(0));
    Ref code = Ref::steal(PyList_New(0));
    if (!imports || !code) {
        return nullptr;
    }
    Ref parser = g[CustomCodeAst];
    if (!parser) {
        return nullptr;
    }
    Ref custom_code_ast = call_kw(parser.get(), {custom_code}, kw_custom_code);
    if (!custom_code_ast) {
        return nullptr;
    }
    Ref import_nodes = attr(custom_code_ast.get(), field::ast_imports);
    if (!import_nodes || render_nodes(g, import_nodes.get(), imports.get()) < 0) {
        return nullptr;
    }
    Ref body_nodes = attr(custom_code_ast.get(), field::ast);
    if (!body_nodes) {
        return nullptr;
    }
    Ref key = make_function(g, sort_key_def, sort_key_qualname);
    if (!key) {
        return nullptr;
    }
    Ref sorted_nodes = Ref::steal(PySequence_List(body_nodes.get()));
    if (!sorted_nodes) {
        return nullptr;
    }
    Ref sorted_ = call_method_kw(sorted_nodes.get(), sort, {key.get()}, kw_key);
    if (!sorted_ || render_nodes(g, sorted_nodes.get(), code.get()) < 0) {
        return nullptr;
    }
    Ref imports_text = Ref::steal(PyUnicode_Join(text_empty, imports.get()));
    if (!imports_text) {
        return nullptr;
    }
    Ref code_text = Ref::steal(PyUnicode_Join(text_empty, code.get()));
    if (!code_text) {
        return nullptr;
    }
    return PyTuple_Pack(2, imports_text.get(), code_text.get());
}

}  // namespace

constexpr FunctionDef process_custom_code_def = function<process_custom_code>(
    "_process_custom_code", {{"custom_code", "str | None"}}, "tuple[str, str]");

}  // namespace velkor::foundry
