"""Steady states of the state-space blocks, and their stable time steps.

:func:`state` gives the state that a constant input keeps: the one in which
the block's derivatives vanish.

- Sewer storage: the level at which the weir passes the inflow,
  ``h = h0 + (Q / K) ** (2/3)``, holding the inflow's concentrations:
  ``M_i = c_i * A * h``.
- First flush: the stores in balance with the flow ``Q`` at the
  concentrations ``c``: with the wash-off rate ``w = k * Q**n / (Q_half**n +
  Q**n)``, ``M_1 = Q c_1 / (w + Q c_1 / C)`` and ``M_i = Q c_i (1 - M_1/C) / w``
  (``1 - M_1/C`` is 1 when the capacity limit is off). No flow, no wash-off:
  no steady state.
- Soil reservoir: the level at which drainage and linear outflow take the
  accepted inflow, found by bisection; where the secondary inflow stops at
  h_max and the level would hover there, or nothing drains, there is none.

Each raises ValueError, naming the block, where there is no steady state.
:func:`stable_step` gives the longest time step for which the explicit Euler
step of a block stays stable at a flow (the bounds on the blocks' pages).
"""
from __future__ import annotations

import math
from collections.abc import Callable, Mapping

import numpy as np

from tarnlet import layout
from tarnlet._typing import FloatArray

__all__ = ["state", "stable_step", "sewer", "sedlift", "loamtank", "NoSteadyState"]


class NoSteadyState(ValueError):
    """A constant input that no state keeps."""


def sewer(u: FloatArray, pars: FloatArray, spar: FloatArray) -> FloatArray:
    """The storage that has long carried the stream `u`."""
    U, S = layout.SEWER.u, layout.SEWER.spar
    q, K = u[U.Q], spar[S.K]
    if not q >= 0:
        raise NoSteadyState(f"a sewer storage has no steady state for the inflow {float(q)!r} "
                            "(negative or not a number)")
    if not K > 0:
        raise NoSteadyState(f"a sewer storage with the weir coefficient {float(K)!r} has no steady state")
    h = spar[S.h0] + (q / K) ** (2.0 / 3.0)
    components = [U.index(n) for n in layout.SEWER.x.names if n != "h"]
    return np.append(u[components] * spar[S.A] * h, h)


def sedlift(u: FloatArray, sspars: FloatArray) -> FloatArray:
    """The first flush's stores in balance with the flow and concentrations of `u`."""
    q, c = u[0], u[1:7]
    cap, q_half, n, k = sspars[0], sspars[1], sspars[2], sspars[3]
    wash = k * q**n / (q_half**n + q**n)
    if not wash > 0:
        raise NoSteadyState(f"a first flush with the flow {float(q)!r} washes nothing out (rate {float(wash)!r}): "
                            "its stores only grow, so there is no steady state")
    stores: FloatArray
    if cap > 1e-12:
        x1 = q * c[0] / (wash + q * c[0] / cap)
        stores = q * c * (1.0 - x1 / cap) / wash
    else:
        stores = q * c / wash
    return stores


def _soil_rate(h: float, u: FloatArray, par: FloatArray, secondary: bool) -> float:
    h_max, h_drain, A, q_cap, k_drain, k_lin = (float(v) for v in par[:6])
    q_in = min(A * q_cap, float(u[0]))
    q_2 = float(u[1]) if secondary else 0.0
    drain = math.sqrt(max(h - h_drain, 0.0)) * k_drain
    return q_in + q_2 - drain - k_lin * h


def _root(f: Callable[[float], float]) -> float | None:
    """The level >= 0 where the decreasing f crosses zero, or None where it
    does not below the largest double. Doubling, then halving until the
    midpoint is one of the ends: a fixed count of halvings would stop short
    of tiny levels (some 1,100 halvings separate 1 from 1e-300)."""
    if f(0.0) <= 0.0:
        return 0.0
    hi = 1.0
    while not f(hi) < 0.0:
        hi *= 2.0
        if math.isinf(hi):
            return None
    lo = 0.0
    while True:
        mid = 0.5 * (lo + hi)
        if mid in (lo, hi):
            break
        if f(mid) > 0.0:
            lo = mid
        else:
            hi = mid
    return 0.5 * (lo + hi)


def loamtank(u: FloatArray, par: FloatArray) -> FloatArray:
    """The soil level at which its outflows take the accepted inflow of `u`."""
    h_max = float(par[0])
    with_2 = _root(lambda h: _soil_rate(h, u, par, True))
    if with_2 is not None and with_2 < h_max:
        return np.array([with_2])
    without = _root(lambda h: _soil_rate(h, u, par, False))
    if without is None:
        raise NoSteadyState("a soil reservoir whose drainage and linear outflow never take its inflow has no "
                            "steady state (k_drain and k_lin are 0?)")
    if without >= h_max:
        return np.array([without])
    raise NoSteadyState(f"the soil reservoir has no steady state for this input: below h_max = {h_max!r} the "
                        "secondary inflow fills it, at h_max it stops, so the level hovers at h_max")


STEADY: dict[str, Callable[..., FloatArray]] = {"sewer": sewer, "sedlift": sedlift, "loamtank": loamtank}


def state(block: str, u: FloatArray, params: Mapping[str, FloatArray]) -> FloatArray:
    """The steady state of block `block` under the constant input `u`, with
    its parameter vectors by name.

    Examples
    --------
    >>> from tarnlet.layout import SEWER
    >>> x = state("sewer", SEWER.u.vector(S_NH4=16.0, Q=4000.0), {"pars": SEWER.pars.vector(),
    ...           "spar": SEWER.spar.vector(A=300.0, K=11000.0, h0=0.1)})
    >>> round(float(x[SEWER.x.h]), 4), round(float(x[SEWER.x.S_NH4]))
    (0.6095, 2925)
    """
    if block not in STEADY:
        raise NoSteadyState(f"no steady state is known for a {block} block: give its x0")
    names = {"sewer": ("pars", "spar"), "sedlift": ("sspars",), "loamtank": ("par",)}[block]
    return np.asarray(STEADY[block](np.asarray(u, dtype=np.float64), *(params[n] for n in names)), dtype=np.float64)


def stable_step(block: str, params: Mapping[str, FloatArray], flow: float) -> float | None:
    """The longest stable time step of a block at the inflow `flow`, or None
    where there is no bound (or none known)."""
    if not (flow > 0 and math.isfinite(flow)):
        return None
    if block == "sewer":
        A, K, h0 = (float(v) for v in params["spar"][:3])
        if not (A > 0 and K > 0):
            return None
        h: float = h0 + (flow / K) ** (2.0 / 3.0)
        return min(2.0 * A * h / flow, 4.0 / 3.0 * A * (h - h0) / flow)
    if block == "sedlift":
        _, q_half, n, k = (float(v) for v in params["sspars"][:4])
        try:
            f = flow**n / (q_half**n + flow**n)
        except (OverflowError, ZeroDivisionError):
            return None
        return 2.0 / (k * f) if k * f > 0 else None
    if block == "loamtank":
        par = params["par"]
        try:
            h = float(loamtank(np.array([flow, 0.0]), par)[0])
        except NoSteadyState:
            return None
        _, h_drain, A, _, k_drain, k_lin = (float(v) for v in par[:6])
        slope = k_lin + (k_drain / (2.0 * math.sqrt(h - h_drain)) if h > h_drain else 0.0)
        return 2.0 * A / slope if slope > 0 else None
    return None
