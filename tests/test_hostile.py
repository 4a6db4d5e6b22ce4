"""Hostile arguments for every public function.

Each call either returns the right result or raises an ordinary exception;
it never crashes, and it leaves its arguments as they were: same contents,
same reference counts and no buffer export left behind. Arguments are built
afresh inside each example from a drawn recipe, so hypothesis holds no
reference to them and the probes see only what the call left.

Examples per function: TARNLET_HYPOTHESIS_EXAMPLES (default 300).
"""
import contextlib
import ctypes
import math
import os
import re
import sys
import types
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from tarnlet.brookvane import loamtank, sewer
from tarnlet.fenmoor import sedlift
from tarnlet.sallowby import combiner, fractionation

EXAMPLES = int(os.environ.get("TARNLET_HYPOTHESIS_EXAMPLES", "300"))
SETTINGS = settings(max_examples=EXAMPLES, deadline=None, database=None,
                    suppress_health_check=list(HealthCheck))


# ---- the functions --------------------------------------------------------
# parameters: (name, nominal length, kind); kind "=" exact length, ">=" at
# least, "*" any length, "dt" a float

def stepper(x, u, pars):
    return [("x", x, "="), ("u", u, "="), *pars]


SEWER = stepper(24, 27, [("pars", 25, ">="), ("spar", 3, ">=")])
SEWER_D = stepper(24, 27, [("pars", 25, "*"), ("spar", 3, ">=")])
SEDLIFT = stepper(6, 7, [("sspars", 4, ">=")])
LOAMTANK = stepper(1, 2, [("par", 6, ">=")])
DT = [("dt", None, "dt")]
CASES = [
    (sewer, "initialize_state", [("xinit", 24, "=")]),
    (sewer, "outputs", SEWER), (sewer, "derivatives", SEWER_D),
    (sewer, "euler_step", SEWER_D + DT),
    (sedlift, "initialize_state", [("xinit", 6, "=")]),
    (sedlift, "outputs", SEDLIFT), (sedlift, "derivatives", SEDLIFT),
    (sedlift, "euler_step", SEDLIFT + DT),
    (loamtank, "initialize_state", [("xinit", 1, "=")]),
    (loamtank, "outputs", LOAMTANK), (loamtank, "derivatives", LOAMTANK),
    (loamtank, "euler_step", LOAMTANK + DT),
    (fractionation, "compute", [("u", 12, "="), ("pars", 156, ">="),
                                ("fractions", 9, ">="), ("bg_values", 44, ">=")]),
    (combiner, "combine", [("stream_a", 56, "="), ("stream_b", 56, "=")]),
]
IDS = [f"{m.__name__.rsplit('.', 1)[1]}.{f}" for m, f, _ in CASES]
RESULT_LENGTH = {"sewer.outputs": 27, "sedlift.outputs": 13, "loamtank.outputs": 4,
                 "fractionation.compute": 54}


def result_length(module, name, params):
    return RESULT_LENGTH.get(f"{module.__name__.rsplit('.', 1)[1]}.{name}", params[0][1])


def length_message(name, param, n, kind):
    if name == "combine":
        return "Expected two 1D arrays of length 56."
    if kind == ">=":
        return f"Expected {param} of length at least {n}."
    return f"Expected {param} of length {n}."


# ---- values and argument recipes -----------------------------------------

SPECIAL = [0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, 5e-324, -5e-324,
           2.2250738585072014e-308, 1.7976931348623157e308, -1.7976931348623157e308,
           1e-12, 1.0, -1.0, 0.5, 2.0 ** 53 + 1]


def values(n, seed, scale, specials):
    with np.errstate(all="ignore"):
        return _values(n, seed, scale, specials)


def _values(n, seed, scale, specials):
    rng = np.random.default_rng(seed)
    if scale == "moderate":
        v = rng.uniform(0.1, 10.0, n)
    elif scale == "signed":
        v = rng.uniform(-1e3, 1e3, n)
    elif scale == "wide":
        v = rng.choice([-1.0, 1.0], n) * 10.0 ** rng.uniform(-320, 308, n)
    else:
        v = np.zeros(n)
    for index, value in specials:
        if n:
            v[index % n] = value
    return v


class Sub(np.ndarray):
    pass


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class BadFloat:
    def __float__(self):
        raise RuntimeError("no float here")


class FloatSub(float):
    pass


class Indexy:
    def __index__(self):
        return 3


class BadSequence:
    def __init__(self, n):
        self.n = n

    def __len__(self):
        return self.n

    def __getitem__(self, i):
        if i >= self.n - 1:
            raise IndexError(i) if i >= self.n else KeyError(i)
        return 1.0


class ArrayLike:
    def __init__(self, v, fail=False):
        self.v, self.fail = v, fail

    def __array__(self, dtype=None, copy=None):
        if self.fail:
            raise LookupError("no array here")
        return np.array(self.v)


class Keyword(str):
    pass


def stored(v, dtype="<f8", offset=0, step=1, readonly=False, cls=None, shape=None, order="C"):
    """An ndarray over a fresh bytearray (the store), so that a buffer export
    left on the array or on anything over it shows up as a store that can no
    longer be resized."""
    dt = np.dtype(dtype)
    count = len(v) * abs(step)
    store = bytearray(dt.itemsize * max(count, 1) + offset)
    base = np.frombuffer(store, dt, count=count, offset=offset)
    a = base[::step]
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if dt.kind in "iu":
            a[...] = np.clip(np.nan_to_num(v), -100, 100).astype(np.int64)
        elif dt.kind == "b":
            a[...] = v > 1.0
        elif dt.kind == "c":
            a[...] = v + 0.5j * (offset % 2)
        else:
            a[...] = v
    if shape is not None:
        a = a.reshape(shape, order=order)
    if cls is not None:
        a = a.view(cls)
    if readonly:
        a.flags.writeable = False
    return a, store


def memoryview_of(v, fmt, offset=0, shape=None):
    store = bytearray(8 * max(len(v), 1) + offset)
    np.frombuffer(store, "<f8", count=len(v), offset=offset)[...] = v
    m = memoryview(store)[offset:offset + 8 * len(v)]
    m = m.cast("B").cast(fmt, shape) if shape else m.cast(fmt) if fmt != "B" else m
    return m, store


def first(v):
    return float(v[0]) if len(v) else 1.5


def shaped(v, k):
    n = len(v)
    return [(1, n), (n, 1), (1, 1, n), (n, 1, 1)][k % 4]


# form name -> builder(values, extra) giving (object, store or None)
FORMS = {
    "f8": lambda v, k: stored(v),
    "f8-readonly": lambda v, k: stored(v, readonly=True),
    "f8-misaligned": lambda v, k: stored(v, offset=1 + k % 7),
    "f8-swapped": lambda v, k: stored(v, ">f8"),
    "f8-strided": lambda v, k: stored(v, step=(2, -1, -3)[k % 3]),
    "f8-subclass": lambda v, k: stored(v, cls=(Sub, np.ma.MaskedArray, np.recarray)[k % 3]),
    "f8-2d": lambda v, k: stored(v, shape=shaped(v, k)),
    "f8-fortran": lambda v, k: stored(v, shape=(1, len(v)), order="F"),
    "cast": lambda v, k: stored(v, ("<f4", ">f4", "<f2", "<i8", ">i4", "u1", "i1", "?",
                                    "<c16", "<c8", np.longdouble)[k % 11]),
    "cast-misaligned": lambda v, k: stored(v, ("<f4", "<i8", "<c16", ">f8")[k % 4], offset=1),
    "memoryview": lambda v, k: memoryview_of(v, "d", offset=8 * (k % 2)),
    "memoryview-odd": lambda v, k: memoryview_of(
        v, ("d", "B", "f", "d")[k % 4], offset=(0, 0, 0, 3)[k % 4],
        shape=[1, len(v)] if k % 4 == 0 and len(v) else None),
    "bytearray": lambda v, k: (lambda b: (b, b))(bytearray(len(v))),
    "bytes": lambda v, k: (bytes(len(v)), None),
    "list": lambda v, k: ([float(x) for x in v], None),
    "tuple": lambda v, k: (tuple(float(x) for x in v), None),
    "list-mixed": lambda v, k: ([(int(x) if math.isfinite(x) and abs(x) < 1e15 else x)
                                 if i % 3 == 0 else np.float32(x) if i % 3 == 1 else
                                 repr(float(x)) for i, x in enumerate(v)], None),
    "nested": lambda v, k: (([[float(x) for x in v]], [[[float(x)] for x in v]],
                             [list(v), [1.0]], [list(v[:1]), [1.0, 2.0]])[k % 4], None),
    "object-array": lambda v, k: (np.array([Floaty(float(x)) if k % 2 else float(x)
                                            for x in v], dtype=object), None),
    "str-array": lambda v, k: (np.array([repr(float(x)) for x in v],
                                        dtype=("U", "S")[k % 2]), None),
    "bad-element": lambda v, k: ([*map(float, v[:-1]), ("abc", None, object(), 1j,
                                                        BadFloat())[k % 5]], None),
    "scalar": lambda v, k: ((first(v), int(k), True, np.float32(first(v)), np.int8(k),
                             complex(first(v), k), np.float64(first(v)),
                             Floaty(first(v)), Indexy())[k % 9], None),
    "0-d": lambda v, k: (np.array(first(v)).astype(("<f8", ">f8", "O", "<i4")[k % 4]), None),
    "empty": lambda v, k: (([], (), np.empty(0), np.empty((0, 3)), np.empty((2, 0, 1)))[k % 5],
                           None),
    "none": lambda v, k: (None, None),
    "text": lambda v, k: (("abc", "", "1.5", " 2 ", "nan", "1e999")[k % 6], None),
    "object": lambda v, k: ((object(), {}, {1.0}, (x for x in ()), BadFloat(),
                             BadSequence(len(v) or 1), ArrayLike(v), ArrayLike(v, True),
                             ArrayLike(np.reshape(v, (1, -1))), np.matrix(v) if len(v) else 0,
                             10 ** 400, sewer, type, np.zeros(len(v), dtype=[("a", "<f8")]),
                             np.arange(len(v)).astype("M8[s]"))[k % 15], None),
}
# forms that convert to a 1-D vector of the drawn length
GOOD_FORMS = ["f8"] * 6 + ["f8-readonly", "f8-misaligned", "f8-swapped", "f8-strided",
                           "f8-subclass", "cast", "memoryview", "list", "tuple", "list-mixed",
                           "object-array", "str-array"]
DT_VALUES = [0.0, -0.0, 0.25, -1.5, 1e308, math.inf, math.nan, 5e-324, 3, 10 ** 400, True,
             "0.5", " 1e-3 ", "x", "", b"2", bytearray(b"0.75"), None, object(), 1j,
             np.float32(0.1), np.array(0.5), np.array([0.5]), np.int64(2), Floaty(0.125),
             BadFloat(), Indexy(), [0.5], "nan", FloatSub(0.5), Floaty(FloatSub(2.0))]


@st.composite
def recipes(draw, n, kind="="):
    if draw(st.integers(0, 9)) < 8:  # mostly arguments the call accepts
        form = draw(st.sampled_from(GOOD_FORMS))
        length = n if kind == "=" else n + draw(st.sampled_from([0, 0, 0, 1, 7]))
    else:
        form = draw(st.sampled_from(sorted(FORMS)))
        length = max(0, draw(st.sampled_from([n, 0, 1, n - 1, n + 1, n + 2, 2 * n + 1])))
    seed = draw(st.integers(0, 2 ** 32 - 1))
    scale = draw(st.sampled_from(["moderate", "moderate", "signed", "wide", "zero"]))
    specials = draw(st.lists(st.tuples(st.integers(0, 10 ** 6), st.sampled_from(SPECIAL)),
                             max_size=4))
    extra = draw(st.integers(0, 30))
    return (form, length, seed, scale, tuple(specials), extra)


def build(recipe):
    """A fresh argument from a recipe: (object, store or None)."""
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        return _build(recipe)


def _build(recipe):
    if recipe[0] == "dt":
        dt = DT_VALUES[recipe[1]]
        if isinstance(dt, bytearray):
            dt = bytearray(dt)
            return dt, dt
        if isinstance(dt, np.ndarray):
            return dt.copy(), None
        if isinstance(dt, (Floaty, BadFloat, Indexy)):
            return type(dt)(*([dt.value] if isinstance(dt, Floaty) else [])), None
        return dt, None
    form, length, seed, scale, specials, extra = recipe
    return FORMS[form](values(length, seed, scale, specials), extra)


def snapshot(obj):
    """Everything about an argument a call could change."""
    if isinstance(obj, np.ndarray):
        content = repr(obj.tolist()) if obj.dtype.hasobject else obj.tobytes()
        return (type(obj), obj.dtype.str, obj.shape, obj.strides, obj.flags.writeable, content)
    if isinstance(obj, memoryview):
        return (obj.format, obj.shape, obj.tobytes())
    if isinstance(obj, (bytes, bytearray)):
        return (type(obj), bytes(obj))
    if isinstance(obj, (list, tuple)):
        return (type(obj), repr(obj), [snapshot(o) for o in obj])
    return (type(obj), repr(obj), getattr(obj, "__dict__", None) and dict(obj.__dict__))


# ---- calling -------------------------------------------------------------

ADDRESS = re.compile(r" at 0x[0-9a-fA-F]+")


def outcome(fn, args, kwargs=None):
    """("result", array) or ("error", type, message) of one call."""
    try:
        result = fn(*args, **(kwargs or {}))
    except Exception as e:  # noqa: BLE001 - the error is the outcome
        return ("error", type(e), ADDRESS.sub("", str(e)))
    return ("result", result)


def expected(module, name, params, objs):
    """What the call must give, found by converting fresh copies of the
    arguments the documented way and calling the function on clean float64
    vectors."""
    converted = []
    for (param, n, kind), obj in zip(params, objs):
        if kind == "dt":
            continue
        try:
            c = np.ascontiguousarray(obj, dtype=np.float64)
        except Exception as e:  # noqa: BLE001
            return ("error", type(e), ADDRESS.sub("", str(e)))
        if c.ndim != 1:
            return ("error", ValueError,
                    f"Buffer has wrong number of dimensions (expected 1, got {c.ndim})")
        converted.append(np.array(c, dtype=np.float64))
    order = [i for i, p in enumerate(params) if p[2] == "="] + \
            [i for i, p in enumerate(params) if p[2] == ">="]
    for i in order:
        param, n, kind = params[i]
        size = converted[i].shape[0]
        if (size != n) if kind == "=" else (size < n):
            return ("error", ValueError, length_message(name, param, n, kind))
    if params[-1][2] == "dt":
        try:
            float(objs[-1])
        except Exception as e:  # noqa: BLE001
            return ("error", type(e), ADDRESS.sub("", str(e)))
        dt = objs[-1]
        # x + dt*dx as NumPy forms it, floating-point exceptions included
        return outcome(lambda *a: a[0] + float(dt) * module.derivatives(*a), converted)
    return outcome(getattr(module, name), converted)


@contextlib.contextmanager
def general_path(module, on):
    """With `on`, every conversion and allocation goes through Python-level
    calls of `np`, and the Euler step calls `derivatives` as a Python function."""
    if not on:
        yield
        return
    saved = {k: module.__dict__[k] for k in ("np", "derivatives") if k in module.__dict__}
    module.np = types.SimpleNamespace(ascontiguousarray=np.ascontiguousarray, empty=np.empty,
                                      asarray=np.asarray, float64=np.float64)
    if "derivatives" in saved:
        own = saved["derivatives"]
        module.derivatives = lambda *a: own(*a)
    try:
        yield
    finally:
        module.__dict__.update(saved)


def same(a, b):
    if a[0] == "error" or b[0] == "error":
        return a == b
    return (a[1].shape == b[1].shape and a[1].dtype == b[1].dtype
            and a[1].tobytes() == b[1].tobytes())


def check_call(module, name, params, arg_recipes, style, path, strict):
    fn = getattr(module, name)
    built = [build(r) for r in arg_recipes]
    objs = [o for o, _ in built]
    stores = [s for _, s in built if s is not None]
    names = [Keyword(p[0]) if style % 2 else p[0] for p in params]
    npos = len(params) if style == 0 else (style - 1) % (len(params) + 1)
    args, kwargs = objs[:npos], dict(zip(names[npos:], objs[npos:]))
    before = [snapshot(o) for o in objs]
    with warnings.catch_warnings(), np.errstate(all=("ignore", "raise", "warn")[strict]), \
            general_path(module, path):
        warnings.simplefilter("error" if strict else "ignore")
        counts = [sys.getrefcount(o) for o in objs]
        got = outcome(fn, args, kwargs)
        assert [sys.getrefcount(o) for o in objs] == counts, "reference count changed"
        want = expected(module, name, params, [build(r)[0] for r in arg_recipes])
    assert [snapshot(o) for o in objs] == before, "argument changed"
    assert same(got, want), (got, want)
    if got[0] == "result":
        y = got[1]
        assert type(y) is np.ndarray and y.dtype == np.float64 and y.flags.c_contiguous
        assert y.shape == (result_length(module, name, params),)
        assert y.flags.owndata and y.flags.writeable
        assert not any(isinstance(o, np.ndarray) and np.shares_memory(y, o) for o in objs)
    # No export may be left: every memoryview can be released and, once the
    # arguments are gone, every store can be resized.
    for o in objs:
        if isinstance(o, memoryview):
            o.release()
    del objs, args, kwargs, built, got, o
    for s in stores:
        s.append(0)
    return want


@pytest.mark.parametrize("module,name,params", CASES, ids=IDS)
@SETTINGS
@given(data=st.data())
def test_hostile_arguments(module, name, params, data):
    arg_recipes = [("dt", data.draw(st.integers(0, len(DT_VALUES) - 1)))
                   if kind == "dt" else data.draw(recipes(n, kind)) for _, n, kind in params]
    style = data.draw(st.integers(0, 2 * len(params) + 2))
    path = data.draw(st.booleans())
    # floating-point exceptions and warnings ignored, raised, or warned as errors
    strict = data.draw(st.sampled_from([0, 0, 0, 1, 2]))
    want = check_call(module, name, params, arg_recipes, style, path, strict)
    event("result" if want[0] == "result" else want[1].__name__)


# ---- results of valid calls against a scalar reference -------------------

def f64(v):
    return np.float64(v)


def combine_reference(a, b):
    qa, qb = f64(a[37]), f64(b[37])
    q = qb + qa
    return [q if i == 37 else 0.0 if q <= 1e-12 else (qb * f64(b[i]) + qa * f64(a[i])) / q
            for i in range(56)]


def sewer_common(x, spar):
    h = f64(spar[2]) if spar[2] > x[23] else f64(x[23])
    return h, h * f64(spar[0]), (h - f64(spar[2])) ** f64(1.5) * f64(spar[1])


def sewer_outputs_reference(x, u, pars, spar):
    h, v, q = sewer_common(x, spar)
    w = [19, 20, 21, 21, 22, 23, 21, 24, 24]
    s = f64(0.0)
    for k, j in enumerate(range(9, 18)):
        s = f64(pars[w[k]]) * f64(x[j]) if k == 0 else s + f64(pars[w[k]]) * f64(x[j])
    return ([f64(x[i]) / v for i in range(18)] + [s / v, q, u[20]]
            + [f64(x[18 + k]) / v for k in range(5)] + [h])


def sewer_derivatives_reference(x, u, pars, spar):
    h, v, q = sewer_common(x, spar)
    qin = f64(u[19])
    dx = [qin * f64(u[i]) - (q * f64(x[i])) / v for i in range(18)]
    dx += [qin * f64(u[21 + k]) - (q * f64(x[18 + k])) / v for k in range(5)]
    return dx + [(qin - q) / f64(spar[0])]


REFERENCES = [
    (combiner.combine, combine_reference, [56, 56]),
    (sewer.outputs, sewer_outputs_reference, [24, 27, 25, 3]),
    (sewer.derivatives, sewer_derivatives_reference, [24, 27, 25, 3]),
]


@pytest.mark.parametrize("fn,reference,lengths", REFERENCES,
                         ids=[r[0].__name__ for r in REFERENCES])
@SETTINGS
@given(data=st.data())
def test_against_scalar_reference(fn, reference, lengths, data):
    args = []
    for n in lengths:
        _, _, seed, scale, specials, _ = data.draw(recipes(n))
        args.append(values(n, seed, scale, specials))
    if fn is sewer.outputs or fn is sewer.derivatives:
        # the level sits at, below and above the threshold
        args[0][23] = data.draw(st.sampled_from([args[3][2], args[3][2] + 4.0, 0.5, args[0][23]]))
    with np.errstate(all="ignore"):
        want = np.array(reference(*[a.tolist() for a in args]), dtype=np.float64)
    got = fn(*args)
    # IEEE 754 leaves the sign and payload of a NaN result open
    assert np.where(np.isnan(got), np.nan, got).tobytes() == \
        np.where(np.isnan(want), np.nan, want).tobytes(), (got, want)


# ---- argument binding ----------------------------------------------------

@pytest.mark.parametrize("module,name,params", CASES, ids=IDS)
@settings(SETTINGS, max_examples=max(20, EXAMPLES // 4))
@given(data=st.data())
def test_binding(module, name, params, data):
    fn = getattr(module, name)
    n = len(params)
    valid = [0.5 if kind == "dt" else np.ones(length) for _, length, kind in params]
    pool = [p for p, _, _ in params] + ["bogus", "X", "dtt"]
    npos = data.draw(st.integers(0, n + 1))
    keys = data.draw(st.lists(st.sampled_from(pool), unique=True, max_size=n + 1))
    keys = [Keyword(k) if data.draw(st.booleans()) else k for k in keys]
    args = (valid + [1.0])[:npos]
    kwargs = {k: (valid[pool.index(k)] if k in pool[:n] else 1.0) for k in keys}
    plural = "" if n == 1 else "s"

    def count(given_):
        return f"{name}() takes exactly {n} positional argument{plural} ({given_} given)"
    if npos > n:
        want = count(npos)
    elif not keys:
        want = None if npos == n else count(npos)
    else:
        want, filled = None, set(range(npos))
        for k in keys:
            if k not in pool[:n]:
                want = f"{name}() got an unexpected keyword argument '{k}'"
                break
            if pool.index(k) in filled:
                want = f"{name}() got multiple values for keyword argument '{k}'"
                break
            filled.add(pool.index(k))
        if want is None and len(filled) < n:
            want = count(min(set(range(n)) - filled))
    got = outcome(fn, args, kwargs)
    if want is None:
        assert got[0] == "result"
        assert same(got, outcome(fn, valid))
    else:
        assert got == ("error", TypeError, want)


def test_keywords_must_be_strings():
    with pytest.raises(TypeError, match="keywords must be strings"):
        combiner.combine(np.ones(56), **{1: 2})


def test_aliases():
    assert fractionation.fractionate is fractionation.compute
    assert combiner.compute is combiner.combine
    with pytest.raises(TypeError, match=r"^compute\(\) takes exactly 4"):
        fractionation.fractionate()
    with pytest.raises(TypeError, match=r"^combine\(\) takes exactly 2"):
        combiner.compute()


# ---- the probes themselves -----------------------------------------------

class PyBuffer(ctypes.Structure):
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.py_object), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int),
                ("ndim", ctypes.c_int), ("format", ctypes.c_char_p),
                ("shape", ctypes.c_void_p), ("strides", ctypes.c_void_p),
                ("suboffsets", ctypes.c_void_p), ("internal", ctypes.c_void_p)]


@pytest.mark.parametrize("form", ["f8", "f8-misaligned", "f8-strided", "cast", "memoryview"])
def test_probe_detects_held_export(form):
    """A buffer acquired from an argument and not released keeps its store
    from being resized; the same probe passes once it is released."""
    a, store = FORMS[form](np.ones(5), 1)
    view = PyBuffer()
    get = ctypes.pythonapi.PyObject_GetBuffer
    get.argtypes = [ctypes.py_object, ctypes.POINTER(PyBuffer), ctypes.c_int]
    assert get(a, ctypes.byref(view), 0x1c) == 0  # PyBUF_ND | PyBUF_FORMAT ... STRIDES
    count = sys.getrefcount(a)
    if isinstance(a, memoryview):
        with pytest.raises(BufferError):
            a.release()
    del a
    with pytest.raises(BufferError):
        store.append(0)
    ctypes.pythonapi.PyBuffer_Release.argtypes = [ctypes.POINTER(PyBuffer)]
    ctypes.pythonapi.PyBuffer_Release(ctypes.byref(view))
    assert count >= 2
    store.append(0)


def test_probe_detects_held_reference():
    a, store = stored(np.ones(3))
    keep = [a]
    del a
    with pytest.raises(BufferError):
        store.append(0)
    keep.clear()
    store.append(0)
