"""Goodness-of-fit measures of a simulated series against an observed one.

Each function takes the simulated and the observed values (array_like of
one length) and skips the pairs in which either is NaN; what is left must
not be empty. With ``s`` the simulated and ``o`` the observed values, their
means ``mean(s)``, ``mean(o)`` and (population) standard deviations
``std(s)``, ``std(o)``:

- :func:`nse`, the Nash-Sutcliffe efficiency:
  ``1 - sum((s - o)**2) / sum((o - mean(o))**2)``; 1 is a perfect fit, 0 no
  better than the observed mean; NaN for a constant observed series.
- :func:`kge`, the Kling-Gupta efficiency:
  ``1 - sqrt((r - 1)**2 + (alpha - 1)**2 + (beta - 1)**2)`` from its three
  parts (:func:`kge_parts`): the linear correlation ``r`` of s and o, the
  ratio of spreads ``alpha = std(s) / std(o)`` and the ratio of means
  ``beta = mean(s) / mean(o)``.
- :func:`rmse`, the root-mean-square error ``sqrt(mean((s - o)**2))``, in
  the series' unit.
- :func:`bias`, the mean error ``mean(s) - mean(o)``, in the series' unit
  (positive: the model simulates too much).
- :func:`log_nse`, the NSE of ``log(s + eps)`` against ``log(o + eps)``,
  which weighs low values (dry-weather flows) as the NSE weighs high ones;
  ``eps`` defaults to a hundredth of the observed mean, which keeps zeros
  finite. A pair with ``s + eps`` or ``o + eps`` at or below 0 is NaN.

Examples
--------
>>> from tarnlet.calibration import measures
>>> observed = [1.0, 2.0, 3.0, 4.0]
>>> simulated = [1.5, 2.0, 2.5, 5.0]
>>> round(measures.nse(simulated, observed), 12)
0.7
>>> measures.bias(simulated, observed), measures.rmse(simulated, observed)
(0.25, 0.6123724356957945)
"""
from __future__ import annotations

import math
from typing import Any, NamedTuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["nse", "kge", "kge_parts", "KGEParts", "rmse", "bias", "log_nse", "all_measures", "NAMES"]

#: The measures :func:`all_measures` gives, in its order.
NAMES = ("nse", "kge", "r", "alpha", "beta", "rmse", "bias", "log_nse")


class KGEParts(NamedTuple):
    """The three parts of the Kling-Gupta efficiency."""

    r: float  #: linear correlation of simulated and observed
    alpha: float  #: std(simulated) / std(observed)
    beta: float  #: mean(simulated) / mean(observed)


def _pairs(simulated: ArrayLike, observed: ArrayLike) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    s = np.asarray(simulated, dtype=np.float64)
    o = np.asarray(observed, dtype=np.float64)
    if s.ndim != 1 or o.ndim != 1:
        raise ValueError(f"simulated and observed must be 1-D series, not of shapes {s.shape} and {o.shape}")
    if s.shape != o.shape:
        raise ValueError(f"simulated and observed must have one length, not {len(s)} and {len(o)}")
    keep = ~(np.isnan(s) | np.isnan(o))
    if not keep.any():
        raise ValueError("simulated and observed have no pair of values without NaN to compare")
    return s[keep], o[keep]


def _ratio(a: float, b: float) -> float:
    return a / b if b != 0.0 else math.nan


def nse(simulated: ArrayLike, observed: ArrayLike) -> float:
    """The Nash-Sutcliffe efficiency (see the module).

    Examples
    --------
    >>> nse([1.0, 2.0, 3.0], [1.0, 2.0, 3.0])
    1.0
    """
    s, o = _pairs(simulated, observed)
    spread = float(np.sum((o - o.mean()) ** 2))
    return 1.0 - _ratio(float(np.sum((s - o) ** 2)), spread)


def kge_parts(simulated: ArrayLike, observed: ArrayLike) -> KGEParts:
    """The correlation r, the ratio of spreads alpha and of means beta.

    Examples
    --------
    >>> kge_parts([2.0, 4.0, 6.0], [1.0, 2.0, 3.0])
    KGEParts(r=1.0, alpha=2.0, beta=2.0)
    """
    s, o = _pairs(simulated, observed)
    ds, do = s - s.mean(), o - o.mean()
    r = _ratio(float(np.sum(ds * do)), math.sqrt(float(np.sum(ds**2)) * float(np.sum(do**2))))
    return KGEParts(r, _ratio(float(s.std()), float(o.std())), _ratio(float(s.mean()), float(o.mean())))


def kge(simulated: ArrayLike, observed: ArrayLike) -> float:
    """The Kling-Gupta efficiency (see the module).

    Examples
    --------
    >>> kge([2.0, 4.0, 6.0], [1.0, 2.0, 3.0])   # r = 1, alpha = beta = 2: 1 - sqrt(2)
    -0.41421356237309515
    """
    r, alpha, beta = kge_parts(simulated, observed)
    return 1.0 - math.sqrt((r - 1.0) ** 2 + (alpha - 1.0) ** 2 + (beta - 1.0) ** 2)


def rmse(simulated: ArrayLike, observed: ArrayLike) -> float:
    """The root-mean-square error, in the series' unit."""
    s, o = _pairs(simulated, observed)
    return math.sqrt(float(np.mean((s - o) ** 2)))


def bias(simulated: ArrayLike, observed: ArrayLike) -> float:
    """The mean error mean(simulated) - mean(observed), in the series' unit."""
    s, o = _pairs(simulated, observed)
    return float(s.mean()) - float(o.mean())


def log_nse(simulated: ArrayLike, observed: ArrayLike, epsilon: float | None = None) -> float:
    """The NSE of the logarithms of ``value + epsilon``.

    Parameters
    ----------
    epsilon : float, optional
        Added to both series before the logarithm; default a hundredth of
        the observed mean.

    Examples
    --------
    >>> round(log_nse([1.0, 10.0, 100.0], [1.0, 10.0, 100.0]), 12)
    1.0
    """
    s, o = _pairs(simulated, observed)
    eps = float(o.mean()) / 100.0 if epsilon is None else float(epsilon)
    if not math.isfinite(eps):
        raise ValueError(f"epsilon must be a finite number, not {epsilon!r}")
    with np.errstate(divide="ignore", invalid="ignore"):
        ls = np.where(s + eps > 0.0, np.log(np.maximum(s + eps, 0.0)), np.nan)
        lo = np.where(o + eps > 0.0, np.log(np.maximum(o + eps, 0.0)), np.nan)
    if np.isnan(ls).any() or np.isnan(lo).any():
        return math.nan
    return nse(ls, lo)


def all_measures(simulated: ArrayLike, observed: ArrayLike) -> dict[str, Any]:
    """Every measure of :data:`NAMES` and the number of pairs compared, ``n``.

    Examples
    --------
    >>> m = all_measures([1.5, 2.0, 2.5, 5.0], [1.0, 2.0, 3.0, 4.0])
    >>> sorted(m) == sorted((*NAMES, "n"))
    True
    """
    s, o = _pairs(simulated, observed)
    r, alpha, beta = kge_parts(s, o)
    return {"nse": nse(s, o), "kge": kge(s, o), "r": r, "alpha": alpha, "beta": beta, "rmse": rmse(s, o),
            "bias": bias(s, o), "log_nse": log_nse(s, o), "n": len(s)}
