"""Every public function of the block modules against a reference of its
own, written here from the model equations in NumPy float64 with the
kernels' order of operations: bit for bit on random rows and on rows with
special values (zeros, tiny and huge values, negatives, infinities, NaN).

NumPy's + - * / and sqrt round each element as one C operation does; the
powers go through math.pow, which is the C library's pow (np.power may use
a vector library of its own)."""
import ctypes
import ctypes.util
import math
import sys

import numpy as np
import pytest
from conftest import DT, FUNCTIONS

SMALLEST = 1e-12
# The NaN that an invalid operation makes on this machine, so that NaNs from
# the inputs and NaNs made in a kernel carry the same bits whatever meets what.
NAN = math.inf - math.inf


def _odd(b):
    return b.is_integer() and math.fmod(b, 2.0) != 0.0


def _pow(a, b):
    if math.isnan(a) and b != 0.0:  # as glibc: x*x, negated for an odd power (math.pow returns x)
        return -(a + 0.0) if math.copysign(1.0, a) < 0 and _odd(b) else a + 0.0
    try:
        r = math.pow(a, b)
        return r + 0.0 if math.isnan(r) else r  # C quiets a signalling NaN, math.pow may pass it on
    except ValueError:  # a negative base to a non-integer power, or a zero base to a negative one
        return NAN if a != 0.0 else math.copysign(math.inf, a) if _odd(b) else math.inf
    except OverflowError:
        return -math.inf if a < 0.0 and _odd(b) else math.inf


def power(base, exponent):
    exponent = np.broadcast_to(exponent, base.shape)
    return np.array([_pow(a, b) for a, b in zip(base.tolist(), exponent.tolist())])


def col(a):
    return a[:, None]


def clamp01(v):
    return np.where(v < 0.0, 0.0, np.where(v > 1.0, 1.0, v))


# ---- the sewer storage -------------------------------------------------------------

# suspended solids: (pars entry, x entry), summed in this order
SOLIDS = [(19, 9), (20, 10), (21, 11), (21, 12), (22, 13), (23, 14), (21, 15), (24, 16), (24, 17)]


def sewer_storage(x, spar):
    h = np.where(spar[:, 2] > x[:, 23], spar[:, 2], x[:, 23])
    return h, h * spar[:, 0], power(h - spar[:, 2], 1.5) * spar[:, 1]


def sewer_outputs(x, u, pars, spar):
    h, v, q = sewer_storage(x, spar)
    y = np.empty((len(x), 27))
    y[:, :18] = x[:, :18] / col(v)
    solids = pars[:, 19] * x[:, 9]
    for p, i in SOLIDS[1:]:
        solids = solids + pars[:, p] * x[:, i]
    y[:, 18] = solids / v
    y[:, 19] = q
    y[:, 20] = u[:, 20]
    y[:, 21:26] = x[:, 18:23] / col(v)
    y[:, 26] = h
    return y


def sewer_derivatives(x, u, pars, spar):
    _, v, q = sewer_storage(x, spar)
    q_in = col(u[:, 19])
    dx = np.empty((len(x), 24))
    dx[:, :18] = q_in * u[:, :18] - (col(q) * x[:, :18]) / col(v)
    dx[:, 18:23] = q_in * u[:, 21:26] - (col(q) * x[:, 18:23]) / col(v)
    dx[:, 23] = (u[:, 19] - q) / spar[:, 0]
    return dx


# ---- the first-flush store ---------------------------------------------------------

def wash_off(u, s):
    g = power(u[:, 0] / 10000, s[:, 2])
    k = power(s[:, 1] / 10000, s[:, 2])
    return g / (k + g)


def sedlift_outputs(x, u, s):
    xc = np.where(x < 0.0, 0.0, x)
    q = u[:, 0]
    qs = np.where(q > SMALLEST, q, SMALLEST)
    t = clamp01(np.where(s[:, 0] > SMALLEST, xc[:, 0] / s[:, 0], 0.0))
    f = wash_off(u, s)
    y = np.empty((len(x), 13))
    y[:, 0] = q
    y[:, 1:7] = ((xc * col(f)) * s[:, 3:4]) / col(qs) + col(t) * u[:, 1:7]
    y[:, 7] = xc[:, 0]
    y[:, 8:13] = xc[:, 1:6] / 1000
    return y


def sedlift_derivatives(x, u, s):
    h = clamp01(np.where(s[:, 0] > SMALLEST, 1 - x[:, 0] / s[:, 0], 1.0))
    f = wash_off(u, s)
    return (col(u[:, 0]) * u[:, 1:7]) * col(h) - (col(f) * x) * s[:, 3:4]


# ---- the soil reservoir -------------------------------------------------------------

def loamtank_outputs(x, u, par):
    h = x[:, 0]
    y = np.empty((len(x), 4))
    y[:, 0] = np.where(par[:, 1] > h, 0.0, np.sqrt(h - par[:, 1]) * par[:, 4])
    cap = par[:, 3] * par[:, 2]
    y[:, 1] = np.where(cap > u[:, 0], 0.0, u[:, 0] - cap)
    y[:, 2] = par[:, 5] * h
    y[:, 3] = h
    return y


def loamtank_derivatives(x, u, par):
    h = np.where(0.0 > x[:, 0], 0.0, x[:, 0])
    cap = par[:, 2] * par[:, 3]
    q_in = np.where(cap < u[:, 0], cap, u[:, 0])
    q_drain = np.sqrt(np.where(h > par[:, 1], h - par[:, 1], 0.0)) * par[:, 4]
    q_2 = np.where(h >= par[:, 0], 0.0, u[:, 1])
    s = ((q_in + q_2) - q_drain) - par[:, 5] * h
    return col(s * (1.0 / par[:, 2]))


# ---- the influent fractionation -------------------------------------------------------

BACKGROUND = [0, *range(5, 9), 10, 12, *range(16, 36), *range(37, 54)]  # outputs of bg_values 0..43
SHARES = [(4, 3, 2), (9, 4, 3), (11, 5, 4), (13, 6, 1), (14, 7, 1), (15, 8, 1)]  # output, fraction, load


def total(y, entries):
    s = y[:, entries[0]]
    for i in entries[1:]:
        s = s + y[:, i]
    return s


def fractionation_compute(u, pars, fractions, bg):
    qd = np.where(u[:, 11] > SMALLEST, u[:, 11], SMALLEST)
    excess = u[:, 11] - u[:, 10]
    qx = np.where(excess < 0, 0.0, excess)
    loads = [u[:, 5 + k] + u[:, k] for k in range(5)]
    a = qx * fractions[:, 2]
    y = np.empty((len(u), 54))
    enough = loads[0] >= a
    rest = loads[0] - a
    y[:, 1] = np.where(enough, (rest * fractions[:, 0]) / qd, 0.0)
    y[:, 2] = np.where(enough, (rest * fractions[:, 1]) / qd, 0.0)
    y[:, 3] = np.where(enough, a / qd, loads[0] / qd)
    for out, share, load in SHARES:
        y[:, out] = (fractions[:, share] * loads[load]) / qd
    y[:, BACKGROUND] = bg[:, :44]
    s1 = total(y, [29, 27, 30, 31, 32, 33, 34, 35])
    p = pars[:, 30] * total(y, [15, 16, 19, 20, 28, 50])
    b = pars[:, 28] * y[:, 13] + pars[:, 29] * y[:, 14]
    i = (p + b) + pars[:, 155] * y[:, 17]
    i = np.where(pars[:, 154] > SMALLEST, i + y[:, 18] / pars[:, 154], i)
    s = (((s1 + i) + total(y, [41, 40, 42, 43, 44])) + total(y, [47, 45, 48, 49])) + total(y, [52, 51, 53])
    y[:, 36] = np.where(s < 0, 0.0, s)
    return y


# ---- the stream combiner --------------------------------------------------------------

def combiner_combine(a, b):
    qa, qb = col(a[:, 37]), col(b[:, 37])
    q = qb + qa
    y = np.where(q <= SMALLEST, 0.0, (qb * b + qa * a) / q)
    y[:, 37] = q[:, 0]
    return y


def euler(derivatives):
    return lambda *args: args[0] + col(args[-1]) * derivatives(*args[:-1])


REFERENCES = {
    "sewer.outputs": sewer_outputs, "sewer.derivatives": sewer_derivatives,
    "sewer.euler_step": euler(sewer_derivatives),
    "sedlift.outputs": sedlift_outputs, "sedlift.derivatives": sedlift_derivatives,
    "sedlift.euler_step": euler(sedlift_derivatives),
    "loamtank.outputs": loamtank_outputs, "loamtank.derivatives": loamtank_derivatives,
    "loamtank.euler_step": euler(loamtank_derivatives),
    "fractionation.compute": fractionation_compute, "combiner.combine": combiner_combine,
    **{f"{b}.initialize_state": lambda x: x.copy() for b in ("sewer", "sedlift", "loamtank")},
}

# ---- the comparisons --------------------------------------------------------------------

PAYLOADS = np.array([0x7FF8_0000_DEAD_BEEF, 0x7FF0_0000_0000_0001, 0xFFF4_0000_0000_0ABC]).view(np.float64)
SPECIALS = [0.0, -0.0, 5e-324, SMALLEST, -2.2e-308, 1e-300, 1e300, -1e300, 1.7e308, -7.5, math.inf, -math.inf,
            NAN, *PAYLOADS.tolist()]


def random_rows(rng, f, n):
    """n rows of arguments: values of every sign and many magnitudes, and in
    a quarter of the rows small numbers, so that comparisons also meet ties."""
    arrays = []
    for p in f.params:
        shape = (n,) if p.kind == DT else (n, p.length)
        values = rng.uniform(-1.0, 3.0, shape) * 10.0 ** rng.uniform(-3, 3, shape)
        values[rng.random(shape) < 0.05] = 0.0
        ties = rng.random(n) < 0.25
        values[ties] = rng.choice([-1.0, 0.0, 0.5, 1.0, 1.5, 2.0, 3.0], values[ties].shape)
        arrays.append(np.abs(values) if p.kind == DT else values)
    return arrays


def special_rows(rng, f):
    """A row of moderate positive values with one special value in one entry,
    for every entry and special value, and rows whose every entry is one
    special value. (One special value a row: NaNs of two payloads never meet,
    where the order of the operands would decide which comes out.)"""
    base = [rng.uniform(0.5, 2.0, (1,) if p.kind == DT else (1, p.length)) for p in f.params]
    places = [(k, i) for k, p in enumerate(f.params) for i in range(1 if p.kind == DT else p.length)]
    n = len(places) * len(SPECIALS)
    arrays = [np.repeat(a, n + len(SPECIALS), axis=0) for a in base]
    for row, ((k, i), value) in enumerate((place, v) for place in places for v in SPECIALS):
        arrays[k][(row, i)[:arrays[k].ndim]] = value
    for k in range(len(arrays)):
        arrays[k][n:] = np.reshape(SPECIALS, (-1,) + (1,) * (arrays[k].ndim - 1))
    return arrays


def check(f, arrays):
    with np.errstate(all="ignore"):
        got = np.array([f.fn(*row) for row in zip(*arrays)])
        want = REFERENCES[f.id](*arrays)
    differ = np.flatnonzero((got.view(np.int64) != want.view(np.int64)).any(axis=1))
    if differ.size:
        r = differ[0]
        pytest.fail(f"{f.id}: {differ.size} rows differ; first {[a[r] for a in arrays]}:\n"
                    f"got  {got[r]}\nwant {want[r]}")


def test_every_function_has_a_reference():
    assert sorted(REFERENCES) == sorted(f.id for f in FUNCTIONS)


@pytest.mark.parametrize("f", FUNCTIONS, ids=lambda f: f.id)
def test_random_rows_bit_for_bit(f):
    check(f, random_rows(np.random.default_rng(2024), f, 3000))


@pytest.mark.parametrize("f", FUNCTIONS, ids=lambda f: f.id)
def test_special_values_bit_for_bit(f):
    check(f, special_rows(np.random.default_rng(7), f))


def test_the_powers_are_the_c_librarys():
    """The references' pow is the C library's, special cases and the signs of
    NaNs included."""
    if not sys.platform.startswith("linux"):
        pytest.skip("the C library's pow is loaded here as glibc's libm")
    c_pow = ctypes.CDLL(ctypes.util.find_library("m")).pow
    c_pow.restype, c_pow.argtypes = ctypes.c_double, [ctypes.c_double, ctypes.c_double]
    rng = np.random.default_rng(5)
    bases = [*rng.uniform(-3, 3, 2000) * 10.0 ** rng.uniform(-300, 300, 2000), *SPECIALS[:-3], 1.0, -1.0]
    exponents = [1.5, 0.5, 2.0, 3.0, -1.0, -2.5, 0.0, *rng.uniform(-40, 40, 10), 1e300, math.inf, -math.inf, NAN]
    mine = power(np.repeat(bases, len(exponents)), np.tile(exponents, len(bases)))
    theirs = np.array([c_pow(a, b) for a in bases for b in exponents])
    assert mine.tobytes() == theirs.tobytes()


def test_loads_of_negative_zero_give_a_negative_zero_suspended_solids():
    """Every load and background value -0.0 at a positive flow: every share
    is -0.0, and so is their sum (a sum of -0.0s is -0.0, which is not below
    0, so it stays): bit for bit as the reference has it."""
    f = next(f for f in FUNCTIONS if f.id == "fractionation.compute")
    u = np.full((1, 12), -0.0)
    u[0, 10:] = 1.0  # Q_ref and Q: no flow above Q_ref
    lengths = [p.length for p in f.params]
    pars, fractions = np.full((1, lengths[1]), 0.5), np.full((1, lengths[2]), 0.25)
    bg = np.full((1, lengths[3]), -0.0)
    check(f, [u, pars, fractions, bg])
    assert np.signbit(f.fn(u[0], pars[0], fractions[0], bg[0])[36])


SEWER_FUNCTIONS = [f for f in FUNCTIONS if f.module.__name__.endswith(".sewer") and f.name != "initialize_state"]


@pytest.mark.parametrize("f", SEWER_FUNCTIONS, ids=lambda f: f.id)
def test_a_level_and_a_threshold_of_opposite_zeros(f):
    """The level the weir sees is the larger of h and h0; where they are
    zeros of opposite signs, it is h (h0 is not larger): the sign reaches the
    outputs through the volume."""
    rng = np.random.default_rng(5)
    arrays = [rng.uniform(0.5, 2.0, (4,) if p.kind == DT else (4, p.length)) for p in f.params]
    names = [p.name for p in f.params]
    x, spar = arrays[names.index("x")], arrays[names.index("spar")]
    x[:, -1], spar[:, 2] = [-0.0, 0.0, -0.0, 0.0], [0.0, -0.0, -0.0, 0.0]
    check(f, arrays)
