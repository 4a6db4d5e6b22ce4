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
import functools
import gc
import math
import os
import re
import sys
import warnings

import numpy as np
import pytest
from conftest import AT_LEAST, DT, EXACT, FUNCTIONS, IDS, general_route
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from test_mutation import MUTATIONS, Trigger

from tarnlet.brookvane import sewer
from tarnlet.sallowby import combiner

EXAMPLES = int(os.environ.get("TARNLET_HYPOTHESIS_EXAMPLES", "300"))
SETTINGS = settings(max_examples=EXAMPLES, deadline=None, database=None,
                    suppress_health_check=list(HealthCheck))
DIMS = "Buffer has wrong number of dimensions (expected 1, got {})"


def length_message(f, param):
    if f.name == "combine":
        return "Expected two 1D arrays of length 56."
    least = "at least " if param.kind == AT_LEAST else ""
    return f"Expected {param.name} of length {least}{param.length}."


# ---- values and argument recipes -----------------------------------------

SPECIAL = [0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, 5e-324, -5e-324,
           2.2250738585072014e-308, 1.7976931348623157e308, -1.7976931348623157e308,
           1e-12, 1.0, -1.0, 0.5, 2.0 ** 53 + 1]


def values(n, seed, scale, specials):
    """A fresh vector of the recipe (every call of an example builds its own
    arguments from it: the numbers are made once)."""
    return _values(n, seed, scale, specials).copy()


@functools.lru_cache(maxsize=4096)
def _values(n, seed, scale, specials):
    with np.errstate(all="ignore"):
        v = _draw_values(n, seed, scale, specials)
    v.flags.writeable = False
    return v


def _draw_values(n, seed, scale, specials):
    rng = np.random.default_rng(seed)
    if scale == "moderate":
        v = rng.uniform(0.1, 10.0, n)
    elif scale == "signed":
        v = rng.uniform(-1e3, 1e3, n)
    elif scale == "wide":
        v = rng.choice([-1.0, 1.0], n) * 10.0 ** rng.uniform(-320, 308, n)
    else:
        v = np.zeros(n)
    if n:
        for index, k in np.random.default_rng([seed, 1]).integers(0, [n, len(SPECIAL)], (specials, 2)):
            v[index] = SPECIAL[k]
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
                             10 ** 400, combiner, type, np.zeros(len(v), dtype=[("a", "<f8")]),
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
def recipes(draw, n, kind=EXACT):
    if draw(st.integers(0, 9)) < 8:  # mostly arguments the call accepts
        form = draw(st.sampled_from(GOOD_FORMS))
        length = n if kind == EXACT else n + draw(st.sampled_from([0, 0, 0, 1, 7]))
    else:
        form = draw(st.sampled_from(sorted(FORMS)))
        length = max(0, draw(st.sampled_from([n, 0, 1, n - 1, n + 1, n + 2, 2 * n + 1])))
    seed = draw(st.integers(0, 2 ** 32 - 1))
    scale = draw(st.sampled_from(["moderate", "moderate", "signed", "wide", "zero"]))
    specials = draw(st.integers(0, 4))  # how many; where and which follow from the seed
    extra = draw(st.integers(0, 30))
    return (form, length, seed, scale, specials, extra)


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


@contextlib.contextmanager
def no_collection():
    """The cyclic collector off: run during a call, it may free old garbage
    that held a reference to a shared argument such as a dt constant."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def outcome(fn, args, kwargs=None):
    """("result", array) or ("error", type, message) of one call."""
    try:
        result = fn(*args, **(kwargs or {}))
    except Exception as e:  # noqa: BLE001 - the error is the outcome
        return ("error", type(e), ADDRESS.sub("", str(e)))
    return ("result", result)


def wrong_length(param, n):
    return n != param.length if param.kind == EXACT else param.kind == AT_LEAST and n < param.length


def explanations(f, objs):
    """Every outcome a call may give: an error that one argument causes by
    itself (its conversion, its dimensions, its length, float(dt)), or, when
    none does, what the call gives on clean float64 vectors and a float dt."""
    errors, clean = [], []
    for param, obj in zip(f.params, objs):
        if param.kind == DT:
            got = outcome(float, [obj])
        else:
            got = outcome(np.ascontiguousarray, [obj], {"dtype": np.float64})
            if got[0] == "result" and got[1].ndim != 1:
                got = ("error", ValueError, DIMS.format(got[1].ndim))
            elif got[0] == "result" and wrong_length(param, got[1].shape[0]):
                got = ("error", ValueError, length_message(f, param))
        if got[0] == "error":
            errors.append(got)
        else:
            clean.append(got[1] if param.kind == DT else np.array(got[1]))
    return errors or [outcome(f.fn, clean)]


def same(a, b):
    if a[0] == "error" or b[0] == "error":
        return a == b
    return (a[1].shape == b[1].shape and a[1].dtype == b[1].dtype
            and a[1].tobytes() == b[1].tobytes())


def call_on_fresh_arguments(f, arg_recipes, style, path):
    """The outcome of one call; checks that it left its arguments as they
    were and returned a fresh, owned vector of the right length."""
    built = [build(r) for r in arg_recipes]
    objs = [o for o, _ in built]
    stores = [s for _, s in built if s is not None]
    names = [Keyword(p.name) if style % 2 else p.name for p in f.params]
    npos = len(objs) if style == 0 else (style - 1) % (len(objs) + 1)
    args, kwargs = objs[:npos], dict(zip(names[npos:], objs[npos:]))
    before = [snapshot(o) for o in objs]
    fn = f.fn
    with general_route(f.module) if path else contextlib.nullcontext(), no_collection():
        counts = [sys.getrefcount(o) for o in objs]
        got = outcome(fn, args, kwargs)
        assert [sys.getrefcount(o) for o in objs] == counts, "reference count changed"
    assert [snapshot(o) for o in objs] == before, "argument changed"
    if got[0] == "result":
        y = got[1]
        assert type(y) is np.ndarray and y.dtype == np.float64 and y.flags.c_contiguous
        assert y.shape == (f.result_length,)
        assert y.flags.owndata and y.flags.writeable
        assert not any(isinstance(o, np.ndarray) and np.shares_memory(y, o) for o in objs)
    # No export may be left: every memoryview can be released and, once the
    # arguments are gone, every store can be resized.
    for o in objs:
        if isinstance(o, memoryview):
            o.release()
    del objs, args, kwargs, built, o
    for s in stores:
        s.append(0)
    return got


@pytest.mark.parametrize("f", FUNCTIONS, ids=IDS)
@SETTINGS
@given(data=st.data())
def test_hostile_arguments(f, data):
    arg_recipes = [("dt", data.draw(st.integers(0, len(DT_VALUES) - 1))) if p.kind == DT
                   else data.draw(recipes(p.length, p.kind)) for p in f.params]
    style = data.draw(st.integers(0, 2 * len(f.params) + 2))
    # floating-point exceptions and warnings ignored, raised, or warned as errors
    strict = data.draw(st.sampled_from([0, 0, 0, 1, 2]))
    with warnings.catch_warnings(), np.errstate(all=("ignore", "raise", "warn")[strict]):
        warnings.simplefilter("error" if strict else "ignore")
        fast = call_on_fresh_arguments(f, arg_recipes, style, False)
        general = call_on_fresh_arguments(f, arg_recipes, style, True)
        allowed = explanations(f, [build(r)[0] for r in arg_recipes])
    assert same(fast, general), (fast, general)
    assert any(same(fast, a) for a in allowed), (fast, allowed)
    event("result" if fast[0] == "result" else fast[1].__name__)


# ---- arguments whose conversion changes an earlier argument --------------

@pytest.mark.parametrize("f", [f for f in FUNCTIONS if len(f.params) > 1],
                         ids=[f.id for f in FUNCTIONS if len(f.params) > 1])
@SETTINGS
@given(data=st.data())
def test_conversion_changes_an_earlier_argument(f, data):
    later = data.draw(st.integers(1, len(f.params) - 1))
    victim = data.draw(st.integers(0, later - 1))
    mutation = data.draw(st.sampled_from(sorted(MUTATIONS)))
    args = [a.copy() if isinstance(a, np.ndarray) else a
            for a in f.arguments(lambda n: np.random.default_rng(n).uniform(0.5, 2.0, n))]
    args[later] = Trigger(args[later], functools.partial(MUTATIONS[mutation], args[victim]))
    # (a replaced derivatives makes the step NumPy's sum on whatever x has become)
    with general_route(f.module, derivatives=False) if data.draw(st.booleans()) else \
            contextlib.nullcontext(), np.errstate(all="ignore"):
        got = outcome(f.fn, args)
    assert got[0] == "error" or got[1].shape == (f.result_length,), got
    event(mutation + (" result" if got[0] == "result" else " " + got[1].__name__))


# ---- properties of valid results -------------------------------------------

def drawn_vector(data, n, scale="moderate"):
    _, _, seed, _, _, _ = data.draw(recipes(n))
    return values(n, seed, scale, 0)


@SETTINGS
@given(data=st.data())
def test_combiner_mixes_within_the_streams(data):
    """Flows add; the mix is symmetric and lies between the two streams;
    a stream mixed with one of no flow comes out unchanged."""
    a, b = (drawn_vector(data, 56, data.draw(st.sampled_from(["moderate", "signed"])))
            for _ in "ab")
    a[37] = 2.0 ** data.draw(st.integers(-30, 30))
    b[37] = data.draw(st.sampled_from([0.0, 1e-13, abs(b[37])]))
    y = combiner.combine(a, b)
    assert y[37] == a[37] + b[37] and y.tobytes() == combiner.combine(b, a).tobytes()
    no_flow_b = b[37] == 0.0
    a, b, y = (np.delete(v, 37) for v in (a, b, y))
    low, high = np.minimum(a, b), np.maximum(a, b)
    slack = 1e-15 * np.maximum(abs(low), abs(high))
    assert ((low - slack <= y) & (y <= high + slack)).all()
    if no_flow_b:
        assert y.tobytes() == a.tobytes()


@SETTINGS
@given(data=st.data())
def test_sewer_outputs_and_derivatives_balance(data):
    """What leaves (outflow times outflow concentration) and what enters
    make up the change of every stored amount and of the level."""
    x, u, pars = (drawn_vector(data, n) for n in (24, 27, 25))
    spar = drawn_vector(data, 3)
    x[23] = data.draw(st.sampled_from([spar[2], spar[2] + 4.0, 0.5 * spar[2], x[23]]))
    y, dx = sewer.outputs(x, u, pars, spar), sewer.derivatives(x, u, pars, spar)
    into = list(range(18)) + list(range(21, 26))
    np.testing.assert_allclose(dx[:23], u[19] * u[into] - y[19] * y[into], rtol=1e-12,
                               atol=1e-12 * u[19] * abs(u[into]).max())
    np.testing.assert_allclose(dx[23], (u[19] - y[19]) / spar[0], rtol=1e-12, atol=1e-15)
    volume = spar[0] * y[26]
    assert y[26] == max(x[23], spar[2]) and y[20] == u[20]
    np.testing.assert_allclose(y[:18] * volume, x[:18], rtol=1e-14)
    weights = pars[[19, 20, 21, 21, 22, 23, 21, 24, 24]]
    np.testing.assert_allclose(y[18], weights @ y[9:18], rtol=1e-13)


# ---- argument binding ----------------------------------------------------

def python_binding(f, args, kwargs):
    """The module's TypeError text for a call, read off how CPython binds a
    Python function with the same parameters; None when the call binds."""
    names = [p.name for p in f.params]
    plural = "" if len(names) == 1 else "s"
    count = f"{f.name}() takes exactly {len(names)} positional argument{plural} ({{}} given)"
    if len(args) > len(names):
        return count.format(len(args))
    try:
        eval(f"lambda {', '.join(names)}: None")(*args, **kwargs)
    except TypeError as e:
        text = str(e)
    else:
        return None
    missing = re.search(r"missing \d+ required positional arguments?: '(\w+)'", text)
    if missing:
        return count.format(names.index(missing[1]))
    key = re.search(r"'(\w+)'", text)[1]
    if "multiple values" in text:
        return f"{f.name}() got multiple values for keyword argument '{key}'"
    return f"{f.name}() got an unexpected keyword argument '{key}'"


@pytest.mark.parametrize("f", FUNCTIONS, ids=IDS)
@settings(SETTINGS, max_examples=max(20, EXAMPLES // 4))
@given(data=st.data())
def test_binding(f, data):
    names = [p.name for p in f.params]
    valid = f.arguments(np.ones, dt=0.5)
    pool = names + ["bogus", "X", "dtt"]
    npos = data.draw(st.integers(0, len(names) + 1))
    keys = data.draw(st.lists(st.sampled_from(pool), unique=True, max_size=len(names) + 1))
    keys = [Keyword(k) if data.draw(st.booleans()) else k for k in keys]
    args = (valid + [1.0])[:npos]
    kwargs = {k: (valid[names.index(k)] if k in names else 1.0) for k in keys}
    want = python_binding(f, args, kwargs)
    got = outcome(f.fn, args, kwargs)
    if want is None:
        assert same(got, outcome(f.fn, valid))
    else:
        assert got == ("error", TypeError, want)


def test_keywords_must_be_strings():
    with pytest.raises(TypeError, match="keywords must be strings"):
        combiner.combine(np.ones(56), **{1: 2})


@pytest.mark.parametrize("f", [f for f in FUNCTIONS if f.aliases], ids=lambda f: f.id)
def test_aliases(f):
    for alias in f.aliases:
        assert getattr(f.module, alias) is f.fn
        with pytest.raises(TypeError, match=rf"^{f.name}\(\) takes exactly {len(f.params)}"):
            getattr(f.module, alias)()


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
