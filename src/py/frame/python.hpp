// The one include of the interpreter's headers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if defined(QSC_EXPECT_PY_DEBUG) != defined(Py_DEBUG)
#error "the interpreter's headers were read from another build of it (debug or release)"
#endif
