// kernel_floor: the cost of each block's arithmetic alone, the floor under
// every route that runs the blocks (the modules, tarnlet.runs, a Numba loop).
//
// A state-space block takes the same fused step as tarnlet.runs (step.h):
// share, outputs, derivatives and x + dt*dx, on the same two state rows and
// one input row step after step; a stream block computes one reused result
// row from fixed input rows. The values are those of the README's quick
// start, so no NaN or infinity slows the arithmetic (the state-space rows
// are checked after each repeat). The blocks take turns in every round, so a
// neighbour's load on a shared machine spreads over all of them; the table
// gives the median over the rounds and the spread.
//
// Times are those of the running thread (the wall clock with --wall).
//
//     kernel_floor [--repeats N] [--scale F] [--only NAME,...] [--csv] [--wall]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "brookvane/loamtank_kernels.h"
#include "brookvane/sewer_kernels.h"
#include "fenmoor/sedlift_kernels.h"
#include "sallowby/combiner_kernels.h"
#include "sallowby/fractionation_kernels.h"
#include "step.h"

namespace {

// The time this thread ran: on a shared machine the time it waited for a
// core is left out. --wall takes the wall clock instead.
bool wall_clock = false;

double now_ns() {
#ifdef CLOCK_THREAD_CPUTIME_ID
    if (!wall_clock) {
        timespec t;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return t.tv_sec * 1e9 + t.tv_nsec;
    }
#endif
    return std::chrono::duration<double, std::nano>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr double DT = 1.0 / 1440.0;  // one minute, in days
constexpr int CHAIN = 3;             // storages in the chain

volatile double sink;  // the last results, so that no step can be left out

// ---- the README's quick-start values --------------------------------------

struct SewerCase {
    double pars[25] = {};
    double spar[3] = {300.0, 11000.0, 0.1};
    double u[27] = {};
    double x[CHAIN][24] = {};

    SewerCase() {
        const double solids[] = {0.75, 0.75, 0.9, 3.23, 0.6, 1.0};
        std::copy(std::begin(solids), std::end(solids), pars + 19);
        u[1] = 30.0;
        u[3] = 16.0;
        u[10] = 125.0;
        u[sewer::FLOW] = 4000.0;
    }
};

struct SedliftCase {
    double sspars[4] = {400e3, 10000.0, 6.0, 20.0};
    double u[7] = {4000.0, 130.0, 25.0, 125.0, 30.0, 16.0, 3.6};
    double x[6] = {};
};

struct LoamtankCase {
    double par[6] = {0.10, 0.02, 1.2e5, 0.12, 15000.0, 5000.0};
    double u[2] = {0.24 * 1.2e5, 0.0};
    double x[1] = {0.0205};
};

struct StreamCase {
    double u[12];
    double pars[156] = {};
    double fractions[9] = {0.6, 0.4, 10.0, 1.0, 1.0, 1.0, 0.25, 0.6, 0.15};
    double bg[44] = {};
    double town[56], industry[56];
    double y[56];

    StreamCase() {
        const double q = 4000.0;
        const double loads[] = {q * 50, q * 125, q * 16, q * 3.6, q * 5,  q * 30,
                                q * 55, 0.0,     0.0,    0.0,     4000.0, q};
        std::copy(std::begin(loads), std::end(loads), u);
        pars[28] = pars[29] = 0.75;
        pars[30] = 0.9;
        double values[54];
        const double* in[] = {u, pars, fractions, bg};
        fractionation::Block::compute(in, values);
        std::copy(values, values + 37, town);
        town[combiner::FLOW] = q;
        std::copy(values + 37, values + 54, town + 38);
        town[55] = 16.0;
        std::copy(std::begin(town), std::end(town), industry);
        industry[combiner::FLOW] = 500.0;
    }
};

SewerCase sewer_case;
SedliftCase sedlift_case;
LoamtankCase loamtank_case;
StreamCase stream_case;

// ---- one repeat of each benchmark: ns per step (per row, per storage step) --

bool finite(const double* v, int n) {
    return std::all_of(v, v + n, [](double d) { return std::isfinite(d); });
}

double elapsed_ns(double start, long steps) {
    return (now_ns() - start) / static_cast<double>(steps);
}

// steps of one state-space block from x, which is left holding the last
// state, so that each repeat continues where the one before stopped.
template <class B>
double state_space(double* x, const double* u, const double* const* p, long steps, bool& ok) {
    constexpr int N = B::NSTATES;
    double roll[2][N], y[B::NOUTPUTS], dx[N];
    std::memcpy(roll[0], x, sizeof roll[0]);
    long nans = 0;
    const double start = now_ns();
    for (long t = 0; t < steps; ++t)
        nans += !blocks::step<B>(roll[t & 1], u, p, DT, y, dx, roll[(t + 1) & 1]);
    const double ns = elapsed_ns(start, steps);
    std::memcpy(x, roll[steps & 1], sizeof roll[0]);
    sink = y[0] + x[0];
    ok = ok && nans == 0 && finite(x, N) && finite(y, B::NOUTPUTS);
    return ns;
}

double sewer_one(long steps, bool& ok) {
    SewerCase& c = sewer_case;
    const double* p[] = {c.pars, c.spar};
    return state_space<sewer::Block>(c.x[0], c.u, p, steps, ok);
}

double sedlift_one(long steps, bool& ok) {
    SedliftCase& c = sedlift_case;
    const double* p[] = {c.sspars};
    return state_space<sedlift::Block>(c.x, c.u, p, steps, ok);
}

double loamtank_one(long steps, bool& ok) {
    LoamtankCase& c = loamtank_case;
    const double* p[] = {c.par};
    return state_space<loamtank::Block>(c.x, c.u, p, steps, ok);
}

// Three storages in series, storage j's outputs storage j+1's inputs: ns
// per storage step.
double chain(long steps, bool& ok) {
    using B = sewer::Block;
    constexpr int N = B::NSTATES;
    SewerCase& c = sewer_case;
    const double* p[] = {c.pars, c.spar};
    double roll[2][CHAIN][N], y[CHAIN][B::NOUTPUTS], dx[N];
    std::memcpy(roll[0], c.x, sizeof roll[0]);
    long nans = 0;
    const double start = now_ns();
    for (long t = 0; t < steps; ++t) {
        const double* in = c.u;
        for (int j = 0; j < CHAIN; ++j) {
            nans += !blocks::step<B>(roll[t & 1][j], in, p, DT, y[j], dx, roll[(t + 1) & 1][j]);
            in = y[j];
        }
    }
    const double ns = elapsed_ns(start, steps * CHAIN);
    std::memcpy(c.x, roll[steps & 1], sizeof roll[0]);
    sink = y[CHAIN - 1][0] + c.x[CHAIN - 1][0];
    ok = ok && nans == 0 && finite(&c.x[0][0], CHAIN * N);
    return ns;
}

double fractionation_one(long rows, bool& ok) {
    StreamCase& c = stream_case;
    const double* in[] = {c.u, c.pars, c.fractions, c.bg};
    const double start = now_ns();
    for (long t = 0; t < rows; ++t) fractionation::Block::compute(in, c.y);
    const double ns = elapsed_ns(start, rows);
    sink = c.y[36];
    ok = ok && finite(c.y, fractionation::Block::NOUTPUTS);
    return ns;
}

double combiner_one(long rows, bool& ok) {
    StreamCase& c = stream_case;
    const double* in[] = {c.town, c.industry};
    const double start = now_ns();
    for (long t = 0; t < rows; ++t) combiner::Block::compute(in, c.y);
    const double ns = elapsed_ns(start, rows);
    sink = c.y[combiner::FLOW];
    ok = ok && finite(c.y, combiner::Block::NOUTPUTS);
    return ns;
}

struct Bench {
    const char* name;
    const char* unit;
    long steps;  // per repeat at scale 1 (about 50-100 ms)
    std::function<double(long, bool&)> one;
    std::vector<double> ns = {};
    bool ok = true;
};

std::string cpu_model() {
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);)
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown";
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Whether name is in the comma-separated list (an empty list selects all).
bool selected(const std::string& only, const std::string& name) {
    if (only.empty()) return true;
    for (size_t start = 0; start <= only.size();) {
        size_t end = only.find(',', start);
        if (end == std::string::npos) end = only.size();
        if (only.compare(start, end - start, name) == 0) return true;
        start = end + 1;
    }
    return false;
}

[[noreturn]] void usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [--repeats N] [--scale F] [--only NAME,...] [--csv] [--wall]\n"
                 "names: sewer, sedlift, loamtank, sewer_chain, fractionation, combiner\n",
                 program);
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    int repeats = 7;
    double scale = 1.0;
    std::string only;
    bool csv = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--csv") {
            csv = true;
        } else if (arg == "--wall") {
            wall_clock = true;
        } else if (i + 1 < argc && arg == "--repeats") {
            repeats = std::atoi(argv[++i]);
        } else if (i + 1 < argc && arg == "--scale") {
            scale = std::atof(argv[++i]);
        } else if (i + 1 < argc && arg == "--only") {
            only = argv[++i];
        } else {
            usage(argv[0]);
        }
    }
    if (repeats < 1 || !(scale > 0)) usage(argv[0]);

    std::vector<Bench> benches = {
        {"sewer", "step", 600'000, sewer_one},
        {"sedlift", "step", 1'000'000, sedlift_one},
        {"loamtank", "step", 4'000'000, loamtank_one},
        {"sewer_chain", "storage step", 200'000, chain},
        {"fractionation", "row", 2'000'000, fractionation_one},
        {"combiner", "row", 1'000'000, combiner_one},
    };
    std::erase_if(benches, [&](const Bench& b) { return !selected(only, b.name); });
    if (benches.empty()) usage(argv[0]);
    for (Bench& b : benches) b.steps = std::max(1L, static_cast<long>(b.steps * scale));

    // A first round untimed: caches, clock speed, and the states into the
    // range where the quick start's flows keep them.
    for (Bench& b : benches) b.one(b.steps, b.ok);
    for (int r = 0; r < repeats; ++r)
        for (Bench& b : benches) b.ns.push_back(b.one(b.steps, b.ok));

    if (csv) {
        std::printf("block,unit,steps,repeats,median_ns,min_ns,max_ns,finite\n");
        for (const Bench& b : benches)
            std::printf("%s,%s,%ld,%d,%.3f,%.3f,%.3f,%d\n", b.name, b.unit, b.steps, repeats,
                        median(b.ns), *std::min_element(b.ns.begin(), b.ns.end()),
                        *std::max_element(b.ns.begin(), b.ns.end()), b.ok ? 1 : 0);
        return 0;
    }
    std::printf("kernel floor: %s; %d repeats, blocks interleaved, %s time\n", cpu_model().c_str(),
                repeats, wall_clock ? "wall" : "thread CPU");
#if defined(__clang__)
    std::printf("compiler: clang %s\n", __clang_version__);
#elif defined(__GNUC__)
    std::printf("compiler: GCC %s\n", __VERSION__);
#endif
    std::printf("| block | ns per | median ns | min ns | max ns | steps per repeat |\n");
    std::printf("|---|---|---:|---:|---:|---:|\n");
    for (const Bench& b : benches)
        std::printf("| %s | %s | %.1f | %.1f | %.1f | %ld |%s\n", b.name, b.unit, median(b.ns),
                    *std::min_element(b.ns.begin(), b.ns.end()),
                    *std::max_element(b.ns.begin(), b.ns.end()), b.steps,
                    b.ok ? "" : " NOT FINITE");
    const bool ok =
        std::all_of(benches.begin(), benches.end(), [](const Bench& b) { return b.ok; });
    return ok ? 0 : 1;
}
