// The body of a kernel function, for the Euler step that runs the module's
// own derivatives without a Python call.
#pragma once

#include "frame.h"
#include "vectors.h"

namespace frame {

// The longest result of a kernel function.
inline constexpr Py_ssize_t max_result = 64;

// Converts every argument of f, checks the lengths, allocates the result
// (into `scratch` where nothing could observe it, when given) and runs the
// kernel. Error notes name the function `shown` (f itself when null): the
// Euler step runs the body of derivatives as its own.
bool run_body(Call& call, const Function& f, PyObject* const* args, Array& out,
              double* scratch = nullptr, const char* shown = nullptr);

}  // namespace frame
