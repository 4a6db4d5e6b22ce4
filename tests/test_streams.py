"""The stream blocks: the combiner and the influent fractionation."""
import numpy as np
import pytest

from tarnlet.sallowby import combiner, fractionation

TINY = 1e-12
rng = np.random.default_rng(3)


def bits(a):
    return np.asarray(a, dtype=np.float64).view(np.uint64).tolist()


# ---- combiner ---------------------------------------------------------------

# flow a, flow b, concentration of a, of b, concentration of the mix
@pytest.mark.parametrize("qa,qb,ca,cb,mix", [
    (3.0, 5.0, 1.0, 9.0, 6.0), (2.0, 0.0, 7.0, 100.0, 7.0), (-1.0, 3.0, 2.0, 4.0, 5.0),
    (0.0, np.nextafter(TINY, 1), 4.0, 8.0, 8.0),                # just above the threshold
    (0.0, 0.0, 4.0, 8.0, 0.0), (TINY, 0.0, 4.0, 8.0, 0.0),      # no flow
    (-0.5, 0.5, 4.0, 8.0, 0.0),                                 # flows cancel
    (2.0, 0.0, 7.0, np.nan, np.nan), (2.0, 0.0, 7.0, np.inf, np.nan),  # 0 * b still counts
    (1e308, 1e308, 1.0, 2.0, np.nan), (np.nan, 1.0, 1.0, 2.0, np.nan),
    (np.inf, 1.0, 1.0, 2.0, np.nan)])
def test_mixing_rule(qa, qb, ca, cb, mix):
    a, b = np.full(56, ca), np.full(56, cb)
    a[37], b[37] = qa, qb
    y = combiner.combine(a, b)
    assert bits([y[37]]) == bits([qa + qb])
    np.testing.assert_equal(np.delete(y, 37), mix)
    assert bits(combiner.combine(b, a)) == bits(y)


@pytest.mark.parametrize("a,b,error,text", [
    ([1.0] * 55, [1.0] * 56, ValueError, "Expected two 1D arrays of length 56."),
    ([1.0] * 56, [1.0] * 57, ValueError, "Expected two 1D arrays of length 56."),
    ([1.0] * 55, np.ones((56, 1)), ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
])
def test_combiner_errors(a, b, error, text):
    for fn in (combiner.combine, combiner.compute):
        with pytest.raises(error) as e:
            fn(a, b)
        assert str(e.value) == text


def test_combiner_names():
    assert combiner.compute is combiner.combine and combiner.NSTATES == 56
    with pytest.raises(TypeError, match=r"^combine\(\) takes exactly 2 positional arguments \(1 given\)$"):
        combiner.compute([1.0] * 56)


# ---- fractionation -------------------------------------------------------

def inputs(u=None, fr=None):
    u = rng.uniform(0, 50, 12) if u is None else np.asarray(u, dtype=float)
    pars = rng.uniform(0.5, 2, 156)
    fr = rng.uniform(0, 1, 9) if fr is None else np.asarray(fr, dtype=float)
    return u, pars, fr, rng.uniform(-5, 50, 44)


def suspended_solids(p, y):
    """The total the outputs add up to: particulate entries, inorganic
    entries weighted by their parameters, and y[18] / p[154] unless p[154]
    is at or below 1e-12."""
    total = (y[[27, 29, 30, 31, 32, 33, 34, 35, 40, 41, 42, 43, 44, 45, 47, 48, 49, 51, 52,
                53]].sum() + p[30] * y[[15, 16, 19, 20, 28, 50]].sum()
             + p[28] * y[13] + p[29] * y[14] + p[155] * y[17])
    return total + y[18] / p[154] if p[154] > TINY else total


@pytest.mark.parametrize("p154", [0.7, 0.0, TINY, np.nextafter(TINY, 1), np.nan])
def test_suspended_solids_total(p154):
    for _ in range(50):
        u, pars, fr, bg = inputs()
        pars[154] = p154
        y = fractionation.compute(u, pars, fr, bg)
        assert y[36] == pytest.approx(max(0.0, suspended_solids(pars, y)), rel=1e-13)


@pytest.mark.parametrize("p154,total", [(0.7, "0x1.835b083e21a1ap+9"),
                                        (0.0, "0x1.7eb455a357367p+9")])
def test_suspended_solids_sum_order(p154, total):
    """Worked totals, two ulps off a plain left-to-right sum: the order of
    the additions is part of the result."""
    pars = np.linspace(0.5, 2.0, 156)
    pars[154] = p154
    y = fractionation.compute(np.linspace(1, 12, 12), pars, np.linspace(0.1, 0.9, 9),
                              np.linspace(-5, 50, 44))
    assert y[36] == float.fromhex(total)


def test_suspended_solids_clamped_at_zero():
    u, pars, fr, _ = inputs()
    y = fractionation.compute(u, pars, fr, np.full(44, -1e6))
    assert y[36] == 0.0 and not np.signbit(y[36])


def test_background_placement():
    y = fractionation.compute(np.zeros(12), np.ones(156), np.ones(9), np.arange(44.0))
    expected = np.zeros(54)
    expected[[0, 5, 6, 7, 8, 10, 12]] = [0, 1, 2, 3, 4, 5, 6]
    expected[16:36] = np.arange(7, 27)
    expected[37:54] = np.arange(27, 44)
    y36 = y[36]
    y[36] = expected[36] = 0
    assert y.tolist() == expected.tolist() and y36 > 0


@pytest.mark.parametrize("l0,qx_share,expect", [
    (10.0, 2.0, "split"),   # L0 above A: the remainder is split by fractions 0 and 1
    (4.0, 2.0, "split"),    # L0 equal to A: nothing remains
    (3.0, 2.0, "all"),      # L0 below A: all of it goes to output 3
    (np.nan, 2.0, "all"),   # the comparison fails
])
def test_kind0_split(l0, qx_share, expect):
    u = np.zeros(12)
    u[0], u[5], u[10], u[11] = l0 / 2, l0 / 2, 3.0, 5.0  # Qx = 2
    fr = np.array([0.25, 0.75, qx_share, 0, 0, 0, 0, 0, 0])
    y = fractionation.compute(u, np.ones(156), fr, np.zeros(44))
    a, l0_ = 2.0 * qx_share, u[5] + u[0]
    if expect == "split":
        assert y[1:4].tolist() == [(l0_ - a) * 0.25 / 5, (l0_ - a) * 0.75 / 5, a / 5]
    else:
        assert y[1] == 0.0 and y[2] == 0.0 and bits([y[3]]) == bits([l0_ / 5])


def test_no_flow_and_no_excess():
    u = np.full(12, 2.0)
    u[10], u[11] = 9.0, 0.0  # Qx = 0, Qd = 1e-12
    fr = np.linspace(0.1, 0.9, 9)
    y = fractionation.compute(u, np.ones(156), fr, np.zeros(44))
    assert y[3] == 0.0 and y[1] == (4.0 * fr[0]) / TINY and y[4] == (fr[3] * 4.0) / TINY


@pytest.mark.parametrize("lengths,text", [
    ((11, 156, 9, 44), "Expected u of length 12."),
    ((13, 10, 9, 44), "Expected u of length 12."),
    ((12, 155, 8, 43), "Expected pars of length at least 156."),
    ((12, 156, 8, 43), "Expected fractions of length at least 9."),
    ((12, 156, 9, 43), "Expected bg_values of length at least 44."),
])
def test_fractionation_length_errors(lengths, text):
    with pytest.raises(ValueError) as e:
        fractionation.fractionate(*(np.ones(n) for n in lengths))
    assert str(e.value) == text


def test_longer_parameter_vectors_are_ignored_beyond_their_use():
    u, pars, fr, bg = inputs()
    y = fractionation.compute(u, pars, fr, bg)
    longer = [np.append(v, rng.uniform(size=5)) for v in (pars, fr, bg)]
    assert bits(fractionation.compute(u, *longer)) == bits(y)
    assert fractionation.fractionate is fractionation.compute
    assert fractionation.compute.__name__ == "compute"
