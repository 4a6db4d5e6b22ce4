// tarnlet.sallowby.combiner: flow-weighted mixing of two 56-entry streams.
#include "frame.h"

namespace {

constexpr Py_ssize_t NSTATES = 56;
constexpr int FLOW = 37;
// The combiner treats a total flow at or below this as no flow.
constexpr double SMALLEST_FLOW = 1e-12;

void mix_streams(const double* a, const double* b, double* y) {
    const double qa = a[FLOW], qb = b[FLOW], q = qb + qa;
    for (int i = 0; i < NSTATES; ++i) {
        if (i == FLOW)
            y[i] = q;
        else if (q <= SMALLEST_FLOW)
            y[i] = 0.0;
        else
            y[i] = (qb * b[i] + qa * a[i]) / q;
    }
}

constexpr const char* wrong_length = "Expected two 1D arrays of length ";

constexpr frame::Constant constants[] = {{"NSTATES", NSTATES}};

constexpr frame::Function functions[] = {{
    .name = "combine",
    .params = {"stream_a", "stream_b"},
    .checks = {frame::exact(0, NSTATES, wrong_length), frame::exact(1, NSTATES, wrong_length)},
    .result = NSTATES,
    .kernel = [](const double* const* in, double* y) { mix_streams(in[0], in[1], y); },
}};

constexpr frame::Alias aliases[] = {{"compute", "combine"}};

constexpr frame::Module module = {"combiner", "tarnlet.sallowby.combiner", constants, functions,
                                  aliases};

}  // namespace

TARNLET_MODULE(combiner, module)
