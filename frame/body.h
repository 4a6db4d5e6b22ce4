// The body of a kernel function, for the Euler step that runs the module's
// own derivatives without a Python call.
#pragma once

#include "frame.h"
#include "vectors.h"

namespace frame {

// Converts every argument of f, checks the lengths, allocates the result
// (into `scratch` where nothing could observe it, when given) and runs the
// kernel. Error notes name the function `shown` (f itself when null): the
// Euler step runs the body of derivatives as its own.
bool run_body(Call& call, const Function& f, PyObject* const* args, Array& out,
              double* scratch = nullptr, const char* shown = nullptr);

// Settles the first `count` converted arguments of f (all of them when
// negative), then applies f's length checks in order; an error carries the
// note that names the argument and the function `shown`.
bool settle_and_check(const Call& call, const Function& f, Array* in, const char* shown,
                      int count = -1);

}  // namespace frame
