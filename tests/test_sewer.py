"""Sewer storage: weir outflow, transport without reaction, suspended
solids, the module's checks and its Euler step."""
import numpy as np
import pytest

from tarnlet.brookvane import sewer

A, K, H0 = 2.0, 1.0, 0.5
SPAR = np.array([A, K, H0])
# x index -> u/y index of the 23 transported components
COMPONENTS = list(zip(range(23), [*range(18), *range(21, 26)]))
DIMS = "Buffer has wrong number of dimensions (expected 1, got 2)"


def state(rng, level):
    x = rng.uniform(0.1, 50.0, 24)
    x[23] = level
    return x


def inflow(rng, q):
    u = rng.uniform(0.0, 20.0, 27)
    u[19] = q
    return u


def pars(rng):
    return rng.uniform(0.5, 2.0, 25)


@pytest.fixture
def rng():
    return np.random.default_rng(2024)


@pytest.mark.parametrize("k, h0, level, q_out", [
    (1.0, 0.5, 4.5, 8.0), (2.0, 1.0, 2.0, 2.0), (1.0, 0.0, 4.0, 8.0), (3.0, 2.0, 2.0, 0.0)])
def test_weir_law(rng, k, h0, level, q_out):
    spar = [A, k, h0]
    x, u = state(rng, level), inflow(rng, 5.0)
    y = sewer.outputs(x, u, pars(rng), spar)
    dx = sewer.derivatives(x, u, [], spar)
    assert y[19] == q_out and y[26] == level
    assert dx[23] == (5.0 - q_out) / A
    for i, j in COMPONENTS:
        assert y[j] == x[i] / (A * level)


@pytest.mark.parametrize("level", [H0, H0 - 0.25, 0.0, -3.0])
def test_below_threshold_no_outflow_and_volume_floor(rng, level):
    x, u = state(rng, level), inflow(rng, 1.75)
    y = sewer.outputs(x, u, pars(rng), SPAR)
    dx = sewer.derivatives(x, u, pars(rng), SPAR)
    assert y[19] == 0.0 and y[26] == H0
    for i, j in COMPONENTS:
        assert y[j] == x[i] / (A * H0)
        assert dx[i] == 1.75 * u[j]
    assert dx[23] == 1.75 / A


def test_nan_level_propagates(rng):
    y = sewer.outputs(state(rng, np.nan), inflow(rng, 1.0), pars(rng), SPAR)
    assert np.isnan(y[26]) and np.isnan(y[19]) and np.isnan(y[0])


def test_steady_state(rng):
    # level 4 above the threshold with K = 1: Q_out = 8 and V = A * 4.5 = 9
    c = rng.integers(0, 100, 27).astype(float)
    u = c.copy()
    u[19] = 8.0
    u[[18, 20, 26]] = np.nan
    x = np.empty(24)
    for i, j in COMPONENTS:
        x[i] = c[j] * 9.0
    x[23] = 4.5
    assert sewer.derivatives(x, u, pars(rng), SPAR).tolist() == [0.0] * 24


@pytest.mark.parametrize("bits", [
    0x7FF800000000BEEF, 0xFFF8000000C0FFEE, 0x7FF0000000000001, 0x7FF0000000000000,
    0x8000000000000000])
def test_pass_through_value_copied_bit_for_bit(rng, bits):
    u = inflow(rng, 1.0)
    u[20] = np.uint64(bits).view(np.float64)
    assert u.view(np.uint64)[20] == bits
    y = sewer.outputs(state(rng, 1.0), u, pars(rng), SPAR)
    assert y.view(np.uint64)[20] == bits


def test_suspended_solids_worked_total():
    """The weighted sum divided once by the volume: dividing by level and
    area in turn, or each term apart, is off in the last bits here."""
    x, p = np.linspace(0.3, 50.0, 24), np.linspace(0.1, 3.0, 25)
    x[23] = 0.6
    y = sewer.outputs(x, np.ones(27), p, [3.0, 1.0, 0.5])
    assert y[18] == float.fromhex("0x1.86c7172af48a4p+8")


def test_suspended_solids_with_unit_weights(rng):
    x = state(rng, 2.0)
    y = sewer.outputs(x, inflow(rng, 1.0), np.ones(25), SPAR)
    assert y[18] == sum(x[9:18].tolist()) / (2.0 * A)


@pytest.mark.parametrize("p", [[], 7.0, np.zeros(25), np.full(40, np.nan)])
@pytest.mark.parametrize("index", [18, 20, 26])
def test_derivatives_ignore_pars_and_unread_inputs(rng, p, index):
    x, u = state(rng, 1.3), inflow(rng, 2.0)
    reference = sewer.derivatives(x, u, pars(rng), SPAR)
    u[index] = np.nan
    assert sewer.derivatives(x, u, p, SPAR).tobytes() == reference.tobytes()


@pytest.mark.parametrize("index", [i for i in range(27) if i != 20])
def test_outputs_read_only_u20(rng, index):
    x, u, p = state(rng, 1.3), inflow(rng, 2.0), pars(rng)
    reference = sewer.outputs(x, u, p, SPAR)
    u[index] = -1e300
    assert sewer.outputs(x, u, p, SPAR).tobytes() == reference.tobytes()


@pytest.mark.parametrize("fn", ["outputs", "derivatives", "euler_step"])
@pytest.mark.parametrize("x, u, p, s, error, message", [
    (23, 27, 25, 3, ValueError, "Expected x of length 24."),
    (25, 26, 25, 3, ValueError, "Expected x of length 24."),
    (24, 26, 25, 3, ValueError, "Expected u of length 27."),
    (24, 28, 25, 3, ValueError, "Expected u of length 27."),
    (23, 27, 25, (1, 3), ValueError, DIMS),
    (24, 27, (5, 5), 3, ValueError, DIMS),
    (24, 27, 25, 2, ValueError, "Expected spar of length at least 3."),
    (23, 27, 25, 2, ValueError, "Expected x of length 24."),
    (24, 26, 25, 0, ValueError, "Expected u of length 27."),
])
def test_messages_and_order(fn, x, u, p, s, error, message):
    args = [np.ones(n) for n in (x, u, p, s)] + ([None] if fn == "euler_step" else [])
    with pytest.raises(error) as e:
        getattr(sewer, fn)(*args)
    assert str(e.value) == message


@pytest.mark.parametrize("p, s, message", [
    (24, 3, "Expected pars of length at least 25."),
    (1, 2, "Expected pars of length at least 25."),
    (25, 2, "Expected spar of length at least 3."),
])
def test_outputs_short_parameter_vectors(p, s, message):
    with pytest.raises(ValueError) as e:
        sewer.outputs(np.ones(24), np.ones(27), np.ones(p), np.ones(s))
    assert str(e.value) == message


@pytest.mark.parametrize("dt", [0.1, "0.5", b"-2.5", 3, 0, np.float64(1e-3)])
def test_euler_step_is_x_plus_dt_dx(rng, dt):
    x, u, p = state(rng, 1.7), inflow(rng, 3.0), pars(rng)
    before = x.copy()
    step = sewer.euler_step(x, u, p, SPAR, dt)
    expected = x + float(dt) * sewer.derivatives(x, u, p, SPAR)
    assert step.tobytes() == expected.tobytes() and step is not x
    assert x.tobytes() == before.tobytes()


def test_euler_step_bad_dt_only_after_valid_arguments(rng):
    x, u = state(rng, 1.0), inflow(rng, 1.0)
    with pytest.raises(TypeError):
        sewer.euler_step(x, u, 1.0, SPAR, None)
    with pytest.raises(ValueError, match="could not convert"):
        sewer.euler_step(x, u, 1.0, SPAR, "fast")
    with pytest.raises(ValueError) as e:
        sewer.euler_step(x.reshape(4, 6), u, 1.0, SPAR, None)
    assert str(e.value) == DIMS


def test_euler_step_calls_the_module_attribute(rng, monkeypatch):
    calls = []

    def fake(*args):
        calls.append(args)
        return np.arange(24.0)

    x, u = state(rng, 1.0), inflow(rng, 1.0)
    monkeypatch.setattr(sewer, "derivatives", fake)
    assert sewer.euler_step(x.tolist(), u, "p", "s", 2).tolist() == (x + 2 * np.arange(24.0)).tolist()
    (xa, ua, pa, sa), = calls
    assert type(xa) is np.ndarray and xa.tolist() == x.tolist()
    assert ua is u and (pa, sa) == ("p", "s")


def test_rebound_constants_change_nothing(rng, monkeypatch):
    for name in ("NSTATES", "NINPUTS", "NOUTPUTS"):
        monkeypatch.setattr(sewer, name, 3)
    x, u = state(rng, 1.0), inflow(rng, 1.0)
    assert sewer.initialize_state(x).shape == (24,)
    assert sewer.outputs(x, u, pars(rng), SPAR).shape == (27,)
    assert sewer.euler_step(x, u, [], SPAR, 1.0).shape == (24,)
    with pytest.raises(ValueError, match=r"^Expected x of length 24\.\n"):
        sewer.derivatives(x[:3], u, [], SPAR)
    with pytest.raises(ValueError, match=r"^Expected u of length 27\.\n"):
        sewer.outputs(x, u[:3], pars(rng), SPAR)


def test_chained_storages_conserve_mass():
    rng = np.random.default_rng(11)
    p, spar_a, spar_b = pars(rng), [10.0, 2.0, 0.5], [6.0, 1.5, 0.3]
    xa, xb = np.zeros(24), np.zeros(24)
    xa[23], xb[23] = 0.2, 0.1
    dt, inflow_sum, outflow_sum = 0.05, np.zeros(23), np.zeros(23)
    total0 = xa[:23] + xb[:23]
    ix, iu = [i for i, _ in COMPONENTS], [j for _, j in COMPONENTS]
    for _ in range(400):
        u = inflow(rng, rng.uniform(3.0, 7.0))
        ya = sewer.outputs(xa, u, p, spar_a)
        yb = sewer.outputs(xb, ya, p, spar_b)
        inflow_sum += dt * (u[19] * u[iu])
        outflow_sum += dt * (yb[19] * yb[iu])
        xa, xb = sewer.euler_step(xa, u, p, spar_a, dt), sewer.euler_step(xb, ya, p, spar_b, dt)
    assert yb[19] > 1.0 and (outflow_sum > 0).all()
    change = xa[ix] + xb[ix] - total0
    np.testing.assert_allclose(change, inflow_sum - outflow_sum, rtol=1e-9,
                               atol=1e-9 * inflow_sum.max())
