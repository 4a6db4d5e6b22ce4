// Conversion of arguments, for function bodies of their own (Function::impl).
#pragma once

#include "ref.h"

namespace frame {

// The module attribute `name` as a function body sees its global; NameError
// when it is missing.
Ref global(PyObject* module, PyObject* name);

// np.ascontiguousarray(arg, dtype=np.float64), with `np` the module attribute.
Ref as_contiguous(PyObject* module, PyObject* arg);

// as_contiguous, then acquired as a read-only 1-D float64 vector; raises the
// dimension error for any other number of dimensions.
bool convert(PyObject* module, PyObject* arg, Vector& v);

// as_contiguous, then acquired as a read-only array of min_ndim to max_ndim
// (at most 2) dimensions.
bool convert(PyObject* module, PyObject* arg, Matrix& m, int min_ndim, int max_ndim);

}  // namespace frame
