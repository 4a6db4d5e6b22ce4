"""Soil reservoir: worked values, thresholds and checks; last, the behaviour
the three storage blocks (sewer, sedlift, loamtank) share."""
import types

import numpy as np
import pytest

from tarnlet.brookvane import loamtank, sewer
from tarnlet.fenmoor import sedlift

PAR = [2.0, 0.5, 100.0, 0.01, 3.0, 0.2]  # capacity 1.0, reciprocal area 0.01


@pytest.mark.parametrize("x, u, y, dx", [
    ([1.5], [1.5, 4.0], [3.0, 0.5, 0.30000000000000004, 1.5], [0.017]),
    ([2.5], [0.4, 4.0], [4.242640687119286, 0.0, 0.5, 2.5], [-0.043426406871192855]),
    ([-0.3], [0.5, 1.0], [0.0, 0.0, -0.06, -0.3], [0.015]),
    ([0.25], [2.0, 0.0], [0.0, 1.0, 0.05, 0.25], [0.0095]),
])
def test_worked_examples(x, u, y, dx):
    assert loamtank.outputs(x, u, PAR).tolist() == y
    assert loamtank.derivatives(x, u, PAR).tolist() == dx
    assert loamtank.outputs(x, u, PAR + [np.nan, -1.0]).tolist() == y
    assert loamtank.derivatives(x, u, PAR + [np.nan]).tolist() == dx


def test_euler_step_worked_example():
    assert loamtank.euler_step([1.5], [1.5, 4.0], PAR, 0.5).tolist() == [1.5085]


def with_par(i, value):
    p = list(PAR)
    p[i] = value
    return p


def test_level_at_drainage_threshold_gives_no_drainage():
    x, u = [0.5], [0.3, 0.7]
    assert loamtank.outputs(x, u, PAR)[0] == 0.0
    assert loamtank.derivatives(x, u, PAR) == loamtank.derivatives(x, u, with_par(4, 1e9))
    above = [np.nextafter(0.5, 1.0)]
    assert loamtank.derivatives(above, u, PAR) != loamtank.derivatives(above, u, with_par(4, 1e9))


def test_level_at_upper_level_refuses_secondary_inflow():
    u = [0.3, 0.7]
    at, below = [2.0], [np.nextafter(2.0, 0.0)]
    assert loamtank.derivatives(at, u, PAR) == loamtank.derivatives(at, [0.3, 1e6], PAR)
    assert loamtank.derivatives(below, u, PAR) != loamtank.derivatives(below, [0.3, 1e6], PAR)


def test_inflow_at_capacity_is_accepted_whole():
    x = [1.0]
    y = loamtank.outputs(x, [1.0, 0.0], PAR)
    assert y[1] == 0.0
    assert loamtank.derivatives(x, [1.0, 0.0], PAR) == loamtank.derivatives(x, [50.0, 0.0], PAR)
    assert loamtank.derivatives(x, [0.75, 0.0], PAR) != loamtank.derivatives(x, [1.0, 0.0], PAR)


@pytest.mark.parametrize("x, u, expected", [
    ([0.0], [0.5, 0.7], np.inf), ([1.0], [0.0, 0.0], -np.inf), ([0.0], [0.0, 0.0], np.nan)])
def test_zero_area(x, u, expected):
    par = with_par(2, 0.0)
    dx = loamtank.derivatives(x, u, par)
    np.testing.assert_equal(dx, [expected])
    assert loamtank.outputs(x, u, par)[1] == u[0]


@pytest.mark.parametrize("upper", [-1.0, 0.0, 1.0, 1e300, np.nan])
def test_upper_level_never_affects_outputs(upper):
    for x, u in [([1.5], [1.5, 4.0]), ([2.5], [0.4, 4.0]), ([-0.3], [0.5, 1.0])]:
        assert loamtank.outputs(x, u, with_par(0, upper)).tobytes() == \
            loamtank.outputs(x, u, PAR).tobytes()
    assert loamtank.derivatives([1.5], [1.5, 4.0], with_par(0, 1.0)) != \
        loamtank.derivatives([1.5], [1.5, 4.0], PAR)


@pytest.mark.parametrize("fn", ["outputs", "derivatives", "euler_step"])
@pytest.mark.parametrize("x, u, par, error, message", [
    ([1.0, 2.0], [1.0, 2.0, 3.0], PAR, ValueError, "Expected x of length 1."),
    ([], [1.0, 2.0], PAR, ValueError, "Expected x of length 1."),
    ([1.0], [1.0], PAR, ValueError, "Expected u of length 2."),
    ([1.0], [1.0, 2.0], PAR[:5], ValueError, "Expected par of length at least 6."),
    ([1.0], [1.0, 2.0], 3.0, ValueError, "Expected par of length at least 6."),
    ([1.0, 2.0], [1.0, 2.0], PAR[:5], ValueError, "Expected x of length 1."),
    ([1.0], [1.0, 2.0, 3.0], [], ValueError, "Expected u of length 2."),
    ([1.0, 2.0], [1.0], [[1.0] * 6], ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
])
def test_messages_and_order(fn, x, u, par, error, message):
    args = [x, u, par] + (["not a number"] if fn == "euler_step" else [])
    with pytest.raises(error) as e:
        getattr(loamtank, fn)(*args)
    assert str(e.value) == message


def test_unconvertible_par_before_wrong_length_of_x():
    with pytest.raises(ValueError, match="could not convert string to float"):
        loamtank.outputs([1.0, 2.0], [1.0], "abc")


def test_initialize_state_scalar_and_wrong_length():
    assert loamtank.initialize_state(0.7).tolist() == [0.7]
    with pytest.raises(ValueError) as e:
        loamtank.initialize_state([0.7, 0.1])
    assert str(e.value) == "Expected xinit of length 1."


def test_euler_step_needs_the_module_attribute(monkeypatch):
    monkeypatch.delattr(loamtank, "derivatives")
    with pytest.raises(NameError) as e:
        loamtank.euler_step([1.5], [1.5, 4.0], PAR, 0.5)
    assert str(e.value) == "name 'derivatives' is not defined"


# ---- behaviour shared by the three storage blocks ---------------------------

BLOCKS = {
    "sewer": (sewer, [np.linspace(1.0, 24.0, 24), np.linspace(0.5, 13.5, 27),
                      np.ones(25), [2.0, 1.0, 0.5]]),
    "sedlift": (sedlift, [[50.0, 10, 10, 10, 10, 10], [1.0, 100, 40, 40, 40, 40, 40],
                          [100.0, 1.0, 2.0, 0.25]]),
    "loamtank": (loamtank, [[1.5], [1.5, 4.0], PAR]),
}
SHORT = {"sewer": ("spar", 3), "sedlift": ("sspars", 4), "loamtank": ("par", 6)}
each_block = pytest.mark.parametrize("name", sorted(BLOCKS))


@each_block
def test_initialize_state(name):
    module, (x, *_) = BLOCKS[name]
    n = len(x)
    x0 = module.initialize_state(list(range(n)))
    assert x0.dtype == np.float64 and x0.tolist() == list(range(n))
    ready = np.arange(n, dtype=np.float64)
    ready.flags.writeable = False
    x1 = module.initialize_state(ready)
    assert x1 is not ready
    x1[:] = -1.0
    assert ready.tolist() == list(range(n))
    for m in (n - 1, n + 1):
        with pytest.raises(ValueError) as e:
            module.initialize_state(np.zeros(m))
        assert str(e.value) == f"Expected xinit of length {n}."


@each_block
@pytest.mark.parametrize("dt, same_as", [(0, 0.0), ("0.5", 0.5), (b"0.5", 0.5), ("-1e-2", -0.01)])
def test_euler_step_dt(name, dt, same_as):
    module, args = BLOCKS[name]
    x = np.asarray(args[0], dtype=float)
    step = module.euler_step(*args, dt)
    assert step.tobytes() == module.euler_step(*args, same_as).tobytes()
    assert step is not args[0]
    if same_as == 0.0:
        assert step.tolist() == x.tolist()


@each_block
def test_euler_step_bad_dt_only_when_arguments_are_valid(name):
    module, args = BLOCKS[name]
    with pytest.raises(TypeError):
        module.euler_step(*args, None)
    with pytest.raises(ValueError, match="could not convert string to float"):
        module.euler_step(*args, "soon")
    with pytest.raises(ValueError, match="^Expected x of length"):
        module.euler_step([1.0] * (len(args[0]) + 1), *args[1:], None)


@each_block
def test_read_only_arguments_accepted(name):
    module, args = BLOCKS[name]
    frozen = [np.array(a, dtype=float) for a in args]
    for a in frozen:
        a.flags.writeable = False
    for fn in ("outputs", "derivatives"):
        assert getattr(module, fn)(*frozen).tobytes() == getattr(module, fn)(*args).tobytes()
    assert module.euler_step(*frozen, 0.5).tobytes() == module.euler_step(*args, 0.5).tobytes()


@each_block
@pytest.mark.parametrize("fn", ["outputs", "derivatives", "euler_step"])
def test_short_parameter_vector(name, fn):
    module, args = BLOCKS[name]
    param, n = SHORT[name]
    short = np.ones(n - 1)
    with pytest.raises(ValueError) as e:
        getattr(module, fn)(*args[:-1], short, *([0.1] if fn == "euler_step" else []))
    assert str(e.value) == f"Expected {param} of length at least {n}."


@each_block
def test_rebound_constants_change_nothing(name, monkeypatch):
    module, args = BLOCKS[name]
    before = [module.outputs(*args), module.derivatives(*args), module.euler_step(*args, 0.5)]
    for constant in ("NSTATES", "NINPUTS", "NOUTPUTS"):
        monkeypatch.setattr(module, constant, 2)
    after = [module.outputs(*args), module.derivatives(*args), module.euler_step(*args, 0.5)]
    assert [a.tobytes() for a in after] == [b.tobytes() for b in before]
    with pytest.raises(ValueError) as e:
        module.outputs([1.0, 2.0], *args[1:])
    assert str(e.value) == f"Expected x of length {len(args[0])}."


class NoMemory(Exception):
    pass


@each_block
@pytest.mark.parametrize("fn", ["initialize_state", "outputs", "derivatives"])
def test_allocation_order(name, fn, monkeypatch):
    """The soil reservoir allocates its result before checking lengths; the
    other blocks check first."""
    module, args = BLOCKS[name]

    def empty(*a, **k):
        raise NoMemory

    monkeypatch.setattr(module, "np", types.SimpleNamespace(
        ascontiguousarray=np.ascontiguousarray, empty=empty, asarray=np.asarray,
        float64=np.float64))
    call_args = args[:1] if fn == "initialize_state" else args
    with pytest.raises(NoMemory):
        getattr(module, fn)(*call_args)
    bad = [[0.0] * (len(args[0]) + 1), *call_args[1:]]
    with pytest.raises(NoMemory if name == "loamtank" else ValueError):
        getattr(module, fn)(*bad)
