// tarnlet._runs: whole input series through a block in one call, with the
// interpreter lock released while the steps run; tarnlet.runs gives it its
// keyword-only options. Its functions come from the blocks meson.build lists
// (blocks.h): <block>_run for every block, and <block>_chain_run for a
// block whose output row is the next one's input row. It also holds the
// registry of the blocks, BLOCKS, from which the Python side, the stubs and
// the tests take every fact about them.
//
// A step of a state-space block is what a Python loop does with the block's
// module, y = outputs(x, u[t], ...) and then x = euler_step(x, u[t], ...,
// dt): the same kernels, sharing what both compute from the same state, and
// x + dt*dx as NumPy forms it, so the results are identical bit for bit. A
// row of a stream run is the block's one function on that row.
//
// Arguments are converted and dt is converted first; every piece of Python
// code a call can run (an argument's __array__, __float__ or __buffer__, a
// caller's `np`) runs before the arrays are settled, their data pointers
// and shapes read, and the caller's out= arrays checked. From there to the
// end of the run no Python code runs.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>

#include "blocks.h"
#include "body.h"
#include "errors.h"
#include "frame.h"
#include "run_step.h"
#include "state.h"
#include "vectors.h"

namespace {

using frame::advance;
using frame::Array;
using frame::Call;
using frame::Check;
using frame::Ref;

constexpr int max_width = frame::max_length;

// ---- what a run keeps -----------------------------------------------------

// A run's steps are numbered from `start` (0, or where an earlier run
// stopped). Outputs are kept at steps whose number is a multiple of
// `every`; states after such steps, the initial state included when start
// is 0 (a continued run's initial state is the earlier run's last); or only
// the state after the last step.
struct Keep {
    Py_ssize_t steps = 0;
    Py_ssize_t start = 0;
    bool initial = true;  // the kept states begin with the initial state
    Py_ssize_t every = 1;
    bool last = false;
    Py_ssize_t record[max_width];  // the kept output indices
    int width = 0;                 // how many
    bool all = true;               // every output index, in order
    double* states = nullptr;
    double* outputs = nullptr;
    double* final = nullptr;  // the state after the last step, whatever is kept
    frame::Fpe fpe;           // the floating-point exceptions of the run's Euler steps

    // Multiples of `every` in [from, to).
    Py_ssize_t multiples(Py_ssize_t from, Py_ssize_t to) const {
        auto below = [this](Py_ssize_t n) { return n <= 0 ? 0 : (n - 1) / every + 1; };
        return below(to) - below(from);
    }
    Py_ssize_t output_rows() const { return multiples(start, start + steps); }
    Py_ssize_t state_rows() const {
        return last ? 1 : multiples(start + 1, start + steps + 1) + initial;
    }
    void pick(const double* y, double* row) const {
        for (int i = 0; i < width; ++i) row[i] = y[record[i]];
    }
};

using frame::Ticker;

// Where the steps of a series are between chunks: the state to step from,
// the next rows to keep, the steps to the next kept ones.
struct Cursor {
    const double* x;
    Py_ssize_t state_row, out_row;
    Ticker out_tick, state_tick;
};

// n blocks of one kind in series (n is 1 but for a chain): in each step
// block j's output row is block j+1's input row. Block j's parameter vector
// i is p[i] + j * p_strides[i]; the input row of step t is us + t * u_stride;
// roll holds 2 * n states. Steps [from, to), one chunk of them: the first
// chunk from 0, the last to k.steps, `at` where the one before left off.
template <class B>
void run_series(const double* x0, Py_ssize_t n, const double* us, Py_ssize_t u_stride,
                const double* const* p, const Py_ssize_t* p_strides, double dt, double* roll,
                Keep& k, Cursor& at, Py_ssize_t from, Py_ssize_t to) {
    constexpr int N = B::NSTATES, NOUT = B::NOUTPUTS;
    constexpr int NP = static_cast<int>(std::size(B::params));
    double ybuf[2][NOUT];
    // The cursor in locals for the chunk: the kernels are calls the compiler
    // must assume may change `at`, whose fields would be read again after
    // every one.
    const double* x = at.x;
    Py_ssize_t state_row = at.state_row, out_row = at.out_row;
    Ticker out_tick = at.out_tick, state_tick = at.state_tick;
    if (from == 0) {
        x = x0;
        if (!k.last && k.initial) {
            std::memcpy(k.states, x0, n * N * sizeof(double));
            x = k.states;
            state_row = 1;
        }
    }
    for (Py_ssize_t t = from; t < to; ++t) {
        const bool keep_y = out_tick.tick(), keep_x = state_tick.tick() && !k.last;
        double* x_next = keep_x ? k.states + state_row * n * N : roll + (t & 1) * n * N;
        const double* in = us + t * u_stride;
        for (Py_ssize_t j = 0; j < n; ++j) {
            const double* pj[NP];
            for (int i = 0; i < NP; ++i) pj[i] = p[i] + j * p_strides[i];
            double* y = keep_y && k.all ? k.outputs + (out_row * n + j) * NOUT : ybuf[j & 1];
            advance<B>(x + j * N, in, pj, dt, y, x_next + j * N, k.fpe);
            if (keep_y && !k.all) k.pick(y, k.outputs + (out_row * n + j) * k.width);
            in = y;
        }
        out_row += keep_y;
        state_row += keep_x;
        x = x_next;
    }
    at = {x, state_row, out_row, out_tick, state_tick};
    if (to < k.steps) return;
    if (k.last) std::memcpy(k.states, x, n * N * sizeof(double));
    std::memcpy(k.final, x, n * N * sizeof(double));
}

// A stream block on the kept rows [from, to); strides[i] is 0 for an input
// that is one vector for every step.
template <class B>
void run_stream(const double* const* inputs, const Py_ssize_t* strides, const Keep& k,
                Py_ssize_t from, Py_ssize_t to) {
    constexpr int NIN = static_cast<int>(std::size(B::inputs));
    double ybuf[B::NOUTPUTS];
    for (Py_ssize_t row = from; row < to; ++row) {
        const Py_ssize_t t = row * k.every;
        const double* in[NIN];
        for (int i = 0; i < NIN; ++i) in[i] = inputs[i] + t * strides[i];
        if (k.all) {
            B::compute(in, k.outputs + row * B::NOUTPUTS);
        } else {
            B::compute(in, ybuf);
            k.pick(ybuf, k.outputs + row * k.width);
        }
    }
}

// ---- in chunks --------------------------------------------------------------

// The first chunk of a run: this many storage steps (rows of a stream run),
// about a millisecond; then chunks of about a tenth of a second, so that
// Ctrl-C stops a run within that time and the lock is taken back rarely
// enough to cost nothing measurable, even beside a thread that runs Python
// code.
constexpr Py_ssize_t first_chunk = Py_ssize_t{1} << 14;
constexpr double chunk_seconds = 0.1;

// work(from, to) over [0, steps) in chunks, the first of `chunk` steps
// (frame::run_in_chunks), once even for no steps: the first chunk sets a run
// up, the last finishes it. Between chunks the arrays are checked again
// (unchanged()), as Python code may have run.
template <class Work, class Unchanged>
bool run_chunks(Py_ssize_t steps, Py_ssize_t chunk, Work&& work, Unchanged&& unchanged) {
    if (steps == 0) {
        work(0, 0);
        return true;
    }
    return frame::run_in_chunks(
        steps, chunk, work, [&](Py_ssize_t done) { return done == steps || unchanged(); },
        chunk_seconds);
}

// The run's arrays, checked again after Python code ran between chunks (a
// signal handler): the arrays a run reads and the caller's out= arrays,
// each with the parameter it came from.
template <int N>
struct Watched {
    frame::Kept kept[N];
    int params[N];
    int n = 0;

    void add(PyObject* a, int param, bool written = false) {
        kept[n] = frame::Kept::of(a, written);
        params[n++] = param;
    }
    bool unchanged(const Call& call, const frame::Function& f) const {
        for (int i = 0; i < n; ++i)
            if (!kept[i].unchanged(call)) {
                frame::changed_between_chunks(f.params[params[i]]);
                return frame::argument_note("checking", f.params[params[i]], f.name);
            }
        return true;
    }
};

// ---- arguments --------------------------------------------------------------

std::string shape_text(int ndim, const npy_intp* dims) {
    std::string s = "(";
    for (int d = 0; d < ndim; ++d) {
        if (d) s += ", ";
        s += std::to_string(dims[d]);
    }
    return s + (ndim == 1 ? ",)" : ")");
}

// f's parameter `name`, with the note naming it; false.
bool noted(const frame::Function& f, int param) {
    return frame::argument_note("checking", f.params[param], f.name);
}

FRAME_COLD bool option_error(const frame::Function& f, int param, PyObject* type,
                             const char* text) {
    PyErr_SetString(type, text);
    return noted(f, param);
}

// A non-negative int option (steps, start).
bool count_option(const frame::Function& f, int param, PyObject* value, Py_ssize_t& n) {
    if (!PyLong_CheckExact(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int", f.params[param]);
        return noted(f, param);
    }
    n = PyLong_AsSsize_t(value);
    if (n == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_OverflowError, "%s is too large: %R", f.params[param], value);
        return noted(f, param);
    }
    if (n < 0) {
        PyErr_Format(PyExc_ValueError, "%s must not be negative, not %zd", f.params[param], n);
        return noted(f, param);
    }
    return true;
}

// record: a tuple of distinct output indices (ints) below nout.
bool parse_record(PyObject* record, int nout, Keep& k) {
    if (!PyTuple_CheckExact(record)) {
        PyErr_SetString(PyExc_TypeError, "record must be None or a tuple of ints");
        return false;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(record);
    if (n > nout) {
        PyErr_Format(PyExc_ValueError, "record holds %zd indices; there are %d outputs", n, nout);
        return false;
    }
    bool seen[max_width] = {};
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(record, i);
        if (!PyLong_CheckExact(item)) {
            PyErr_SetString(PyExc_TypeError, "record must be None or a tuple of ints");
            return false;
        }
        const Py_ssize_t index = PyLong_AsSsize_t(item);
        if (index == -1 && PyErr_Occurred()) PyErr_Clear();
        if (index < 0 || index >= nout) {
            PyErr_Format(PyExc_ValueError, "record index %R is out of range 0 to %d", item,
                         nout - 1);
            return false;
        }
        if (seen[index]) {
            PyErr_Format(PyExc_ValueError, "record holds index %zd twice", index);
            return false;
        }
        seen[index] = true;
        k.record[i] = index;
    }
    k.width = static_cast<int>(n);
    k.all = n == nout;
    for (Py_ssize_t i = 0; k.all && i < n; ++i) k.all = k.record[i] == i;
    return true;
}

// The options record (f's parameter at `at`), every (at + 1) and, when
// `last` is given, the states option (a bool: only the last state), for
// outputs of length nout; an error names the option.
bool parse_options(const frame::Function& f, int at, PyObject* const* args, PyObject* last,
                   int nout, Keep& k) {
    PyObject *record = args[at], *every = args[at + 1];
    if (!PyLong_CheckExact(every))
        return option_error(f, at + 1, PyExc_TypeError, "every must be an int");
    k.every = PyLong_AsSsize_t(every);
    if (k.every == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_OverflowError, "every is too large: %R", every);
        return noted(f, at + 1);
    }
    if (k.every < 1) {
        PyErr_Format(PyExc_ValueError, "every must be at least 1, not %zd", k.every);
        return noted(f, at + 1);
    }
    k.last = last == Py_True;
    if (record == Py_None) {
        k.width = nout;
        for (int i = 0; i < nout; ++i) k.record[i] = i;
        return true;
    }
    return parse_record(record, nout, k) || noted(f, at);
}

// rows * cols * ... doubles, or MemoryError when that many cannot exist.
bool count_elements(int ndim, const npy_intp* dims) {
    npy_intp total = 1;
    for (int d = 0; d < ndim; ++d) {
        if (dims[d] != 0 &&
            total > NPY_MAX_INTP / static_cast<npy_intp>(sizeof(double)) / dims[d]) {
            PyErr_NoMemory();
            return false;
        }
        total *= dims[d];
    }
    return true;
}

// Whether `bytes` bytes at `data` overlap the memory of array `a`.
bool overlaps(PyObject* a, const void* data, Py_ssize_t bytes) {
    auto* arr = frame::as_array(a);
    const auto lo = reinterpret_cast<uintptr_t>(PyArray_DATA(arr));
    const auto hi = lo + static_cast<uintptr_t>(PyArray_NBYTES(arr));
    const auto other_lo = reinterpret_cast<uintptr_t>(data);
    const auto other_hi = other_lo + static_cast<uintptr_t>(bytes);
    return lo < other_hi && other_lo < hi && lo != hi && other_lo != other_hi;
}

// A result: a new array, or the caller's out array checked for its shape,
// dtype, layout, write access and memory, and against overlap with the
// inputs and with the other result.
struct Result {
    Ref array;
    double* data = nullptr;

    bool make(const Call& call, PyObject* out, const char* what, int ndim, const npy_intp* dims,
              const Array* inputs, int ninputs, const Result* other) {
        if (!count_elements(ndim, dims)) return false;
        if (!out) {
            array = Ref::steal(PyArray_SimpleNew(ndim, const_cast<npy_intp*>(dims), NPY_DOUBLE));
            if (!array) return false;
            data = static_cast<double*>(PyArray_DATA(frame::as_array(array.get())));
            return true;
        }
        auto* a = frame::as_array(out);
        bool fits =
            frame::is_usable(a, ndim, ndim) && PyArray_ISWRITEABLE(a) && call.memory_held(a);
        for (int d = 0; fits && d < ndim; ++d) fits = PyArray_DIM(a, d) == dims[d];
        if (!fits) {
            const std::string shape = shape_text(ndim, dims);
            PyErr_Format(PyExc_ValueError,
                         "%s must be a writable, C-contiguous, aligned float64 array of shape %s "
                         "whose memory an array owns",
                         what, shape.c_str());
            return false;
        }
        data = static_cast<double*>(PyArray_DATA(a));
        const Py_ssize_t bytes = PyArray_NBYTES(a);
        bool shared = other && other->array && overlaps(other->array.get(), data, bytes);
        for (int i = 0; !shared && i < ninputs; ++i)
            shared = overlaps(out, inputs[i].data(), inputs[i].bytes());
        if (shared) {
            PyErr_Format(PyExc_ValueError, "%s shares memory with another argument", what);
            return false;
        }
        array = Ref::borrow(out);
        return true;
    }
};

// out: None, or an array, or for a state-space run a pair (states, outputs).
bool unpack_out(const frame::Function& f, PyObject* out, PyObject** results, int n) {
    for (int i = 0; i < n; ++i) results[i] = nullptr;
    if (out == Py_None) return true;
    if (n == 1) {
        if (!PyArray_Check(out))
            return option_error(f, f.written, PyExc_TypeError, "out must be None or an array");
        results[0] = out;
        return true;
    }
    if (!PyTuple_CheckExact(out) || PyTuple_GET_SIZE(out) != 2 ||
        !PyArray_Check(PyTuple_GET_ITEM(out, 0)) || !PyArray_Check(PyTuple_GET_ITEM(out, 1)))
        return option_error(f, f.written, PyExc_TypeError,
                            "out must be None or a pair of arrays (states, outputs)");
    results[0] = PyTuple_GET_ITEM(out, 0);
    results[1] = PyTuple_GET_ITEM(out, 1);
    return true;
}

// The arrays to write into, checked; `what` names each.
bool make_results(const Call& call, const frame::Function& f, PyObject* const* outs,
                  Result* results, const char* const* what, int n, const int* ndims,
                  const npy_intp* const* dims, const Array* inputs, int ninputs) {
    for (int i = 0; i < n; ++i)
        if (!results[i].make(call, outs[i], what[i], ndims[i], dims[i], inputs, ninputs,
                             i ? &results[0] : nullptr))
            return noted(f, f.written);
    return true;
}

bool convert(Call& call, const frame::Function& f, PyObject* const* args, int i, Array& a,
             int min_ndim, int max_ndim) {
    return frame::convert(call, args[i], a, min_ndim, max_ndim) ||
           frame::argument_note("converting", f.params[i], f.name);
}

// dt as float() converts it: a finite positive number.
bool time_step(Call& call, const frame::Function& f, PyObject* const* args, int i, double& dt) {
    PyObject* obj = args[i];
    if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj))
        return option_error(f, i, PyExc_TypeError, "dt must be a number, not a string");
    if (!PyFloat_CheckExact(obj)) call.python_ran();
    Ref value = Ref::steal(PyNumber_Float(obj));
    if (!value) return frame::argument_note("converting", f.params[i], f.name);
    dt = PyFloat_AS_DOUBLE(value.get());
    if (!(std::isfinite(dt) && dt > 0)) {
        PyErr_Format(PyExc_ValueError, "dt must be a finite positive number, not %R", value.get());
        return noted(f, i);
    }
    return true;
}

// The steps of a run over u: its rows, or `steps` for one input vector.
bool step_count(const frame::Function& f, int u_param, int steps_param, const Array& u,
                PyObject* steps, Py_ssize_t& n, Py_ssize_t& stride) {
    if (u.ndim() == 2) {
        if (steps != Py_None)
            return option_error(f, steps_param, PyExc_ValueError,
                                "steps is for one input vector u; u has one row per step, "
                                "which sets the number of steps");
        n = u.rows();
        stride = u.cols();
        return true;
    }
    if (steps == Py_None)
        return option_error(f, u_param, PyExc_ValueError,
                            "u is one input vector: give steps=N, the number of steps to run it "
                            "for, or a series of one row per step");
    stride = 0;
    return count_option(f, steps_param, steps, n);
}

// ---- the tables of a run --------------------------------------------------------

// The checks of a state-space run's arrays: x0 (a state, or rows of states
// of which the last is taken; for a chain, one row per block, or matrices
// of them), u (rows of inputs, or one input vector) and the parameter
// vectors (for a chain the last one one row per block, or one for all).
template <class B>
constexpr void state_space_checks(frame::Function& f, bool chain) {
    constexpr int np = static_cast<int>(std::size(B::params));
    int c = 0;
    f.checks[c++] = {0, B::NSTATES, Check::exact};
    f.checks[c++] = {0, 1, Check::some_rows};
    f.checks[c++] = {1, B::NINPUTS, Check::columns};
    for (int i = 0; i < np; ++i)
        f.checks[c++] = {2 + i, B::params[i].reads(),
                         chain && i == np - 1 ? Check::per_row : Check::at_least, nullptr, 0};
}

// The options after the arrays of a state-space run, in order.
constexpr const char* state_options[] = {"dt",     "steps", "start", "initial",
                                         "record", "every", "out",   "last"};
constexpr const char* stream_options[] = {"record", "every", "out"};

template <frame::StateSpaceBlock B>
PyObject* state_space_run(Call& call, const frame::Function& f, PyObject* const* args);

template <frame::StateSpaceBlock B>
constexpr frame::Function run_function(const char* name, bool chain) {
    frame::Function f{};
    f.name = name;
    int i = 0;
    f.params[i++] = "x0";
    f.params[i++] = "u";
    for (const frame::Param& p : B::params) f.params[i++] = p.name;
    for (const char* option : state_options) f.params[i++] = option;
    f.written = i - 2;
    state_space_checks<B>(f, chain);
    f.impl = state_space_run<B>;
    return f;
}

template <frame::StreamBlock B>
PyObject* stream_run(Call& call, const frame::Function& f, PyObject* const* args);

// Its vectors of exact length are series: one row per step, or one vector
// for every step; its parameter vectors are vectors.
template <frame::StreamBlock B>
constexpr frame::Function run_function(const char* name, bool) {
    frame::Function f{};
    f.name = name;
    int i = 0;
    for (const frame::Input& in : B::inputs) {
        f.checks[i] = {i, in.length, in.exact ? Check::columns : Check::at_least};
        f.params[i++] = in.name;
    }
    for (const char* option : stream_options) f.params[i++] = option;
    f.written = i - 1;
    f.impl = stream_run<B>;
    return f;
}

// ---- a state-space block over a series, or a chain of them ----------------------

template <frame::StateSpaceBlock B>
PyObject* state_space_run(Call& call, const frame::Function& f, PyObject* const* args) {
    constexpr int np = static_cast<int>(std::size(B::params));
    constexpr int n_arrays = 2 + np;
    constexpr int N = B::NSTATES;
    const bool chain = f.checks[n_arrays].kind == Check::per_row;  // on the last parameter
    const int dims = chain ? 1 : 0;  // a chain's states have a dimension more
    // np.geterr() is Python code: asked before any argument is converted.
    const frame::Fpe fpe = frame::run_fpe();
    Array a[n_arrays];
    for (int i = 0; i < n_arrays; ++i) {
        const int lo = i == 0 ? 1 + dims : 1;
        const int hi = i == 0 ? 2 + dims : (i == 1 || (chain && i == n_arrays - 1)) ? 2 : 1;
        if (!convert(call, f, args, i, a[i], lo, hi)) return nullptr;
    }
    if (!frame::settle_and_check(call, f, a, f.name, n_arrays)) return nullptr;
    const unsigned epoch = call.epoch();
    // dt, steps, start, initial, record, every, out, last
    PyObject* const* options = args + n_arrays;
    double dt = 0.0;
    Keep k;
    PyObject* outs[2];
    if (!time_step(call, f, args, n_arrays, dt) ||
        !count_option(f, n_arrays + 2, options[2], k.start) ||
        !parse_options(f, n_arrays + 4, args, options[7], B::NOUTPUTS, k) ||
        !unpack_out(f, options[6], outs, 2))
        return nullptr;
    k.initial = options[3] != Py_False;
    if (call.epoch() != epoch && !frame::settle_and_check(call, f, a, f.name, n_arrays))
        return nullptr;
    Py_ssize_t u_stride;
    if (!step_count(f, 1, n_arrays + 1, a[1], options[1], k.steps, u_stride)) return nullptr;

    // The state to start from: x0's last row (or matrix, for a chain).
    const Py_ssize_t n = chain ? a[0].rows() : 1;
    const Py_ssize_t starts = chain ? a[0].matrices() : a[0].rows();
    const double* x0 = a[0].data() + (starts - 1) * n * N;
    const npy_intp state_dims[] = {k.state_rows(), n, N};
    const npy_intp output_dims[] = {k.output_rows(), n, k.width};
    const npy_intp two_d[][2] = {{state_dims[0], N}, {output_dims[0], k.width}};
    const npy_intp* result_dims[] = {chain ? state_dims : two_d[0], chain ? output_dims : two_d[1]};
    const int ndims[] = {2 + dims, 2 + dims};
    const char* what[] = {"out[0]", "out[1]"};
    Result results[2], chain_roll, final;
    if (!make_results(call, f, outs, results, what, 2, ndims, result_dims, a, n_arrays))
        return nullptr;
    const npy_intp final_dims[] = {n, N};
    if (!final.make(call, nullptr, "", chain ? 2 : 1, chain ? final_dims : final_dims + 1, a, 0,
                    nullptr))
        return nullptr;
    k.final = final.data;
    double roll_row[2 * N];  // one block's two states
    const npy_intp roll_dims[] = {2, n, N};
    if (chain && !chain_roll.make(call, nullptr, "", 3, roll_dims, a, 0, nullptr)) return nullptr;
    double* roll = chain ? chain_roll.data : roll_row;
    k.states = results[0].data;
    k.outputs = results[1].data;
    const double* p[np];
    Py_ssize_t p_strides[np] = {};
    for (int i = 0; i < np; ++i) p[i] = a[2 + i].data();
    if (chain && a[n_arrays - 1].ndim() == 2) p_strides[np - 1] = a[n_arrays - 1].cols();
    k.fpe = fpe;
    Cursor at{nullptr, 0, 0, {k.every, k.start}, {k.every, k.start + 1}};
    Watched<n_arrays + 2> watched;
    for (int i = 0; i < n_arrays; ++i) watched.add(a[i].object(), i);
    for (int i = 0; i < 2; ++i)
        if (outs[i]) watched.add(outs[i], f.written, true);
    const Py_ssize_t chunk = std::max<Py_ssize_t>(1, first_chunk / n);
    if (!run_chunks(
            k.steps, chunk,
            [&](Py_ssize_t from, Py_ssize_t to) {
                run_series<B>(x0, n, a[1].data(), u_stride, p, p_strides, dt, roll, k, at, from,
                              to);
            },
            [&]() { return watched.unchanged(call, f); }))
        return nullptr;
    return Py_BuildValue("OOindO", results[0].array.get(), results[1].array.get(), k.fpe.raised,
                         k.steps, dt, final.array.get());
}

// ---- a stream block over a series ---------------------------------------------

FRAME_COLD bool rows_error(const frame::Function& f, int param) {
    PyErr_SetString(PyExc_ValueError, "Expected every series with the same number of rows.");
    return noted(f, param);
}

template <frame::StreamBlock B>
PyObject* stream_run(Call& call, const frame::Function& f, PyObject* const* args) {
    constexpr int NIN = static_cast<int>(std::size(B::inputs));
    Array a[NIN];
    for (int i = 0; i < NIN; ++i)
        if (!convert(call, f, args, i, a[i], 1, B::inputs[i].exact ? 2 : 1)) return nullptr;
    if (!frame::settle_and_check(call, f, a, f.name, NIN)) return nullptr;
    Keep k;
    k.steps = -1;
    for (int i = 0; i < NIN; ++i) {
        if (a[i].ndim() != 2) continue;
        if (k.steps >= 0 && a[i].rows() != k.steps) return rows_error(f, i), nullptr;
        k.steps = a[i].rows();
    }
    if (k.steps < 0) k.steps = 1;
    PyObject* outs[1];
    if (!parse_options(f, NIN, args, nullptr, B::NOUTPUTS, k) ||
        !unpack_out(f, args[NIN + 2], outs, 1))
        return nullptr;
    const double* data[NIN];
    Py_ssize_t strides[NIN];
    for (int i = 0; i < NIN; ++i) {
        data[i] = a[i].data();
        strides[i] = a[i].ndim() == 2 ? a[i].cols() : 0;
    }
    const npy_intp output_dims[] = {k.output_rows(), k.width};
    const npy_intp* dims[] = {output_dims};
    const int ndims[] = {2};
    const char* what[] = {"out"};
    Result results[1];
    if (!make_results(call, f, outs, results, what, 1, ndims, dims, a, NIN)) return nullptr;
    k.outputs = results[0].data;
    Watched<NIN + 1> watched;
    for (int i = 0; i < NIN; ++i) watched.add(a[i].object(), i);
    if (outs[0]) watched.add(outs[0], f.written, true);
    if (!run_chunks(
            k.output_rows(), first_chunk,
            [&](Py_ssize_t from, Py_ssize_t to) { run_stream<B>(data, strides, k, from, to); },
            [&]() { return watched.unchanged(call, f); }))
        return nullptr;
    return results[0].array.release();
}

// ---- the module: every block's runs ---------------------------------------------------

template <class B>
constexpr int runs_of() {
    if constexpr (frame::StateSpaceBlock<B>)
        return frame::chains<B>() ? 2 : 1;
    else
        return 1;
}

constexpr int run_count = 0
#define TARNLET_COUNT(name, dotted) +runs_of<name::Block>()
    TARNLET_BLOCKS(TARNLET_COUNT)
#undef TARNLET_COUNT
    ;

template <class B>
constexpr void add_runs(std::array<frame::Function, run_count>& fs, int& i, const char* run,
                        const char* chain_run) {
    fs[i++] = run_function<B>(run, false);
    if constexpr (runs_of<B>() == 2) fs[i++] = run_function<B>(chain_run, true);
}

constexpr std::array<frame::Function, run_count> functions = [] {
    std::array<frame::Function, run_count> fs{};
    int i = 0;
#define TARNLET_ADD(name, dotted) add_runs<name::Block>(fs, i, #name "_run", #name "_chain_run");
    TARNLET_BLOCKS(TARNLET_ADD)
#undef TARNLET_ADD
    return fs;
}();

bool describe_blocks(PyObject* module);

bool exec(PyObject* module) { return frame::find_loops() && describe_blocks(module); }

constexpr frame::Module module = {.name = "_runs",
                                  .dotted = "tarnlet._runs",
                                  .constants = {},
                                  .functions = functions,
                                  .aliases = {},
                                  .shown = "tarnlet.runs",
                                  .exec = exec};

// ---- the registry ---------------------------------------------------------------------

// A dict built from (key, new reference) pairs; null when any is null.
Ref dict(std::initializer_list<std::pair<const char*, PyObject*>> items) {
    Ref d = Ref::steal(PyDict_New());
    bool ok = static_cast<bool>(d);
    for (const auto& [key, value] : items) {
        Ref v = Ref::steal(value);
        ok = ok && v && PyDict_SetItemString(d.get(), key, v.get()) == 0;
    }
    return ok ? std::move(d) : Ref();
}

PyObject* ints(std::span<const int> values) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(values.size()));
    for (size_t i = 0; t && i < values.size(); ++i) {
        PyObject* v = PyLong_FromLong(values[i]);
        if (!v) return Py_DECREF(t), nullptr;
        PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), v);
    }
    return t;
}

PyObject* range_except(int n, std::span<const int> left_out) {
    int kept[max_width * 4];
    int count = 0;
    for (int i = 0; i < n; ++i)
        if (std::find(left_out.begin(), left_out.end(), i) == left_out.end()) kept[count++] = i;
    return ints({kept, static_cast<size_t>(count)});
}

PyObject* entries_read(int reads, std::span<const int> read) {
    return read.empty() ? range_except(reads, {}) : ints(read);
}

// A frame function: its name, parameter names, length tests (param, kind,
// length) in order, and result length; `checked_by` is the function whose
// tests apply (derivatives for euler_step).
PyObject* describe_function(const frame::Function& f, const frame::Function* checked_by) {
    const frame::Function& c = checked_by ? *checked_by : f;
    const int n = f.nparams();
    Ref params = Ref::steal(PyTuple_New(n));
    Ref checks = Ref::steal(PyList_New(0));
    if (!params || !checks) return nullptr;
    static const char* const kinds[] = {"exact", "at_least", "columns", "per_row", "some_rows"};
    for (int i = 0; i < n; ++i) {
        PyObject* name = PyUnicode_FromString(f.params[i]);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(params.get(), i, name);
    }
    for (int i = 0; i < frame::max_params && c.checks[i].arg >= 0; ++i) {
        const Check& check = c.checks[i];
        Ref value = Ref::steal(
            Py_BuildValue("(ssn)", c.params[check.arg], kinds[check.kind], check.length));
        if (!value || PyList_Append(checks.get(), value.get()) < 0) return nullptr;
    }
    return dict({{"name", PyUnicode_FromString(f.name)},
                 {"params", params.release()},
                 {"checks", PyList_AsTuple(checks.get())},
                 {"result", PyLong_FromSsize_t(c.result)}})
        .release();
}

// The module functions of a block, as its module has them (the same
// tables); euler_step's arguments are those derivatives checks, and dt.
template <class B>
PyObject* describe_functions() {
    using tables = frame::BlockTables<B>;
    const auto& fs = tables::functions;
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(fs.size())));
    if (!t) return nullptr;
    const frame::Function* derivatives = nullptr;
    for (const frame::Function& f : fs)
        if (std::strcmp(f.name, "derivatives") == 0) derivatives = &f;
    for (size_t i = 0; i < fs.size(); ++i) {
        PyObject* d = describe_function(fs[i], fs[i].impl ? derivatives : nullptr);
        if (!d) return nullptr;
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), d);
    }
    return t.release();
}

template <class B>
PyObject* describe_runs(const char* name) {
    Ref runs = Ref::steal(PyList_New(0));
    if (!runs) return nullptr;
    const std::string run = std::string(name) + "_run", chain = std::string(name) + "_chain_run";
    for (const frame::Function& f : functions) {
        const bool is_chain = chain == f.name;
        if (run != f.name && !is_chain) continue;
        Ref d = Ref::steal(describe_function(f, nullptr));
        if (!d) return nullptr;
        Ref flag = Ref::borrow(is_chain ? Py_True : Py_False);
        if (PyDict_SetItemString(d.get(), "chain", flag.get()) < 0 ||
            PyList_Append(runs.get(), d.get()) < 0)
            return nullptr;
    }
    return PyList_AsTuple(runs.get());
}

PyObject* constants_of(std::span<const frame::Constant> constants) {
    Ref d = Ref::steal(PyDict_New());
    for (const frame::Constant& c : constants) {
        Ref v = Ref::steal(PyLong_FromLong(c.value));
        if (!d || !v || PyDict_SetItemString(d.get(), c.name, v.get()) < 0) return nullptr;
    }
    return d.release();
}

PyObject* aliases_of(std::span<const frame::Alias> aliases) {
    Ref d = Ref::steal(PyDict_New());
    for (const frame::Alias& a : aliases) {
        Ref v = Ref::steal(PyUnicode_FromString(a.target));
        if (!d || !v || PyDict_SetItemString(d.get(), a.name, v.get()) < 0) return nullptr;
    }
    return d.release();
}

// One block: its vectors with their lengths and the entries the kernels
// read, its module functions, its runs.
template <class B>
PyObject* describe(const char* name, const char* dotted) {
    using tables = frame::BlockTables<B>;
    Ref lengths = Ref::steal(PyDict_New());
    Ref reads = Ref::steal(PyDict_New());
    Ref kernels = Ref::steal(PyDict_New());
    if (!lengths || !reads || !kernels) return nullptr;
    auto put = [](PyObject* d, const char* key, PyObject* value) {
        Ref v = Ref::steal(value);
        return v && PyDict_SetItemString(d, key, v.get()) == 0;
    };
    bool ok = true;
    if constexpr (frame::StateSpaceBlock<B>) {
        ok = put(lengths.get(), "x", PyLong_FromLong(B::NSTATES)) &&
             put(lengths.get(), "u", PyLong_FromLong(B::NINPUTS)) &&
             put(lengths.get(), "y", PyLong_FromLong(B::NOUTPUTS)) &&
             put(reads.get(), "x", range_except(B::NSTATES, {})) &&
             put(reads.get(), "u", range_except(B::NINPUTS, frame::unread_inputs<B>()));
        for (const frame::Param& p : B::params)
            ok = ok && put(lengths.get(), p.name, PyLong_FromLong(p.reads())) &&
                 put(reads.get(), p.name, entries_read(p.reads(), p.read)) &&
                 put(kernels.get(), p.name,
                     Py_BuildValue("{sisi}", "outputs", p.outputs_reads, "derivatives",
                                   p.derivatives_reads));
    } else {
        for (const frame::Input& in : B::inputs)
            ok = ok && put(lengths.get(), in.name, PyLong_FromLong(in.length)) &&
                 put(reads.get(), in.name, entries_read(in.length, in.read));
        ok = ok && put(lengths.get(), "y", PyLong_FromLong(B::NOUTPUTS));
    }
    if (!ok) return nullptr;
    constexpr bool state = frame::StateSpaceBlock<B>;
    return dict({{"name", PyUnicode_FromString(name)},
                 {"module", PyUnicode_FromString(dotted)},
                 {"kind", PyUnicode_FromString(state ? "state" : "stream")},
                 {"lengths", lengths.release()},
                 {"reads", reads.release()},
                 {"kernels", kernels.release()},
                 {"functions", describe_functions<B>()},
                 {"constants", constants_of(tables::constants)},
                 {"aliases", aliases_of(tables::aliases)},
                 {"runs", describe_runs<B>(name)},
                 {"allocate_first", PyBool_FromLong(frame::allocates_first<B>())}})
        .release();
}

bool describe_blocks(PyObject* module) {
    Ref blocks = Ref::steal(PyList_New(0));
    if (!blocks) return false;
#define TARNLET_DESCRIBE(name, dotted)                                    \
    {                                                                     \
        Ref d = Ref::steal(describe<name::Block>(#name, dotted));         \
        if (!d || PyList_Append(blocks.get(), d.get()) < 0) return false; \
    }
    TARNLET_BLOCKS(TARNLET_DESCRIBE)
#undef TARNLET_DESCRIBE
    Ref t = Ref::steal(PyList_AsTuple(blocks.get()));
    return t && PyModule_AddObjectRef(module, "BLOCKS", t.get()) == 0;
}

}  // namespace

TARNLET_MODULE(_runs, module)
