// tarnlet.model._engine: a model's plan run over a whole series in one
// call, with the interpreter lock released while the steps run.
//
// The model layer (tarnlet.model) turns a model of named nodes and
// connections into a plan: numbered ports (vectors of doubles in a step
// buffer, rows of the sources, entries of the states) and the operations of
// one step over them, as int64 words. The engine checks the plan in full,
// decodes the words once into operations with the addresses of their
// operands, and then runs every step without Python and without allocating:
//
//   0. once, before the first step: the operations that give the same at
//      every step (their inputs are constants, parameters and sources of
//      one row; see fold());
//   1. the ports of series sources point at the step's row;
//   2. the operations of the step, in order (at a step that keeps no
//      records, without those whose outputs reach the records alone: see
//      thin());
//   3. at a kept step, the step's row of records (past the cache when the
//      records are large: see stream_bytes);
//   4. the store operations (the delays' stores loaded from their inputs).
//
// A state-space block's step is the run layer's (run_step.h): the same
// kernels and x + dt*dx as NumPy forms it, so a block in a plan computes
// what tarnlet.runs computes, bit for bit; a stream block's row is its
// kernel on the row. The connector operations do their arithmetic in the
// order of the model's Python reference loop, operation by operation.
//
// Every piece of Python code a call can run (the plan's attributes) runs
// before any array is checked and its data read. Between chunks of steps
// the lock is taken again: signals are checked (Ctrl-C stops the run with
// KeyboardInterrupt, the states then those after the last finished chunk),
// the progress callback is called, and every array the run still reads or
// writes is checked again, as that Python code may have changed it.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <limits>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(__x86_64__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include "blocks.h"
#include "errors.h"
#include "frame.h"
#include "run_step.h"
#include "state.h"
#include "vectors.h"

namespace {

using frame::as_array;
using frame::Call;
using frame::Ref;

// ---- operations --------------------------------------------------------------

enum Code : int {
    STATE = 1,
    STREAM = 2,
    GATHER = 3,
    LINEAR = 4,
    MIX = 5,
    SPLIT = 6,
    OVERFLOW = 7,
    LOAD = 8,
    BALANCE = 9,
    BALANCE_IF = 10,
};

constexpr const char* code_names[] = {"",      "STATE",    "STREAM", "GATHER",  "LINEAR",    "MIX",
                                      "SPLIT", "OVERFLOW", "LOAD",   "BALANCE", "BALANCE_IF"};

// A mixer treats a total flow at or below this as no flow (the double
// nearest 1e-12, as the stream blocks do).
constexpr double smallest_flow = 1e-12;

// The operands of an operation are a run of pointers (to vectors or to
// single entries) in one table; an absent operand is null.
using StateStep = void (*)(double* const* operands, double dt, frame::Fpe& fpe);
using StreamStep = void (*)(double* const* operands);

// A decoded operation: what it does, a few counts, its operands from
// `first` in the table, and for LINEAR its terms' sizes from `sizes`.
struct Op {
    Code code;
    Py_ssize_t a = 0, b = 0, c = 0;
    Py_ssize_t first = 0;
    Py_ssize_t sizes = 0;
    Py_ssize_t block = -1;  // STATE and STREAM: its row of the blocks' table
    bool apart = false;     // MIX: the destination overlaps none of the inputs
    StateStep state = nullptr;
    StreamStep stream = nullptr;
};

// ---- the blocks, from TARNLET_BLOCKS ------------------------------------------

// Operands of STATE: u, y, x, then one per parameter vector. x is updated
// in place, through a row of the step's own: a row that is not quiet reads
// x again.
template <class B>
void state_step(double* const* v, double dt, frame::Fpe& fpe) {
    double x_next[B::NSTATES];
    frame::advance<B>(v[2], v[0], v + 3, dt, v[1], x_next, fpe);
    std::memcpy(v[2], x_next, sizeof x_next);
}

// Operands of STREAM: y, then one per input.
template <class B>
void stream_step(double* const* v) {
    B::compute(v + 1, v[0]);
}

struct BlockInfo {
    const char* name = nullptr;
    bool state = false;
    int nstates = 0, ninputs = 0, noutputs = 0;
    std::span<const frame::Param> params;  // a state-space block's parameter vectors
    std::span<const frame::Input> inputs;  // a stream block's inputs
    StateStep state_fn = nullptr;
    StreamStep stream_fn = nullptr;
};

template <class B>
constexpr BlockInfo block_info(const char* name) {
    static_assert(frame::fits<B>());
    BlockInfo b{};
    b.name = name;
    b.state = frame::StateSpaceBlock<B>;
    if constexpr (frame::StateSpaceBlock<B>) {
        b.nstates = B::NSTATES;
        b.ninputs = B::NINPUTS;
        b.noutputs = B::NOUTPUTS;
        b.params = B::params;
        b.state_fn = state_step<B>;
    } else {
        b.noutputs = B::NOUTPUTS;
        b.inputs = B::inputs;
        b.stream_fn = stream_step<B>;
    }
    return b;
}

constexpr BlockInfo blocks_table[] = {
#define TARNLET_ENGINE_BLOCK(name, dotted) block_info<name::Block>(#name),
    TARNLET_BLOCKS(TARNLET_ENGINE_BLOCK)
#undef TARNLET_ENGINE_BLOCK
};
constexpr Py_ssize_t nblocks = static_cast<Py_ssize_t>(std::size(blocks_table));

// ---- the decoded plan and its steps --------------------------------------------

// The operand of a series source's port: row T of the source is at
// base + T * stride.
struct RowOperand {
    Py_ssize_t slot = 0;
    double* base = nullptr;
    Py_ssize_t stride = 0;
};

// A run of entries copied side by side: `len` doubles to entry `at` of
// the destination from the operand in slot `slot` (relative to the
// operation's first), whose next len - 1 entries follow it in memory.
struct Span {
    Py_ssize_t at = 0, slot = 0, len = 0;
};

// Copies a run of spans: entry by entry, in the loop's own moves (the
// spans are short, most of them a few dozen entries at most: a call to
// memcpy for each would cost more than the copying).
inline void copy_spans(double* dst, double* const* v, const Span* span, Py_ssize_t n) {
    for (Py_ssize_t k = 0; k < n; ++k) {
        const Span& sp = span[k];
        const double* src = v[sp.slot];
        double* d = dst + sp.at;
        Py_ssize_t i = 0;
        for (; i + 2 <= sp.len; i += 2) {
            const double a = src[i], b = src[i + 1];
            d[i] = a;
            d[i + 1] = b;
        }
        if (i < sp.len) d[i] = src[i];
    }
}

using frame::Ticker;

// The records of a long run go to memory with stores that bypass the
// cache: their rows are written once, one after another, and never read by
// the run, so the processor need not fetch each line of them before writing
// it, which costs as much again as the writing (a run that keeps every
// output of a model spends a quarter of its time there). A short run's rows
// stay in the cache for the caller, as the stores of the kernels leave them.
constexpr Py_ssize_t stream_bytes = Py_ssize_t{4} << 20;

#if defined(__x86_64__) || defined(_M_X64)
inline void stream_spans(double* dst, double* const* v, const Span* span, Py_ssize_t n) {
    for (Py_ssize_t k = 0; k < n; ++k) {
        const Span& sp = span[k];
        const double* src = v[sp.slot];
        double* d = dst + sp.at;
        auto one = [&](Py_ssize_t i) {
            long long bits;
            std::memcpy(&bits, src + i, sizeof bits);
            _mm_stream_si64(reinterpret_cast<long long*>(d + i), bits);
        };
        Py_ssize_t i = 0;
        if (sp.len > 1 && (reinterpret_cast<uintptr_t>(d) & 15) != 0) one(i++);
        for (; i + 1 < sp.len; i += 2) _mm_stream_pd(d + i, _mm_loadu_pd(src + i));
        if (i < sp.len) one(i);
    }
}
// The streamed stores are ordered before anything the call does next.
inline void stream_fence() { _mm_sfence(); }
#else
inline void stream_spans(double* dst, double* const* v, const Span* span, Py_ssize_t n) {
    copy_spans(dst, v, span, n);
}
inline void stream_fence() {}
#endif

// A series source's rows, fetched into the cache a few steps ahead: the
// connector operations read single entries of rows through one load
// instruction for every operand, which defeats the processor's own
// prefetching of strided rows.
struct Ahead {
    const char* data;
    Py_ssize_t stride, bytes, rows;  // bytes from a row's start
};
constexpr Py_ssize_t ahead_steps = 4;

inline void prefetch(const char* p) {
#if defined(__GNUC__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

struct Program {
    std::vector<double> buffer;
    std::vector<Ahead> ahead;
    std::vector<double*> operands;
    std::vector<Py_ssize_t> sizes;
    std::vector<Span> spans;
    std::vector<RowOperand> rows;
    std::vector<Op> ops, store_ops;
    std::vector<Op> prologue;    // what gives the same every step: run once, first
    std::vector<Op> every_step;  // of ops, those a step needs when it keeps no records
    Py_ssize_t records = 0;      // operands of the records' entries, from records_first
    Py_ssize_t records_first = 0;
    Py_ssize_t record_spans = 0, record_spans_first = 0;  // the records as spans
    double dt = 0.0;
    Py_ssize_t start = 0;
    double* out = nullptr;
    double* peaks = nullptr;
    double* balance = nullptr;
    frame::Fpe fpe;
    // where the steps are
    Py_ssize_t out_row = 0;
    Ticker keep{1, 0};
    bool streamed = false;  // the records bypass the cache

    void run(Py_ssize_t from, Py_ssize_t to) {
        double** table = operands.data();
        if (from == 0) execute(prologue, table);
        for (Py_ssize_t t = from; t < to; ++t) {
            const Py_ssize_t T = start + t;
            for (const Ahead& a : ahead)
                if (T + ahead_steps < a.rows) {
                    const char* row = a.data + (T + ahead_steps) * a.stride;
                    for (Py_ssize_t b = 0; b < a.bytes; b += 64) prefetch(row + b);
                }
            for (const RowOperand& r : rows) table[r.slot] = r.base + T * r.stride;
            const bool kept = keep.tick();
            execute(kept ? ops : every_step, table);
            if (kept) {
                if (streamed)
                    stream_spans(out + out_row * records, table + records_first,
                                 spans.data() + record_spans_first, record_spans);
                else
                    copy_spans(out + out_row * records, table + records_first,
                               spans.data() + record_spans_first, record_spans);
                ++out_row;
            }
            execute(store_ops, table);
        }
        if (streamed) stream_fence();
    }

private:
    void execute(const std::vector<Op>& list, double* const* table) {
        for (const Op& op : list) {
            double* const* v = table + op.first;
            switch (op.code) {
                case STATE: {
                    const double q = op.a >= 0 ? v[0][op.a] : 0.0;  // the inflow the block reads
                    op.state(v, dt, fpe);
                    if (op.a >= 0 && q > peaks[op.b]) peaks[op.b] = q;  // never for a NaN
                    break;
                }
                case STREAM:
                    op.stream(v);
                    break;
                case GATHER:  // op.a entries in op.c spans
                    copy_spans(v[0], v, spans.data() + op.sizes, op.c);
                    break;
                case LINEAR:
                    if (op.c == 1)  // an entry, scaled or not: a load from a concentration
                        *v[0] = v[1] ? *v[1] * *v[4] : *v[4];
                    else
                        linear(op, v);
                    break;
                case MIX:
                    mix(op, v);
                    break;
                case SPLIT: {
                    const double* src = v[0];
                    for (Py_ssize_t j = 0; j < op.c; ++j) {
                        double* dst = v[1 + 2 * j];
                        std::memmove(dst, src, op.a * sizeof(double));
                        dst[op.b] = src[op.b] * *v[2 + 2 * j];
                    }
                    break;
                }
                case OVERFLOW: {
                    const double *src = v[0], cap = *v[3];
                    double *kept = v[1], *over = v[2];
                    const double q = src[op.b];
                    std::memmove(kept, src, op.a * sizeof(double));
                    std::memmove(over, src, op.a * sizeof(double));
                    const double k = q > cap ? cap : q;
                    kept[op.b] = k;
                    over[op.b] = q - k;
                    break;
                }
                case LOAD:
                    std::memmove(v[0], v[1], op.a * sizeof(double));
                    break;
                case BALANCE: {
                    const double q = *v[0];
                    double* acc = balance + op.b;
                    acc[0] += dt * q;
                    for (Py_ssize_t k = 0; k < op.a; ++k) acc[1 + k] += dt * (q * *v[1 + k]);
                    break;
                }
                case BALANCE_IF:  // what a block accepts only below a limit of its state
                    if (*v[1] < *v[2]) balance[op.b] += dt * *v[0];
                    break;
            }
        }
    }

    // Operands: the destination entry, the scale entry (or null), the base
    // constant (or null), then per term its coefficient (or null) and its
    // entries; sizes: the entries of each term.
    void linear(const Op& op, double* const* v) const {
        const Py_ssize_t* n = sizes.data() + op.sizes;
        Py_ssize_t at = 3;
        double acc = 0.0;
        if (op.a == 0) acc = *v[2];
        for (Py_ssize_t k = 0; k < op.a; ++k) {
            const double* coef = v[at++];
            double s = *v[at++];
            for (Py_ssize_t j = 1; j < n[k]; ++j) s = s + *v[at++];
            const double t = coef ? *coef * s : s;
            acc = k == 0 ? t : acc + t;
        }
        if (v[1]) acc = *v[1] * acc;
        *v[0] = acc;
    }

    // Operands: the destination, then the inputs. Each entry is summed over
    // the inputs in their order; the entries are formed side by side (the
    // loops run over the entries, which the compiler vectorises), and the
    // flow entry's value, formed with them, is replaced by Q.
    static void mix(const Op& op, double* const* v) {
        const Py_ssize_t n = op.a, flow = op.b, k = op.c;
        double* dst = v[0];
        const double* const* in = v + 1;
        double Q = in[0][flow];
        for (Py_ssize_t j = 1; j < k; ++j) Q = Q + in[j][flow];
        if (Q <= smallest_flow) {
            for (Py_ssize_t i = 0; i < n; ++i) dst[i] = 0.0;
        } else if (op.apart && k > 2) {  // summed in dst itself
            const double q0 = in[0][flow];
            for (Py_ssize_t i = 0; i < n; ++i) dst[i] = q0 * in[0][i];
            for (Py_ssize_t j = 1; j < k; ++j) {
                const double qj = in[j][flow], *x = in[j];
                for (Py_ssize_t i = 0; i < n; ++i) dst[i] = dst[i] + qj * x[i];
            }
            for (Py_ssize_t i = 0; i < n; ++i) dst[i] = dst[i] / Q;
        } else if (k <= 2) {
            const double *a = in[0], *b = in[k - 1], qa = a[flow], qb = b[flow];
            if (k == 1)
                for (Py_ssize_t i = 0; i < n; ++i) dst[i] = (qa * a[i]) / Q;
            else
                for (Py_ssize_t i = 0; i < n; ++i) {
                    double s = qa * a[i];
                    s = s + qb * b[i];
                    dst[i] = s / Q;
                }
        } else {
            // Through rows of sums of our own, as dst may be one of the
            // inputs: the flows are read again for every row, so dst's flow
            // entry keeps its value until the end.
            double sums[frame::max_length];
            for (Py_ssize_t lo = 0; lo < n; lo += frame::max_length) {
                const Py_ssize_t m = std::min<Py_ssize_t>(frame::max_length, n - lo);
                const double q0 = in[0][flow];
                for (Py_ssize_t i = 0; i < m; ++i) sums[i] = q0 * in[0][lo + i];
                for (Py_ssize_t j = 1; j < k; ++j) {
                    const double qj = in[j][flow], *x = in[j] + lo;
                    for (Py_ssize_t i = 0; i < m; ++i) sums[i] = sums[i] + qj * x[i];
                }
                for (Py_ssize_t i = 0; i < m; ++i) sums[i] = sums[i] / Q;
                const Py_ssize_t skip = flow - lo;
                if (skip < 0 || skip >= m) {
                    std::memcpy(dst + lo, sums, m * sizeof(double));
                } else {
                    std::memcpy(dst + lo, sums, skip * sizeof(double));
                    std::memcpy(dst + flow + 1, sums + skip + 1, (m - skip - 1) * sizeof(double));
                }
            }
        }
        dst[flow] = Q;
    }
};

// ---- the operations that give the same every step ----------------------------------

// What an operation reads and writes: visit(entries, count, written) for
// each vector or single entry among its operands.
template <class Visit>
void effects(const Program& p, const Op& op, Visit&& visit) {
    double* const* v = p.operands.data() + op.first;
    switch (op.code) {
        case STATE: {
            const BlockInfo& b = blocks_table[op.block];
            visit(v[0], b.ninputs, false);
            visit(v[2], b.nstates, false);
            for (size_t k = 0; k < b.params.size(); ++k)
                visit(v[3 + k], b.params[k].reads(), false);
            visit(v[1], b.noutputs, true);
            visit(v[2], b.nstates, true);
            break;
        }
        case STREAM: {
            const BlockInfo& b = blocks_table[op.block];
            for (size_t k = 0; k < b.inputs.size(); ++k) visit(v[1 + k], b.inputs[k].length, false);
            visit(v[0], b.noutputs, true);
            break;
        }
        case GATHER:
            for (Py_ssize_t i = 1; i <= op.a; ++i) visit(v[i], 1, false);
            visit(v[0], op.a, true);
            break;
        case LINEAR: {
            Py_ssize_t n = 3;
            for (Py_ssize_t k = 0; k < op.a; ++k) n += 1 + p.sizes[op.sizes + k];
            for (Py_ssize_t i = 1; i < n; ++i)
                if (v[i]) visit(v[i], 1, false);
            visit(v[0], 1, true);
            break;
        }
        case MIX:
            for (Py_ssize_t j = 1; j <= op.c; ++j) visit(v[j], op.a, false);
            visit(v[0], op.a, true);
            break;
        case SPLIT:
            visit(v[0], op.a, false);
            for (Py_ssize_t j = 0; j < op.c; ++j) {
                visit(v[2 + 2 * j], 1, false);
                visit(v[1 + 2 * j], op.a, true);
            }
            break;
        case OVERFLOW:
            visit(v[0], op.a, false);
            visit(v[3], 1, false);
            visit(v[1], op.a, true);
            visit(v[2], op.a, true);
            break;
        case LOAD:
            visit(v[1], op.a, false);
            visit(v[0], op.a, true);
            break;
        case BALANCE:
            for (Py_ssize_t k = 0; k <= op.a; ++k) visit(v[k], 1, false);
            break;
        case BALANCE_IF:
            for (Py_ssize_t k = 0; k < 3; ++k) visit(v[k], 1, false);
            break;
    }
}

// Memory that no step changes: the constants, the parameter vectors and
// the sources of one row.
struct Fixed {
    uintptr_t lo, hi;
};

// Moves the operations that give the same every step into the prologue,
// which runs once before the first step: the connectors and stream blocks
// whose inputs are constants, parameters, sources of one row or the outputs
// of operations moved before them (an industrial stream of constant loads
// through its own fractionation, say). An entry of the buffer that such an
// operation writes is written by no other operation, and read only after
// its last writer in the step: every step then sees what it saw before. The
// operations run in the same order on the same values, so the results are
// the same to the bit.
void fold(Program& p, const std::vector<Fixed>& fixed) {
    const auto lo = reinterpret_cast<uintptr_t>(p.buffer.data());
    const Py_ssize_t n = static_cast<Py_ssize_t>(p.buffer.size());
    const Py_ssize_t nops = static_cast<Py_ssize_t>(p.ops.size());
    const Py_ssize_t nall = nops + static_cast<Py_ssize_t>(p.store_ops.size());
    struct Event {
        Py_ssize_t entry, op;
        bool write;
    };
    std::vector<Event> events;
    std::vector<char> moved(static_cast<size_t>(nops), 0);
    std::vector<Py_ssize_t> last_write(static_cast<size_t>(n), -1);
    std::vector<Py_ssize_t> first_read(static_cast<size_t>(n), PY_SSIZE_T_MAX);
    bool any = false;
    for (Py_ssize_t i = 0; i < nall; ++i) {  // the store operations come last
        const Op& op = i < nops ? p.ops[i] : p.store_ops[i - nops];
        bool can = i < nops && op.code != STATE && op.code != LOAD && op.code != BALANCE &&
                   op.code != BALANCE_IF;
        effects(p, op, [&](const double* at, Py_ssize_t len, bool write) {
            const auto a = reinterpret_cast<uintptr_t>(at);
            if (a >= lo && a < lo + static_cast<uintptr_t>(n) * sizeof(double)) {
                const auto e = static_cast<Py_ssize_t>((a - lo) / sizeof(double));
                for (Py_ssize_t k = e; k < e + len && k < n; ++k) {
                    events.push_back({k, i, write});
                    if (write)
                        last_write[k] = std::max(last_write[k], i);
                    else
                        first_read[k] = std::min(first_read[k], i);
                }
                return;
            }
            const uintptr_t hi = a + static_cast<uintptr_t>(len) * sizeof(double);
            const bool same = std::any_of(fixed.begin(), fixed.end(),
                                          [&](const Fixed& f) { return a >= f.lo && hi <= f.hi; });
            if (write || !same) can = false;
        });
        if (i < nops) {
            moved[i] = can;
            any = any || can;
        }
    }
    if (!any) return;
    // Moved as long as its entries allow, until no operation is taken back:
    // one taken back in a pass counts at once as a writer that stays, for
    // the operations after it (the events are in the operations' order).
    std::vector<Py_ssize_t> staying(static_cast<size_t>(n), 0);
    for (const Event& ev : events)
        if (ev.write && !(ev.op < nops && moved[ev.op])) ++staying[ev.entry];
    auto keeps = [&](const Event& ev) {
        const Py_ssize_t e = ev.entry;
        return staying[e] == 0 &&
               (ev.write ? first_read[e] > last_write[e] : last_write[e] < ev.op);
    };
    for (bool changed = true; changed;) {
        changed = false;
        for (size_t k = 0; k < events.size();) {
            const Py_ssize_t op = events[k].op;
            size_t end = k;
            bool ok = true;
            for (; end < events.size() && events[end].op == op; ++end)
                ok = ok && keeps(events[end]);
            if (op < nops && moved[op] && !ok) {
                moved[op] = 0;
                changed = true;
                for (size_t j = k; j < end; ++j)
                    if (events[j].write) ++staying[events[j].entry];
            }
            k = end;
        }
    }
    std::vector<Op> kept;
    for (Py_ssize_t i = 0; i < nops; ++i) (moved[i] ? p.prologue : kept).push_back(p.ops[i]);
    p.ops = std::move(kept);
}

// Finds the operations that a step needs only when it keeps its records:
// those whose outputs reach the records alone, not a state, a store or a
// balance (the stream blocks and connectors after the last state block, a
// plant's inflow kept every 15 minutes). The other steps run every_step,
// the operations in their order without those. An operation left out reads
// nothing that an operation left out writes at or after its place in the
// step, so a kept step forms what every step would have formed.
void thin(Program& p) {
    const auto lo = reinterpret_cast<uintptr_t>(p.buffer.data());
    const Py_ssize_t n = static_cast<Py_ssize_t>(p.buffer.size());
    const Py_ssize_t nops = static_cast<Py_ssize_t>(p.ops.size());
    p.every_step = p.ops;
    if (nops == 0) return;
    // the entries of the buffer each operation reads and writes
    std::vector<std::vector<Py_ssize_t>> reads(static_cast<size_t>(nops)),
        writes(static_cast<size_t>(nops));
    std::vector<char> always(static_cast<size_t>(nops), 0), needed(static_cast<size_t>(n), 0);
    // whether it writes anything else (a state)
    auto entries = [&](const Op& op, std::vector<Py_ssize_t>* r, std::vector<Py_ssize_t>* w) {
        bool other = false;
        effects(p, op, [&](const double* at, Py_ssize_t len, bool write) {
            const auto a = reinterpret_cast<uintptr_t>(at);
            if (a < lo || a >= lo + static_cast<uintptr_t>(n) * sizeof(double)) {
                other = other || write;
                return;
            }
            const auto e = static_cast<Py_ssize_t>((a - lo) / sizeof(double));
            for (Py_ssize_t k = e; k < e + len && k < n; ++k) (write ? w : r)->push_back(k);
        });
        return other;
    };
    for (Py_ssize_t i = 0; i < nops; ++i) {
        const Op& op = p.ops[i];
        always[i] = entries(op, &reads[i], &writes[i]) || op.code == STATE || op.code == LOAD ||
                    op.code == BALANCE || op.code == BALANCE_IF;
    }
    for (const Op& op : p.store_ops) {
        std::vector<Py_ssize_t> r, w;
        entries(op, &r, &w);
        for (Py_ssize_t e : r) needed[e] = 1;
    }
    std::vector<Py_ssize_t> last_left_out(static_cast<size_t>(n));
    for (bool changed = true; changed;) {
        changed = false;
        std::fill(last_left_out.begin(), last_left_out.end(), -1);
        for (Py_ssize_t i = 0; i < nops; ++i) {
            if (always[i])
                for (Py_ssize_t e : reads[i]) needed[e] = 1;
            else
                for (Py_ssize_t e : writes[i]) last_left_out[e] = i;
        }
        for (Py_ssize_t i = 0; i < nops; ++i) {
            if (always[i]) continue;
            bool need = false;
            for (Py_ssize_t e : writes[i]) need = need || needed[e];
            for (Py_ssize_t e : reads[i]) need = need || last_left_out[e] >= i;
            if (need) always[i] = changed = true;
        }
    }
    p.every_step.clear();
    for (Py_ssize_t i = 0; i < nops; ++i)
        if (always[i]) p.every_step.push_back(p.ops[i]);
}

// ---- checking the plan -----------------------------------------------------------

// "<where>: <detail>" as a ValueError; false.
FRAME_COLD bool plan_error(const std::string& where, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Ref detail = Ref::steal(PyUnicode_FromFormatV(format, args));
    va_end(args);
    if (!detail) return false;
    PyErr_Format(PyExc_ValueError, "%s: %U", where.c_str(), detail.get());
    return false;
}

std::string indexed(const char* field, Py_ssize_t i) {
    return std::string("plan.") + field + "[" + std::to_string(i) + "]";
}

// What an object is, for a message: "a list", "an int64 array of shape
// (3, 2)", "a non-contiguous float64 array of shape (4,)".
std::string description(PyObject* o) {
    if (!PyArray_Check(o)) {
        const char* name = Py_TYPE(o)->tp_name;
        const bool vowel = std::strchr("aeiouAEIOU", name[0]) != nullptr;
        return std::string(vowel ? "an " : "a ") + name;
    }
    PyArrayObject* a = as_array(o);
    std::string s;
    if (!PyArray_IS_C_CONTIGUOUS(a)) s += "non-contiguous ";
    if (!PyArray_ISALIGNED(a)) s += "misaligned ";
    if (!PyArray_ISNOTSWAPPED(a)) s += "byte-swapped ";
    Ref dtype = Ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(a))));
    const char* type = dtype ? PyUnicode_AsUTF8(dtype.get()) : nullptr;
    if (!type) PyErr_Clear();
    s += std::string(type ? type : "?") + " array of shape (";
    for (int d = 0; d < PyArray_NDIM(a); ++d) {
        if (d) s += ", ";
        s += std::to_string(PyArray_DIM(a, d));
    }
    s += PyArray_NDIM(a) == 1 ? ",)" : ")";
    return (std::strchr("aeiou", s[0]) ? "an " : "a ") + s;
}

bool ready(PyObject* o, int type, int min_ndim, int max_ndim) {
    if (!PyArray_Check(o)) return false;
    PyArrayObject* a = as_array(o);
    const int ndim = PyArray_NDIM(a);
    return ndim >= min_ndim && ndim <= max_ndim && PyArray_TYPE(a) == type &&
           PyArray_ISNOTSWAPPED(a) && PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISALIGNED(a);
}

// A float64 array of the plan's that the run reads.
struct Vector {
    PyObject* obj = nullptr;  // held by the plan's attribute, or a copy the pins keep
    double* data = nullptr;
    int ndim = 0;
    Py_ssize_t rows = 1, cols = 0;  // a vector is one row
    std::string name;
};

bool overlaps(const void* a, Py_ssize_t a_bytes, const void* b, Py_ssize_t b_bytes) {
    const auto lo = reinterpret_cast<uintptr_t>(a), hi = lo + static_cast<uintptr_t>(a_bytes);
    const auto other_lo = reinterpret_cast<uintptr_t>(b);
    const auto other_hi = other_lo + static_cast<uintptr_t>(b_bytes);
    return lo < other_hi && other_lo < hi && lo != hi && other_lo != other_hi;
}

// A port: its kind and its vector (row T of a series source at base + T *
// stride).
struct Port {
    int kind = 0;  // 0 buffer, 1 source, 2 states
    Py_ssize_t where = 0, length = 0;
    bool series = false;  // a 2-D source: its row moves every step
    double* base = nullptr;
    Py_ssize_t stride = 0;
};

class Builder {
public:
    Builder(Program& p, const std::vector<Port>& ports, const std::vector<Vector>& params,
            const Vector& constants, Py_ssize_t npeaks, Py_ssize_t nbalance)
        : p_(p),
          ports_(ports),
          params_(params),
          constants_(constants),
          npeaks_(npeaks),
          nbalance_(nbalance) {}

    // Decodes the words of plan.<field> into `list`; `only_loads` for the
    // store operations.
    bool decode(const char* field, const std::int64_t* words, Py_ssize_t n, std::vector<Op>& list,
                bool only_loads) {
        field_ = field;
        words_ = words;
        n_ = n;
        pos_ = 0;
        while (pos_ < n_) {
            op_at_ = pos_;
            const std::int64_t code = words_[pos_++];
            code_ = code >= STATE && code <= BALANCE_IF ? static_cast<int>(code) : 0;
            if (!code_)
                return plan_error(indexed(field_, op_at_),
                                  "%lld is not an operation code (1 to 10)",
                                  static_cast<long long>(code));
            if (only_loads && code_ != LOAD)
                return plan_error(indexed(field_, op_at_),
                                  "a %s operation; the store operations are LOAD operations only",
                                  code_names[code_]);
            Op op{static_cast<Code>(code_)};
            op.first = static_cast<Py_ssize_t>(p_.operands.size());
            if (!decode_op(op)) return false;
            list.push_back(op);
        }
        return true;
    }

    // The records' entries, (port, index) pairs.
    bool records(const std::int64_t* words, Py_ssize_t nrec) {
        p_.records = nrec;
        p_.records_first = static_cast<Py_ssize_t>(p_.operands.size());
        run_.clear();
        for (Py_ssize_t r = 0; r < nrec; ++r) {
            const std::int64_t port = words[2 * r], index = words[2 * r + 1];
            const std::string where = indexed("records", r);
            if (port < 0 || port >= static_cast<std::int64_t>(ports_.size()))
                return plan_error(where, "port %lld does not exist (the plan has %zd ports)",
                                  static_cast<long long>(port),
                                  static_cast<Py_ssize_t>(ports_.size()));
            const Port& pt = ports_[port];
            if (index < 0 || index >= pt.length)
                return plan_error(where, "entry %lld is outside port %lld of %zd entries",
                                  static_cast<long long>(index), static_cast<long long>(port),
                                  pt.length);
            add_entry(pt, index);
            run_.push_back({region(pt), pt.base + index});
        }
        p_.record_spans_first = static_cast<Py_ssize_t>(p_.spans.size());
        p_.record_spans = spans(0, nullptr, nullptr);  // out overlaps nothing
        return true;
    }

private:
    std::vector<std::pair<Py_ssize_t, const double*>> run_;  // (region, entry) read in order

    std::string where(Py_ssize_t at) const {
        return indexed(field_, at) + ", in the " + code_names[code_] + " operation at " +
               indexed(field_, op_at_);
    }

    bool word(std::int64_t& w) {
        if (pos_ >= n_)
            return plan_error(indexed(field_, op_at_),
                              "the %s operation ends past plan.%s's %zd words", code_names[code_],
                              field_, n_);
        w = words_[pos_++];
        return true;
    }

    // A count of at least `least`, and at most `most`: `limit` says what
    // bounds it.
    bool count(Py_ssize_t& c, const char* what, Py_ssize_t least, Py_ssize_t most = PY_SSIZE_T_MAX,
               const char* limit = nullptr) {
        std::int64_t w = 0;
        if (!word(w)) return false;
        if (w < least)
            return plan_error(where(pos_ - 1), "%s %lld is less than %zd", what,
                              static_cast<long long>(w), least);
        if (w > most)
            return plan_error(where(pos_ - 1), "%s %lld is more than %s (%zd)", what,
                              static_cast<long long>(w), limit, most);
        c = static_cast<Py_ssize_t>(w);
        return true;
    }

    // A port number; `written`: the operation writes it, so it may not be a
    // source; `least`: the entries it must have (`exact`: exactly those).
    bool port(const Port*& pt, Py_ssize_t least = 0, bool written = false, bool exact = false) {
        std::int64_t w = 0;
        if (!word(w)) return false;
        if (w < 0 || w >= static_cast<std::int64_t>(ports_.size()))
            return plan_error(where(pos_ - 1), "port %lld does not exist (the plan has %zd ports)",
                              static_cast<long long>(w), static_cast<Py_ssize_t>(ports_.size()));
        pt = &ports_[w];
        if (written && pt->kind == 1)
            return plan_error(where(pos_ - 1),
                              "port %lld is a source's, which no operation may write",
                              static_cast<long long>(w));
        if (exact ? pt->length != least : pt->length < least)
            return plan_error(
                where(pos_ - 1), "port %lld has %zd entries; the operation needs %s%zd",
                static_cast<long long>(w), pt->length, exact ? "" : "at least ", least);
        return true;
    }

    // An entry index within a vector of `length` entries.
    bool entry(Py_ssize_t length, Py_ssize_t& index, const char* what = "entry") {
        std::int64_t w = 0;
        if (!word(w)) return false;
        if (w < 0 || w >= length)
            return plan_error(where(pos_ - 1), "%s %lld is outside a vector of %zd entries", what,
                              static_cast<long long>(w), length);
        index = static_cast<Py_ssize_t>(w);
        return true;
    }

    // A constant's index; -1 too when `none` is allowed (absent: null).
    bool constant(double*& c, bool none = false) {
        std::int64_t w = 0;
        if (!word(w)) return false;
        if (none && w == -1) {
            c = nullptr;
            return true;
        }
        if (w < 0 || w >= constants_.cols)
            return plan_error(where(pos_ - 1),
                              "constant %lld does not exist (plan.constants holds %zd)",
                              static_cast<long long>(w), constants_.cols);
        c = constants_.data + w;
        return true;
    }

    bool param(const Vector*& v, Py_ssize_t least, bool exact = false) {
        std::int64_t w = 0;
        if (!word(w)) return false;
        if (w < 0 || w >= static_cast<std::int64_t>(params_.size()))
            return plan_error(where(pos_ - 1),
                              "parameter vector %lld does not exist (plan.params holds %zd)",
                              static_cast<long long>(w), static_cast<Py_ssize_t>(params_.size()));
        v = &params_[w];
        if (exact ? v->cols != least : v->cols < least)
            return plan_error(where(pos_ - 1), "%s has %zd entries; the block reads %s%zd",
                              v->name.c_str(), v->cols, exact ? "" : "at least ", least);
        return true;
    }

    // Which block of memory a port's entries lie in: the buffer, the
    // states or one source (the constants are -1).
    static Py_ssize_t region(const Port& pt) {
        return pt.kind == 0 ? 0 : pt.kind == 2 ? 1 : 2 + pt.where;
    }

    // The entries in run_, read into entries 0, 1, ... of a destination from
    // operand slots first, first + 1, ...: as spans of entries that lie side
    // by side in one block of memory (a series source's row moves as a
    // whole). Where an entry read lies in the destination's own range
    // [lo, hi), entries are copied one by one, in order. Returns the count.
    Py_ssize_t spans(Py_ssize_t first, const double* lo, const double* hi) {
        bool overlap = false;
        for (const auto& [where, at] : run_) overlap = overlap || (at >= lo && at < hi);
        Py_ssize_t n = 0;
        for (size_t i = 0; i < run_.size(); ++i) {
            const bool joins = !overlap && n > 0 && run_[i].first == run_[i - 1].first &&
                               run_[i].second == run_[i - 1].second + 1;
            if (joins) {
                ++p_.spans.back().len;
            } else {
                const auto at = static_cast<Py_ssize_t>(i);
                p_.spans.push_back({at, first + at, 1});
                ++n;
            }
        }
        return n;
    }

    // Operands: a port's vector, an entry of it, a constant.
    void add_vector(const Port& pt) { add_entry(pt, 0); }
    void add_entry(const Port& pt, Py_ssize_t index) {
        if (pt.series)
            p_.rows.push_back(
                {static_cast<Py_ssize_t>(p_.operands.size()), pt.base + index, pt.stride});
        p_.operands.push_back(pt.base + index);
    }
    void add(double* d) { p_.operands.push_back(d); }

    bool block(Py_ssize_t& b, bool state) {
        if (!count(b, "block", 0, nblocks - 1)) return false;
        if (blocks_table[b].state != state)
            return plan_error(where(pos_ - 1), "block %zd (%s) is not a %s block", b,
                              blocks_table[b].name, state ? "state-space" : "stream");
        return true;
    }

    bool decode_op(Op& op) {
        switch (code_) {
            case STATE:
                return decode_state(op);
            case STREAM:
                return decode_stream(op);
            case GATHER: {
                const Port* dst = nullptr;
                if (!port(dst, 0, true) ||
                    !count(op.a, "the count", 0, dst->length, "the destination's entries"))
                    return false;
                add_vector(*dst);
                run_.clear();
                for (Py_ssize_t i = 0; i < op.a; ++i) {
                    std::int64_t src = 0;
                    if (!word(src)) return false;
                    if (src == -1) {
                        double* c = nullptr;
                        if (!constant(c)) return false;
                        add(c);
                        run_.push_back({-1, c});
                        continue;
                    }
                    --pos_;
                    const Port* from = nullptr;
                    Py_ssize_t index = 0;
                    if (!port(from) || !entry(from->length, index)) return false;
                    add_entry(*from, index);
                    run_.push_back({region(*from), from->base + index});
                }
                op.sizes = static_cast<Py_ssize_t>(p_.spans.size());
                op.c = spans(1, dst->base, dst->base + op.a);
                return true;
            }
            case LINEAR:
                return decode_linear(op);
            case MIX: {
                const Port* dst = nullptr;
                Py_ssize_t n = 0;
                if (!port(dst, 0, true)) return false;
                if (!count(n, "the length", 1, dst->length, "the destination's entries") ||
                    !entry(n, op.b, "flow entry") || !count(op.c, "the number of inputs", 1))
                    return false;
                op.a = n;
                add_vector(*dst);
                op.apart = true;
                const Py_ssize_t bytes = n * static_cast<Py_ssize_t>(sizeof(double));
                for (Py_ssize_t j = 0; j < op.c; ++j) {
                    const Port* in = nullptr;
                    if (!port(in, n)) return false;
                    add_vector(*in);
                    // a source's rows lie in its own memory, apart from every port that is written
                    if (in->kind != 1 && overlaps(dst->base, bytes, in->base, bytes))
                        op.apart = false;
                }
                return true;
            }
            case SPLIT: {
                const Port* src = nullptr;
                if (!port(src) ||
                    !count(op.a, "the length", 1, src->length, "the source's entries") ||
                    !entry(op.a, op.b, "flow entry") || !count(op.c, "the number of outputs", 0))
                    return false;
                add_vector(*src);
                for (Py_ssize_t j = 0; j < op.c; ++j) {
                    const Port* dst = nullptr;
                    double* share = nullptr;
                    if (!port(dst, op.a, true) || !constant(share)) return false;
                    add_vector(*dst);
                    add(share);
                }
                return true;
            }
            case OVERFLOW: {
                const Port *src = nullptr, *kept = nullptr, *over = nullptr;
                double* cap = nullptr;
                if (!port(src) ||
                    !count(op.a, "the length", 1, src->length, "the source's entries") ||
                    !entry(op.a, op.b, "flow entry") || !port(kept, op.a, true) ||
                    !port(over, op.a, true) || !constant(cap))
                    return false;
                add_vector(*src);
                add_vector(*kept);
                add_vector(*over);
                add(cap);
                return true;
            }
            case LOAD: {
                const Port *dst = nullptr, *src = nullptr;
                if (!port(dst, 0, true) || !port(src) ||
                    !count(op.a, "the length", 0, std::min(dst->length, src->length),
                           "the entries of both ports"))
                    return false;
                add_vector(*dst);
                add_vector(*src);
                return true;
            }
            case BALANCE: {
                const Port* pt = nullptr;
                Py_ssize_t flow = 0;
                if (!port(pt) || !entry(pt->length, flow, "flow entry") ||
                    !count(op.a, "the number of entries", 0) || !count(op.b, "the accumulator", 0))
                    return false;
                if (op.b > nbalance_ - 1 - op.a)
                    return plan_error(where(pos_ - 1),
                                      "accumulators %zd to %zd are outside plan.nbalance (%zd)",
                                      op.b, op.b + op.a, nbalance_);
                add_entry(*pt, flow);
                for (Py_ssize_t k = 0; k < op.a; ++k) {
                    Py_ssize_t index = 0;
                    if (!entry(pt->length, index)) return false;
                    add_entry(*pt, index);
                }
                return true;
            }
            case BALANCE_IF: {
                const Port *pt = nullptr, *test = nullptr;
                Py_ssize_t flow = 0, index = 0;
                double* limit = nullptr;
                if (!port(pt) || !entry(pt->length, flow, "flow entry") ||
                    !count(op.b, "the accumulator", 0, nbalance_ - 1, "plan.nbalance - 1") ||
                    !port(test) || !entry(test->length, index, "tested entry") || !constant(limit))
                    return false;
                add_entry(*pt, flow);
                add_entry(*test, index);
                add(limit);
                return true;
            }
        }
        return false;
    }

    bool decode_state(Op& op) {
        Py_ssize_t b = 0, np = 0, flow = 0;
        const Port *u = nullptr, *y = nullptr, *x = nullptr;
        if (!block(b, true)) return false;
        const BlockInfo& info = blocks_table[b];
        if (!port(u, info.ninputs, false, true) || !port(y, info.noutputs, true, true) ||
            !port(x, info.nstates, true, true))
            return false;
        const Py_ssize_t want = static_cast<Py_ssize_t>(info.params.size());
        if (!count(np, "the number of parameter vectors", want, want)) return false;
        add_vector(*u);
        add_vector(*y);
        add_vector(*x);
        for (const frame::Param& spec : info.params) {
            const Vector* v = nullptr;
            if (!param(v, spec.reads())) return false;
            add(v->data);
        }
        std::int64_t w = 0;
        if (!word(w)) return false;
        flow = static_cast<Py_ssize_t>(w);
        if (w >= info.ninputs)
            return plan_error(where(pos_ - 1), "flow entry %lld is outside u of %d entries",
                              static_cast<long long>(w), info.ninputs);
        if (w < 0) {
            flow = -1;
            if (!word(w)) return false;  // the peak is not used
        } else {
            if (!count(op.b, "the peak", 0)) return false;
            if (op.b >= npeaks_)
                return plan_error(where(pos_ - 1), "peak %zd is outside plan.npeaks (%zd)", op.b,
                                  npeaks_);
        }
        op.a = flow;
        op.state = info.state_fn;
        op.block = b;
        return true;
    }

    bool decode_stream(Op& op) {
        Py_ssize_t b = 0, nin = 0;
        const Port* y = nullptr;
        if (!block(b, false)) return false;
        const BlockInfo& info = blocks_table[b];
        if (!port(y, info.noutputs, true, true)) return false;
        const Py_ssize_t want = static_cast<Py_ssize_t>(info.inputs.size());
        if (!count(nin, "the number of inputs", want, want)) return false;
        add_vector(*y);
        for (const frame::Input& in : info.inputs) {
            std::int64_t kind = 0;
            if (!word(kind)) return false;
            if (kind == 0) {
                const Port* pt = nullptr;
                if (!port(pt, in.length, false, in.exact)) return false;
                add_vector(*pt);
            } else if (kind == 1) {
                const Vector* v = nullptr;
                if (!param(v, in.length, in.exact)) return false;
                add(v->data);
            } else {
                return plan_error(
                    where(pos_ - 1),
                    "input kind %lld is neither 0 (a port) nor 1 (a parameter vector)",
                    static_cast<long long>(kind));
            }
        }
        op.stream = info.stream_fn;
        op.block = b;
        return true;
    }

    bool decode_linear(Op& op) {
        const Port* dst = nullptr;
        Py_ssize_t index = 0, nterms = 0;
        if (!port(dst, 0, true) || !entry(dst->length, index)) return false;
        add_entry(*dst, index);
        std::int64_t scale = 0;
        if (!word(scale)) return false;
        if (scale < 0) {
            if (!word(scale)) return false;  // its index is not used
            add(nullptr);
        } else {
            --pos_;
            const Port* pt = nullptr;
            Py_ssize_t i = 0;
            if (!port(pt) || !entry(pt->length, i)) return false;
            add_entry(*pt, i);
        }
        const Py_ssize_t base_at = pos_;
        std::int64_t base = 0;
        if (!word(base) || !count(nterms, "the number of terms", 0)) return false;
        if (nterms == 0) {
            const Py_ssize_t after = pos_;
            pos_ = base_at;
            double* c = nullptr;
            if (!constant(c)) return false;
            pos_ = after;
            add(c);
        } else {
            add(nullptr);
        }
        op.a = nterms;
        op.sizes = static_cast<Py_ssize_t>(p_.sizes.size());
        op.c = 0;  // 1: one term of one entry without a coefficient
        for (Py_ssize_t k = 0; k < nterms; ++k) {
            double* coef = nullptr;
            Py_ssize_t nnames = 0;
            if (!constant(coef, true) || !count(nnames, "the number of entries", 1)) return false;
            add(coef);
            p_.sizes.push_back(nnames);
            if (nterms == 1 && nnames == 1 && !coef) op.c = 1;
            for (Py_ssize_t j = 0; j < nnames; ++j) {
                const Port* pt = nullptr;
                Py_ssize_t i = 0;
                if (!port(pt) || !entry(pt->length, i)) return false;
                add_entry(*pt, i);
            }
        }
        return true;
    }

    Program& p_;
    const std::vector<Port>& ports_;
    const std::vector<Vector>& params_;
    const Vector& constants_;
    Py_ssize_t npeaks_ = 0, nbalance_ = 0;
    const char* field_ = "";
    const std::int64_t* words_ = nullptr;
    Py_ssize_t n_ = 0, pos_ = 0, op_at_ = 0;
    int code_ = 0;
};

// ---- the call ----------------------------------------------------------------------

constexpr const char* plan_fields[] = {"buffer",    "sources",  "ports",     "params",
                                       "constants", "ops",      "store_ops", "records",
                                       "npeaks",    "nbalance", "dt"};
enum Field {
    f_buffer,
    f_sources,
    f_ports,
    f_params,
    f_constants,
    f_ops,
    f_store_ops,
    f_records,
    f_npeaks,
    f_nbalance,
    f_dt,
    nfields
};

enum Arg { a_plan, a_states, a_start, a_steps, a_every, a_out, a_progress, a_chunk };

PyObject* run_impl(Call& call, const frame::Function& f, PyObject* const* args);

constexpr frame::Function run_table() {
    frame::Function f{};
    f.name = "run";
    const char* params[] = {"plan",  "states", "start",    "steps",
                            "every", "out",    "progress", "chunk"};
    for (int i = 0; i < 8; ++i) f.params[i] = params[i];
    f.written = a_out;
    f.impl = run_impl;
    return f;
}

constexpr frame::Function functions[] = {run_table()};

bool noted(int param) {
    return frame::argument_note("checking", functions[0].params[param], functions[0].name);
}

FRAME_COLD bool field_error(Field f, const char* want, PyObject* got) {
    const std::string d = description(got);
    PyErr_Format(PyExc_ValueError, "plan.%s must be %s, not %s", plan_fields[f], want, d.c_str());
    return noted(a_plan);
}

// An int of the plan's, at least 0.
bool plan_count(Field f, PyObject* o, Py_ssize_t& n) {
    if (!PyLong_CheckExact(o)) return field_error(f, "an int", o);
    n = PyLong_AsSsize_t(o);
    if (n == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "plan.%s is too large: %R", plan_fields[f], o);
        return noted(a_plan);
    }
    if (n < 0) {
        PyErr_Format(PyExc_ValueError, "plan.%s must not be negative, not %zd", plan_fields[f], n);
        return noted(a_plan);
    }
    return true;
}

// An int option of at least `least` (start, steps, every, chunk).
bool option(int param, PyObject* o, Py_ssize_t least, Py_ssize_t& n) {
    const char* name = functions[0].params[param];
    if (!PyLong_CheckExact(o)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int", name);
        return noted(param);
    }
    n = PyLong_AsSsize_t(o);
    if (n == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_OverflowError, "%s is too large: %R", name, o);
        return noted(param);
    }
    if (n < least) {
        if (least == 0)
            PyErr_Format(PyExc_ValueError, "%s must not be negative, not %zd", name, n);
        else
            PyErr_Format(PyExc_ValueError, "%s must be at least %zd, not %zd", name, least, n);
        return noted(param);
    }
    return true;
}

// A float64 array of the plan's: its memory made safe (pinned, or copied
// when its owner cannot be trusted), checked, its data read.
bool plan_vector(Call& call, PyObject* o, std::string name, int max_ndim, Vector& v) {
    if (!ready(o, NPY_DOUBLE, 1, max_ndim)) {
        const std::string d = description(o);
        PyErr_Format(PyExc_ValueError,
                     "%s must be an aligned, C-contiguous, native float64 %s, not %s", name.c_str(),
                     max_ndim == 1 ? "vector" : "array of 1 or 2 dimensions", d.c_str());
        return noted(a_plan);
    }
    if (!call.pins.input(o)) return noted(a_plan);
    if (!call.memory_held(as_array(o))) {
        PyErr_Format(PyExc_ValueError,
                     "%s views memory that its base no longer has (resized or freed)",
                     name.c_str());
        return noted(a_plan);
    }
    PyArrayObject* a = as_array(o);
    v.obj = o;
    v.data = static_cast<double*>(PyArray_DATA(a));
    v.ndim = PyArray_NDIM(a);
    v.rows = v.ndim == 2 ? PyArray_DIM(a, 0) : 1;
    v.cols = PyArray_DIM(a, v.ndim - 1);
    v.name = std::move(name);
    return true;
}

bool vectors(Call& call, Field f, PyObject* tuple, int max_ndim, std::vector<Vector>& out) {
    if (!PyTuple_CheckExact(tuple)) return field_error(f, "a tuple of float64 arrays", tuple);
    const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    out.resize(n);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!plan_vector(call, PyTuple_GET_ITEM(tuple, i), indexed(plan_fields[f], i), max_ndim,
                         out[i]))
            return false;
    return true;
}

// An int64 array of the plan's: (rows, width) for width > 0, a vector for 0.
bool words(Field f, PyObject* o, int width, const std::int64_t*& data, Py_ssize_t& n) {
    const int ndim = width ? 2 : 1;
    if (!ready(o, NPY_INT64, ndim, ndim) || (width && PyArray_DIM(as_array(o), 1) != width)) {
        const std::string want =
            width ? "an aligned, C-contiguous, native int64 array of shape (n, " +
                        std::to_string(width) + ")"
                  : std::string("an aligned, C-contiguous, native int64 vector");
        return field_error(f, want.c_str(), o);
    }
    data = static_cast<const std::int64_t*>(PyArray_DATA(as_array(o)));
    n = PyArray_DIM(as_array(o), 0);
    return true;
}

FRAME_COLD bool out_error(const npy_intp* dims) {
    PyErr_Format(PyExc_ValueError,
                 "out must be a writable, C-contiguous, aligned float64 array of shape (%zd, %zd) "
                 "whose memory an array owns",
                 static_cast<Py_ssize_t>(dims[0]), static_cast<Py_ssize_t>(dims[1]));
    return noted(a_out);
}

// Multiples of `every` in [from, to).
Py_ssize_t multiples(Py_ssize_t every, Py_ssize_t from, Py_ssize_t to) {
    auto below = [every](Py_ssize_t n) { return n <= 0 ? 0 : (n - 1) / every + 1; };
    return below(to) - below(from);
}

PyObject* run_impl(Call& call, const frame::Function&, PyObject* const* args) {
    // np.geterr() and the plan's attributes first: the only Python code of
    // the call before the run (properties, __getattr__).
    const frame::Fpe fpe = frame::run_fpe();
    Ref field[nfields];
    for (int i = 0; i < nfields; ++i) {
        field[i] = Ref::steal(PyObject_GetAttrString(args[a_plan], plan_fields[i]));
        if (!field[i]) return noted(a_plan), nullptr;
    }
    PyObject* progress = args[a_progress];
    Py_ssize_t start = 0, steps = 0, every = 0, chunk = 0;
    if (!option(a_start, args[a_start], 0, start) || !option(a_steps, args[a_steps], 0, steps) ||
        !option(a_every, args[a_every], 1, every))
        return nullptr;
    if (progress != Py_None && !PyCallable_Check(progress)) {
        PyErr_SetString(PyExc_TypeError, "progress must be None or a callable");
        return noted(a_progress), nullptr;
    }
    if (!option(a_chunk, args[a_chunk], 1, chunk)) return nullptr;
    if (steps > PY_SSIZE_T_MAX - start) {
        PyErr_Format(PyExc_OverflowError, "start + steps is too large: %zd + %zd", start, steps);
        return noted(a_steps), nullptr;
    }

    try {
        Program prog;
        Py_ssize_t nbuffer = 0, npeaks = 0, nbalance = 0;
        std::vector<Vector> sources, params;
        Vector constants;
        const std::int64_t *port_words, *ops, *store_ops, *records;
        Py_ssize_t nports = 0, nops = 0, nstore = 0, nrec = 0;
        if (!plan_count(f_buffer, field[f_buffer].get(), nbuffer) ||
            !vectors(call, f_sources, field[f_sources].get(), 2, sources) ||
            !words(f_ports, field[f_ports].get(), 3, port_words, nports) ||
            !vectors(call, f_params, field[f_params].get(), 1, params) ||
            !plan_vector(call, field[f_constants].get(), "plan.constants", 1, constants) ||
            !words(f_ops, field[f_ops].get(), 0, ops, nops) ||
            !words(f_store_ops, field[f_store_ops].get(), 0, store_ops, nstore) ||
            !words(f_records, field[f_records].get(), 2, records, nrec) ||
            !plan_count(f_npeaks, field[f_npeaks].get(), npeaks) ||
            !plan_count(f_nbalance, field[f_nbalance].get(), nbalance))
            return nullptr;
        PyObject* dt = field[f_dt].get();
        if (!PyFloat_Check(dt) && !PyLong_CheckExact(dt))
            return field_error(f_dt, "a float", dt), nullptr;
        prog.dt = PyFloat_Check(dt) ? PyFloat_AS_DOUBLE(dt) : PyLong_AsDouble(dt);
        if (prog.dt == -1.0 && PyErr_Occurred()) return noted(a_plan), nullptr;
        if (!(std::isfinite(prog.dt) && prog.dt > 0)) {
            PyErr_Format(PyExc_ValueError, "plan.dt must be a finite positive number, not %R", dt);
            return noted(a_plan), nullptr;
        }

        // states: the caller's array, updated in place.
        PyObject* states = args[a_states];
        if (!PyArray_Check(states)) {
            PyErr_SetString(PyExc_TypeError, "states must be a float64 array");
            return noted(a_states), nullptr;
        }
        if (!ready(states, NPY_DOUBLE, 1, 1) || !PyArray_ISWRITEABLE(as_array(states)) ||
            !call.memory_held(as_array(states))) {
            PyErr_SetString(PyExc_ValueError,
                            "states must be a writable, C-contiguous, aligned float64 vector "
                            "whose memory an array owns");
            return noted(a_states), nullptr;
        }
        double* state_data = static_cast<double*>(PyArray_DATA(as_array(states)));
        const Py_ssize_t nstates = PyArray_DIM(as_array(states), 0);

        for (const Vector& s : sources)
            if (s.ndim == 2 && s.rows < start + steps) {
                PyErr_Format(PyExc_ValueError,
                             "%s has %zd rows; the run reads rows %zd to %zd (start + steps - 1)",
                             s.name.c_str(), s.rows, start, start + steps - 1);
                return noted(a_plan), nullptr;
            }

        // Only the part of the buffer that ports reach is ever read or written.
        Py_ssize_t reached = 1;
        for (Py_ssize_t i = 0; i < nports; ++i) {
            const std::int64_t* w = port_words + 3 * i;
            if (w[0] == 0 && w[1] >= 0 && w[2] >= 0 && w[2] <= nbuffer && w[1] <= nbuffer - w[2])
                reached = std::max<Py_ssize_t>(reached, static_cast<Py_ssize_t>(w[1] + w[2]));
        }
        prog.buffer.assign(static_cast<size_t>(reached), 0.0);
        std::vector<Port> ports(nports);
        for (Py_ssize_t i = 0; i < nports; ++i) {
            const std::int64_t kind = port_words[3 * i], where = port_words[3 * i + 1],
                               length = port_words[3 * i + 2];
            const std::string at = indexed("ports", i);
            Port& p = ports[i];
            p.kind = static_cast<int>(kind);
            p.where = static_cast<Py_ssize_t>(where);
            p.length = static_cast<Py_ssize_t>(length);
            if (length < 0)
                return plan_error(at, "length %lld is negative", static_cast<long long>(length)),
                       noted(a_plan), nullptr;
            if (kind == 0 || kind == 2) {
                const Py_ssize_t size = kind == 0 ? nbuffer : nstates;
                if (where < 0 || length > size || where > size - length)
                    return plan_error(at, "entries %lld to %lld are outside the %s of %zd doubles",
                                      static_cast<long long>(where),
                                      static_cast<long long>(where + length - 1),
                                      kind == 0 ? "buffer" : "states", size),
                           noted(a_plan), nullptr;
                p.base = (kind == 0 ? prog.buffer.data() : state_data) + where;
            } else if (kind == 1) {
                if (where < 0 || where >= static_cast<std::int64_t>(sources.size()))
                    return plan_error(at, "source %lld does not exist (plan.sources holds %zd)",
                                      static_cast<long long>(where),
                                      static_cast<Py_ssize_t>(sources.size())),
                           noted(a_plan), nullptr;
                const Vector& s = sources[where];
                if (length > s.cols)
                    return plan_error(at, "length %lld is more than the %zd entries of a row of %s",
                                      static_cast<long long>(length), s.cols, s.name.c_str()),
                           noted(a_plan), nullptr;
                p.series = s.ndim == 2;
                p.base = s.data;
                p.stride = p.series ? s.cols : 0;
            } else {
                return plan_error(at, "kind %lld is not 0 (buffer), 1 (source) or 2 (states)",
                                  static_cast<long long>(kind)),
                       noted(a_plan), nullptr;
            }
        }
        // Of each series source, the entries its ports read: their rows ahead.
        std::vector<Py_ssize_t> read(sources.size(), 0);
        for (const Port& p : ports)
            if (p.kind == 1) read[p.where] = std::max(read[p.where], p.length);
        for (size_t i = 0; i < sources.size(); ++i)
            if (sources[i].ndim == 2 && read[i] > 0)
                prog.ahead.push_back({reinterpret_cast<const char*>(sources[i].data),
                                      sources[i].cols * static_cast<Py_ssize_t>(sizeof(double)),
                                      read[i] * static_cast<Py_ssize_t>(sizeof(double)),
                                      sources[i].rows});
        // The operands of a series source are set at every step.
        Builder builder(prog, ports, params, constants, npeaks, nbalance);
        if (!builder.decode("ops", ops, nops, prog.ops, false) ||
            !builder.decode("store_ops", store_ops, nstore, prog.store_ops, true) ||
            !builder.records(records, nrec))
            return noted(a_plan), nullptr;

        {
            std::vector<Fixed> fixed;
            auto add = [&](const Vector& v) {
                const auto a = reinterpret_cast<uintptr_t>(v.data);
                fixed.push_back({a, a + static_cast<uintptr_t>(v.rows * v.cols) * sizeof(double)});
            };
            add(constants);
            for (const Vector& v : params) add(v);
            for (const Vector& v : sources)
                if (v.ndim == 1) add(v);
            fold(prog, fixed);
            thin(prog);
        }

        // out: the records' rows at the kept steps.
        const npy_intp out_dims[] = {multiples(every, start, start + steps), nrec};
        PyObject* out = args[a_out];
        if (!PyArray_Check(out)) {
            PyErr_SetString(PyExc_TypeError, "out must be an array");
            return noted(a_out), nullptr;
        }
        PyArrayObject* out_a = as_array(out);
        if (!ready(out, NPY_DOUBLE, 2, 2) || !PyArray_ISWRITEABLE(out_a) ||
            !call.memory_held(out_a) || PyArray_DIM(out_a, 0) != out_dims[0] ||
            PyArray_DIM(out_a, 1) != out_dims[1])
            return out_error(out_dims), nullptr;
        const Py_ssize_t out_bytes = PyArray_NBYTES(out_a);
        const Py_ssize_t state_bytes = nstates * static_cast<Py_ssize_t>(sizeof(double));
        auto bytes = [](const Vector& v) {
            return v.rows * v.cols * static_cast<Py_ssize_t>(sizeof(double));
        };
        auto shared = [&](const void* data, Py_ssize_t n, bool with_states) -> const char* {
            for (const Vector& v : sources)
                if (overlaps(data, n, v.data, bytes(v))) return v.name.c_str();
            for (const Vector& v : params)
                if (overlaps(data, n, v.data, bytes(v))) return v.name.c_str();
            if (overlaps(data, n, constants.data, bytes(constants))) return "plan.constants";
            if (with_states && overlaps(data, n, state_data, state_bytes)) return "states";
            return nullptr;
        };
        if (const char* other = shared(state_data, state_bytes, false)) {
            PyErr_Format(PyExc_ValueError, "states shares memory with %s", other);
            return noted(a_states), nullptr;
        }
        if (const char* other = shared(PyArray_DATA(out_a), out_bytes, true)) {
            PyErr_Format(PyExc_ValueError, "out shares memory with %s", other);
            return noted(a_out), nullptr;
        }

        const npy_intp peak_dims[] = {npeaks}, balance_dims[] = {nbalance};
        Ref peaks = Ref::steal(PyArray_SimpleNew(1, peak_dims, NPY_DOUBLE));
        Ref balance = Ref::steal(PyArray_SimpleNew(1, balance_dims, NPY_DOUBLE));
        if (!peaks || !balance) return noted(a_plan), nullptr;  // npeaks or nbalance too large
        prog.peaks = static_cast<double*>(PyArray_DATA(as_array(peaks.get())));
        prog.balance = static_cast<double*>(PyArray_DATA(as_array(balance.get())));
        std::fill_n(prog.peaks, npeaks, -std::numeric_limits<double>::infinity());
        std::fill_n(prog.balance, nbalance, 0.0);
        prog.out = static_cast<double*>(PyArray_DATA(out_a));
        prog.start = start;
        prog.fpe = fpe;
        prog.keep = Ticker(every, start);
        prog.streamed = out_bytes >= stream_bytes;

        // The arrays the steps read and write, checked again between chunks.
        struct Watched {
            frame::Kept kept;
            const char* name;
            int param;
        };
        std::vector<Watched> watched;
        for (const std::vector<Vector>* list : {&sources, &params})
            for (const Vector& v : *list)
                watched.push_back({frame::Kept::of(v.obj), v.name.c_str(), a_plan});
        watched.push_back({frame::Kept::of(constants.obj), "plan.constants", a_plan});
        watched.push_back({frame::Kept::of(states, true), "states", a_states});
        watched.push_back({frame::Kept::of(out, true), "out", a_out});

        auto between = [&](Py_ssize_t done) {
            if (progress != Py_None) {
                Ref d = Ref::steal(PyLong_FromSsize_t(done));
                Ref total = Ref::steal(PyLong_FromSsize_t(steps));
                if (!d || !total) return false;
                PyObject* argv[] = {d.get(), total.get()};
                Ref r = Ref::steal(PyObject_Vectorcall(progress, argv, 2, nullptr));
                if (!r) return false;
            }
            if (done == steps) return true;
            for (const Watched& w : watched)
                if (!w.kept.unchanged(call)) {
                    frame::changed_between_chunks(w.name);
                    return noted(w.param);
                }
            return true;
        };
        if (!frame::run_in_chunks(
                steps, chunk, [&](Py_ssize_t from, Py_ssize_t to) { prog.run(from, to); }, between))
            return nullptr;
        return Py_BuildValue("iOO", prog.fpe.raised, peaks.get(), balance.get());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    }
}

// ---- the module -------------------------------------------------------------------

bool exec(PyObject*) { return frame::find_loops(); }

constexpr frame::Module module = {.name = "_engine",
                                  .dotted = "tarnlet.model._engine",
                                  .constants = {},
                                  .functions = functions,
                                  .aliases = {},
                                  .exec = exec};

}  // namespace

TARNLET_MODULE(_engine, module)
