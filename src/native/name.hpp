// Interned strings, made once per process.
//
// Declare them at namespace scope (`inline const Name _classes{"_classes"};`);
// the module's set-up calls Name::intern_all() before anything uses them.  They
// are kept for the life of the process and never released, like the
// interpreter's own identifiers.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <vector>

namespace velkor {

class Name {
public:
    explicit Name(const char* text);

    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }
    const char* text() const noexcept { return text_; }

    // Interns every Name, and builds every Keywords, declared in this module.  Returns -1 with an
    // exception set on failure.
    static int intern_all();

private:
    const char* text_;
    PyObject* object_ = nullptr;
};

// A tuple of keyword names for vectorcall, made once like a Name:
// `inline const Keywords kw_update{"update"};`
class Keywords {
public:
    Keywords(std::initializer_list<const char*> names);

    Keywords(const Keywords&) = delete;
    Keywords& operator=(const Keywords&) = delete;

    PyObject* get() const noexcept { return tuple_; }
    operator PyObject*() const noexcept { return tuple_; }

private:
    friend class Name;
    std::vector<const char*> names_;
    PyObject* tuple_ = nullptr;
};

}  // namespace velkor
