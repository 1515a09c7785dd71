// The barrier between C++ exceptions and the interpreter.
//
// No C++ exception may unwind into the interpreter's C frames: where the
// interpreter enters our code (a native function's vectorcall, a module's
// set-up), the code runs in a try block whose `catch (...)` calls this.
#pragma once

#include <Python.h>

#include "native/compat.hpp"

namespace velkor {

// Called in a catch block: sets the Python exception that stands for the C++
// exception being handled and returns nullptr.  std::bad_alloc becomes
// MemoryError; anything else SystemError "<what> <name> raised a C++
// exception: <its message>", e.g. "native method ClassFoundry.get_model ...".
// A thread's forced unwinding (pthread_exit) is let through.
VELKOR_COLD PyObject* raise_from_cpp_exception(const char* what, PyObject* name);

}  // namespace velkor
