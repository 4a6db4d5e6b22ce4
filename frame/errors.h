// Error builders. They are cold: the hot path of a call only tests and
// branches here; each returns false (or null) with the exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if defined(__GNUC__)
#define FRAME_COLD __attribute__((cold, noinline))
#elif defined(_MSC_VER)
#define FRAME_COLD __declspec(noinline)
#else
#define FRAME_COLD
#endif

namespace frame {

struct Function;

// "Buffer has wrong number of dimensions (expected 1, got 2)", or
// "(expected 1 or 2, got 3)" where a range is accepted.
FRAME_COLD bool dimension_error(int min_ndim, int max_ndim, int ndim);
FRAME_COLD bool dtype_error();
FRAME_COLD bool empty_length_error(Py_ssize_t n, Py_ssize_t got);
// An argument that is no longer an array the kernel may read.
FRAME_COLD bool changed_error(const char* name);
// "Expected <name> of length at least <n>.": a parameter vector shorter than
// a kernel reads.
FRAME_COLD bool at_least_error(const char* name, Py_ssize_t n);
// "Expected <param> of length <n>." and its variants (frame.h, Check), for
// an argument of `ndim` dimensions.
FRAME_COLD bool length_error(const Function& f, int check, int ndim);

// Adds to the exception being raised the note "while <doing> argument
// '<param>' of <module>.<function>()"; for a `series` (an argument refused
// for having two or more dimensions) given to a per-step function, also a
// note that points to the whole-series function of tarnlet.runs. Returns
// false.
FRAME_COLD bool argument_note(const char* doing, const char* param, const char* function,
                              bool series = false);

}  // namespace frame
