// The kernels of the block declared in combiner_kernels.h, compiled once: the modules
// and the run layer call the same machine code, so their results agree bit
// for bit, NaN payloads included.
#include "combiner_kernels.h"

namespace combiner {

void Block::compute(const double* const* in, double* y) {
    const double *a = in[0], *b = in[1];
    const double qa = a[FLOW], qb = b[FLOW], q = qb + qa;
    for (int i = 0; i < LENGTH; ++i) {
        if (i == FLOW)
            y[i] = q;
        else if (q <= SMALLEST_FLOW)
            y[i] = 0.0;
        else
            y[i] = (qb * b[i] + qa * a[i]) / q;
    }
}

}  // namespace combiner
