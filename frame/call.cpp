// A call of a kernel function: binding, conversion of the array arguments,
// length checks, result allocation and the kernel.
//
// Every step has a general form at the Python level, through the module
// attribute `np` (np.ascontiguousarray, np.empty, np.asarray), and a fast
// form through the NumPy C API that gives the same objects. The fast form
// is taken exactly when:
//   1. an argument is an exact ndarray, 1-D, float64 in native byte order,
//      C-contiguous and aligned, and `np` is the numpy module bound at
//      import: it is used in place, without np.ascontiguousarray
//      (vectors.cpp, contiguous);
//   2. `np` is the numpy module bound at import when a result is
//      allocated: PyArray_SimpleNew allocates it as np.empty would, and it
//      is returned without np.asarray (vectors.cpp, allocate and finish);
//   3. euler_step finds the module's own function as the attribute
//      `derivatives`: its body runs into stack memory and x + dt*dx is
//      formed in C++, unless x is no longer a ready vector of the state's
//      length or an operand or result could raise a floating-point
//      exception; NumPy forms it then (euler.cpp).
// tests/test_fast_paths.py checks every function on both routes for equal
// results, errors and warnings, with `np` and `derivatives` replaced, and
// with the dt and floating-point exception cases of 3. Whatever the route,
// a kernel reads only arrays settled after the call's last Python code
// (vectors.h; tests/test_mutation.py).
#include <cstring>
#include <new>

#include "body.h"
#include "errors.h"
#include "state.h"

namespace frame {

namespace {

// Whether an argument passes a length test (frame.h, Check).
bool passes(const Check& c, const Array* in) {
    const Array& a = in[c.arg];
    // The two kinds of the modules' functions first, without a jump table.
    if (c.kind == Check::exact) return a.cols() == c.length;
    if (c.kind == Check::at_least) return a.cols() >= c.length;
    switch (c.kind) {
        case Check::exact:
        case Check::columns:
            return a.cols() == c.length;
        case Check::at_least:
            return a.cols() >= c.length;
        case Check::per_row:
            return a.cols() >= c.length && (a.ndim() < 2 || a.rows() == in[c.other].rows());
        case Check::some_rows:
            return a.rows() >= c.length && a.matrices() >= 1;
    }
    return false;
}

}  // namespace

bool settle_and_check(const Call& call, const Function& f, Array* in, const char* shown,
                      int count) {
    if (count < 0) count = f.nparams();
    for (int i = 0; i < count; ++i)
        if (!in[i].settle(call, f.params[i])) return argument_note("checking", f.params[i], shown);
    for (int c = 0; c < max_params && f.checks[c].arg >= 0; ++c) {
        const Check& check = f.checks[c];
        if (!passes(check, in)) {
            length_error(f, c, in[check.arg].ndim());
            return argument_note("checking", f.params[check.arg], shown);
        }
    }
    return true;
}

namespace {

// Holders for the arguments of one call, constructed for those only.
class Arguments {
public:
    explicit Arguments(int n) : n_(n) {
        for (int i = 0; i < n; ++i) new (storage_ + i * sizeof(Array)) Array();
    }
    ~Arguments() {
        for (int i = 0; i < n_; ++i) (*this)[i].~Array();
    }
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;
    Array& operator[](int i) {
        return *std::launder(reinterpret_cast<Array*>(storage_ + i * sizeof(Array)));
    }
    Array* begin() { return &(*this)[0]; }

private:
    alignas(Array) unsigned char storage_[max_params * sizeof(Array)];
    int n_;
};

// The kernel into `out`; a misaligned result of a caller's np.empty is
// written through aligned scratch memory.
void run_kernel(const Function& f, const Array* in, Array& out) {
    const double* data[max_params];
    const int n = f.nparams();
    for (int i = 0; i < n; ++i) data[i] = in[i].data();
    if (is_aligned(out.data())) return f.kernel(data, out.data());
    double y[max_length];
    f.kernel(data, y);
    std::memcpy(out.data(), y, f.result * sizeof(double));
}

}  // namespace

bool run_body(Call& call, const Function& f, PyObject* const* args, Array& out, double* scratch,
              const char* shown) {
    if (!shown) shown = f.name;
    const int n = f.nparams();
    Arguments in(n);
    for (int i = 0; i < n; ++i)
        if (!convert(call, args[i], in[i]))
            return argument_note("converting", f.params[i], shown, in[i].refused_ndim() >= 2);
    if (f.allocate_first && !allocate(call, f.result, out, scratch)) return false;
    if (!settle_and_check(call, f, in.begin(), shown)) return false;
    if (!f.allocate_first) {
        const unsigned epoch = call.epoch();
        if (!allocate(call, f.result, out, scratch)) return false;
        if (call.epoch() != epoch && !settle_and_check(call, f, in.begin(), shown)) return false;
    }
    if (!out.settle(call, "the result of np.empty")) return false;
    run_kernel(f, in.begin(), out);
    return true;
}

namespace {

PyObject* kernel_call(Call& call, const Function& f, PyObject* const* args) {
    Array out;
    if (!run_body(call, f, args, out)) return nullptr;
    return finish(call, out);
}

// An argument that may borrow memory the pins must look after: an array
// whose chain of bases does not end in an exact array (which owns its
// memory; held() checks such chains again), an array subclass, or a tuple
// of out= arrays.
inline bool may_borrow(PyObject* o) {
    PyTypeObject* ndarray = &PyArray_Type;
    if (Py_IS_TYPE(o, ndarray)) {
        PyObject* base = PyArray_BASE(as_array(o));
        while (base && Py_IS_TYPE(base, ndarray)) base = PyArray_BASE(as_array(base));
        return base != nullptr;
    }
    return !PyFloat_CheckExact(o) && (PyArray_Check(o) || PyTuple_CheckExact(o));
}

// Before any Python code of the call runs: the memory of every array
// argument made safe (owners.h); an input whose memory has an untrusted
// owner is replaced in `args` by a copy.
bool protect(Call& call, const Function& f, PyObject** args, int n) {
    for (int i = 0; i < n; ++i) {
        if (!may_borrow(args[i])) continue;
        if (i != f.written) {
            if (!call.pins.input(args[i])) return argument_note("converting", f.params[i], f.name);
            continue;
        }
        PyObject* out = args[i];
        const bool pair = PyTuple_CheckExact(out);
        const Py_ssize_t k_end = pair ? PyTuple_GET_SIZE(out) : 1;
        for (Py_ssize_t k = 0; k < k_end; ++k)
            if (!call.pins.output(pair ? PyTuple_GET_ITEM(out, k) : out))
                return argument_note("checking", f.params[i], f.name);
    }
    return true;
}

}  // namespace

PyObject* call(int index, PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
               PyObject* kwnames) {
    const Function& f = state.def->functions[index];
    PyObject* bound[max_params];
    if (!bind(f, index, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return nullptr;
    Call c(module);
    if (!protect(c, f, bound, f.nparams())) return nullptr;
    return f.impl ? f.impl(c, f, bound) : kernel_call(c, f, bound);
}

}  // namespace frame
