"""Measured series as inputs of a run: on the run's step grid, gaps reported.

A run steps through times ``start + k*dt`` (k = 0 .. steps-1, dt in days).
:func:`on_grid` puts a measured series (a pandas Series or DataFrame whose
index holds dates, or times in days) on that grid by a stated rule:

- ``rule="hold"``: each value holds from its time until the next value's
  time (a logger's reading for the interval it starts);
- ``rule="linear"``: linear between neighbouring values.

Nothing is filled silently. A step of the run that the data do not cover is
a gap: the data start after the run starts or end before it ends, a value is
NaN, or two neighbouring times lie further apart than the data's own interval
(the most common spacing; ``max_gap=`` sets another). Gaps raise a
:class:`GapError` that lists every span, unless the call names a fill rule
(``fill="hold"``, ``"linear"`` or a number). :func:`find_gaps` lists the
gaps without raising. Unsorted or repeated times are errors, always.

:func:`rain_inflow` turns rain (an intensity in mm/h or a depth per interval
in mm) into the primary inflow (m3/d) of a soil reservoir of a given area, and
:class:`Forcing` keeps a series with its rules until the run's grid is known.

Examples
--------
>>> import pandas as pd
>>> level = pd.Series([1.0, 2.0, 4.0], index=pd.date_range("2024-05-01", periods=3, freq="h"))
>>> on_grid(level, start="2024-05-01", dt=1 / 48, steps=5)
array([1., 1., 2., 2., 4.])
>>> on_grid(level, start="2024-05-01", dt=1 / 48, steps=5, rule="linear")
array([1. , 1.5, 2. , 3. , 4. ])
"""
from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from tarnlet import units
from tarnlet._extras import need

__all__ = ["Gap", "GapError", "on_grid", "find_gaps", "grid_times", "rain_inflow", "Forcing"]

RULES = ("hold", "linear")
FILLS = ("hold", "linear")
# Times closer than this share of a step are the same time (dates and float
# days round differently).
_TOLERANCE = 1e-6


def _pandas(what: str) -> Any:
    return need("pandas", f"tarnlet.forcing.{what}", "io")


@dataclass(frozen=True)
class Gap:
    """A span of the run that the data do not cover.

    ``kind`` is "before" (the data start after the run starts), "after" (they
    end before it ends), "nan" (missing values) or "hole" (neighbouring times
    further apart than allowed). ``start`` and ``end`` are the span in the
    data's terms (dates, or days), ``first_step`` and ``steps`` the steps of
    the run it leaves without a value.
    """

    column: Any
    kind: str
    start: Any
    end: Any
    first_step: int
    steps: int

    def __str__(self) -> str:
        where = f"column {self.column!r}: " if self.column is not None else ""
        what = {"before": f"no data before {self.end} (the run starts at {self.start})",
                "after": f"no data after {self.start} (the run ends at {self.end})",
                "nan": f"NaN at {self.start}" if self.start == self.end else f"NaN from {self.start} to {self.end}",
                "hole": f"no data between {self.start} and {self.end}"}[self.kind]
        last = self.first_step + self.steps - 1
        span = f"step {self.first_step}" if self.steps == 1 else f"steps {self.first_step}-{last}"
        return f"{where}{what}: {span} of the run"


class GapError(ValueError):
    """The data leave steps of the run without a value; ``.gaps`` lists the spans."""

    def __init__(self, name: str, gaps: Sequence[Gap]) -> None:
        self.gaps = list(gaps)
        shown = [f"  {g}" for g in self.gaps[:20]]
        if len(self.gaps) > 20:
            shown.append(f"  ... and {len(self.gaps) - 20} more")
        total = sum(g.steps for g in self.gaps)
        super().__init__(f"{name} has {len(self.gaps)} gap{'s' * (len(self.gaps) != 1)} in the run "
                         f"({total} steps without a value); give fill='hold', 'linear' or a number to fill "
                         "them, or data that cover the run:\n" + "\n".join(shown))


def grid_times(start: Any, dt: float, steps: int) -> Any:
    """The times of a run's steps: a DatetimeIndex from a date `start`, else
    float days ``start + k*dt``.

    Examples
    --------
    >>> grid_times(0.0, 0.5, 3)
    array([0. , 0.5, 1. ])
    >>> [str(t) for t in grid_times("2024-01-01", 1 / 24, 2)]
    ['2024-01-01 00:00:00', '2024-01-01 01:00:00']
    """
    dt, steps = _check_grid(dt, steps, "grid_times()")
    if _is_number(start):
        return float(start) + np.arange(steps) * dt
    pd = _pandas("grid_times")
    first = _timestamp(start, "grid_times()")
    step = pd.Timedelta(round(dt * 86400e9), "ns")
    return pd.date_range(first, periods=steps, freq=step, name="time")


def _is_number(x: Any) -> bool:
    return isinstance(x, (int, float, np.integer, np.floating)) and not isinstance(x, bool)


def _timestamp(start: Any, who: str) -> Any:
    pd = _pandas("on_grid")
    try:
        return pd.Timestamp(start).as_unit("ns")
    except (TypeError, ValueError) as e:
        raise ValueError(f"{who}: start must be a date (or a number of days for data indexed by days), "
                         f"not {start!r}: {e}") from None


def _check_grid(dt: Any, steps: Any, who: str) -> tuple[float, int]:
    if not _is_number(dt) or not math.isfinite(dt) or dt <= 0:
        raise ValueError(f"{who}: dt must be a positive number of days, not {dt!r}")
    if not isinstance(steps, (int, np.integer)) or isinstance(steps, bool) or steps < 1:
        raise ValueError(f"{who}: steps must be a positive integer, not {steps!r}")
    return float(dt), int(steps)


@dataclass
class _Data:
    """A series prepared for the grid: times in days from the run's start."""

    t: NDArray[np.float64]  # (n,)
    values: NDArray[np.float64]  # (n, columns)
    columns: list[Any] | None  # None for a Series
    labels: Any  # the index, to name spans in the data's terms
    dates: bool
    start: Any  # the run's start, as given (Timestamp or float)


def _prepare(data: Any, start: Any, name: str) -> _Data:
    pd = _pandas("on_grid")
    if isinstance(data, pd.Series):
        frame, columns = data.to_frame(), None
    elif isinstance(data, pd.DataFrame):
        frame, columns = data, list(data.columns)
        if not columns:
            raise ValueError(f"{name} has no columns")
    else:
        raise TypeError(f"{name} must be a pandas Series or DataFrame with a DatetimeIndex or times in days, "
                        f"not {type(data).__name__}")
    if len(frame) == 0:
        raise ValueError(f"{name} is empty")
    index = frame.index
    try:
        values = frame.to_numpy(dtype=np.float64, copy=True)
    except (TypeError, ValueError):
        bad = [c for c in frame.columns if not pd.api.types.is_numeric_dtype(frame[c])]
        raise ValueError(f"{name}: column{'s' * (len(bad) != 1)} {', '.join(map(repr, bad))} "
                         "not numeric") from None
    if isinstance(index, pd.DatetimeIndex):
        if _is_number(start):
            raise ValueError(f"{name} has dates: start must be a date, not the number {start!r}")
        first = _timestamp(index[0] if start is None else start, "on_grid()")
        if (first.tz is None) != (index.tz is None):
            raise ValueError(f"{name}'s times are {'time-zone aware' if index.tz else 'naive'}, start is "
                             f"{'time-zone aware' if first.tz else 'naive'}: give both with or both without")
        t = np.asarray((index - first) / pd.Timedelta(days=1), dtype=np.float64)
        dates = True
    elif pd.api.types.is_numeric_dtype(index.dtype):
        if start is not None and not _is_number(start):
            raise ValueError(f"{name} is indexed by days: start must be a number of days, not {start!r}")
        first = float(index[0]) if start is None else float(start)
        t = np.asarray(index, dtype=np.float64) - first
        dates = False
    else:
        raise TypeError(f"{name} must have a DatetimeIndex or a numeric index of days, not {type(index).__name__}")
    if not np.all(np.isfinite(t)):
        raise ValueError(f"{name} has times that are not finite (NaT or NaN)")
    steps = np.diff(t)
    if np.any(steps < 0):
        k = int(np.argmax(steps < 0)) + 1
        raise ValueError(f"{name}'s times are not sorted: {index[k]} (row {k}) follows {index[k - 1]}; "
                         "sort the data first (data.sort_index())")
    if np.any(steps == 0):
        k = int(np.argmax(steps == 0)) + 1
        raise ValueError(f"{name} has repeated times: {index[k]} at rows {k - 1} and {k}; keep one value "
                         "per time")
    return _Data(t, values, columns, index, dates, first)


def _interval(t: NDArray[np.float64]) -> float:
    """The data's own interval: the most common spacing (the median)."""
    return float(np.median(np.diff(t))) if len(t) > 1 else math.inf


def _allowed(d: _Data, max_gap: Any, name: str) -> float:
    if max_gap is None:
        return _interval(d.t)
    if _is_number(max_gap):
        value = float(max_gap)
    else:
        pd = _pandas("on_grid")
        try:
            value = pd.Timedelta(max_gap) / pd.Timedelta(days=1)
        except (TypeError, ValueError):
            raise ValueError(f"max_gap must be days or a time span (e.g. '30min'), not {max_gap!r}") from None
    if not value > 0:
        raise ValueError(f"max_gap must be positive, not {max_gap!r}")
    return value


# Causes of a step without a value.
_OK, _BEFORE, _AFTER, _NAN, _HOLE = 0, 1, 2, 3, 4
_KINDS = {_BEFORE: "before", _AFTER: "after", _NAN: "nan", _HOLE: "hole"}


def _causes(d: _Data, tg: NDArray[np.float64], dt: float, rule: str, allowed: float
            ) -> tuple[NDArray[np.intp], NDArray[np.int8], NDArray[np.intp], NDArray[np.bool_]]:
    """For each step: the sample before it (or at it), and per column the
    cause of a missing value and the sample responsible."""
    tol = _TOLERANCE * dt
    t = d.t
    n = len(t)
    i = np.searchsorted(t, tg + tol, side="right") - 1  # the sample at or before each step
    nan = np.isnan(d.values)
    cause = np.zeros((len(tg), d.values.shape[1]), dtype=np.int8)
    ref = np.zeros_like(cause, dtype=np.intp)
    before = i < 0
    ic = np.clip(i, 0, n - 1)
    at_sample = np.abs(tg - t[ic]) <= tol
    if rule == "hold":
        # A value holds until the next sample, at most `allowed` (the last one too).
        nxt = np.minimum(ic + 1, n - 1)
        until = np.where(ic + 1 < n, np.minimum(t[nxt], t[ic] + allowed), t[ic] + allowed)
        beyond = ~before & (tg >= until - tol) & ~at_sample
        after = beyond & (ic == n - 1)
        hole = beyond & ~after
        for c in range(d.values.shape[1]):
            isnan = ~before & ~beyond & nan[ic, c]
            cause[:, c] = np.select([before, after, hole, isnan], [_BEFORE, _AFTER, _HOLE, _NAN], _OK)
            ref[:, c] = ic
    else:
        after = ~before & (ic == n - 1) & ~at_sample
        inner = ~before & ~after & ~at_sample
        j = np.minimum(ic + 1, n - 1)
        hole = inner & (t[j] - t[ic] > allowed * (1 + _TOLERANCE))
        for c in range(d.values.shape[1]):
            nan_a = ~before & ~after & nan[ic, c]
            nan_b = inner & nan[j, c]
            isnan = ~hole & (nan_a | nan_b)
            cause[:, c] = np.select([before, after, hole, isnan], [_BEFORE, _AFTER, _HOLE, _NAN], _OK)
            ref[:, c] = np.where(nan_a | hole, ic, j)
    return i, cause, ref, ~before & at_sample


def _spans(d: _Data, tg_labels: Any, cause: NDArray[np.int8], ref: NDArray[np.intp], dt: float,
           allowed: float) -> list[Gap]:
    """Consecutive steps with one cause and one responsible sample (or NaN run) as Gap records."""
    gaps: list[Gap] = []
    n = len(d.t)
    for c in range(cause.shape[1]):
        column = None if d.columns is None else d.columns[c]
        nan = np.isnan(d.values[:, c])
        run_id = np.cumsum(np.r_[True, nan[1:] != nan[:-1]])  # NaN runs, numbered
        key = np.where(cause[:, c] == _NAN, run_id[ref[:, c]], ref[:, c])
        key = np.where(np.isin(cause[:, c], (_BEFORE, _AFTER)), -1, key)
        bad = cause[:, c] != _OK
        if not bad.any():
            continue
        change = np.r_[True, (cause[1:, c] != cause[:-1, c]) | (key[1:] != key[:-1])]
        starts = np.flatnonzero(bad & change)
        for s in starts:
            e = s
            while e + 1 < len(cause) and not change[e + 1] and bad[e + 1]:
                e += 1
            kind = int(cause[s, c])
            r = int(ref[s, c])
            if kind == _BEFORE:
                first, last = tg_labels[s], d.labels[0]
            elif kind == _AFTER:
                first, last = d.labels[n - 1], tg_labels[-1]
            elif kind == _HOLE:
                first, last = d.labels[r], d.labels[min(r + 1, n - 1)]
            else:
                members = np.flatnonzero(run_id == run_id[r])
                first, last = d.labels[members[0]], d.labels[members[-1]]
            gaps.append(Gap(column, _KINDS[kind], first, last, int(s), int(e - s + 1)))
    return gaps


def _fill_values(d: _Data, tg: NDArray[np.float64], dt: float, fill: Any, c: int) -> NDArray[np.float64]:
    v = d.values[:, c]
    ok = ~np.isnan(v)
    if _is_number(fill):
        return np.full(len(tg), float(fill))
    if not ok.any():
        raise ValueError(f"column {c}: every value is NaN: fill={fill!r} has nothing to fill from")
    tv, vv = d.t[ok], v[ok]
    if fill == "linear":
        filled: NDArray[np.float64] = np.interp(tg, tv, vv)  # the first or last valid value beyond the ends
        return filled
    k = np.searchsorted(tv, tg + _TOLERANCE * dt, side="right") - 1
    held: NDArray[np.float64] = vv[np.clip(k, 0, len(vv) - 1)]  # the first valid value before it
    return held


def _check_rule(rule: Any, fill: Any) -> None:
    if rule not in RULES:
        raise ValueError(f"rule must be one of {', '.join(map(repr, RULES))}, not {rule!r}")
    if fill is not None and fill not in FILLS and not (_is_number(fill) and math.isfinite(fill)):
        raise ValueError(f"fill must be None (gaps are errors), 'hold', 'linear' or a finite number, "
                         f"not {fill!r}")


def find_gaps(data: Any, *, start: Any, dt: float, steps: int, rule: str = "hold", max_gap: Any = None,
              name: str = "data") -> list[Gap]:
    """The spans of a run that `data` leave without a value (see :func:`on_grid`).

    Returns
    -------
    list of Gap
        Per column, in the order of the steps; empty when the data cover the run.

    Examples
    --------
    >>> import pandas as pd
    >>> s = pd.Series([1.0, None, 3.0], index=[0.0, 0.5, 1.0])
    >>> [str(g) for g in find_gaps(s, start=0.0, dt=0.5, steps=4)]
    ['NaN at 0.5: step 1 of the run', 'no data after 1.0 (the run ends at 1.5): step 3 of the run']
    """
    dt, steps = _check_grid(dt, steps, "find_gaps()")
    _check_rule(rule, None)
    d = _prepare(data, start, name)
    tg = _steps(dt, steps)
    _, cause, ref, _ = _causes(d, tg, dt, rule, _allowed(d, max_gap, name))
    return _spans(d, _grid_labels(d, tg, dt, steps), cause, ref, dt, _allowed(d, max_gap, name))


def _steps(dt: float, steps: int) -> NDArray[np.float64]:
    """The run's step times in days from its start, k*dt."""
    return np.asarray(np.arange(steps) * dt, dtype=np.float64)


def _grid_labels(d: _Data, tg: NDArray[np.float64], dt: float, steps: int) -> Any:
    return grid_times(d.start, dt, steps) if d.dates else d.start + tg


def on_grid(data: Any, *, start: Any = None, dt: float, steps: int, rule: str = "hold", fill: Any = None,
            max_gap: Any = None, name: str = "data") -> NDArray[np.float64]:
    """A measured series on a run's step grid.

    Parameters
    ----------
    data : pandas.Series or pandas.DataFrame
        Values indexed by dates (a DatetimeIndex) or by times in days (a
        numeric index), sorted, each time once. Never changed.
    start : date or float, optional
        The time of step 0: a date (anything ``pandas.Timestamp`` reads) for
        data with dates, days for data indexed by days. Default: the data's
        first time.
    dt : float
        The step, in days.
    steps : int
        The number of steps; step k is at ``start + k*dt``.
    rule : {"hold", "linear"}
        How values between the data's times are found: "hold" keeps each
        value until the next time (at most `max_gap`), "linear" interpolates.
    fill : {None, "hold", "linear"} or float
        What fills the gaps: None (the default) raises :class:`GapError`;
        "hold" the last valid value before (the first one before the first),
        "linear" interpolates between valid values (the nearest beyond the
        ends), a number that value.
    max_gap : float or str, optional
        The longest spacing of neighbouring times that is not a gap, in days
        or as a time span ("30min"). Default: the data's own interval, the
        median spacing.
    name : str
        What the messages call the data.

    Returns
    -------
    numpy.ndarray
        float64, shape (steps,) for a Series, (steps, columns) for a DataFrame.

    Raises
    ------
    GapError
        Gaps and no `fill`: the message and ``.gaps`` list every span.
    ValueError
        Unsorted or repeated times, values that are not numbers, a `start`
        that does not fit the index, a bad `rule`, `fill`, `dt` or `steps`.
    TypeError
        `data` that is not a Series or DataFrame with a usable index.

    Examples
    --------
    >>> import numpy as np, pandas as pd
    >>> flow = pd.Series([10.0, np.nan, 30.0], index=[0.0, 1.0, 2.0])
    >>> try:
    ...     on_grid(flow, start=0.0, dt=0.5, steps=5)
    ... except GapError as e:
    ...     print(e.gaps[0])
    NaN at 1.0: steps 2-3 of the run
    >>> on_grid(flow, start=0.0, dt=0.5, steps=5, rule="linear", fill="linear")
    array([10., 15., 20., 25., 30.])
    """
    dt, steps = _check_grid(dt, steps, "on_grid()")
    _check_rule(rule, fill)
    d = _prepare(data, start, name)
    tg = _steps(dt, steps)
    allowed = _allowed(d, max_gap, name)
    i, cause, ref, at_sample = _causes(d, tg, dt, rule, allowed)
    if fill is None and cause.any():
        raise GapError(name, _spans(d, _grid_labels(d, tg, dt, steps), cause, ref, dt, allowed))
    ic = np.clip(i, 0, len(d.t) - 1)
    out = np.empty((steps, d.values.shape[1]))
    for c in range(d.values.shape[1]):
        v = d.values[:, c]
        if rule == "hold":
            col = v[ic]
        else:
            col = np.interp(tg, d.t, v)
            col[at_sample] = v[ic[at_sample]]  # a step on a sample's time takes that sample
        bad = cause[:, c] != _OK
        if bad.any():
            col[bad] = _fill_values(d, tg, dt, fill, c)[bad]
        out[:, c] = col
    return out[:, 0] if d.columns is None else out


def rain_inflow(rain: Any, area: float | None = None, *, par: ArrayLike | None = None, kind: str = "intensity",
                unit: str | None = None, interval: float | None = None) -> Any:
    """Rain as the inflow (m3/d) a soil reservoir of the given area takes.

    Parameters
    ----------
    rain : array_like or pandas.Series
        Rain intensity (``kind="intensity"``, mm/h unless `unit` says
        otherwise) or depth per interval (``kind="depth"``, mm in each
        interval). Never changed. Values must not be negative (NaN passes on,
        for :func:`on_grid` to report).
    area : float, optional
        The area in m2, or give `par`.
    par : array_like, optional
        The soil reservoir's parameter vector (``LOAMTANK.par``): its entry
        ``A`` is the area.
    kind : {"intensity", "depth"}
    unit : str, optional
        The unit of `rain`: a rate of depth ("mm/h", "mm/d", "m/d") for an
        intensity, a depth ("mm", "m") for a depth. Default mm/h or mm.
    interval : float, optional
        For a depth: the length of each interval in days. Default: the
        spacing of a Series' index (which must then be regular).

    Returns
    -------
    numpy.ndarray or pandas.Series
        The inflow in m3/d, a Series (same index) for a Series.

    Raises
    ------
    ValueError
        A missing or non-positive area, negative rain, a bad `kind`, or a
        depth without a known interval.

    Examples
    --------
    >>> rain_inflow([0.0, 10.0], area=1.2e5)   # 10 mm/h on 12 ha
    array([    0., 28800.])
    >>> rain_inflow([0.5], area=1e4, kind="depth", interval=1 / 288)  # 0.5 mm in 5 minutes
    array([1440.])
    """
    from tarnlet.layout import LOAMTANK

    if (area is None) == (par is None):
        raise ValueError("rain_inflow() takes the area (m2) either as area= or as the soil reservoir's par "
                         "vector (par=), not " + ("both" if area is not None else "neither"))
    if par is not None:
        p = np.asarray(par, dtype=np.float64)
        if p.ndim != 1 or len(p) <= LOAMTANK.par.A:
            raise ValueError(f"par must be a LOAMTANK.par vector of {len(LOAMTANK.par)} entries, got shape "
                             f"{p.shape}")
        area = float(p[LOAMTANK.par.A])
    if not _is_number(area) or not math.isfinite(area) or area <= 0:  # type: ignore[arg-type, operator]
        raise ValueError(f"the area must be a positive number of m2, not {area!r}")
    a = float(area)  # type: ignore[arg-type]
    if kind not in ("intensity", "depth"):
        raise ValueError(f"kind must be 'intensity' (mm/h) or 'depth' (mm per interval), not {kind!r}")
    series = None
    try:
        import pandas as pd

        if isinstance(rain, pd.Series):
            series = rain
    except ImportError:
        pass
    values = np.array(rain, dtype=np.float64)
    if np.any(values < 0):
        raise ValueError(f"rain has negative values (the first at position {int(np.argmax(values < 0))})")
    if kind == "intensity":
        f_from, f_to = units.factor(unit or "mm/h", "m/d")
        q = values * (f_from / f_to * a)
    else:
        if interval is None:
            interval = _regular_interval(series)
        f_from, f_to = units.factor(unit or "mm", "m")
        rate = units.convert(values * (f_from / f_to), "m", "m/d", interval=interval)
        q = rate * a
    if series is not None:
        return series.__class__(q, index=series.index, name=series.name)
    return q


def _regular_interval(series: Any) -> float:
    if series is None:
        raise ValueError("a rain depth needs its interval: give interval= (days), or a Series with regular times")
    pd = _pandas("rain_inflow")
    index = series.index
    if isinstance(index, pd.DatetimeIndex):
        t = np.asarray((index - index[0]) / pd.Timedelta(days=1), dtype=np.float64)
    else:
        t = np.asarray(index, dtype=np.float64)
    spacing = np.diff(t)
    if len(spacing) == 0 or np.ptp(spacing) > _TOLERANCE * spacing[0] or spacing[0] <= 0:
        raise ValueError("a rain depth needs its interval: the Series' times are not regular (or too few); "
                         "give interval= (days)")
    return float(np.median(spacing))


@dataclass(frozen=True)
class Forcing:
    """A measured series with the rules that put it on a run's grid.

    The model layer keeps a Forcing as a source until it knows its grid, and
    calls :meth:`resolve`; :meth:`gaps` lists what :meth:`resolve` would
    refuse.

    Examples
    --------
    >>> import pandas as pd
    >>> f = Forcing(pd.Series([1.0, 3.0], index=[0.0, 1.0]), rule="linear", name="inflow")
    >>> f.resolve(0.0, 0.25, 5)
    array([1. , 1.5, 2. , 2.5, 3. ])
    """

    data: Any
    rule: str = "hold"
    fill: Any = None
    max_gap: Any = None
    name: str = "data"

    def __post_init__(self) -> None:
        _check_rule(self.rule, self.fill)

    def resolve(self, start: Any, dt: float, steps: int) -> NDArray[np.float64]:
        """The series on the grid ``start + k*dt`` (see :func:`on_grid`)."""
        return on_grid(self.data, start=start, dt=dt, steps=steps, rule=self.rule, fill=self.fill,
                       max_gap=self.max_gap, name=self.name)

    def gaps(self, start: Any, dt: float, steps: int) -> list[Gap]:
        """The spans of that grid the data leave without a value."""
        return find_gaps(self.data, start=start, dt=dt, steps=steps, rule=self.rule, max_gap=self.max_gap,
                         name=self.name)
