// The few things that differ between the compilers and the interpreters we
// build for (CPython 3.11 to 3.13).  Code is written with the current names of
// the C API; this header supplies them where an older interpreter lacks them.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
// 3.11 declares PyMemberDef and its type codes only in structmember.h, under
// the names that 3.12 replaced.
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

// A path taken only on failure: kept out of line, out of the way of the
// path every call takes.
#if defined(__GNUC__)
#define VELKOR_COLD [[gnu::cold, gnu::noinline]]
#else
#define VELKOR_COLD
#endif
