"""Arguments whose memory belongs to something other than an array.

An array argument may borrow its memory from an object that is not an
ndarray: the helper object behind as_strided and sliding_window_view, an
object exporting __array_interface__ or a Python __buffer__, an mmap (a
memmap), a memoryview, a bytearray, ctypes memory. Python code that runs
during a call (a later argument's __array__, dt's __float__, a caller's
np) frees that memory here, for every function, every argument position
and, for the runs, their out= arrays: each call raises an ordinary
exception or returns what it returns for the arguments as they were when
the call began. The memory freed is large, so that a read or write of it
after the free faults at once; the sanitizer run catches the rest. Cases
run in a fresh interpreter (this file run as a script).
"""
import ctypes
import functools
import itertools
import mmap
import os
import sys
import tempfile
import types

import numpy as np
import pytest
from conftest import DT, FUNCTIONS, run_in_fresh_interpreter, run_labelled
from numpy.lib.stride_tricks import as_strided, sliding_window_view

BIG = 1 << 20  # doubles (8 MiB): freed pages go back to the system


def big_base(values):
    """A large array of our own whose head holds `values`."""
    base = np.full(BIG, 7.0)
    base[:values.size] = values.ravel()
    return base


def shrink(a):
    a.__setstate__((1, (1,), np.dtype("f8"), False, bytes(8)))  # 8 bytes of new memory


class Interface:
    def __init__(self, base, shape):
        self.base = base
        self.__array_interface__ = {"shape": shape, "typestr": "<f8", "version": 3,
                                    "data": (base.ctypes.data, False)}


class Exporter:
    def __init__(self, base, shape):
        self.base, self.shape = base, shape

    def __buffer__(self, flags):
        return memoryview(self.base[:int(np.prod(self.shape))].reshape(self.shape))


def _strided(values):
    b = big_base(values)
    return as_strided(b, shape=values.shape, strides=np.empty(values.shape).strides), lambda: shrink(b)


def _window(values):
    b = big_base(values)
    return sliding_window_view(b, values.size)[0].reshape(values.shape), lambda: shrink(b)


def _interface(values):
    b = big_base(values)
    return np.asarray(Interface(b, values.shape)), lambda: shrink(b)


def _exporter(values):
    b = big_base(values)
    return np.asarray(Exporter(b, values.shape)), lambda: shrink(b)


def _memoryview(values):
    b = big_base(values)
    view = memoryview(b)

    def release():
        view.release()
        b.resize(1, refcheck=False)
    return np.asarray(view)[:values.size].reshape(values.shape), release


def _memmap(values):
    fd, path = tempfile.mkstemp()
    os.close(fd)
    mapped = np.memmap(path, dtype=np.float64, mode="w+", shape=(BIG,))
    os.unlink(path)
    mapped[:values.size] = values.ravel()
    return mapped[:values.size].reshape(values.shape), mapped.base.close


def _mmap(values):
    store = mmap.mmap(-1, 8 * BIG)
    view = np.frombuffer(store, dtype=np.float64, count=values.size)
    view[:] = values.ravel()
    return view.reshape(values.shape), store.close


def _bytearray(values):
    store = bytearray(values.tobytes()) + bytearray(8 * BIG)
    return (np.frombuffer(store, dtype=np.float64, count=values.size).reshape(values.shape),
            lambda: store.__init__(b""))


def _ctypes(values):
    c = (ctypes.c_double * values.size)(*values.ravel())
    return np.ctypeslib.as_array(c).reshape(values.shape), lambda: ctypes.resize(c, 8 * BIG)


# kind of owner -> maker of (an array holding a copy of `values`, free); free()
# releases the memory the array reads from, or tries to.
OWNERS = {"as_strided": _strided, "sliding_window_view": _window, "array interface": _interface,
          "Python __buffer__": _exporter, "memoryview": _memoryview, "memmap": _memmap,
          "mmap buffer": _mmap, "bytearray": _bytearray, "ctypes": _ctypes}


def outcome(fn, args, kwargs=None):
    try:
        return ("result", fn(*args, **(kwargs or {})))
    except Exception as e:  # noqa: BLE001 - the error is the outcome
        return ("error", type(e).__name__, str(e))


def bits(result):
    return [(r.shape, r.tobytes()) for r in (result if isinstance(result, tuple) else (result,))]


def verdict(got, before):
    """None when `got` is an ordinary exception or `before`'s result."""
    if got[0] == "error":
        return None if got[1] not in ("SystemError", "MemoryError") else repr(got)[:300]
    if before[0] == "result" and bits(got[1]) == bits(before[1]):
        return None
    return repr(got)[:300]


class Trigger:
    """An argument whose conversion (__array__ or __float__) first runs free()."""

    def __init__(self, value, free):
        self.value, self.free = value, free

    def _fire(self):
        try:
            self.free()
        except (BufferError, ValueError):  # an owner that refuses to go while pinned
            pass

    def __array__(self, dtype=None, copy=None):
        self._fire()
        return np.array(self.value, dtype=dtype)

    def __float__(self):
        self._fire()
        return float(self.value)


def caller_numpy(free):
    """A caller's np whose ascontiguousarray frees the victim first."""
    def ascontiguousarray(a, dtype=None):
        Trigger(None, free)._fire()
        return np.ascontiguousarray(a, dtype=dtype)
    return types.SimpleNamespace(ascontiguousarray=ascontiguousarray, empty=np.empty,
                                 asarray=np.asarray, float64=np.float64)


# ---- the five modules --------------------------------------------------------

def module_cases():
    for f in FUNCTIONS:
        n = len(f.params)
        for i in range(n):
            if f.params[i].kind == DT:
                continue
            for j in [*range(i + 1, n), "np"]:
                for kind in OWNERS:
                    yield (f"{f.id} arg {i} ({kind}) freed by {'np' if j == 'np' else f'arg {j}'}",
                           functools.partial(module_case, f, i, j, kind))


def module_case(f, i, j, kind):
    good = f.arguments(lambda n: np.linspace(0.5, 2.0, n), dt=0.125)
    before = outcome(f.fn, good)
    victim, free = OWNERS[kind](np.asarray(good[i], dtype=np.float64))
    hostile = list(good)
    hostile[i] = victim
    if j == "np":
        saved = f.module.np
        f.module.np = caller_numpy(free)
        try:
            got = outcome(f.fn, hostile)
        finally:
            f.module.np = saved
    else:
        hostile[j] = Trigger(good[j], free)
        got = outcome(f.fn, hostile)
    return verdict(got, before)


# ---- whole runs: inputs and out= ---------------------------------------------

def run_makers():
    from tarnlet import runs
    rows, spar, lin = 64, np.array([10.0, 2.0, 0.5]), np.linspace

    def series(width):
        return lin(0.1, 2.0, rows * width).reshape(rows, width)
    return {
        runs.sewer_run: lambda: [np.r_[lin(1, 5, 23), 1.3], series(27), lin(0.1, 1, 25), spar, 1e-3],
        runs.sedlift_run: lambda: [lin(0, 50, 6), series(7), np.array([100.0, 1, 2, 0.25]), 1e-3],
        runs.loamtank_run: lambda: [np.array([1.2]), series(2),
                                    np.array([2.0, 0.5, 100.0, 0.01, 3.0, 0.2]), 1e-3],
        runs.sewer_chain_run: lambda: [np.column_stack([np.ones((3, 23)), np.full(3, 0.8)]),
                                       series(27), lin(0.1, 1, 25), np.array([spar] * 3), 1e-3],
        runs.fractionation_run: lambda: [series(12), lin(0.5, 2, 156), lin(0.1, 0.9, 9),
                                         lin(-5, 50, 44)],
        runs.combiner_run: lambda: [series(56), series(56)[::-1].copy()],
    }


def run_cases():
    for fn, make in run_makers().items():
        n = len(make())
        for (i, j), kind in itertools.product(itertools.combinations(range(n), 2), OWNERS):
            yield (f"{fn.__name__} arg {i} ({kind}) freed by arg {j}",
                   functools.partial(run_input_case, fn, make, i, j, kind))
        before = outcome(fn, make())
        for r, kind in itertools.product(range(len(bits(before[1]))), OWNERS):
            yield (f"{fn.__name__} out {r} ({kind}) freed by arg {n - 1}",
                   functools.partial(run_out_case, fn, make, r, kind))


def run_input_case(fn, make, i, j, kind):
    good = make()
    before = outcome(fn, good)
    hostile = list(good)
    hostile[i], free = OWNERS[kind](np.asarray(good[i], dtype=np.float64))
    hostile[j] = Trigger(good[j], free)
    return verdict(outcome(fn, hostile), before)


def run_out_case(fn, make, r, kind):
    good = make()
    before = outcome(fn, good)
    results = before[1] if isinstance(before[1], tuple) else (before[1],)
    out = [np.empty_like(a) for a in results]
    out[r], free = OWNERS[kind](np.zeros_like(results[r]))
    hostile = good[:-1] + [Trigger(good[-1], free)]
    got = outcome(fn, hostile, {"out": tuple(out) if len(out) > 1 else out[0]})
    return verdict(got, before)


# ---- Python code that runs where the frame takes memory ----------------------

class Exported(np.ndarray):
    """An array whose Python __buffer__ exports other memory: `exported`."""

    def __buffer__(self, flags):
        return memoryview(self.exported)


def exported(array, other):
    a = array.view(Exported)
    a.exported = other
    return a


def exporter_cases():
    for f in FUNCTIONS:
        yield f"{f.id}: np.empty gives a 1-entry array exporting more", functools.partial(
            exporter_result_case, f)
        yield f"{f.id}: np.ascontiguousarray gives float32 exporting float64", functools.partial(
            exporter_argument_case, f)


def exporter_result_case(f):
    """The kernel writes what the buffer protocol hands out, never past the
    array's own end; any ordinary outcome will do."""
    good = f.arguments(lambda n: np.linspace(0.5, 2.0, n), dt=0.125)
    saved = f.module.np
    f.module.np = types.SimpleNamespace(
        ascontiguousarray=np.ascontiguousarray, asarray=np.asarray, float64=np.float64,
        empty=lambda n, dtype=None: exported(np.zeros(1), np.zeros(int(n))))
    try:
        got = outcome(f.fn, good)
    finally:
        f.module.np = saved
    return None if got[0] == "result" or got[1] not in ("SystemError", "MemoryError") else repr(got)


def exporter_argument_case(f):
    """What the buffer protocol hands out is what the kernel reads: the result
    is the call on the exported float64 values."""
    good = f.arguments(lambda n: np.linspace(0.5, 2.0, n), dt=0.125)
    want = outcome(f.fn, [a * 0.5 if isinstance(a, np.ndarray) else a for a in good])

    def ascontiguousarray(a, dtype=None):
        a = np.asarray(a, dtype=np.float64)
        return exported(a.astype(np.float32), a * 0.5) if a.ndim == 1 else a
    saved = f.module.np
    f.module.np = types.SimpleNamespace(ascontiguousarray=ascontiguousarray, asarray=np.asarray,
                                        float64=np.float64, empty=np.empty)
    try:
        got = outcome(f.fn, good)
    finally:
        f.module.np = saved
    return verdict(got, want)


class CollidingKey:
    """A key of a module's dictionary with the hash of `name`: looking `name`
    up compares it, and the comparison re-types the victim once."""

    def __init__(self, name, victim):
        self.name, self.victim = name, victim

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if self.victim is not None:
            v, self.victim = self.victim, None
            v.__setstate__((1, v.shape, np.dtype("i1"), False, bytes(range(1, v.size + 1))))
        return False


def lookup_cases():
    for f in FUNCTIONS:
        for i, name in itertools.product(range(len(f.params)), ("np", "derivatives")):
            if f.params[i].kind != DT and (name == "np" or f.name == "euler_step"):
                yield f"{f.id} arg {i} re-typed by a look-up of {name!r}", functools.partial(
                    lookup_case, f, i, name)


def lookup_case(f, i, name):
    """The argument as it was, or as it became (int8 of the same length)."""
    good = f.arguments(lambda n: np.linspace(0.5, 2.0, n), dt=0.125)
    victim = good[i].copy()
    after = np.arange(1, victim.size + 1, dtype=np.int8)
    valid = [outcome(f.fn, good), outcome(f.fn, good[:i] + [after] + good[i + 1:])]
    namespace = vars(f.module)
    value = namespace.pop(name)
    key = CollidingKey(name, victim)
    namespace[key] = None  # probed before `name`, which goes in again after it
    namespace[name] = value
    try:
        got = outcome(f.fn, good[:i] + [victim] + good[i + 1:])
    finally:
        del namespace[key]
    if got[0] == "error" and got[1] not in ("SystemError", "MemoryError"):
        return None
    return None if any(verdict(got, v) is None for v in valid) else repr(got)[:300]


# ---- running the cases in a fresh interpreter --------------------------------

CLASSES = {"modules": module_cases, "runs": run_cases, "exporters": exporter_cases,
           "look-ups": lookup_cases}


@pytest.mark.parametrize("kind", list(CLASSES))
def test_memory_freed_under_a_call(kind, tmp_path):
    run_in_fresh_interpreter(__file__, kind, tmp_path, least=21)


if __name__ == "__main__":
    run_labelled(CLASSES[sys.argv[1]]())
