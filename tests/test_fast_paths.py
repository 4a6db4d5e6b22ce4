"""Ready float64 vectors, C-API allocation and the module's own Euler step
give exactly what the Python-level route through ``np`` gives."""
import types
import warnings

import numpy as np
import pytest
from conftest import FUNCTIONS, IDS, general_route

from tarnlet.brookvane import loamtank
from tarnlet.fenmoor import sedlift
from tarnlet.sallowby import combiner

rng = np.random.default_rng(7)


def outcome(fn, args):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = fn(*args)
        except Exception as e:  # noqa: BLE001 - the error itself is compared
            return ("error", type(e), str(e), [str(w.message) for w in caught])
    assert type(result) is np.ndarray and result.dtype == np.float64
    return ("result", result.tobytes(), result.shape, [str(w.message) for w in caught])


def same_on_both_paths(module, name, args):
    fast = outcome(getattr(module, name), args)
    with general_route(module):
        general = outcome(getattr(module, name), args)
    assert fast == general
    return fast


def values(n, special=False):
    v = rng.uniform(0.1, 10.0, n)
    if special:
        picks = rng.integers(0, n, size=max(1, n // 4))
        v[picks] = rng.choice([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e308, 5e-324, -3.0],
                              size=picks.size)
    return v


def arguments(lengths, special=False, dt=0.25):
    return [dt if n is None else values(n, special) for n in lengths]


@pytest.mark.parametrize("f", FUNCTIONS, ids=IDS)
@pytest.mark.parametrize("special", [False, True])
def test_ready_vectors(f, special):
    for _ in range(20):
        same_on_both_paths(f.module, f.name, arguments(f.lengths, special))


class Sub(np.ndarray):
    pass


VARIANTS = {
    "list": lambda a: a.tolist(),
    "float32": lambda a: a.astype(np.float32),
    "int": lambda a: a.astype(np.int64),
    "subclass": lambda a: a.view(Sub),
    "strided": lambda a: np.repeat(a, 2)[::2],
    "misaligned": lambda a: np.frombuffer(b"\0" + a.tobytes(), dtype=np.float64, offset=1),
    "byteswapped": lambda a: a.astype(a.dtype.newbyteorder()),
    "readonly": lambda a: np.frombuffer(a.tobytes(), dtype=np.float64),
    "2d": lambda a: a.reshape(1, -1),
    "short": lambda a: a[:-1],
    "long": lambda a: np.append(a, 1.0),
    "scalar": lambda a: a[0],
    "none": lambda a: None,
    "text": lambda a: "abc",
}


@pytest.mark.parametrize("f", FUNCTIONS, ids=IDS)
@pytest.mark.parametrize("variant", sorted(VARIANTS))
def test_other_arguments(f, variant):
    for position, n in enumerate(f.lengths):
        if n is None:
            continue
        args = arguments(f.lengths)
        args[position] = VARIANTS[variant](args[position])
        same_on_both_paths(f.module, f.name, args)


STEPS = [f for f in FUNCTIONS if f.name == "euler_step"]


@pytest.mark.parametrize("f", STEPS, ids=[f.id for f in STEPS])
@pytest.mark.parametrize("dt", [0.0, -1.5, "0.5", b"2", 3, np.float32(0.1), None, "x",
                                1e308, 5e-324, np.inf, np.nan])
def test_euler_step_dt(f, dt):
    for special in (False, True):
        args = arguments(f.lengths, special, dt)
        same_on_both_paths(f.module, f.name, args)


@pytest.mark.parametrize("setting", ["warn", "raise", "ignore"])
@pytest.mark.parametrize("inflow,dt,raises", [
    (1e300, 1e10, True),     # the product overflows
    (1e-300, 1e-20, True),   # the product underflows
    (1e300, np.inf, False),  # infinite step: no exception of its own
    (1.0, 0.5, False),
])
def test_euler_step_floating_point_exceptions(setting, inflow, dt, raises):
    """Exceptions in x + dt*dx are reported as NumPy reports them, under
    every error setting."""
    par = np.array([2.0, 0.5, 1.0, 1e300, 0.0, 0.0])  # dx = inflow
    args = [np.zeros(1), np.array([inflow, 0.0]), par, dt]
    with np.errstate(all=setting):
        outcome_ = same_on_both_paths(loamtank, "euler_step", args)
    assert outcome_[0] == ("error" if raises and setting == "raise" else "result")


def test_rebound_np_is_used(monkeypatch):
    calls = []

    def ascontiguousarray(a, dtype):
        calls.append(a)
        return np.ascontiguousarray(a, dtype=dtype)

    proxy = types.SimpleNamespace(ascontiguousarray=ascontiguousarray, empty=np.empty,
                                  asarray=np.asarray, float64=np.float64)
    monkeypatch.setattr(combiner, "np", proxy)
    a = np.ones(56)
    combiner.combine(a, a)
    assert len(calls) == 2 and calls[0] is a


def test_euler_step_calls_rebound_derivatives(monkeypatch):
    monkeypatch.setattr(sedlift, "derivatives", lambda x, u, p: np.full(6, 2.0))
    assert sedlift.euler_step(np.zeros(6), np.zeros(7), np.zeros(4), 0.5).tolist() == [1.0] * 6


def test_fast_argument_is_not_held(monkeypatch):
    """A ready vector is used in place: a later argument's conversion sees
    the call still going, and the argument can be resized afterwards."""
    a = np.ones(56)
    combiner.combine(a, a)
    a.resize(10, refcheck=False)
    assert a.shape == (10,)
