// Interned strings, made once per process.
//
// Declare them at namespace scope (`inline const Name _classes{"_classes"};`);
// the module's set-up calls Name::intern_all() before anything uses them.  They
// are kept for the life of the process and never released, like the
// interpreter's own identifiers (docs/native-layer.md says why they are not
// per-module state).
//
// Declaring one allocates nothing: each links itself into a list of its
// library, so loading the library cannot fail.
#pragma once

#include <Python.h>

#include <cstddef>

namespace velkor {

class Name {
public:
    explicit Name(const char* text) noexcept;

    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }
    const char* text() const noexcept { return text_; }

    // Interns every Name, and builds every Keywords tuple, declared in this
    // library.  Returns -1 with an exception set on failure.
    static int intern_all();

private:
    const char* text_;
    PyObject* object_ = nullptr;
    Name* next_;
};

// The part of Keywords that does not depend on their number.
class KeywordTuple {
public:
    KeywordTuple(const KeywordTuple&) = delete;
    KeywordTuple& operator=(const KeywordTuple&) = delete;

    PyObject* get() const noexcept { return tuple_; }
    operator PyObject*() const noexcept { return tuple_; }

protected:
    KeywordTuple(const char* const* names, std::size_t count) noexcept;

private:
    friend class Name;
    const char* const* names_;
    std::size_t count_;
    PyObject* tuple_ = nullptr;
    KeywordTuple* next_;
};

// A tuple of keyword names for vectorcall, made once like a Name:
// `inline const Keywords kw_update{"update"};`.  The number of names is part
// of the type, so a call can check at compile time that it passes a value
// for each of them.
template <std::size_t Count>
class Keywords : public KeywordTuple {
public:
    static constexpr std::size_t count = Count;

    template <typename... Texts>
    explicit Keywords(Texts... names) noexcept : KeywordTuple(texts_, Count), texts_{names...} {}

private:
    const char* texts_[Count];
};

template <typename... Texts>
Keywords(Texts...) -> Keywords<sizeof...(Texts)>;

}  // namespace velkor
