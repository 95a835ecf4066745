// The one place that includes the interpreter's headers. Everything under
// src/binding, src/lib and the Python-facing class folders includes this;
// the Python-free cores (src/channel_core, src/lock/core_*, src/common) never do.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030D0000
#error "_vornic needs CPython 3.13 or newer"
#endif
