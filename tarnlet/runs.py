"""Whole simulations in one call.

Each function runs a block over a whole input series, one row per time step,
with the interpreter lock released while the steps run, so a thread pool runs
an ensemble of scenarios on all cores. The results are bit for bit those of
the Python loop over the block's module::

    for t in range(steps):
        y[t] = block.outputs(x, u[t], *params)
        x = block.euler_step(x, u[t], *params, dt)

Keeping less
------------
Every function takes the keyword-only options

``record``
    the output indices to keep (a sequence of ints; default: all, in order);
``every``
    keep every k-th step (default 1): outputs of steps 0, k, 2k, ... (that is
    ``ceil(steps / k)`` rows) and states after steps 0, k, 2k, ...
    (``steps // k + 1`` rows: row 0 is the initial state, and the state after
    the last step is among them only when k divides the number of steps);
``out``
    arrays of yours to write into instead of new ones (reused between calls):
    float64, C-contiguous, aligned, writable, of exactly the shape the result
    would have, and sharing no memory with an argument;

and the state-space runs also

``states``
    ``"every"`` (default) keeps the states as described under ``every``;
    ``"last"`` keeps only the state after the last step (one row), which is
    what a run needs to continue in a later call.

Arguments are checked in full before anything is written to ``out``.

While a run computes, the interpreter lock is released: another thread that
changes an input or ``out`` array during the run (resizes, re-types or writes
it) races with the run, as it would with NumPy's own functions that release
the lock. Give each run arrays that no other thread changes meanwhile.
"""
from __future__ import annotations

import operator
from collections.abc import Iterable
from typing import Literal, SupportsIndex, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

from tarnlet import _runs
from tarnlet._fpe import report_fpe
from tarnlet._typing import Scalar

__all__ = [
    "sewer_run",
    "sedlift_run",
    "loamtank_run",
    "sewer_chain_run",
    "fractionation_run",
    "combiner_run",
]

FloatArray = NDArray[np.float64]
Record = Union[Iterable[SupportsIndex], None]
States = Literal["every", "last"]
Pair = tuple[FloatArray, FloatArray]


def _noted(error: Exception, option: str, function: str) -> Exception:
    error.add_note(f"while checking argument {option!r} of tarnlet.runs.{function}()")
    return error


def _options(record: Record, every: SupportsIndex, function: str) -> tuple[tuple[int, ...] | None, int]:
    if record is not None:
        try:
            if isinstance(record, (str, bytes)):
                raise TypeError("record must be a sequence of output indices, not a string")
            items = tuple(record)
            if any(isinstance(i, (bool, np.bool_)) for i in items):
                raise TypeError("record holds booleans: it takes output indices (ints)")
            record = tuple(int(operator.index(i)) for i in items)
        except TypeError as e:
            raise _noted(e, "record", function) from None
    try:
        if isinstance(every, (bool, np.bool_)):
            raise TypeError("every must be an int, not a boolean")
        k = int(operator.index(every))
    except TypeError as e:
        raise _noted(e, "every", function) from None
    return record, k


def _last(states: str, function: str) -> bool:
    if states not in ("every", "last"):
        raise _noted(ValueError(f"states must be 'every' or 'last', not {states!r}"), "states", function)
    return states == "last"


def _state_space(function: str, result: tuple[FloatArray, FloatArray, int]) -> Pair:
    states, outputs, flags = result
    if flags:
        report_fpe(flags, f"tarnlet.runs.{function}()", stacklevel=4)
    return states, outputs


def _pair(out: Pair | None) -> Pair | None:
    return None if out is None else tuple(out)  # type: ignore[return-value]


def sewer_run(x0: ArrayLike, u: ArrayLike, pars: ArrayLike, spar: ArrayLike, dt: Scalar, *,
              record: Record = None, every: SupportsIndex = 1, out: Pair | None = None,
              states: States = "every") -> Pair:
    """One sewer storage over a series: ``u`` has one row of 27 inputs per step.

    Returns ``(states, outputs)``: by default of shapes ``(steps + 1, 24)``
    and ``(steps, 27)``.
    """
    record, k = _options(record, every, 'sewer_run')
    last = _last(states, 'sewer_run')
    return _state_space('sewer_run', _runs.sewer_run(x0, u, pars, spar, dt, record, k, _pair(out), last))


def sedlift_run(x0: ArrayLike, u: ArrayLike, sspars: ArrayLike, dt: Scalar, *,
                record: Record = None, every: SupportsIndex = 1, out: Pair | None = None,
                states: States = "every") -> Pair:
    """The first-flush block over a series: ``u`` has one row of 7 inputs per step.

    Returns ``(states, outputs)``: by default of shapes ``(steps + 1, 6)``
    and ``(steps, 13)``.
    """
    record, k = _options(record, every, 'sedlift_run')
    last = _last(states, 'sedlift_run')
    return _state_space('sedlift_run', _runs.sedlift_run(x0, u, sspars, dt, record, k, _pair(out), last))


def loamtank_run(x0: ArrayLike, u: ArrayLike, par: ArrayLike, dt: Scalar, *,
                 record: Record = None, every: SupportsIndex = 1, out: Pair | None = None,
                 states: States = "every") -> Pair:
    """The soil reservoir over a series: ``u`` has one row of 2 inputs per step.

    Returns ``(states, outputs)``: by default of shapes ``(steps + 1, 1)``
    and ``(steps, 4)``.
    """
    record, k = _options(record, every, 'loamtank_run')
    last = _last(states, 'loamtank_run')
    return _state_space('loamtank_run', _runs.loamtank_run(x0, u, par, dt, record, k, _pair(out), last))


def sewer_chain_run(x0: ArrayLike, u: ArrayLike, pars: ArrayLike, spar: ArrayLike, dt: Scalar,
                    *, record: Record = None, every: SupportsIndex = 1, out: Pair | None = None,
                    states: States = "every") -> Pair:
    """n sewer storages in series over a series of inflows.

    ``x0`` holds one state row per storage, ``u`` one row of 27 inputs per
    step for the first storage; in every step storage j's output row is
    storage j+1's input row. ``spar`` is one row for all storages or one row
    per storage. Returns ``(states, outputs)``: by default of shapes
    ``(steps + 1, n, 24)`` and ``(steps, n, 27)``; ``record`` picks the same
    output indices of every storage.
    """
    record, k = _options(record, every, 'sewer_chain_run')
    last = _last(states, 'sewer_chain_run')
    return _state_space('sewer_chain_run', _runs.sewer_chain_run(x0, u, pars, spar, dt, record, k, _pair(out), last))


def fractionation_run(u: ArrayLike, pars: ArrayLike, fractions: ArrayLike, bg_values: ArrayLike,
                      *, record: Record = None, every: SupportsIndex = 1,
                      out: FloatArray | None = None) -> FloatArray:
    """The influent fractionation of every row of ``u`` (12 columns).

    Each result row is ``fractionation.compute(u[t], pars, fractions,
    bg_values)``; by default of shape ``(steps, 54)``.
    """
    record, k = _options(record, every, 'fractionation_run')
    return _runs.fractionation_run(u, pars, fractions, bg_values, record, k, out)


def combiner_run(stream_a: ArrayLike, stream_b: ArrayLike, *, record: Record = None,
                 every: SupportsIndex = 1, out: FloatArray | None = None) -> FloatArray:
    """Two series of 56-entry streams mixed row by row.

    Each stream is one row per step or a single vector used in every step.
    Each result row is ``combiner.combine(stream_a[t], stream_b[t])``; by
    default of shape ``(steps, 56)``.
    """
    record, k = _options(record, every, 'combiner_run')
    return _runs.combiner_run(stream_a, stream_b, record, k, out)
