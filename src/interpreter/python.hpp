// The one way the layers that talk to the interpreter include its headers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
