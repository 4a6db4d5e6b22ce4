"""Whole simulations in one call.

Each function runs a block over a whole input series, one row per time step,
with the interpreter lock released while the steps run, so a thread pool runs
an ensemble of scenarios on all cores. The results are bit for bit those of
the Python loop over the block's module::

    for t in range(steps):
        y[t] = block.outputs(x, u[t], *params)
        x = block.euler_step(x, u[t], *params, dt)

There is one run function per block (``sewer_run``, ``sedlift_run``,
``loamtank_run``, ``fractionation_run``, ``combiner_run``) and one for a
chain of storages in series (``sewer_chain_run``); the registry of the
blocks declares them all, and ``help()`` on each gives its shapes.

A state-space run returns a :class:`~tarnlet.results.RunResult`: the named
tuple ``(x, y)`` of kept states and outputs, with ``table()`` and the names,
time step and steps of the run. A stream run returns the array of its kept
rows.

Options
-------
Every function takes the keyword-only options

``record``
    the outputs to keep: names of the block's output entries
    (``["Q", "TSS", "h"]``) or indices, mixed as you like, each once
    (default: all, in order);
``every``
    keep every k-th step (default 1): the outputs of steps 0, k, 2k, ...
    (``ceil(steps / k)`` rows) and the states after steps 0, k, 2k, ...
    (``steps // k + 1`` rows: row 0 is the initial state, and the state
    after the last step is among them only when k divides the number of
    steps);
``out``
    arrays of yours to write into instead of new ones (reused between calls):
    float64, C-contiguous, aligned, writable, of exactly the shape the result
    would have, whose memory an array owns, and sharing no memory with an
    argument;

and the state-space runs also

``states``
    ``"kept"`` (default) keeps the states as described under ``every``;
    ``"last"`` keeps only the state after the last step (one row);
``steps``
    the number of steps to run when ``u`` is one input vector, used in every
    step (a constant input, without building the series).

``x0`` is a state, or rows of states of which the last is taken (the ``x``
of a result); for a chain, one row per storage, or such matrices. A result
itself as ``x0`` continues that run: its steps are numbered on, so that
``every`` keeps the same steps as one run over both series would, and the
new result leaves out its initial state, the first result's last
(:mod:`tarnlet.results`). ``dt`` is a finite positive number.

Arguments are checked in full before anything is written to ``out``. Every
error names the argument or option and the run function in a note.

Floating-point exceptions of x + dt*dx (an overflow, say) are reported as
NumPy reports those of the loop's ``euler_step``: by ``np.geterr()``, once
per kind and run, naming the run function.

While a run computes, the interpreter lock is released: another thread that
changes an input or ``out`` array during the run (resizes, re-types or writes
it) races with the run, as it would with NumPy's own functions that release
the lock. Give each run arrays that no other thread changes meanwhile.
"""
from __future__ import annotations

import operator
from collections.abc import Callable, Iterable, Sequence
from typing import Any

import numpy as np

from tarnlet import _registry, _runs, layout
from tarnlet._fpe import report_fpe
from tarnlet.results import RunResult

__all__ = [run.name for block in _registry.blocks() for run in block.runs]


def _noted(error: Exception, option: str, function: str) -> Exception:
    error.add_note(f"while checking argument {option!r} of tarnlet.runs.{function}()")
    return error


def record_indices(record: Iterable[int | str] | None, outputs: layout.Layout,
                   function: str) -> tuple[int, ...] | None:
    """`record` as output indices: names looked up in `outputs`, ints kept."""
    if record is None:
        return None
    try:
        if isinstance(record, (str, bytes)):
            raise TypeError("record must be a sequence of output names or indices, not one string")
        indices = []
        for item in record:
            if isinstance(item, (bool, np.bool_)):
                raise TypeError("record holds booleans: it takes output names or indices (ints)")
            indices.append(outputs.index(item) if isinstance(item, str) else int(operator.index(item)))
    except (TypeError, KeyError) as e:
        raise _noted(e, "record", function) from None
    return tuple(indices)


def _every(every: Any, function: str) -> Any:
    try:
        if isinstance(every, (bool, np.bool_)):
            raise TypeError("every must be an int, not a boolean")
        return operator.index(every)
    except TypeError as e:
        raise _noted(e, "every", function) from None


def _last(states: str, function: str) -> bool:
    if states == "every":
        raise _noted(ValueError("states='every' is now states='kept': the states at the kept steps"),
                     "states", function)
    if states not in ("kept", "last"):
        raise _noted(ValueError(f"states must be 'kept' or 'last', not {states!r}"), "states", function)
    return states == "last"


def _steps(steps: Any, function: str) -> Any:
    if steps is None:
        return None
    try:
        if isinstance(steps, (bool, np.bool_)):
            raise TypeError("steps must be an int, not a boolean")
        return operator.index(steps)
    except TypeError as e:
        raise _noted(e, "steps", function) from None


def _state_space_run(block: _registry.Block, run: _registry.Function) -> Callable[..., RunResult]:
    compiled = getattr(_runs, run.name)
    layouts = layout.block(block.name)
    outputs, states_layout = layouts.vectors["y"], layouts.vectors["x"]
    arrays = run.params[:run.params.index("dt")]

    def call(args: Sequence[Any], dt: Any, steps: Any, record: Any, every: Any, out: Any,
             states: str) -> RunResult:
        x0, start, continued = args[0], 0, isinstance(args[0], RunResult)
        if continued:
            if x0.block != block.name or (x0.storages is not None) != run.chain:
                raise _noted(TypeError(f"x0 is a result of a {x0.block} run; {run.name}() continues "
                                       f"{'a chain' if run.chain else 'one block'} of {block.name}"),
                             "x0", run.name)
            x0, start = x0.final, x0.stop
        indices = record_indices(record, outputs, run.name)
        k = _every(every, run.name)
        last = _last(states, run.name)
        n = _steps(steps, run.name)
        pair = None if out is None else tuple(out)
        x, y, flags, taken, step, final = compiled(x0, *args[1:], dt, n, start, not continued, indices, k, pair,
                                                   last)
        if flags:
            report_fpe(flags, f"tarnlet.runs.{run.name}()", stacklevel=3)
        return RunResult._make_run(
            x, y, block=block.name, outputs=outputs, states=states_layout, record=indices, dt=step,
            every=k, start=start, steps=taken, last=last, initial=not continued, final=final,
            storages=x.shape[1] if run.chain else None)

    return _wrapper(run, arrays, state_space=True, body=call,
                    doc=_state_space_doc(block, run, layouts, arrays))


def _stream_run(block: _registry.Block, run: _registry.Function) -> Callable[..., Any]:
    compiled = getattr(_runs, run.name)
    layouts = layout.block(block.name)
    outputs = layouts.vectors["y"]
    arrays = run.params[:run.params.index("record")]

    def call(args: Sequence[Any], record: Any, every: Any, out: Any) -> Any:
        indices = record_indices(record, outputs, run.name)
        return compiled(*args, indices, _every(every, run.name), out)

    return _wrapper(run, arrays, state_space=False, body=call,
                    doc=_stream_doc(block, run, layouts.summary, arrays))


def _wrapper(run: _registry.Function, arrays: Sequence[str], *, state_space: bool,
             body: Callable[..., Any], doc: str) -> Callable[..., Any]:
    """A function with the run's own signature (built as namedtuple builds its
    classes), so that help(), inspect and tracebacks show the parameters."""
    positional = ", ".join([*arrays, "dt"] if state_space else arrays)
    if state_space:
        options = "steps=None, record=None, every=1, out=None, states='kept'"
        forward = f"({', '.join(arrays)}), dt, steps, record, every, out, states"
    else:
        options = "record=None, every=1, out=None"
        forward = f"({', '.join(arrays)}), record, every, out"
    source = f"def {run.name}({positional}, *, {options}):\n    return _body({forward})\n"
    namespace: dict[str, Any] = {"_body": body}
    exec(source, namespace)  # noqa: S102 - a signature of our own names only
    function = namespace[run.name]
    function.__module__ = __name__
    function.__qualname__ = run.name
    function.__doc__ = doc
    return function


def _state_space_doc(block: _registry.Block, run: _registry.Function, layouts: layout.Block,
                     arrays: Sequence[str]) -> str:
    summary = layouts.summary
    n, nin, nout = block.lengths["x"], block.lengths["u"], block.lengths["y"]
    params = ", ".join(arrays[2:])
    if run.chain:
        head = (f"{getattr(layouts, 'chain_summary', summary).capitalize()} over a series of inflows.\n\n"
                f"``x0`` holds one state row per storage, ``u`` one row of {nin} inputs per step for\n"
                f"the first storage; in every step storage j's output row is storage j+1's input row.\n"
                f"``{arrays[-1]}`` is one row for all storages or one row per storage.")
        shapes = f"``(steps + 1, n, {n})`` and ``(steps, n, {nout})``"
        record = "; ``record`` picks the same outputs of every storage"
    else:
        head = f"{summary[0].upper()}{summary[1:]} over a series: ``u`` has one row of {nin} inputs per step."
        shapes = f"``(steps + 1, {n})`` and ``(steps, {nout})``"
        record = ""
    return f"""{head}

Parameters
----------
x0 : array_like or RunResult
    The state to start from ({n} entries), rows of states of which the last
    is taken, or a result to continue.
u : array_like
    One row of {nin} inputs per step, or one input vector with ``steps``.
{params} : array_like
    The block's parameter vectors, as its module takes them.
dt : float
    The time step, a finite positive number.
steps, record, every, out, states
    The options of :mod:`tarnlet.runs`.

Returns
-------
RunResult
    ``(x, y)``: by default of shapes {shapes}{record}.

Raises
------
ValueError, TypeError
    For arguments and options that do not fit; the note names which.

Examples
--------
{_state_space_example(block, run, layouts, arrays)}
"""


def _example_call(layouts: layout.Block, name: str) -> str:
    return f"{_LAYOUT_NAMES[layouts.name]}.example_vector({name!r})"


_LAYOUT_NAMES = {b.name: n for n in layout.__all__ if isinstance(getattr(layout, n), layout.Block)
                 for b in [getattr(layout, n)]}


def _state_space_example(block: _registry.Block, run: _registry.Function, layouts: layout.Block,
                         arrays: Sequence[str]) -> str:
    name = _LAYOUT_NAMES[block.name]
    y = layouts.vectors["y"].names
    kept = [n for n in ("Q", "TSS", "h") if n in y][:2]
    kept = kept if len(kept) == 2 else [n for n in y if n not in kept][:2 - len(kept)] + kept
    x0 = f"np.tile({_example_call(layouts, 'x')}, (2, 1))" if run.chain else _example_call(layouts, "x")
    params = ", ".join(_example_call(layouts, p) for p in arrays[2:])
    shape = "(2, 2, 2)" if run.chain else "(2, 2)"
    return f""">>> import numpy as np
>>> from tarnlet import runs
>>> from tarnlet.layout import {name}
>>> u = np.tile({_example_call(layouts, 'u')}, (60, 1))  # an hour of one-minute steps
>>> result = runs.{run.name}({x0}, u, {params}, 1 / 1440, record={kept!r}, every=30)
>>> result.y.shape, result.names
({shape}, {tuple(kept)!r})"""


def _stream_doc(block: _registry.Block, run: _registry.Function, summary: str, arrays: Sequence[str]) -> str:
    module = block.module.rsplit(".", 1)[1]
    function = block.functions[0].name
    series = [a for a in arrays if any(c.kind == "columns" for c in run.checks_of(a))]
    each = ", ".join(f"{a}[t]" if a in series else a for a in arrays)
    return f"""{summary[0].upper()}{summary[1:]} on every row of its series.

Each result row is ``{module}.{function}({each})``; by default of shape
``(steps, {block.lengths['y']})``. {", ".join(f"``{a}``" for a in series)} may each be one row per step or one
vector used in every step.

Returns
-------
numpy.ndarray
    The kept rows (``record``, ``every``).

Examples
--------
>>> from tarnlet import runs
>>> from tarnlet.layout import {_LAYOUT_NAMES[block.name]}
>>> rows = runs.{run.name}({", ".join(f"{_LAYOUT_NAMES[block.name]}.example_vector({a!r})" for a in arrays)})
>>> rows.shape
(1, {block.lengths['y']})
"""


def _build() -> dict[str, Callable[..., Any]]:
    functions = {}
    for block in _registry.blocks():
        for run in block.runs:
            functions[run.name] = (_state_space_run if block.has_state else _stream_run)(block, run)
    return functions


globals().update(_build())
