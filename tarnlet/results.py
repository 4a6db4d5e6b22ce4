"""What a whole run returns: its states and outputs, with their names and times.

A run of :mod:`tarnlet.runs` (and of a model, :mod:`tarnlet.model`) returns a
:class:`RunResult`, a named tuple of the kept states ``x`` and the kept
outputs ``y`` (``x, y = runs.sewer_run(...)`` works as ever), which also
knows what it holds: the block, the names of the recorded entries, the time
step, which steps were kept, and how to go on::

    result = runs.sewer_run(x0, u, pars, spar, 1 / 1440, record=["Q", "TSS", "h"], every=15)
    result.table()                       # a pandas DataFrame: time index, named columns, units
    more = runs.sewer_run(result, u2, pars, spar, 1 / 1440, record=["Q", "TSS", "h"], every=15)

Passing a result as the next run's ``x0`` continues it: the new run starts
from its last state, and its steps are numbered on from where it stopped,
so that the kept rows of the two runs together are those of one run over
both series (the new run leaves out its initial state, the last kept state
of the first). Passing ``result.x`` instead starts afresh from that state:
steps are numbered from 0 again.
"""
from __future__ import annotations

import importlib
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

from tarnlet._typing import FloatArray

if TYPE_CHECKING:
    import pandas

    from tarnlet.layout import Layout

__all__ = ["RunResult", "pandas_module"]


def kept_steps(start: int, stop: int, every: int) -> NDArray[np.int64]:
    """The steps in [start, stop) that a run keeping every `every`-th step
    keeps: the multiples of `every`, counted from step 0 of the first run."""
    first = -(-start // every) * every
    return np.arange(first, stop, every, dtype=np.int64)


def pandas_module(what: str) -> Any:
    """pandas, or an ImportError that says what needs it and how to install it."""
    try:
        return importlib.import_module("pandas")
    except ImportError as e:
        raise ImportError(f"{what} needs pandas, which is not installed: "
                          "pip install 'tarnlet[tables]' (or pip install pandas)") from e


class _Fields(NamedTuple):
    x: FloatArray
    y: FloatArray


class RunResult(_Fields):
    """The kept states and outputs of a whole run.

    Attributes
    ----------
    x : numpy.ndarray
        The kept states, one row per kept step (``states="kept"``), or the
        state after the last step (``states="last"``, one row); for a chain,
        one matrix of rows per block each.
    y : numpy.ndarray
        The kept outputs, one row per kept step, the recorded entries only.
    block : str
        The block's name (``"sewer"``).
    names : tuple of str
        The names of the recorded output entries, in the columns' order.
    units : tuple of str
        Their units.
    dt : float
        The time step, in the run's own time unit (days in the examples).
    every : int
        Every how many steps a row was kept.
    start : int
        The number of the run's first step (0, or where the run it continues
        stopped).
    steps : int
        How many steps the run took.
    last : bool
        Whether ``x`` holds only the last state.
    initial : bool
        Whether ``x`` begins with the initial state (not in a continued run).
    final : numpy.ndarray
        The state after the last step (one row, or one per block of a
        chain), whatever ``x`` kept: where a continued run starts.
    storages : int or None
        The number of blocks of a chain, None for one block.
    """

    block: str
    names: tuple[str, ...]
    units: tuple[str, ...]
    state_names: tuple[str, ...]
    state_units: tuple[str, ...]
    dt: float
    every: int
    start: int
    steps: int
    last: bool
    initial: bool
    final: FloatArray
    storages: int | None

    @classmethod
    def _make_run(cls, x: FloatArray, y: FloatArray, *, block: str, outputs: Layout, states: Layout,
                  record: Sequence[int] | None, dt: float, every: int, start: int, steps: int, last: bool,
                  initial: bool, final: FloatArray, storages: int | None) -> RunResult:
        result = cls(x, y)
        kept = range(len(outputs)) if record is None else record
        result.__dict__.update(
            block=block, names=tuple(outputs[i].name for i in kept), units=tuple(outputs[i].unit for i in kept),
            state_names=states.names, state_units=tuple(e.unit for e in states), dt=float(dt), every=every,
            start=start, steps=steps, last=last, initial=initial, final=final, storages=storages)
        return result

    @property
    def stop(self) -> int:
        """The number of the step after the run's last: where a continued run starts."""
        return self.start + self.steps

    def output_steps(self) -> NDArray[np.int64]:
        """The number of the step of every kept output row."""
        return kept_steps(self.start, self.stop, self.every)

    def state_steps(self) -> NDArray[np.int64]:
        """The number of steps after which each kept state row was taken."""
        if self.last:
            return np.array([self.stop], dtype=np.int64)
        first = -(-(self.start + 1) // self.every) * self.every
        after = np.arange(first, self.stop + 1, self.every, dtype=np.int64)
        return np.concatenate(([self.start], after)) if self.initial else after

    def table(self, of: str = "y") -> pandas.DataFrame:
        """The outputs (``of="y"``) or the states (``of="x"``) as a labelled table.

        Returns
        -------
        pandas.DataFrame
            One row per kept step, indexed by its time (step number times
            ``dt``, in the run's time unit; index name ``"t"``); the columns
            are the entries' names, or for a chain a MultiIndex
            ``(storage, entry)`` with storages numbered from 1. The units are
            in ``DataFrame.attrs["units"]`` (column label to unit), ``dt``
            and ``every`` in ``attrs`` too.

        Raises
        ------
        ImportError
            Without pandas (``pip install 'tarnlet[tables]'``).
        ValueError
            For anything but ``"x"`` or ``"y"``.

        Examples
        --------
        >>> import numpy as np
        >>> from tarnlet import runs
        >>> from tarnlet.layout import LOAMTANK
        >>> u = np.tile(LOAMTANK.example_vector("u"), (4, 1))
        >>> result = runs.loamtank_run([0.03], u, LOAMTANK.example_vector("par"), 0.25, record=["h", "Q_lin"])
        >>> result.table().round(4)
                   h     Q_lin
        t
        0.00  0.0300  150.0000
        0.25  0.0576  288.0208
        0.50  0.0820  409.9293
        0.75  0.1044  521.9660
        """
        pd = pandas_module("RunResult.table()")
        if of == "y":
            values, names, units, steps = self.y, self.names, self.units, self.output_steps()
        elif of == "x":
            values, names, units, steps = self.x, self.state_names, self.state_units, self.state_steps()
        else:
            raise ValueError(f"table() takes of='y' (the outputs) or of='x' (the states), not {of!r}")
        if self.storages is None:
            columns: Any = pd.Index(names)
            labels: list[Any] = list(names)
            unit_list = list(units)
        else:
            labels = [(j, name) for j in range(1, self.storages + 1) for name in names]
            columns = pd.MultiIndex.from_tuples(labels, names=["storage", "entry"])
            unit_list = list(units) * self.storages
        index = pd.Index(steps * self.dt, name="t")
        frame: pandas.DataFrame = pd.DataFrame(np.asarray(values).reshape(len(steps), -1), index=index,
                                               columns=columns, copy=True)
        frame.attrs.update(units=dict(zip(labels, unit_list)), dt=self.dt, every=self.every, time_unit="d")
        return frame

    def __repr__(self) -> str:
        return (f"RunResult(block={self.block!r}, x: {self.x.shape}, y: {self.y.shape}, "
                f"names={list(self.names)!r}, dt={self.dt!r}, every={self.every}, "
                f"steps {self.start} to {self.stop})")
