#include "native/exceptions.hpp"

#include <exception>
#include <new>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace velkor {

PyObject* raise_from_cpp_exception(const char* what, PyObject* name) {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        // pthread_exit unwinds the thread's stack with an exception that
        // must go on; the interpreter ends a thread this way at exit.
        throw;
#endif
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_SystemError, "%s %U raised a C++ exception: %s", what, name,
                     error.what());
    } catch (...) {
        PyErr_Format(PyExc_SystemError, "%s %U raised a C++ exception of unknown type", what, name);
    }
    return nullptr;
}

}  // namespace velkor
