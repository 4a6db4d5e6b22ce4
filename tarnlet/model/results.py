"""What a model run returns: the recorded series with their names, times and
units, and the state to go on from."""
from __future__ import annotations

from collections.abc import Iterator, Mapping
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

from tarnlet._typing import FloatArray
from tarnlet.results import kept_steps, pandas_module

if TYPE_CHECKING:
    import pandas

__all__ = ["ModelState", "ModelResult"]


class ModelState(Mapping[str, FloatArray]):
    """The state of a model after a number of steps: every state block's
    state (a chain's as one row per member) and every delay's stored
    vector, by node name; `step`, the number of steps taken since step 0.

    Pass it (or the result that holds it) as a run's ``x0`` to go on from
    it: the sources are read on from row `step`, and the kept steps are
    those of one uninterrupted run.
    """

    def __init__(self, states: Mapping[str, FloatArray], step: int, dt: float, start: Any = None) -> None:
        self._states = {k: np.array(v, dtype=np.float64) for k, v in states.items()}
        for v in self._states.values():
            v.flags.writeable = False
        self.step, self.dt, self.start = int(step), float(dt), start

    def __getitem__(self, node: str) -> FloatArray:
        return self._states[node]

    def __iter__(self) -> Iterator[str]:
        return iter(self._states)

    def __len__(self) -> int:
        return len(self._states)

    @property
    def time(self) -> Any:
        """The time of the state: days since step 0, or a date."""
        t = self.step * self.dt
        if self.start is None:
            return t
        pd = pandas_module("ModelState.time")
        return self.start + pd.to_timedelta(t, unit="D")

    def __repr__(self) -> str:
        return f"ModelState(after {self.step} steps: {', '.join(self._states)})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (ModelState, (self._states, self.step, self.dt, self.start))


class _Fields(NamedTuple):
    x: Any
    y: FloatArray


class ModelResult(_Fields):
    """The recorded series of a model run, and its states.

    Attributes
    ----------
    x : ModelState or dict
        ``states="last"``: the state after the last step (a ModelState);
        ``states="kept"``: each state block's state after every kept step
        (an array per node).
    y : numpy.ndarray
        One row per kept step, one column per recorded entry.
    columns : list of (str, str)
        Each column's (node, entry): the node as ``"chain[2]"`` for a
        chain's member, and with the vector for anything but an output
        (``"flush.u"``, ``"soil.x"``).
    units : list of str
        Each column's unit.
    final : ModelState
        The state after the last step, whatever `states` kept.
    dt, every, start, steps
        The time step (days), which steps were kept, the number of the
        first step, how many steps ran.
    """

    columns: list[tuple[str, str]]
    units: list[str]
    final: ModelState
    dt: float
    every: int
    start: int
    steps: int
    date0: Any
    balances: Any
    peaks: dict[str, float]
    compiled: bool
    aliases: dict[str, str]

    @property
    def stop(self) -> int:
        return self.start + self.steps

    def output_steps(self) -> NDArray[np.int64]:
        """The number of the step of every recorded row."""
        return kept_steps(self.start, self.stop, self.every)

    def times(self) -> Any:
        """The time of every recorded row: days since step 0, or dates."""
        t = self.output_steps() * self.dt
        if self.date0 is None:
            return t
        pd = pandas_module("ModelResult.times()")
        return pd.DatetimeIndex(self.date0 + pd.to_timedelta(t, unit="D"), name="time")

    def column(self, address: str) -> FloatArray:
        """The recorded series of one entry, by its address ("chain[3].y.Q",
        or "plant.Q" for an output)."""
        node, _, entry = address.rpartition(".")
        node = node.removesuffix(".y")
        node = self.aliases.get(node, node)  # a chain: its last member
        try:
            k = self.columns.index((node, entry))
        except ValueError:
            raise KeyError(f"{address!r} was not recorded; the columns are "
                           f"{', '.join('.'.join(c) for c in self.columns[:12])}"
                           f"{' ...' if len(self.columns) > 12 else ''}") from None
        return self.y[:, k]

    def table(self) -> pandas.DataFrame:
        """The records as a labelled table.

        Returns
        -------
        pandas.DataFrame
            One row per kept step, indexed by its time (``"t"``, days since
            step 0; ``"time"``, dates when the model has a start date); the
            columns a MultiIndex (node, entry); ``attrs["units"]`` maps each
            column to its unit, ``attrs["dt"]`` is the step in days.
        """
        pd = pandas_module("ModelResult.table()")
        columns = pd.MultiIndex.from_tuples(self.columns, names=["node", "entry"])
        times = self.times()
        index = times if self.date0 is not None else pd.Index(times, name="t")
        frame: pandas.DataFrame = pd.DataFrame(self.y, index=index, columns=columns, copy=True)
        frame.attrs.update(units=dict(zip(self.columns, self.units)), dt=self.dt, every=self.every, time_unit="d")
        return frame

    def balance(self) -> pandas.DataFrame:
        """The mass balance of every state block over the run (``balance=True``).

        Returns
        -------
        pandas.DataFrame
            One row per block and quantity (water, each stored component):
            what flowed in, what flowed out, the change in storage, the
            error ``in - out - change`` and the error relative to the larger
            of in and storage.
        """
        if self.balances is None:
            raise ValueError("this run kept no mass balance: run with balance=True")
        pd = pandas_module("ModelResult.balance()")
        frame = pd.DataFrame(self.balances, columns=["node", "quantity", "in", "out", "change"])
        frame["error"] = frame["in"] - frame["out"] - frame["change"]
        scale = np.maximum(frame["in"].abs(), frame["change"].abs())
        frame["relative"] = (frame["error"].abs() / scale).where(scale > 0, 0.0)
        table: pandas.DataFrame = frame.set_index(["node", "quantity"])
        return table

    def __repr__(self) -> str:
        kept = f"x: {self.x!r}" if isinstance(self.x, ModelState) else f"x: states of {', '.join(self.x)}"
        return (f"ModelResult({len(self.columns)} columns x {len(self.y)} rows, steps {self.start} to {self.stop}, "
                f"{kept})")
