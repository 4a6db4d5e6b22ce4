"""First-flush store: retention up to a capacity, flow-dependent wash-off,
mass balance between the two kernels, and the module's checks."""
import numpy as np
import pytest

from tarnlet.fenmoor import sedlift

X = [50.0, 10.0, 10.0, 10.0, 10.0, 10.0]
U = [1.0, 100.0, 40.0, 40.0, 40.0, 40.0, 40.0]
P = [100.0, 1.0, 2.0, 0.25]
DIMS = "Buffer has wrong number of dimensions (expected 1, got 2)"


def flow_factor(q, half, exponent):
    """The wash-off fraction, read off a store without capacity limit that
    holds one unit of every component and gets no inflow load."""
    return -sedlift.derivatives(np.ones(6), [q] + [0.0] * 6, [0.0, half, exponent, 1.0])[0]


def test_worked_case():
    y, dx = sedlift.outputs(X, U, P), sedlift.derivatives(X, U, P)
    assert y.tolist() == [1.0, 56.25, 21.25, 21.25, 21.25, 21.25, 21.25, 50.0,
                          0.01, 0.01, 0.01, 0.01, 0.01]
    assert dx.tolist() == [43.75, 18.75, 18.75, 18.75, 18.75, 18.75]
    assert sedlift.outputs(X, U, P + [np.nan, 7.0]).tobytes() == y.tobytes()
    assert sedlift.derivatives(X, U, P + [np.nan]).tobytes() == dx.tobytes()


def test_mass_balance_over_random_states():
    rng = np.random.default_rng(31)
    for _ in range(400):
        cap = 10 ** rng.uniform(-6, 4)
        x = rng.uniform(0.0, 1.0, 6) * cap * rng.uniform(0.0, 3.0, 6)
        x[0] = rng.uniform(0.0, cap)
        q = 10 ** rng.uniform(-8, 5)
        u = np.concatenate([[q], rng.uniform(0.0, 1000.0, 6)])
        p = [cap, 10 ** rng.uniform(-3, 4), rng.uniform(0.0, 4.0), rng.uniform(0.0, 10.0)]
        y, dx = sedlift.outputs(x, u, p), sedlift.derivatives(x, u, p)
        left, right = q * y[1:7] + dx, q * u[1:]
        scale = np.abs(q * y[1:7]) + np.abs(dx) + np.abs(right)
        assert (np.abs(left - right) <= 1e-12 * scale).all(), (x, u, p)


def test_empty_store_retains_everything():
    u = [3.5, 1.25, 7.0, 0.0, 9.5, 2.0, 11.0]
    y, dx = sedlift.outputs(np.zeros(6), u, P), sedlift.derivatives(np.zeros(6), u, P)
    assert y.tolist() == [3.5] + [0.0] * 12
    assert dx.tolist() == [3.5 * c for c in u[1:]]


@pytest.mark.parametrize("fill", [100.0, 100.5, 1e6])
def test_full_and_over_full_store_pass_everything(fill):
    # Q = p1[1] makes the wash-off fraction exactly one half
    x = [fill, 8.0, 0.0, 2.0, 4.0, 6.0]
    u, p = [3.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0], [100.0, 3.0, 2.0, 0.5]
    y, dx = sedlift.outputs(x, u, p), sedlift.derivatives(x, u, p)
    assert y[1:7].tolist() == [xi * 0.5 * 0.5 / 3.0 + ui for xi, ui in zip(x, u[1:])]
    assert dx.tolist() == [-(0.5 * xi) * 0.5 for xi in x]


@pytest.mark.parametrize("cap", [0.0, 1e-12, 1e-13, -5.0, np.nan])
def test_capacity_limit_off(cap):
    x, u = [1e6, 4.0, 0.0, 0.0, 0.0, 2.0], [2.0, 10.0, 20.0, 30.0, 40.0, 50.0, 60.0]
    p = [cap, 1.0, 0.0, 1.0]
    y, dx = sedlift.outputs(x, u, p), sedlift.derivatives(x, u, p)
    assert y[1:7].tolist() == [xi * 0.5 / 2.0 for xi in x]
    assert dx.tolist() == [2.0 * ui - 0.5 * xi for xi, ui in zip(x, u[1:])]


def test_capacity_just_above_floor_limits():
    x, u = [1.0, 0, 0, 0, 0, 0], [2.0, 10.0, 20.0, 30.0, 40.0, 50.0, 60.0]
    p = [np.nextafter(1e-12, 1.0), 1.0, 2.0, 0.0]
    assert sedlift.outputs(x, u, p)[1:7].tolist() == u[1:]
    assert sedlift.derivatives(x, u, p).tolist() == [0.0] * 6


@pytest.mark.parametrize("q, half, exponent, f", [
    (1.0, 1.0, 2.0, 0.5), (250.0, 250.0, 2.5, 0.5), (1e4, 1e4, 1.0, 0.5),
    (3e-3, 3e-3, 4.0, 0.5), (5.0, 5.0, -1.0, 0.5), (1e155, 1e155, 2.0, 0.5),
    (0.0, 7.0, 0.0, 0.5), (1e9, 7.0, 0.0, 0.5), (-3.0, 7.0, 0.0, 0.5),
    (0.0, 1.0, 2.0, 0.0), (0.0, 1e-3, 0.5, 0.0)])
def test_flow_factor(q, half, exponent, f):
    assert flow_factor(q, half, exponent) == f


def test_flow_factor_rises_with_flow():
    assert flow_factor(2.0, 1.0, 2.0) == pytest.approx(0.8, rel=1e-14)
    assert flow_factor(0.5, 1.0, 2.0) == pytest.approx(0.2, rel=1e-14)


def test_no_flow_and_no_half_saturation_gives_nan():
    u, p = [0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0], [100.0, 0.0, 2.0, 0.25]
    y, dx = sedlift.outputs(X, u, p), sedlift.derivatives(X, u, p)
    assert y[0] == 0.0 and np.isnan(y[1:7]).all() and np.isnan(dx).all()
    assert y[7:].tolist() == [50.0, 0.01, 0.01, 0.01, 0.01, 0.01]


def test_no_flow_passes_share_of_inflow():
    u = [0.0, 4.0, 8.0, -2.0, 6.0, 10.0, 12.0]
    y = sedlift.outputs(X, u, P)
    assert y[:7].tolist() == [0.0, 2.0, 4.0, -1.0, 3.0, 5.0, 6.0]


@pytest.mark.parametrize("q", [1e-13, 0.0, -4.0])
def test_flow_divisor_floor(q):
    y = sedlift.outputs([1.0] * 6, [q] + [0.0] * 6, [0.0, 1.0, 0.0, 1.0])
    assert y[0] == q and y[1:7].tolist() == [0.5 / 1e-12] * 6


def test_negative_state_clamped_in_outputs_only():
    x, u, p = [-5.0, -1.0, 3.0, 0.0, 0.0, 2000.0], [2.0] + [1.0] * 6, [100.0, 1.0, 0.0, 1.0]
    y = sedlift.outputs(x, u, p)
    assert y.tolist() == [2.0, 0.0, 0.0, 0.75, 0.0, 0.0, 500.0, 0.0, 0.0, 0.003, 0.0, 0.0, 2.0]
    dx = sedlift.derivatives(x, u, p)
    assert dx.tolist() == [2.0 + 2.5, 2.0 + 0.5, 2.0 - 1.5, 2.0, 2.0, 2.0 - 1000.0]


def test_stored_amounts_scaled_except_first():
    x = [1234.0, 2000.0, 3000.0, 4.0, 5e6, 6.0]
    y = sedlift.outputs(x, U, P)
    assert y[7] == 1234.0 and y[8:].tolist() == [v / 1000 for v in x[1:]]


@pytest.mark.parametrize("fn", ["outputs", "derivatives", "euler_step"])
@pytest.mark.parametrize("x, u, p, message", [
    (5, 7, 4, "Expected x of length 6."), (7, 6, 4, "Expected x of length 6."),
    (6, 6, 4, "Expected u of length 7."), (6, 8, 4, "Expected u of length 7."),
    ((2, 3), 7, 4, DIMS), (5, (1, 7), 4, DIMS), (5, 6, (2, 2), DIMS),
    (6, 7, 3, "Expected sspars of length at least 4."),
    (5, 7, 0, "Expected x of length 6."), (6, 6, 3, "Expected u of length 7."),
])
def test_messages_and_order(fn, x, u, p, message):
    args = [np.ones(n) for n in (x, u, p)] + ([None] if fn == "euler_step" else [])
    with pytest.raises(ValueError) as e:
        getattr(sedlift, fn)(*args)
    assert str(e.value) == message


@pytest.mark.parametrize("dt", [0.25, "0.5", -3, b"1e-3"])
def test_euler_step_is_x_plus_dt_dx(dt):
    x, u = np.array(X), np.array(U)
    step = sedlift.euler_step(x, u, P, dt)
    assert step.tobytes() == (x + float(dt) * sedlift.derivatives(x, u, P)).tobytes()
    assert x.tolist() == X


def test_euler_step_may_go_negative_and_outputs_clamp():
    x = sedlift.euler_step([1.0, 0, 0, 0, 0, 0], [1.0, 0, 0, 0, 0, 0, 0], [0.0, 1.0, 0.0, 10.0], 1)
    assert x.tolist() == [-4.0, 0.0, 0.0, 0.0, 0.0, 0.0]
    assert sedlift.outputs(x, U, P)[7] == 0.0
