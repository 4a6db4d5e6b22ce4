"""Measured series and where they meet a model's records.

An :class:`Observation` is a measured series of one recorded entry of a
model (``"chain[3].y.Q"``, ``"chain[3].h"``, ``"flush.C_1"``), a pandas
Series indexed by dates or by times in days since step 0, with a weight.

:func:`align` puts it on the model's time axis: step k lies at ``k*dt``
days after step 0 (at the date ``start + k*dt`` for a model with a start
date), and an observation at time t is compared with the step on or
before it, ``k = floor(t / dt)`` (times within a millionth of a step of a
step count as on it). Observations are skipped, counted and reported when
their value is missing (NaN) or when their time lies outside the run
(before its first step, or at or after the end of its last).
"""
from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from tarnlet._extras import need
from tarnlet.model._model import parse_address

__all__ = ["Observation", "Aligned", "align", "TOLERANCE"]

#: Times closer to a step than this share of dt are on it.
TOLERANCE = 1e-6


def _pandas(what: str) -> Any:
    return need("pandas", f"tarnlet.calibration.{what}", "calibration")


class Observation:
    """A measured series of one recorded entry of a model.

    Parameters
    ----------
    address : str
        The entry, as a run records it: ``"chain[3].y.Q"`` (or
        ``"chain[3].Q"``), ``"st1.h"``, ``"soil.x.h"``.
    series : pandas.Series
        The measured values, indexed by dates (the model needs a start date)
        or by times in days since step 0 (numbers or time spans). Missing
        values (NaN) are skipped and counted. Never changed.
    weight : float
        Each residual is ``weight * (simulated - observed)``: give several
        observations weights of about one over their measurement error, so
        that a flow in m3/d and a level in m count alike.
    name : str, optional
        What reports call it; default the series' name, else the address.

    Examples
    --------
    >>> import pandas as pd
    >>> flow = pd.Series([4000.0, 4100.0, float("nan")], index=[0.0, 0.5, 1.0], name="flow")
    >>> Observation("st.Q", flow, weight=1 / 50)
    Observation('st.Q', 3 values, weight=0.02, name='flow')
    """

    address: str
    series: Any
    weight: float
    name: str
    _values: NDArray[np.float64]
    _days: tuple[str, Any]

    def __init__(self, address: str, series: Any, weight: float = 1.0, name: str | None = None) -> None:
        pd = _pandas("Observation")
        if not isinstance(address, str):
            raise TypeError(f"Observation: address must be a str such as 'st1.y.Q', not {address!r}")
        parse_address(address)
        if isinstance(series, pd.DataFrame) and series.shape[1] == 1:
            series = series.iloc[:, 0]
        if not isinstance(series, pd.Series):
            raise TypeError(f"Observation {address!r}: series must be a pandas Series (values indexed by dates "
                            f"or days), not {type(series).__name__}")
        try:
            values = series.to_numpy(dtype=np.float64, na_value=np.nan)
        except (TypeError, ValueError):
            raise ValueError(f"Observation {address!r}: the series' values must be numbers") from None
        if isinstance(weight, (bool, np.bool_)) or not isinstance(weight, (numbers.Real, np.floating)) \
                or not math.isfinite(weight) or weight <= 0:
            raise ValueError(f"Observation {address!r}: weight must be a finite positive number, not {weight!r}")
        if name is None:
            name = series.name if isinstance(series.name, str) and series.name else address
        if not isinstance(name, str):
            raise TypeError(f"Observation {address!r}: name must be a str, not {name!r}")
        self.address, self.series, self.weight, self.name = address, series, float(weight), str(name)
        self._values = values
        self._days = _days(series.index, address)

    def __repr__(self) -> str:
        return (f"Observation({self.address!r}, {len(self.series)} values, weight={self.weight:g}, "
                f"name={self.name!r})")

    def days(self, start: Any) -> NDArray[np.float64]:
        """The observations' times in days since step 0 of a model starting at `start` (a date or None)."""
        kind, t = self._days
        days: NDArray[np.float64]
        if kind == "dates":
            pd = _pandas("Observation")
            if start is None:
                raise ValueError(f"observation {self.name!r} has dates: the model needs a start date "
                                 "(Model(dt, start=...)), or give times in days since step 0")
            try:
                days = np.asarray((t - pd.Timestamp(start)) / pd.Timedelta(days=1), dtype=np.float64)
            except TypeError as e:
                raise ValueError(f"observation {self.name!r}: its dates and the model's start "
                                 f"{start} cannot be compared ({e})") from None
        else:
            days = t  # an array already
        return days


def _days(index: Any, address: str) -> tuple[str, Any]:
    pd = _pandas("Observation")
    if isinstance(index, pd.DatetimeIndex):
        return "dates", index
    if isinstance(index, pd.TimedeltaIndex):
        t = np.asarray(index / pd.Timedelta(days=1), dtype=np.float64)
    elif pd.api.types.is_numeric_dtype(index.dtype) and not pd.api.types.is_bool_dtype(index.dtype):
        t = np.asarray(index, dtype=np.float64)
    else:
        raise TypeError(f"Observation {address!r}: the series' index must hold dates or times in days, not "
                        f"{index.dtype}")
    if not np.isfinite(t).all():
        raise ValueError(f"Observation {address!r}: the series' index has times that are not finite")
    return "days", t


@dataclass
class Aligned:
    """An observation on a run's records: which rows it is compared with."""

    observation: Observation
    column: int  # the column of the run's records
    rows: NDArray[np.intp]  # per observation used: its row of the records
    observed: NDArray[np.float64]  # the values used
    times: Any  # their own times (index labels)
    total: int
    missing: int  # NaN values
    outside: int  # times outside the run
    between: int  # used, but between steps: taken at the step on or before

    @property
    def used(self) -> int:
        return len(self.rows)

    @property
    def name(self) -> str:
        return self.observation.name

    @property
    def weight(self) -> float:
        return self.observation.weight

    def describe(self) -> str:
        o = self.observation
        text = f"{o.name} ({o.address}): {self.used} of {self.total} values used"
        skipped = [f"{self.missing} missing" if self.missing else "",
                   f"{self.outside} outside the run" if self.outside else ""]
        skipped = [s for s in skipped if s]
        if skipped:
            text += f" ({', '.join(skipped)} skipped)"
        if self.between:
            text += f"; {self.between} between steps, each taken at the step on or before it"
        return text


def align(observation: Observation, column: int, *, dt: float, first: int, stop: int, every: int = 1,
          start: Any = None) -> Aligned:
    """Where `observation` meets the records of a run.

    Parameters
    ----------
    column : int
        The column of the run's records that holds its entry.
    dt : float
        The model's step in days.
    first, stop, every : int
        The run's first recorded step, the step after its last, and every
        how many steps a row was recorded (rows are steps first, first +
        every, ...).
    start : date, optional
        The model's start date (for observations with dates).
    """
    t = observation.days(start)
    values = observation._values
    with np.errstate(invalid="ignore"):
        position = t / dt
    step = np.floor(position + TOLERANCE)
    on_step = np.abs(position - np.round(position)) <= TOLERANCE
    missing = np.isnan(values)
    inside = (step >= first) & (step < stop)
    use = inside & ~missing
    steps = step[use].astype(np.intp)
    rows = (steps - first) // every
    return Aligned(observation, column, rows, values[use], observation.series.index[use], len(values),
                   int(missing.sum()), int((~inside & ~missing).sum()),
                   int((use & ~(on_step & ((step - first) % every == 0))).sum()))
