// The NumPy C API as the frame uses it. The API table is private to each
// extension module (hidden visibility); module.cpp owns it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL tarnlet_frame_ARRAY_API
#ifndef FRAME_OWNS_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
