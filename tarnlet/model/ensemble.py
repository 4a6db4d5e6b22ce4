"""Ensembles: one model run per scenario, on threads or on a Dask cluster.

A scenario is a dict of values by address, replacing what the model was
made with:

- ``"rain"``: the values of the source ``rain`` (same layout);
- ``"soil.par"``: a parameter vector of a block (a chain's one row per
  member, or one for all);
- ``"soil.par.A"``: one entry of a parameter vector, by name (for a chain,
  of every member);
- ``"x0"``: the run's initial states (as ``Model.run`` takes them).

The runs of an ensemble are those of :meth:`Model.run` with the same
options, bit for bit whatever runs them: the compiled run releases the
interpreter lock, so a thread pool (the default) uses every core, and a Dask
``Client`` spreads the scenarios over a cluster's workers.
"""
from __future__ import annotations

import copy
import os
from collections import deque
from collections.abc import Callable, Iterable, Mapping, Sized
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np

from tarnlet.model import _nodes as nodes
from tarnlet.model._model import Model, ModelError, _close, parse_address

__all__ = ["with_values", "run_ensemble"]


def with_values(model: Model, values: Mapping[str, Any]) -> Model:
    """A copy of `model` with the given sources and parameters (see the module)."""
    new = copy.copy(model)
    new._nodes = dict(model._nodes)
    problems = []
    for key, value in values.items():
        if key == "x0":
            continue
        a = parse_address(key)
        node = new._nodes.get(a.node)
        if node is None:
            problems.append(f"scenario: no node named {a.node!r}" + _close(a.node, model._nodes))
            continue
        node = copy.copy(node)
        new._nodes[a.node] = node
        if isinstance(node, nodes.Source):
            if a.vector is not None:
                problems.append(f"scenario: {key!r}: a source is replaced whole, by its name")
                continue
            array = np.array(value, dtype=np.float64) if not hasattr(value, "index") else None
            if array is None:
                from tarnlet.forcing import Forcing

                node.values = Forcing(value, rule=node.values.rule, fill=node.values.fill,
                                      max_gap=node.values.max_gap, name=f"source {a.node!r}") \
                    if isinstance(node.values, Forcing) else Forcing(value, name=f"source {a.node!r}")
            elif array.shape[-1:] != (len(node.layout),):  # type: ignore[arg-type]
                problems.append(f"scenario: {key!r}: rows of {len(node.layout)} entries, not of shape {array.shape}")  # type: ignore[arg-type]
            else:
                node.values = array
        elif isinstance(node, nodes.BlockNode):
            _set_param(node, a.vector, a.entry, value, key, problems)
        else:
            problems.append(f"scenario: {key!r}: a {node.kind} has no values to replace")
    if problems:
        raise ModelError(problems)
    # the structure is the same: the check and the compiled plans carry over
    new._resolved, new._plans = model.check(), model._plans
    return new


def _set_param(node: nodes.BlockNode, vector: str | None, entry: str | None, value: Any, key: str,
               problems: list[str]) -> None:
    params = node.member_params if isinstance(node, nodes.ChainNode) else [node.params]
    if vector not in params[0]:
        problems.append(f"scenario: {key!r}: {node.block} node {node.name!r} has no parameter vector {vector!r}"
                        + _close(str(vector), params[0]))
        return
    new = [dict(p) for p in params]
    if entry is None:
        rows = np.array(value, dtype=np.float64)
        rows = rows if rows.ndim == 2 else np.tile(rows, (len(new), 1))
        if len(rows) != len(new):
            problems.append(f"scenario: {key!r}: one row per member ({len(new)}), not {len(rows)}")
            return
        for p, row in zip(new, rows):
            p[vector] = row
    else:
        vl = node.layouts.get(vector)
        if vl is None or entry not in vl:
            problems.append(f"scenario: {key!r}: {vector} has no entry {entry!r}"
                            + (_close(entry, vl.names) if vl is not None else ""))
            return
        for p in new:
            p[vector] = p[vector].copy()
            p[vector][vl.index(entry)] = float(value)
    if isinstance(node, nodes.ChainNode):
        node.member_params = new
    else:
        node.params = new[0]


def _scenario_run(model: Model, scenario: Mapping[str, Any], options: Mapping[str, Any]) -> Any:
    scenario_model = with_values(model, scenario)
    kwargs = dict(options)
    if "x0" in scenario:
        kwargs["x0"] = scenario["x0"]
    return scenario_model.run(**kwargs)


def run_ensemble(model: Model, scenarios: Iterable[Mapping[str, Any]], *, client: Any = None,
                 threads: int | None = None, progress: Callable[[int, int], Any] | bool | None = None,
                 **options: Any) -> list[Any]:
    """Runs the model once per scenario; returns the results in order.

    Parameters
    ----------
    scenarios : iterable of dict
        The values of each run (see the module). A generator is read as the
        runs go, so that no more scenarios' inputs are held at once than the
        workers take.
    client : dask.distributed.Client, optional
        Runs the scenarios on the client's cluster; without it, on a thread
        pool of `threads` workers (default: the number of cores).
    progress : callable or bool, optional
        ``progress(done, total)`` after each finished scenario (total is None
        for a generator), or True for a line on stderr.
    options
        The options of :meth:`Model.run` (``steps``, ``record``, ``every``, ...).

    Examples
    --------
    >>> import numpy as np
    >>> from tarnlet.layout import LOAMTANK
    >>> from tarnlet.model import Model
    >>> m = Model(dt=0.01)
    >>> m.source("rain", np.zeros((50, 2)), layout=LOAMTANK.u)
    <source 'rain'>
    >>> m.loamtank("soil", u="rain", par=[0.1, 0.02, 1e4, 0.1, 100.0, 50.0], x0=[0.05])
    <block 'soil' (loamtank)>
    >>> results = m.ensemble([{"soil.par.k_lin": k} for k in (10.0, 50.0)], record=["soil.h"])
    >>> [round(float(r.y[-1, 0]), 4) for r in results]
    [0.0491, 0.049]
    """
    model.check()
    total = len(scenarios) if isinstance(scenarios, Sized) else None
    report = _reporter(progress)
    results: list[Any] = []
    if client is not None:
        futures = [client.submit(_scenario_run, model, s, options, pure=False) for s in scenarios]
        for k, future in enumerate(futures):
            results.append(future.result())
            report(k + 1, total or len(futures))
        return results
    workers = threads or os.cpu_count() or 1
    window: deque[Any] = deque()
    done = 0
    with ThreadPoolExecutor(max_workers=workers) as pool:
        for s in scenarios:
            window.append(pool.submit(_scenario_run, model, s, options))
            while len(window) > 2 * workers:
                results.append(window.popleft().result())
                done += 1
                report(done, total)
        while window:
            results.append(window.popleft().result())
            done += 1
            report(done, total)
    return results


def _reporter(progress: Any) -> Callable[[int, int | None], None]:
    if progress is None or progress is False:
        return lambda done, total: None
    if progress is True:
        import sys

        def line(done: int, total: int | None) -> None:
            of = f"/{total}" if total else ""
            print(f"\r  ensemble: {done}{of} scenarios", end="\n" if done == total else "", file=sys.stderr,
                  flush=True)
        return line
    if callable(progress):
        return progress  # type: ignore[no-any-return]
    raise TypeError(f"progress is True, False, None or a callable (done, total), not {progress!r}")
