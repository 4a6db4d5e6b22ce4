"""Ensembles of runs over parameter sets and scenarios, their percentile
bands, and Sobol' sensitivity indices.

A scenario is a dict of values by address, as :func:`~tarnlet.calibration.apply`
takes them: parameter entries (``"chain[2].spar.A"``, ``"chain.spar.K"``),
whole parameter vectors, a source's series by its name (rain or inflow
scenarios: ``{"soil_in": rows}``), and ``"x0"`` for a run's initial state.
:func:`~tarnlet.calibration.scenarios` makes them from sampled parameter
sets. :func:`ensemble` runs one per scenario, on a thread pool or a Dask
cluster, each bit for bit the run a serial loop makes.
"""
from __future__ import annotations

import os
import sys
import time
from collections import deque
from collections.abc import Callable, Iterable, Mapping, Sequence, Sized
from concurrent.futures import Future, ThreadPoolExecutor
from typing import TYPE_CHECKING, Any

import numpy as np

from tarnlet._typing import FloatArray
from tarnlet.calibration import _route
from tarnlet.calibration.parameters import Parameter, _listed, apply, check, from_unit, scenarios
from tarnlet.model._model import Model, parse_address
from tarnlet.model.results import ModelResult

if TYPE_CHECKING:
    import pandas
    from matplotlib.axes import Axes

__all__ = ["ensemble", "bands", "plot_bands", "sensitivity"]


def _scenario_run(base: Model, scenario: Mapping[str, Any], compiled: bool, steps: int | None,
                  record: Sequence[str], every: int, x0: Any) -> ModelResult:
    """One scenario's run (a module-level function: Dask workers import it)."""
    values = _route.drop_pruned(scenario, base)
    start = _route.start_for(values.pop("x0", x0), base)
    return _route.run_with(apply(base, values), compiled=compiled, steps=steps, record=record, x0=start,
                           every=every)


class _Reporter:
    def __init__(self, progress: Any, what: str) -> None:
        if progress is not None and not isinstance(progress, bool) and not callable(progress):
            raise TypeError(f"progress is True, False, None or a callable (done, total), not {progress!r}")
        self.progress, self.what = progress, what
        self.began, self.shown = time.monotonic(), False

    def __call__(self, done: int, total: int | None) -> None:
        if callable(self.progress):
            self.progress(done, total)
        elif self.progress and (time.monotonic() - self.began > 2.0 or self.shown):
            if total:
                bar = "#" * (30 * done // max(total, 1))
                print(f"\r  {self.what} [{bar:<30}] {done}/{total} runs", end="", file=sys.stderr, flush=True)
            else:
                print(f"\r  {self.what}: {done} runs", end="", file=sys.stderr, flush=True)
            self.shown = True

    def close(self) -> None:
        if self.shown:
            print(file=sys.stderr)


def _checked(model: Model, k: int, scenario: Any) -> Mapping[str, Any]:
    """A scenario whose keys name nodes of the model (as close names say)."""
    from tarnlet.model._model import ModelError, _close

    if not isinstance(scenario, Mapping):
        raise TypeError(f"scenarios[{k}] must be a dict of values by address, not {type(scenario).__name__}")
    problems = []
    for key in scenario:
        if key == "x0":
            continue
        if not isinstance(key, str):
            raise TypeError(f"scenarios[{k}]: values are keyed by address (a str), not {key!r}")
        node = parse_address(key).node
        if node not in model.nodes:
            problems.append(f"scenarios[{k}]: {key!r}: no node named {node!r}" + _close(node, model.nodes))
    if problems:
        raise ModelError(problems)
    return scenario


def ensemble(model: Model, scenarios: Iterable[Mapping[str, Any]], *, record: Sequence[str] | str,
             steps: int | None = None, every: int = 1, x0: Any = None, threads: int | None = None,
             client: Any = None, progress: Any = None, prune: bool = True) -> list[ModelResult]:
    """Runs `model` once per scenario; the results in the scenarios' order.

    Parameters
    ----------
    model : tarnlet.model.Model
        Not changed.
    scenarios : iterable of dict
        The values of each run by address (see the module). A generator is
        read as the runs go, so that no more scenarios' inputs are held at
        once than the workers have in hand (twice their number).
    record : str or sequence of str
        The entries to keep, as :meth:`Model.run` takes them.
    steps, every, x0
        As :meth:`Model.run` takes them (a scenario's ``"x0"`` replaces `x0`).
    threads : int, optional
        Workers of the thread pool (default: the number of cores).
    client : dask.distributed.Client, optional
        Runs the scenarios on the client's cluster instead.
    progress : bool or callable, optional
        True for a bar on stderr once the runs take over 2 s, or a callable
        ``progress(done, total)`` (total None for a generator).
    prune : bool
        Leave out of the runs the nodes the records do not depend on (their
        values in a scenario change nothing recorded).

    Returns
    -------
    list of ModelResult
        Bit for bit the results of serial runs, whatever ran them.

    Raises
    ------
    ModelError
        A scenario naming a node the model does not have (its number said).

    Examples
    --------
    >>> import numpy as np
    >>> from tarnlet.model import Model
    >>> from tarnlet.layout import SEWER
    >>> m = Model(dt=1 / 1440)
    >>> _ = m.source("sewage", np.tile(SEWER.u.vector(Q=4000.0), (60, 1)), layout=SEWER.u)
    >>> _ = m.sewer("st", u="sewage", pars=np.ones(25), spar=[300.0, 11000.0, 0.1])
    >>> runs = ensemble(m, [{"st.spar.K": k} for k in (9000.0, 11000.0)], record="st.h")
    >>> [round(float(r.y[-1, 0]), 4) for r in runs]
    [0.6824, 0.6095]
    """
    record = [record] if isinstance(record, str) else list(record)
    if not record:
        raise ValueError("record: name at least one entry to keep")
    total = len(scenarios) if isinstance(scenarios, Sized) else None
    compiled = _route.choose_route("ensemble()")
    work = _route.prune(model, record) if prune else model
    start = _route.start_for(x0, work)
    base = _route.prepare(work, compiled=compiled, record=record, x0=start)
    report = _Reporter(progress, "ensemble")
    args = (compiled, steps, record, every, start)
    results: list[ModelResult] = []
    pool = None
    try:
        if client is not None:
            shared = client.scatter(base, broadcast=True)
            try:
                window = 2 * max(1, sum(client.nthreads().values()))
            except Exception:  # a client that cannot say: a few per worker
                window = 8

            def submit(scenario: Mapping[str, Any]) -> Any:
                return client.submit(_scenario_run, shared, scenario, *args, pure=False)
        else:
            workers = threads or os.cpu_count() or 1
            window = 2 * workers
            if workers > 1:
                pool = ThreadPoolExecutor(max_workers=workers)

            def submit(scenario: Mapping[str, Any]) -> Any:
                if pool is None:  # one worker: the run itself, here
                    done: Future[ModelResult] = Future()
                    try:
                        done.set_result(_scenario_run(base, scenario, *args))
                    except Exception as e:
                        done.set_exception(e)
                    return done
                return pool.submit(_scenario_run, base, scenario, *args)
        running: deque[Any] = deque()
        for k, scenario in enumerate(scenarios):
            running.append(submit(_checked(model, k, scenario)))
            while len(running) >= window:
                results.append(_labelled(running.popleft().result, len(results)))
                report(len(results), total)
        while running:
            results.append(_labelled(running.popleft().result, len(results)))
            report(len(results), total)
        return results
    finally:
        if pool is not None:
            pool.shutdown(cancel_futures=True)
        report.close()


def _labelled(result: Callable[[], ModelResult], k: int) -> ModelResult:
    try:
        return result()
    except Exception as e:
        e.add_note(f"(in the run of scenarios[{k}])")
        raise


# ---- bands ---------------------------------------------------------------------------------------

def _series_of(result: Any, address: str, k: int) -> tuple[FloatArray, Any, str]:
    """The values, times and unit of one recorded entry of a result."""
    from tarnlet.results import pandas_module

    pd = pandas_module("bands()")
    frame = result if isinstance(result, pd.DataFrame) else None
    if frame is None and not isinstance(result, ModelResult):
        if not hasattr(result, "table"):
            raise TypeError(f"results[{k}] must be a ModelResult, a DataFrame of its table() or have a table() "
                            f"method, not {type(result).__name__}")
        frame = result.table()
    columns = list(result.columns) if isinstance(result, ModelResult) else list(frame.columns)  # type: ignore[union-attr]
    column = _column_of(columns, address)
    if column is None:
        shown = ", ".join(".".join(c) if isinstance(c, tuple) else str(c) for c in columns[:12])
        raise KeyError(f"results[{k}] has no column {address!r}; it has {shown}{' ...' if len(columns) > 12 else ''}")
    if isinstance(result, ModelResult):
        i = columns.index(column)
        times = result.times()
        index = times if result.date0 is not None else pd.Index(times, name="t")
        return result.y[:, i], index, result.units[i]
    assert frame is not None
    unit = frame.attrs.get("units", {}).get(column, "")
    return frame[column].to_numpy(dtype=np.float64), frame.index, unit


def _column_of(columns: list[Any], address: str) -> Any:
    """The column label of `address`: (node, entry) of a model's table, or a
    flat column; a chain by its name is its last member."""
    if not columns or not isinstance(columns[0], tuple):
        last = address.rpartition(".")[2]
        return next((c for c in (address, last) if c in columns), None)
    a = parse_address(address)
    vector, entry = (a.vector, a.entry) if a.entry is not None else (None, a.vector)
    label = a.label if vector in (None, "y") else f"{a.label}.{vector}"
    if (label, entry) in columns:
        return (label, entry)
    if a.member is None and vector in (None, "y"):
        members = [c for c in columns if c[1] == entry and isinstance(c[0], str) and c[0].startswith(f"{a.node}[")
                   and c[0].endswith("]") and c[0][len(a.node) + 1:-1].isdigit()]
        if members:
            return max(members, key=lambda c: int(c[0][len(a.node) + 1:-1]))
    return None


def bands(results: Sequence[Any], address: str, percentiles: Sequence[float] = (5, 50, 95)) -> pandas.DataFrame:
    """Percentiles of one recorded entry over an ensemble's runs, step by step.

    Parameters
    ----------
    results : sequence of ModelResult (or of their tables)
        The runs, each with the same time axis.
    address : str
        The entry: ``"plant.Q"``, ``"chain[3].y.h"`` (a chain by its name,
        ``"chain.Q"``, is its last member).
    percentiles : sequence of float
        In [0, 100].

    Returns
    -------
    pandas.DataFrame
        Indexed by the runs' times, a column per percentile (``"p5"``,
        ``"p50"``, ``"p95"``); ``attrs`` hold the address, the unit, the
        percentiles and the number of runs.

    Examples
    --------
    >>> import numpy as np, pandas as pd
    >>> runs = [pd.DataFrame({("st", "Q"): [float(k), 2.0 * k]}) for k in range(101)]
    >>> bands(runs, "st.Q").to_numpy()
    array([[  5.,  50.,  95.],
           [ 10., 100., 190.]])
    """
    results = list(results)
    if not results:
        raise ValueError("results: give at least one run")
    q = np.asarray(percentiles, dtype=np.float64).reshape(-1)
    if q.size == 0 or not np.all((q >= 0) & (q <= 100)):
        raise ValueError(f"percentiles must be numbers in [0, 100], not {percentiles!r}")
    series, index, unit = _series_of(results[0], address, 0)
    rows = [series]
    for k, r in enumerate(results[1:], start=1):
        values, other, _ = _series_of(r, address, k)
        if len(values) != len(series) or not np.array_equal(np.asarray(other), np.asarray(index)):
            raise ValueError(f"results[{k}] has other times than results[0] ({len(values)} rows against "
                             f"{len(series)}): bands need runs on one time axis")
        rows.append(values)
    stacked = np.vstack(rows)
    from tarnlet.results import pandas_module

    pd = pandas_module("bands()")
    names = [f"p{v:g}" for v in q]
    table: pandas.DataFrame = pd.DataFrame(np.percentile(stacked, q, axis=0).T, index=index, columns=names)
    table.attrs.update(address=address, unit=unit, percentiles=tuple(float(v) for v in q), runs=len(results),
                       units={n: unit for n in names})
    return table


def plot_bands(table: pandas.DataFrame, *, ax: Axes | None = None, label: str | None = None,
               unit: str | None = None, colour: str = "tab:blue", observed: Any = None) -> Axes:
    """A band table as a figure: the outer percentiles shaded, the inner ones
    shaded darker, the median (or middle column) as a line.

    Parameters
    ----------
    table : pandas.DataFrame
        What :func:`bands` returns.
    ax : matplotlib.axes.Axes, optional
        Where to draw; default a new figure's.
    label : str, optional
        What the legend calls the entry; default its address.
    unit : str, optional
        The unit on the axis; default the table's.
    observed : pandas.Series, optional
        Observed values to draw over the band, on the same time axis.

    Returns
    -------
    matplotlib.axes.Axes
    """
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("plot_bands() needs matplotlib: pip install 'tarnlet[plot]'") from None
    if ax is None:
        _, ax = plt.subplots(figsize=(9, 4), layout="constrained")
    q = list(table.attrs.get("percentiles", range(table.shape[1])))
    columns = list(table.columns)
    x = table.index
    label = label or table.attrs.get("address", "")
    n = len(columns)
    for k in range(n // 2):
        low, high = columns[k], columns[n - 1 - k]
        ax.fill_between(x, table[low], table[high], color=colour, alpha=0.18 + 0.14 * k, lw=0,
                        label=f"{label} {q[k]:g}-{q[n - 1 - k]:g}%")
    if n % 2:
        middle = columns[n // 2]
        ax.plot(x, table[middle], color=colour, lw=1.3, label=f"{label} {q[n // 2]:g}%")
    if observed is not None:
        ax.plot(observed.index, observed.to_numpy(), ".", ms=2.5, color="0.2", label="observed")
    unit = table.attrs.get("unit", "") if unit is None else unit
    ax.set_ylabel(f"{label} ({unit})" if unit and unit != "as given" else label)
    ax.set_xlabel("time (d)" if table.index.name == "t" else "time")
    ax.set_title(f"{label}: percentiles over {table.attrs.get('runs', '?')} runs", fontsize=10, loc="left")
    ax.legend(fontsize=8, loc="best")
    return ax


# ---- sensitivity ---------------------------------------------------------------------------------------

def sensitivity(model: Model, parameters: Sequence[Parameter] | Parameter, output: Callable[[ModelResult], float],
                n: int, *, record: Sequence[str] | str, steps: int | None = None, x0: Any = None,
                seed: int | None = None, second_order: bool = False, threads: int | None = None,
                client: Any = None, progress: Any = None, **fixed: Any) -> pandas.DataFrame:
    """Sobol' sensitivity indices of an output of the model, by SALib.

    The parameters are sampled by Saltelli's scheme over their bounds
    (uniform, in the logarithm for ``log=True``): ``n * (len(parameters) +
    2)`` runs (``n * (2 * len(parameters) + 2)`` with `second_order`), as an
    :func:`ensemble`.

    Parameters
    ----------
    output : callable
        ``output(result) -> float``: the figure of a run whose variance is
        shared out (the peak flow, a total load, a measure against data).
    n : int
        The base sample size (a power of 2).
    record : str or sequence of str
        The entries `output` reads.
    seed : int, optional
        Makes the sample reproducible.
    fixed
        Further values of every run, by address (``**{"soil_in": rows}``).

    Returns
    -------
    pandas.DataFrame
        Per parameter: the first-order index S1, the total index ST, and
        their 95 % confidence half-widths S1_conf and ST_conf;
        ``attrs["S2"]`` the second-order indices (with `second_order`),
        ``attrs["runs"]`` the number of runs.

    Raises
    ------
    ImportError
        Without SALib (``pip install 'tarnlet[sensitivity]'``).
    """
    try:
        from SALib.analyze import sobol as analyze
        from SALib.sample import sobol as saltelli
    except ImportError:
        raise ImportError("tarnlet.calibration.sensitivity() needs SALib: pip install 'tarnlet[sensitivity]'") \
            from None
    parameters = _listed(parameters)
    check(model, parameters)
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 2:
        raise ValueError(f"n must be an int of at least 2 (a power of 2), not {n!r}")
    if not callable(output):
        raise TypeError(f"output must be a callable result -> float, not {output!r}")
    p = len(parameters)
    names = [q.name for q in parameters]
    # The names as an array: SALib 1.5.1 and older (the last for NumPy 1.x)
    # hand them to pandas.unique, which takes no lists from pandas 3 on.
    problem = {"num_vars": p, "names": np.array(names), "bounds": [[0.0, 1.0]] * p}
    unit = saltelli.sample(problem, int(n), calc_second_order=second_order, seed=seed)
    sets = from_unit(parameters, unit)
    runs = ensemble(model, scenarios(parameters, sets, **fixed), record=record, steps=steps, x0=x0,
                    threads=threads, client=client, progress=progress)
    y = np.array([float(output(r)) for r in runs])
    bad = np.flatnonzero(~np.isfinite(y))
    if bad.size:
        raise ValueError(f"output gave {bad.size} values that are not finite (the first for the parameters "
                         f"{dict(zip(names, sets[bad[0]]))})")
    found = analyze.analyze(problem, y, calc_second_order=second_order, seed=seed)
    from tarnlet.results import pandas_module

    pd = pandas_module("sensitivity()")
    table: pandas.DataFrame = pd.DataFrame({k: found[k] for k in ("S1", "S1_conf", "ST", "ST_conf")},
                                           index=pd.Index(names, name="parameter"))
    if second_order:
        table.attrs["S2"] = pd.DataFrame(found["S2"], index=names, columns=names)
    table.attrs["runs"] = len(runs)
    return table
