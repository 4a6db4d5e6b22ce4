"""One run of a model with given values: the single place that decides how.

The compiled run (:meth:`Model.run`, tarnlet.model._engine) where it is
built; otherwise the reference run (:meth:`Model.reference_run`), which
gives the same numbers bit for bit, slowly, with a warning that says so.
"""
from __future__ import annotations

import copy
import importlib
import threading
import warnings
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

from tarnlet.model._model import Model, parse_address
from tarnlet.model.results import ModelResult

__all__ = ["ReferenceRouteWarning", "compiled_available", "choose_route", "run", "run_with", "prune", "prepare"]

# Steady initial states are solved one at a time: the solve sets warning
# filters for its step, and warning filters are global to the process.
_STEADY = threading.Lock()


class ReferenceRouteWarning(RuntimeWarning):
    """The compiled engine is not built: runs take the (slow) reference route."""


def compiled_available() -> bool:
    """Whether the compiled model engine imports."""
    try:
        importlib.import_module("tarnlet.model._engine")
    except ImportError:
        return False
    return True


def choose_route(what: str, stacklevel: int = 3) -> bool:
    """True for the compiled route; else warns that `what` runs the reference route."""
    if compiled_available():
        return True
    warnings.warn(f"{what}: the compiled model engine (tarnlet.model._engine) is not built here, so every run "
                  "takes the reference route: Python step by step, much slower, the same numbers bit for bit",
                  ReferenceRouteWarning, stacklevel=stacklevel)
    return False


def run_with(model: Model, *, compiled: bool, steps: int | None, record: Sequence[str], x0: Any = None,
             every: int = 1) -> ModelResult:
    """The run of `model` (with its values already applied): the one call
    every fit, ensemble and sensitivity run goes through."""
    with _STEADY:
        start = model.steady_state(x0=x0)
    runner = model.run if compiled else model.reference_run
    result: ModelResult = runner(steps, record=list(record), x0=start, every=every)
    return result


def needed(model: Model, addresses: Iterable[str]) -> set[str]:
    """The nodes the entries at `addresses` depend on (themselves included)."""
    graph = model.nodes
    todo = [parse_address(a).node for a in addresses]
    seen: set[str] = set()
    while todo:
        name = todo.pop()
        if name in seen or name not in graph:
            continue
        seen.add(name)
        for text in graph[name].inputs.values():
            if text is not None:
                todo.append(parse_address(text).node)
    return seen


def prune(model: Model, addresses: Iterable[str]) -> Model:
    """`model` without the nodes that the entries at `addresses` do not
    depend on: the same records, bit for bit, from less work. `model`
    itself when every node is needed."""
    keep = needed(model, addresses)
    if keep >= set(model.nodes):
        return model
    new = copy.copy(model)
    new._nodes = {k: v for k, v in model.nodes.items() if k in keep}
    new.__dict__["_plans"] = {}
    new._changed()
    return new


def prepare(model: Model, *, compiled: bool, record: Sequence[str], x0: Any = None) -> Model:
    """A checked copy of `model` from which runs with other values are made:
    with the compiled route its plan is made here, once (a one-step run), so
    that the copies made from it share it and none makes it again."""
    from tarnlet.calibration.parameters import apply

    base = apply(model, {})
    base.check()
    if compiled:
        run_with(base, compiled=True, steps=1, record=record, x0=x0)
    return base


def drop_pruned(values: Mapping[str, Any], model: Model) -> dict[str, Any]:
    """`values` without those of nodes a pruned model left out."""
    return {k: v for k, v in values.items() if k == "x0" or parse_address(k).node in model.nodes}


def start_for(x0: Any, model: Model) -> Any:
    """`x0` for a pruned model: a dict of states by node loses the nodes it left out."""
    from tarnlet.model.results import ModelState

    if isinstance(x0, Mapping) and not isinstance(x0, ModelState):
        return {k: v for k, v in x0.items() if k in model.nodes}
    return x0


def run(model: Model, values: Mapping[str, Any] | None = None, *, record: Sequence[str] | str,
        steps: int | None = None, x0: Any = None, every: int = 1) -> ModelResult:
    """One run of `model` with values set by address, as fits and ensembles run it.

    Parameters
    ----------
    model : tarnlet.model.Model
        Not changed.
    values : dict, optional
        Values by address, as :func:`tarnlet.calibration.apply` takes them.
    record, steps, x0, every
        As :meth:`Model.run` takes them.

    Returns
    -------
    ModelResult
        Compiled where tarnlet.model._engine is built, else by the reference
        route (with a :class:`ReferenceRouteWarning`): the same numbers.
    """
    from tarnlet.calibration.parameters import apply

    record = [record] if isinstance(record, str) else list(record)
    compiled = choose_route("tarnlet.calibration.run()")
    return run_with(apply(model, values or {}), compiled=compiled, steps=steps, record=record, x0=x0, every=every)
