"""Dry-weather inflow: sewage, industry and infiltration by pattern.

A :class:`Discharge` is one kind of water reaching an inlet: its daily volume
(inhabitants x litres per inhabitant and day, or a flow), its daily loads
(COD, N, P and suspended solids, per inhabitant or in all), the fractions
that split those loads into the sewer's components, fixed concentrations
(alkalinity, oxygen, a temperature in the pass-through entry) and a
:class:`Pattern` of multipliers. :func:`generate` adds up several discharges
at one inlet into a table with dates, one row per step and one column per
entry of the sewer's inflow (``SEWER.u``): flow in m3/d, concentrations in
g/m3 (alkalinity in mol/m3), ready to feed a sewer storage (``df.to_numpy()``
is a ``u`` series). :func:`generate_parts` gives each discharge on its own.

The flow at a time is ``Q_day * monthly[month] * daily[weekday] *
hourly[hour]``, where ``Q_day`` is the daily volume (m3/d) and ``hourly`` the
weekday or the weekend curve (Saturdays, Sundays and the given holidays,
which take Sunday's daily multiplier). Hourly curves are shapes: each is
scaled to a mean of 1, so a day's volume is ``Q_day * monthly * daily``
(the per-capita figure on a day whose multipliers are 1). Monthly and daily
multipliers are used as given. Loads follow the flow's pattern unless the
discharge has a load pattern of its own.

Fractions (:class:`Fractions`): COD splits into S_F, S_A, S_I, X_I, X_S and
X_H by shares that add up to 1; of the nitrogen a share is ammonium (S_NH4),
the rest is bound in the organic components (ASM2d carries no organic
nitrogen of its own); of the phosphorus a share is phosphate (S_PO4); the
suspended solids go to the TSS entry. :data:`MUNICIPAL` is a typical raw
municipal sewage (the shares of the ASM2d influent S_F 30, S_A 20, S_I 30,
X_I 25, X_S 125, X_H 30 g COD/m3; 70 % of the N as ammonium, 60 % of the P as
phosphate), :data:`PER_CAPITA` the usual design loads per inhabitant and day
(COD 120 g, N 11 g, P 1.8 g, TSS 70 g).

Variation: :class:`AR1` multiplies flow and loads by ``exp(x - sd**2/2)``
where x is a stationary AR(1) process with standard deviation `sd` and
correlation time `tau` (days; ``x[k] = phi*x[k-1] + sd*sqrt(1-phi**2)*e[k]``,
``phi = exp(-dt/tau)``, e standard normal), so the multiplier's mean is 1. It
is drawn from ``numpy.random.default_rng(seed)``: one seed, the same series.

Examples
--------
>>> from tarnlet import dryweather as dw
>>> town = dw.domestic(inhabitants=20000, litres=150.0)
>>> u = dw.generate([town, dw.infiltration(800.0)], start="2024-03-04", dt=1 / 1440, steps=1440)
>>> round(float(u["Q"].mean()), 6)   # m3/d: 20000 * 150 L + 800 m3 of infiltration
3800.0
"""
from __future__ import annotations

import math
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from tarnlet.forcing import _check_grid, _pandas, grid_times
from tarnlet.layout import SEWER

__all__ = ["Pattern", "Fractions", "AR1", "Discharge", "MUNICIPAL", "PER_CAPITA", "DOMESTIC_HOURLY",
           "DOMESTIC_WEEKEND_HOURLY", "MUNICIPAL_WATER", "domestic", "industry", "infiltration", "generate",
           "generate_parts", "multipliers"]

U = SEWER.u
LOADS = ("COD", "N", "P", "TSS")  # lumped loads, g/d
COD_COMPONENTS = ("S_F", "S_A", "S_I", "X_I", "X_S", "X_H")

# A typical diurnal curve of domestic sewage, hour 0-1 first: low at night,
# the morning peak at 11-12, a second one in the evening.
DOMESTIC_HOURLY = (0.62, 0.50, 0.43, 0.40, 0.42, 0.53, 0.77, 1.05, 1.25, 1.34, 1.38, 1.42,
                   1.41, 1.34, 1.25, 1.17, 1.13, 1.15, 1.21, 1.28, 1.27, 1.13, 0.94, 0.76)
# Weekends: a later, broader morning peak.
DOMESTIC_WEEKEND_HOURLY = (0.72, 0.60, 0.50, 0.45, 0.43, 0.45, 0.55, 0.72, 0.98, 1.24, 1.40, 1.47,
                           1.46, 1.38, 1.27, 1.18, 1.13, 1.14, 1.19, 1.25, 1.23, 1.10, 0.93, 0.80)
PER_CAPITA: Mapping[str, float] = {"COD": 120.0, "N": 11.0, "P": 1.8, "TSS": 70.0}  # g per inhabitant and day
# Fixed concentrations of domestic sewage: alkalinity (mol/m3), no oxygen.
MUNICIPAL_WATER: Mapping[str, float] = {"S_ALK": 5.0}


def _vector(values: Any, length: int, what: str) -> tuple[float, ...]:
    v = np.asarray(values, dtype=np.float64)
    if v.shape != (length,):
        raise ValueError(f"{what} takes {length} multipliers, got shape {v.shape}")
    if not np.all(np.isfinite(v)) or np.any(v < 0):
        raise ValueError(f"{what}: multipliers must be finite and at least 0, got {v.tolist()}")
    return tuple(float(x) for x in v)


def _shape(values: Any, what: str) -> tuple[float, ...]:
    v = np.array(_vector(values, 24, what))
    mean = v.mean()
    return tuple(float(x) for x in (v / mean if mean > 0 else v))


@dataclass(frozen=True)
class Pattern:
    """Multipliers by month, weekday and hour.

    Parameters
    ----------
    monthly : 12 floats
        January first; used as given (default all 1).
    daily : 7 floats
        Monday first; used as given (default all 1).
    hourly : 24 floats
        Hour 0-1 first, for weekdays; scaled to a mean of 1 (a curve of
        zeros stays zero).
    weekend_hourly : 24 floats, optional
        The same for Saturdays, Sundays and holidays; default `hourly`.
    """

    monthly: Sequence[float] = (1.0,) * 12
    daily: Sequence[float] = (1.0,) * 7
    hourly: Sequence[float] = (1.0,) * 24
    weekend_hourly: Sequence[float] | None = None

    def __post_init__(self) -> None:
        object.__setattr__(self, "monthly", _vector(self.monthly, 12, "Pattern monthly"))
        object.__setattr__(self, "daily", _vector(self.daily, 7, "Pattern daily"))
        object.__setattr__(self, "hourly", _shape(self.hourly, "Pattern hourly"))
        weekend = self.hourly if self.weekend_hourly is None else _shape(self.weekend_hourly,
                                                                        "Pattern weekend_hourly")
        object.__setattr__(self, "weekend_hourly", weekend)

    @classmethod
    def working_hours(cls, start: float = 7.0, end: float = 16.0, days: int = 5,
                      monthly: Sequence[float] = (1.0,) * 12) -> Pattern:
        """Constant during working hours on the first `days` weekdays, zero otherwise.

        The flow of such a discharge is its volume per working day.
        """
        if not (0 <= start < end <= 24) or start != int(start) or end != int(end):
            raise ValueError(f"working hours are whole hours with 0 <= start < end <= 24, got {start}-{end}")
        if days not in range(1, 8):
            raise ValueError(f"days must be 1-7 (Monday on), not {days!r}")
        hourly = [1.0 if start <= h < end else 0.0 for h in range(24)]
        return cls(monthly, [1.0] * days + [0.0] * (7 - days), hourly, hourly)


DOMESTIC = Pattern(hourly=DOMESTIC_HOURLY, weekend_hourly=DOMESTIC_WEEKEND_HOURLY)


@dataclass(frozen=True)
class Fractions:
    """How lumped daily loads split into the sewer's components.

    Parameters
    ----------
    cod : mapping
        Shares of the COD for S_F, S_A, S_I, X_I, X_S, X_H (any of them),
        adding up to 1.
    nh4 : float
        Share of the nitrogen that is ammonium (S_NH4); the rest is bound in
        the organic components.
    no3 : float
        Share of the nitrogen that is nitrate (S_NO3), usually 0 in sewage.
    po4 : float
        Share of the phosphorus that is phosphate (S_PO4).
    """

    cod: Mapping[str, float]
    nh4: float = 0.7
    no3: float = 0.0
    po4: float = 0.6

    def __post_init__(self) -> None:
        unknown = sorted(set(self.cod) - set(COD_COMPONENTS))
        if unknown:
            raise ValueError(f"Fractions cod: {unknown} are not COD components ({', '.join(COD_COMPONENTS)})")
        shares = np.array(list(self.cod.values()), dtype=np.float64)
        if np.any(shares < 0) or abs(shares.sum() - 1.0) > 1e-9:
            raise ValueError(f"Fractions cod: shares must be at least 0 and add up to 1, they add up to "
                             f"{shares.sum():.12g}")
        for name in ("nh4", "no3", "po4"):
            if not 0.0 <= getattr(self, name) <= 1.0:
                raise ValueError(f"Fractions {name} must be a share from 0 to 1, not {getattr(self, name)!r}")
        if self.nh4 + self.no3 > 1.0 + 1e-12:
            raise ValueError(f"Fractions: nh4 + no3 = {self.nh4 + self.no3:g} exceeds 1")
        object.__setattr__(self, "cod", dict(self.cod))

    def split(self, loads: Mapping[str, float]) -> dict[str, float]:
        """Component loads (g/d) by sewer entry from lumped loads (g/d)."""
        out = {name: share * loads.get("COD", 0.0) for name, share in self.cod.items()}
        out["S_NH4"] = self.nh4 * loads.get("N", 0.0)
        out["S_NO3"] = self.no3 * loads.get("N", 0.0)
        out["S_PO4"] = self.po4 * loads.get("P", 0.0)
        out["TSS"] = loads.get("TSS", 0.0)
        return out


_TYPICAL = {"S_F": 30.0, "S_A": 20.0, "S_I": 30.0, "X_I": 25.0, "X_S": 125.0, "X_H": 30.0}
MUNICIPAL = Fractions({k: v / sum(_TYPICAL.values()) for k, v in _TYPICAL.items()}, nh4=0.7, po4=0.6)


@dataclass(frozen=True)
class AR1:
    """Multiplicative variation: ``exp(x - sd**2/2)``, x a stationary AR(1)
    process of standard deviation `sd` and correlation time `tau` (days)."""

    sd: float
    tau: float

    def __post_init__(self) -> None:
        if not (math.isfinite(self.sd) and self.sd >= 0):
            raise ValueError(f"AR1 sd must be at least 0, not {self.sd!r}")
        if not (math.isfinite(self.tau) and self.tau > 0):
            raise ValueError(f"AR1 tau must be a positive number of days, not {self.tau!r}")

    def draw(self, rng: np.random.Generator, dt: float, steps: int) -> NDArray[np.float64]:
        """The multipliers of `steps` steps of `dt` days."""
        phi = math.exp(-dt / self.tau)
        e = rng.standard_normal(steps)
        x = np.empty(steps)
        x[0] = self.sd * e[0]
        scale = self.sd * math.sqrt(1.0 - phi * phi)
        if steps > 1:
            from_scipy = _lfilter()
            if from_scipy is not None:
                zi = np.array([phi * x[0]])
                x[1:] = from_scipy([1.0], [1.0, -phi], scale * e[1:], zi=zi)[0]
            else:
                for k in range(1, steps):
                    x[k] = phi * x[k - 1] + scale * e[k]
        factors: NDArray[np.float64] = np.exp(x - 0.5 * self.sd * self.sd)
        return factors


def _lfilter() -> Any:
    try:
        from scipy.signal import lfilter
    except ImportError:
        return None
    return lfilter


@dataclass(frozen=True)
class Discharge:
    """One kind of water at an inlet.

    Parameters
    ----------
    name : str
    flow : float
        Daily volume in m3/d (on a day whose multipliers are 1).
    loads : mapping
        Daily loads in g/d of "COD", "N", "P", "TSS" (any of them).
    fractions : Fractions
        How the loads split into components.
    concentrations : mapping
        Fixed concentrations by ``SEWER.u`` name (S_ALK in mol/m3, S_O2 in
        g/m3, passthrough as your model uses it): carried with the water.
    pattern : Pattern
        Multipliers of the flow.
    load_pattern : Pattern, optional
        Multipliers of the loads; default `pattern` (constant concentrations).
    flow_variation, load_variation : AR1, optional
        Random variation of the flow and of the loads.
    """

    name: str
    flow: float
    loads: Mapping[str, float] = field(default_factory=dict)
    fractions: Fractions = MUNICIPAL
    concentrations: Mapping[str, float] = field(default_factory=dict)
    pattern: Pattern = Pattern()
    load_pattern: Pattern | None = None
    flow_variation: AR1 | None = None
    load_variation: AR1 | None = None

    def __post_init__(self) -> None:
        if not (isinstance(self.flow, (int, float)) and math.isfinite(self.flow) and self.flow >= 0):
            raise ValueError(f"discharge {self.name!r}: flow must be at least 0 m3/d, not {self.flow!r}")
        unknown = sorted(set(self.loads) - set(LOADS))
        if unknown:
            raise ValueError(f"discharge {self.name!r}: loads {unknown} are not among {', '.join(LOADS)}")
        if any(not (math.isfinite(v) and v >= 0) for v in self.loads.values()):
            raise ValueError(f"discharge {self.name!r}: loads must be at least 0 g/d, got {dict(self.loads)}")
        for name in self.concentrations:
            if name in ("Q", "h") or name not in U:
                raise ValueError(f"discharge {self.name!r}: {name!r} is not a concentration of SEWER.u")
        object.__setattr__(self, "loads", dict(self.loads))
        object.__setattr__(self, "concentrations", dict(self.concentrations))


def domestic(inhabitants: float, litres: float = 150.0, *, per_capita: Mapping[str, float] = PER_CAPITA,
             fractions: Fractions = MUNICIPAL, pattern: Pattern = DOMESTIC,
             concentrations: Mapping[str, float] = MUNICIPAL_WATER, load_pattern: Pattern | None = None,
             flow_variation: AR1 | None = None, load_variation: AR1 | None = None,
             name: str = "domestic") -> Discharge:
    """Sewage of `inhabitants` people, `litres` per inhabitant and day,
    loads `per_capita` (g per inhabitant and day).

    Examples
    --------
    >>> d = domestic(1000, 120.0)
    >>> d.flow, d.loads["COD"]
    (120.0, 120000.0)
    """
    if not (math.isfinite(inhabitants) and inhabitants >= 0) or not (math.isfinite(litres) and litres >= 0):
        raise ValueError(f"inhabitants and litres must be at least 0, got {inhabitants!r} and {litres!r}")
    return Discharge(name, inhabitants * litres / 1000.0, {k: inhabitants * v for k, v in per_capita.items()},
                     fractions, concentrations, pattern, load_pattern, flow_variation, load_variation)


def industry(flow: float, quality: Mapping[str, float], *, hours: tuple[float, float] = (7.0, 16.0), days: int = 5,
             fractions: Fractions = MUNICIPAL, concentrations: Mapping[str, float] | None = None,
             name: str = "industry", **variation: AR1) -> Discharge:
    """A discharge during working hours: `flow` m3 per working day, lumped
    concentrations `quality` (g/m3 of "COD", "N", "P", "TSS").

    Examples
    --------
    >>> dairy = industry(500.0, {"COD": 2500.0, "N": 60.0, "P": 15.0, "TSS": 400.0})
    >>> dairy.pattern.daily
    (1.0, 1.0, 1.0, 1.0, 1.0, 0.0, 0.0)
    """
    return Discharge(name, flow, {k: v * flow for k, v in quality.items()}, fractions,
                     dict(concentrations or {}), Pattern.working_hours(*hours, days), None, **variation)


def infiltration(flow: float, *, monthly: Sequence[float] = (1.0,) * 12,
                 concentrations: Mapping[str, float] | None = None, name: str = "infiltration") -> Discharge:
    """Clean water at a constant flow (m3/d), optionally by month (groundwater).

    Default concentrations: 2 g/m3 of oxygen and 3 mol/m3 of alkalinity.
    """
    return Discharge(name, flow, {}, MUNICIPAL, {"S_O2": 2.0, "S_ALK": 3.0} if concentrations is None
                     else dict(concentrations), Pattern(monthly=monthly))


def multipliers(pattern: Pattern, times: Any, holidays: Iterable[Any] = ()) -> NDArray[np.float64]:
    """The pattern's multiplier at each of `times` (a DatetimeIndex).

    Examples
    --------
    >>> import pandas as pd
    >>> p = Pattern(daily=[1, 1, 1, 1, 1, 0.8, 0.7])
    >>> multipliers(p, pd.DatetimeIndex(["2024-03-09 10:00"])).tolist()   # a Saturday
    [0.8]
    """
    pd = _pandas("multipliers")
    times = pd.DatetimeIndex(times)
    day = times.normalize()
    weekday = np.asarray(times.day_of_week)
    if holidays:
        holiday = np.asarray(day.isin(pd.DatetimeIndex(list(holidays)).normalize()))
        weekday = np.where(holiday, 6, weekday)
    weekend = weekday >= 5
    hour = np.asarray(times.hour)
    hourly = np.where(weekend, np.asarray(pattern.weekend_hourly)[hour], np.asarray(pattern.hourly)[hour])
    factors: NDArray[np.float64] = (np.asarray(pattern.monthly)[np.asarray(times.month) - 1]
                                    * np.asarray(pattern.daily)[weekday] * hourly)
    return factors


def _children(seed: Any, n: int) -> list[np.random.Generator]:
    return [np.random.default_rng(s) for s in np.random.SeedSequence(seed).spawn(n)]


def generate_parts(discharges: Sequence[Discharge], *, start: Any, dt: float, steps: int, seed: Any = None,
                   holidays: Iterable[Any] = ()) -> dict[str, Any]:
    """Each discharge as its own inflow table (see :func:`generate`), by name.

    Raises
    ------
    ValueError
        No discharges, two with one name, a bad grid, or variation without a seed.
    """
    dt, steps = _check_grid(dt, steps, "generate()")
    discharges = list(discharges)
    if not discharges or not all(isinstance(d, Discharge) for d in discharges):
        raise ValueError("generate() takes a list of Discharge (e.g. domestic(...), industry(...), "
                         "infiltration(...))")
    names = [d.name for d in discharges]
    if len(set(names)) != len(names):
        raise ValueError(f"discharges need distinct names, got {names}")
    varies = any(d.flow_variation or d.load_variation for d in discharges)
    if varies and seed is None:
        raise ValueError("generate(): discharges with variation need a seed (seed=...), so that a run can be "
                         "repeated")
    pd = _pandas("generate")
    times = grid_times(start, dt, steps)
    if not isinstance(times, pd.DatetimeIndex):
        raise ValueError(f"generate(): start must be a date, not {start!r}")
    holidays = list(holidays)
    rngs = _children(seed if varies else 0, 2 * len(discharges))
    parts = {}
    for k, d in enumerate(discharges):
        f_flow = multipliers(d.pattern, times, holidays)
        f_load = f_flow if d.load_pattern is None else multipliers(d.load_pattern, times, holidays)
        if d.flow_variation:
            f_flow = f_flow * d.flow_variation.draw(rngs[2 * k], dt, steps)
        if d.load_variation:
            f_load = f_load * d.load_variation.draw(rngs[2 * k + 1], dt, steps)
        q = d.flow * f_flow
        values = np.zeros((steps, len(U)))
        values[:, U.Q] = q
        wet = q > 0
        for entry, load in d.fractions.split(d.loads).items():
            if load:
                values[wet, U.index(entry)] = load * f_load[wet] / q[wet]
        for entry, c in d.concentrations.items():
            values[wet, U.index(entry)] = c
        parts[d.name] = _table(pd, values, times, dt)
    return parts


def _table(pd: Any, values: NDArray[np.float64], times: Any, dt: float) -> Any:
    df = pd.DataFrame(values, index=times, columns=list(U.names))
    df.attrs["units"] = {name: U.unit(name) for name in U.names}
    df.attrs["dt"] = dt
    df.attrs["time_unit"] = "d"
    return df


def generate(discharges: Sequence[Discharge], *, start: Any, dt: float, steps: int, seed: Any = None,
             holidays: Iterable[Any] = ()) -> Any:
    """The dry-weather inflow of an inlet: the discharges mixed by flow.

    Parameters
    ----------
    discharges : sequence of Discharge
        E.g. ``[domestic(20000), industry(500.0, {...}), infiltration(800.0)]``.
    start : date
        The date and time of step 0.
    dt : float
        The step in days (1/1440: one minute).
    steps : int
    seed : int, optional
        Seeds the variation (needed when a discharge varies).
    holidays : dates, optional
        Days that follow Sunday's pattern.

    Returns
    -------
    pandas.DataFrame
        Index: the step's dates ("time"); columns: the 27 names of
        ``SEWER.u`` in order (Q in m3/d, the components in g/m3, S_ALK in
        mol/m3; TSS from the TSS loads; entries no discharge sets are 0);
        ``attrs["units"]`` the layout's units, ``attrs["dt"]`` the step.

    Examples
    --------
    >>> u = generate([domestic(20000)], start="2024-03-04", dt=1 / 24, steps=24)
    >>> u.index[0], round(float(u["Q"].iloc[11]), 1)    # 11:00-12:00 on a Monday
    (Timestamp('2024-03-04 00:00:00'), 4233.5)
    """
    parts = generate_parts(discharges, start=start, dt=dt, steps=steps, seed=seed, holidays=holidays)
    if len(parts) == 1:  # nothing to mix
        return next(iter(parts.values()))
    frames = [p.to_numpy() for p in parts.values()]
    q = sum(f[:, U.Q] for f in frames)
    mixed = np.zeros_like(frames[0])
    for f in frames:
        mixed += f * f[:, [U.Q]]
    wet = q > 0
    mixed[wet] /= q[wet, None]
    mixed[~wet] = 0.0
    mixed[:, U.Q] = q
    first = next(iter(parts.values()))
    return _table(_pandas("generate"), mixed, first.index, first.attrs["dt"])

