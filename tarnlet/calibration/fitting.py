"""Fitting a model's parameters to observations with scipy.optimize.least_squares.

:func:`fit` minimises the sum of squared weighted residuals of every
observation, ``weight * (simulated - observed)``, over the parameters
within their bounds; each evaluation is one run of the model. The
Jacobian is taken by forward differences whose columns run concurrently
on a thread pool (a compiled run releases the interpreter lock). The
:class:`FitReport` gives the estimates, their standard errors from the
Jacobian at the solution, the correlation matrix, warnings for parameters
the observations do not tell apart, the measures before and after, and a
figure.
"""
from __future__ import annotations

import math
import os
import sys
import time
import warnings
from collections import OrderedDict
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING, Any

import numpy as np

from tarnlet._typing import FloatArray
from tarnlet.calibration import _route, measures
from tarnlet.calibration.observations import Aligned, Observation, align
from tarnlet.calibration.parameters import Parameter, _listed, apply, check, values_of
from tarnlet.model._model import Model, ModelError
from tarnlet.model.results import ModelResult

if TYPE_CHECKING:
    import pandas
    from matplotlib.figure import Figure

__all__ = ["fit", "FitReport", "IdentifiabilityWarning"]

_STEP = float(np.finfo(np.float64).eps) ** 0.5  # forward-difference step, relative


class IdentifiabilityWarning(UserWarning):
    """Parameters whose estimates the observations do not tell apart."""


def _scipy_optimize(what: str) -> Any:
    try:
        from scipy import optimize
    except ImportError:
        raise ImportError(f"tarnlet.calibration.{what} needs scipy: pip install 'tarnlet[calibration]'") from None
    return optimize


def _record_column(model: Model, address: str, where: str) -> tuple[str, str]:
    """Checks that `address` records one entry; its (label, unit)."""
    from tarnlet.model import _run

    picked = _run.records_of(model, model.check(), [address])
    if len(picked) != 1:
        raise ValueError(f"{where}: {address!r} records {len(picked)} entries; an observation is of one entry "
                         "(node.vector.entry, such as 'chain[3].y.Q')")
    port, index = picked[0]
    return port.layout.names[index], port.layout[index].unit


class _Problem:
    """The residuals of a parameter set, and their Jacobian, by model runs."""

    def __init__(self, base: Model, parameters: list[Parameter], record: list[str], *, steps: int | None, x0: Any,
                 compiled: bool, pool: ThreadPoolExecutor, progress: Callable[[int, float], Any] | None) -> None:
        self.base, self.parameters, self.record = base, parameters, record
        self.steps, self.x0, self.compiled, self.pool = steps, x0, compiled, pool
        self.lower = np.array([p.free_bounds[0] for p in parameters])
        self.upper = np.array([p.free_bounds[1] for p in parameters])
        self.aligned: list[Aligned] = []
        self.cache: OrderedDict[bytes, tuple[FloatArray, ModelResult]] = OrderedDict()
        self.keep = 2 * len(parameters) + 4
        self.evaluations = 0
        self.durations: list[float] = []
        self.history: list[FloatArray] = []
        self.progress = progress
        self.last_cost = math.nan

    def natural(self, z: FloatArray) -> FloatArray:
        v = np.array([p.from_free(zj) for p, zj in zip(self.parameters, z)], dtype=np.float64)
        return np.clip(v, [p.lower for p in self.parameters], [p.upper for p in self.parameters])

    def run(self, values: FloatArray) -> ModelResult:
        model = apply(self.base, values_of(self.parameters, values))
        began = time.perf_counter()
        result = _route.run_with(model, compiled=self.compiled, steps=self.steps, record=self.record, x0=self.x0)
        self.durations.append(time.perf_counter() - began)
        return result

    def residuals(self, result: ModelResult) -> FloatArray:
        parts = [a.weight * (result.y[a.rows, a.column] - a.observed) for a in self.aligned]
        return np.concatenate(parts) if parts else np.empty(0)

    def _evaluate(self, z: FloatArray) -> tuple[FloatArray, ModelResult]:
        result = self.run(self.natural(z))
        return self.residuals(result), result

    def _remember(self, z: FloatArray, value: tuple[FloatArray, ModelResult]) -> None:
        self.cache[z.tobytes()] = value
        while len(self.cache) > self.keep:
            self.cache.popitem(last=False)

    def _count(self, z: FloatArray) -> None:
        self.evaluations += 1
        self.history.append(self.natural(z))

    def evaluate(self, z: FloatArray) -> tuple[FloatArray, ModelResult]:
        z = np.asarray(z, dtype=np.float64)
        hit = self.cache.get(z.tobytes())
        if hit is not None:
            return hit
        self._count(z)
        value = self._evaluate(z)
        self._remember(z, value)
        r = value[0]
        self.last_cost = 0.5 * float(r @ r)
        if self.progress is not None:
            self.progress(self.evaluations, self.last_cost)
        return value

    def fun(self, z: FloatArray) -> FloatArray:
        return self.evaluate(z)[0]

    def jac(self, z: FloatArray, *args: Any, **kwargs: Any) -> FloatArray:
        z = np.asarray(z, dtype=np.float64)
        r0 = self.fun(z)
        shifted, steps = [], []
        for j in range(len(z)):
            h = _STEP * max(1.0, abs(z[j]))
            if z[j] + h > self.upper[j]:
                h = -h  # step back from the upper bound: never outside the bounds
            zj = z.copy()
            zj[j] = z[j] + h
            shifted.append(zj)
            steps.append(zj[j] - z[j])  # the step as it rounded
        todo = []
        for zj in shifted:
            hit = self.cache.get(zj.tobytes())
            if hit is None:
                self._count(zj)
                todo.append((zj, self.pool.submit(self._evaluate, zj)))
        for zj, future in todo:
            self._remember(zj, future.result())
        J = np.empty((len(r0), len(z)))
        for j, zj in enumerate(shifted):
            J[:, j] = (self.cache[zj.tobytes()][0] - r0) / steps[j]
        return J


class _Line:
    """A line on stderr with the runs and the cost, once a fit takes over 2 s."""

    def __init__(self) -> None:
        self.began, self.shown = time.monotonic(), False

    def __call__(self, evaluations: int, cost: float) -> None:
        if time.monotonic() - self.began > 2.0:
            print(f"\r  fit: {evaluations} runs, cost {cost:.6g}   ", end="", file=sys.stderr, flush=True)
            self.shown = True

    def close(self) -> None:
        if self.shown:
            print(file=sys.stderr)


def _progress(progress: Any) -> Callable[[int, float], Any] | None:
    if progress is None or progress is False:
        return None
    if progress is True:
        return _Line()
    if callable(progress):
        return progress  # type: ignore[no-any-return]
    raise TypeError(f"progress is True, False, None or a callable (evaluations, cost), not {progress!r}")


def _listing(names: Sequence[str]) -> str:
    quoted = [repr(n) for n in names]
    return quoted[0] if len(quoted) == 1 else ", ".join(quoted[:-1]) + " and " + quoted[-1]


def fit(model: Model, parameters: Sequence[Parameter] | Parameter, observations: Sequence[Observation] | Observation,
        *, steps: int | None = None, x0: Any = None, threads: int | None = None, progress: Any = None,
        correlation_limit: float = 0.95, prune: bool = True, **least_squares_options: Any) -> FitReport:
    """Fits the parameters of `model` to the observations.

    Parameters
    ----------
    model : tarnlet.model.Model
        The model; everything but the parameters stays as it is. Not changed.
    parameters : sequence of Parameter
        The free parameters, with their bounds (and log transforms).
    observations : sequence of Observation
        The measured series, each of a recorded entry, with its weight.
    steps : int, optional
        The length of the runs (default: as many steps as the model's
        series sources hold).
    x0 : optional
        The runs' initial state, as :meth:`Model.run` takes it; default the
        nodes' own (steady states solved anew for every parameter set).
    threads : int, optional
        Workers of the thread pool that runs the Jacobian's columns
        (default: the number of cores).
    progress : bool or callable, optional
        True for a line on stderr once the fit takes over 2 s, or a callable
        ``progress(runs, cost)`` after every run of the residuals.
    correlation_limit : float
        Pairs of parameters whose estimates correlate beyond it (in
        absolute value) are reported with an :class:`IdentifiabilityWarning`.
    prune : bool
        Leave out of the runs the nodes no observation depends on (the
        records are the same bit for bit; the runs are cheaper).
    least_squares_options
        Passed to ``scipy.optimize.least_squares`` (``ftol``, ``xtol``,
        ``max_nfev``, ``loss``...); the defaults here are ``method="trf"``
        and ``x_scale="jac"``. ``jac`` and ``bounds`` are this function's.

    Returns
    -------
    FitReport

    Raises
    ------
    ModelError
        Parameters or observations that name nothing in the model.
    ValueError
        Observations of which no value lies inside the run, a bad option.
    ImportError
        Without scipy (``pip install 'tarnlet[calibration]'``).

    Warns
    -----
    IdentifiabilityWarning
        For each pair of parameters correlating beyond `correlation_limit`,
        and for parameters the observations do not depend on.
    ReferenceRouteWarning
        When the compiled engine is not built: the runs take the reference route.

    Notes
    -----
    The parameters are fitted in the space of :meth:`Parameter.to_free`
    (logarithms for ``log=True``). The standard errors and correlations
    come from the Jacobian J there: ``cov = s2 * inv(J.T @ J)`` with the
    residual variance ``s2 = sum(r**2) / (m - p)`` (m residuals, p
    parameters); for a logarithm the standard error of the value is the
    value times that of its logarithm. They describe the fit near the
    solution, as far as the model is linear there.

    Examples
    --------
    >>> import numpy as np, pandas as pd
    >>> from tarnlet.model import Model
    >>> from tarnlet.layout import SEWER
    >>> inflow = np.tile(SEWER.u.vector(Q=4000.0), (240, 1))
    >>> inflow[:, SEWER.u.Q] *= 1 + 0.5 * np.sin(np.arange(240) / 20)
    >>> m = Model(dt=1 / 1440)
    >>> _ = m.source("sewage", inflow, layout=SEWER.u)
    >>> _ = m.sewer("st", u="sewage", pars=np.ones(25), spar=[300.0, 11000.0, 0.1])
    >>> truth = m.reference_run(record=["st.Q", "st.h"]).table()
    >>> report = fit(m, [Parameter("st.spar.A", 100.0, 1000.0, log=True, initial=200.0),
    ...                  Parameter("st.spar.K", 5e3, 5e4, log=True, initial=2e4)],
    ...              [Observation("st.Q", truth[("st", "Q")], weight=1e-2),
    ...               Observation("st.h", truth[("st", "h")], weight=1e3)])
    >>> print(f"A = {report.estimates['st.spar.A']:.3f}, K = {report.estimates['st.spar.K']:.1f}")
    A = 300.000, K = 11000.0
    """
    optimize = _scipy_optimize("fit()")
    parameters = _listed(parameters)
    observations = [observations] if isinstance(observations, Observation) else list(observations)
    if not observations:
        raise ValueError("observations: give at least one Observation")
    for o in observations:
        if not isinstance(o, Observation):
            raise TypeError(f"observations must be Observation objects, not {type(o).__name__} {o!r}")
    names = [o.name for o in observations]
    if len(set(names)) != len(names):
        raise ValueError(f"observations: each needs its own name (name=...); these repeat: "
                         f"{sorted({n for n in names if names.count(n) > 1})}")
    if isinstance(correlation_limit, bool) or not isinstance(correlation_limit, (int, float)) \
            or not 0 < correlation_limit <= 1:
        raise ValueError(f"correlation_limit must be a number in (0, 1], not {correlation_limit!r}")
    for key in ("jac", "bounds", "args", "kwargs"):
        if key in least_squares_options:
            raise TypeError(f"fit() sets least_squares' {key!r} itself")
    options = {"method": "trf", "x_scale": "jac", **least_squares_options}
    if options["method"] == "lm":
        raise ValueError("method='lm' takes no bounds: use 'trf' or 'dogbox'")

    check(model, parameters)
    problems = []
    units = {}
    for o in observations:
        try:
            units[o.name] = _record_column(model, o.address, f"observation {o.name!r}")[1]
        except (KeyError, ModelError, ValueError) as e:
            problems.append(str(e.args[0]) if not isinstance(e, ModelError) else "; ".join(e.problems))
    if problems:
        raise ModelError(problems)
    record = list(dict.fromkeys(o.address for o in observations))
    compiled = _route.choose_route("fit()")
    work = _route.prune(model, [*record, *(p.address for p in parameters)]) if prune else model
    start = _route.start_for(x0, work)
    began = time.perf_counter()
    base = _route.prepare(work, compiled=compiled, record=record, x0=start)
    report_progress = _progress(progress)
    workers = threads or os.cpu_count() or 1
    with ThreadPoolExecutor(max_workers=workers) as pool:
        problem = _Problem(base, parameters, record, steps=steps, x0=start, compiled=compiled, pool=pool,
                           progress=report_progress)
        initial = np.array([p.start(model) for p in parameters])
        z0 = np.array([float(p.to_free(v)) for p, v in zip(parameters, initial)])
        z0 = np.clip(z0, problem.lower, problem.upper)
        problem._count(z0)
        first = problem.run(problem.natural(z0))
        every = first.every
        first_step = int(first.output_steps()[0]) if len(first.y) else first.start
        problem.aligned = [align(o, record.index(o.address), dt=model.dt, first=first_step, stop=first.stop,
                                 every=every, start=model.start) for o in observations]
        empty = [a.name for a in problem.aligned if a.used == 0]
        if empty:
            raise ValueError(f"observations {empty}: no value lies inside the run (steps {first.start} to "
                             f"{first.stop - 1}, {first.start * model.dt:g} to {(first.stop - 1) * model.dt:g} d)")
        r0 = problem.residuals(first)
        if not np.isfinite(r0).all():
            raise ValueError("the model's records are not finite at the initial parameters "
                             f"{values_of(parameters, problem.natural(z0))}: start elsewhere")
        problem._remember(z0, (r0, first))
        solution = optimize.least_squares(problem.fun, z0, jac=problem.jac, bounds=(problem.lower, problem.upper),
                                          **options)
        r1, last = problem.evaluate(solution.x)
    seconds = time.perf_counter() - began
    if isinstance(report_progress, _Line):
        report_progress.close()
    report = FitReport(model=model, parameters=parameters, aligned=problem.aligned, units=units,
                       initial=problem.natural(z0), solution=solution, before=first, after=last,
                       evaluations=problem.evaluations, seconds=seconds, durations=problem.durations,
                       history=np.array(problem.history), compiled=compiled, threads=workers,
                       correlation_limit=correlation_limit)
    for message in report.identifiability:
        warnings.warn(message, IdentifiabilityWarning, stacklevel=2)
    return report


class FitReport:
    """What :func:`fit` found.

    Attributes
    ----------
    estimates : dict
        The fitted value of each parameter, by address (``apply(model,
        report.estimates)`` sets them; :attr:`model` is that model).
    standard_errors : dict
        Their standard errors from the Jacobian at the solution (inf for a
        parameter the observations do not depend on).
    initial : dict
        Where the fit started.
    correlation : pandas.DataFrame
        The correlation matrix of the estimates, labelled by parameter name.
    covariance : pandas.DataFrame
        Their covariance matrix (in natural units).
    identifiability : list of str
        One message per pair correlating beyond the limit (and per
        parameter the observations do not depend on); also issued as
        warnings.
    measures : pandas.DataFrame
        Per observation and "before"/"after": NSE, KGE and its parts r,
        alpha and beta, RMSE, bias, log-NSE and the number of values.
    observations : list of Aligned
        Per observation the values used and those skipped (missing, outside
        the run) and how many lay between steps.
    evaluations : int
        Model runs made, the Jacobian's included.
    seconds : float
        The fit's wall time; ``eval_ms`` the median time of one run, in ms.
    result : scipy.optimize.OptimizeResult
        What least_squares returned (in the fitted space).
    before, after : ModelResult
        The runs at the initial and the fitted values (of the observed entries).
    history : numpy.ndarray
        Every parameter set a run was made with, in order (natural units).
    """

    def __init__(self, *, model: Model, parameters: list[Parameter], aligned: list[Aligned], units: dict[str, str],
                 initial: FloatArray, solution: Any, before: ModelResult, after: ModelResult, evaluations: int,
                 seconds: float, durations: list[float], history: FloatArray, compiled: bool, threads: int,
                 correlation_limit: float) -> None:
        self.parameters, self.observations, self.units = parameters, aligned, units
        self.result, self.before, self.after = solution, before, after
        self.evaluations, self.seconds, self.history = evaluations, seconds, history
        self.eval_ms = 1e3 * float(np.median(durations)) if durations else math.nan
        self.compiled, self.threads, self.correlation_limit = compiled, threads, correlation_limit
        self._names = [p.name for p in parameters]
        z = np.asarray(solution.x, dtype=np.float64)
        values = np.clip([float(p.from_free(zj)) for p, zj in zip(parameters, z)],
                         [p.lower for p in parameters], [p.upper for p in parameters])
        self._initial, self._values = np.asarray(initial), np.asarray(values)
        self.estimates = values_of(parameters, values)
        self.initial = values_of(parameters, initial)
        self.model = apply(model, self.estimates)
        span = np.array([p.upper - p.lower for p in parameters])
        lower = np.array([p.lower for p in parameters])
        upper = np.array([p.upper for p in parameters])
        self.at_bound = np.where(values - lower <= 1e-6 * span, "lower",
                                 np.where(upper - values <= 1e-6 * span, "upper", ""))
        self._covariances(np.asarray(solution.jac, dtype=np.float64), float(solution.cost))
        self.identifiability = self._identifiability()
        self.measures = self._measures()

    # ---- the statistics
    def _covariances(self, J: FloatArray, cost: float) -> None:
        m, p = J.shape
        _, S, Vt = np.linalg.svd(J, full_matrices=False)
        tol = (S[0] if S.size else 0.0) * max(m, p) * np.finfo(np.float64).eps
        ok = S > tol
        inverse = (Vt[ok].T / S[ok] ** 2) @ Vt[ok]  # inv(J.T J) where J has rank
        null = Vt[~ok]
        self.unidentified = (np.abs(null).max(axis=0) > 1e-8) if null.size else np.zeros(p, dtype=bool)
        self.residual_variance: float = 2.0 * cost / (m - p) if m > p else math.nan
        cov_free = self.residual_variance * inverse
        scale = np.array([v if par.log else 1.0 for par, v in zip(self.parameters, self._values)])
        cov = cov_free * np.outer(scale, scale)
        se = np.sqrt(np.maximum(np.diag(cov), 0.0))
        se[self.unidentified] = math.inf
        d = np.sqrt(np.maximum(np.diag(inverse), 0.0))
        with np.errstate(invalid="ignore", divide="ignore"):
            corr = inverse / np.outer(d, d)
        corr[self.unidentified, :] = math.nan
        corr[:, self.unidentified] = math.nan
        np.fill_diagonal(corr, 1.0)
        self._se, self._corr, self._cov = se, np.clip(corr, -1.0, 1.0), cov
        self.standard_errors = {par.address: float(s) for par, s in zip(self.parameters, se)}

    def _identifiability(self) -> list[str]:
        by = _listing([a.name for a in self.observations])
        messages = []
        for j in map(int, np.flatnonzero(self.unidentified)):
            messages.append(f"{self._names[j]!r} is not identified by {by}: the residuals do not change with it "
                            "(its column of the Jacobian is zero or a combination of the others)")
        p = len(self.parameters)
        for i in range(p):
            for j in range(i + 1, p):
                r = self._corr[i, j]
                if np.isfinite(r) and abs(r) > self.correlation_limit:
                    messages.append(f"{self._names[i]!r} and {self._names[j]!r} are not identified by {by} alone: "
                                    f"their estimates correlate at {r:+.3f} (beyond {self.correlation_limit:g}); "
                                    "observe what tells them apart, or fix one of them")
        return messages

    def _measures(self) -> pandas.DataFrame:
        from tarnlet.results import pandas_module

        pd = pandas_module("FitReport.measures")
        rows, index = [], []
        for a in self.observations:
            for when, result in (("before", self.before), ("after", self.after)):
                rows.append(measures.all_measures(result.y[a.rows, a.column], a.observed))
                index.append((a.name, when))
        frame: pandas.DataFrame = pd.DataFrame(rows, index=pd.MultiIndex.from_tuples(index,
                                                                                     names=["observation", "run"]))
        return frame[[*measures.NAMES, "n"]]

    def _row(self, name: str, when: str) -> dict[str, Any]:
        row: Any = self.measures.loc[(name, when)]
        return dict(row.to_dict())

    # ---- tables and text
    @property
    def correlation(self) -> pandas.DataFrame:
        from tarnlet.results import pandas_module

        pd = pandas_module("FitReport.correlation")
        table: pandas.DataFrame = pd.DataFrame(self._corr, index=self._names, columns=self._names)
        return table

    @property
    def covariance(self) -> pandas.DataFrame:
        from tarnlet.results import pandas_module

        pd = pandas_module("FitReport.covariance")
        table: pandas.DataFrame = pd.DataFrame(self._cov, index=self._names, columns=self._names)
        return table

    def table(self) -> pandas.DataFrame:
        """The parameters: bounds, initial value, estimate, standard error, relative error, bound reached."""
        from tarnlet.results import pandas_module

        pd = pandas_module("FitReport.table()")
        with np.errstate(divide="ignore", invalid="ignore"):
            relative = self._se / np.abs(self._values)
        table: pandas.DataFrame = pd.DataFrame(
            {"address": [p.address for p in self.parameters], "lower": [p.lower for p in self.parameters],
             "upper": [p.upper for p in self.parameters], "log": [p.log for p in self.parameters],
             "initial": self._initial, "estimate": self._values, "standard_error": self._se,
             "relative_error": relative, "at_bound": self.at_bound}, index=pd.Index(self._names, name="parameter"))
        return table

    @property
    def success(self) -> bool:
        return bool(self.result.success)

    def summary(self) -> str:
        """The report as text: parameters, correlations, measures, warnings, costs."""
        lines = [f"Fit of {len(self.parameters)} parameters to {len(self.observations)} observation"
                 f"{'s' * (len(self.observations) != 1)}: {self.result.message}",
                 f"  {self.evaluations} runs in {self.seconds:.2f} s ({self.eval_ms:.1f} ms per run, "
                 f"{'compiled' if self.compiled else 'reference route'}, Jacobian on {self.threads} threads)",
                 "Parameters (estimate +- standard error):"]
        width = max(len(n) for n in self._names)
        for j, name in enumerate(self._names):
            p = self.parameters[j]
            flag = f"  at the {self.at_bound[j]} bound" if self.at_bound[j] else ""
            rel = f" ({self._se[j] / abs(self._values[j]):.1%})" if self._values[j] and np.isfinite(self._se[j]) \
                else ""
            lines.append(f"  {name:<{width}}  {self._values[j]:12.6g} +- {self._se[j]:<10.3g}{rel:<10}"
                         f"from {self._initial[j]:.6g} in [{p.lower:g}, {p.upper:g}]{flag}")
        if len(self._names) > 1:
            lines.append("Correlations of the estimates:")
            for i in range(len(self._names)):
                row = " ".join(f"{self._corr[i, j]:+.3f}" if np.isfinite(self._corr[i, j]) else "   nan"
                               for j in range(i))
                if i:
                    lines.append(f"  {self._names[i]:<{width}}  {row}")
        lines.append("Observations:")
        lines += [f"  {a.describe()}" for a in self.observations]
        lines.append("Measures before -> after:")
        for a in self.observations:
            b, f = self._row(a.name, "before"), self._row(a.name, "after")
            lines.append(f"  {a.name}: NSE {b['nse']:.4f} -> {f['nse']:.4f}, KGE {b['kge']:.4f} -> {f['kge']:.4f}, "
                         f"RMSE {b['rmse']:.4g} -> {f['rmse']:.4g} {self.units.get(a.name, '')}, "
                         f"bias {b['bias']:+.4g} -> {f['bias']:+.4g}, log-NSE {b['log_nse']:.4f} -> "
                         f"{f['log_nse']:.4f}")
        if self.identifiability:
            lines.append("Identifiability:")
            lines += [f"  {m}" for m in self.identifiability]
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.summary()

    def __repr__(self) -> str:
        values = ", ".join(f"{n}={v:.6g}" for n, v in zip(self._names, self._values))
        return f"<FitReport: {values}; {self.evaluations} runs, {self.seconds:.2f} s>"

    # ---- the figure
    def plot(self, path: str | os.PathLike[str] | None = None, *, figsize: tuple[float, float] | None = None
             ) -> Figure:
        """Observed against simulated (before and after the fit), with the residuals.

        One column per observation: above, the observed values (dots) and
        the simulated series at the initial (dashed) and fitted (line)
        values; below, the residuals simulated - observed after the fit.

        Parameters
        ----------
        path : path, optional
            Where to save the figure (PNG, PDF, ... by its suffix).

        Returns
        -------
        matplotlib.figure.Figure
        """
        plt = _pyplot("FitReport.plot()")
        n = len(self.observations)
        fig: Figure
        fig, axes = plt.subplots(2, n, figsize=figsize or (5.5 * n, 5.5), sharex="col", squeeze=False,
                                 gridspec_kw={"height_ratios": [3, 1.3]}, layout="constrained")
        times = self.after.times()
        for k, a in enumerate(self.observations):
            top, bottom = axes[0, k], axes[1, k]
            unit = self.units.get(a.name, "")
            observed_t = times[a.rows]
            top.plot(observed_t, a.observed, ".", ms=2.5, color="0.35", label="observed", zorder=1)
            top.plot(times, self.before.y[:, a.column], "--", lw=1.0, color="tab:orange", label="initial", zorder=2)
            top.plot(times, self.after.y[:, a.column], "-", lw=1.2, color="tab:blue", label="fitted", zorder=3)
            m, b = self._row(a.name, "after"), self._row(a.name, "before")
            top.set_title(f"{a.name} ({a.observation.address}): NSE {b['nse']:.3f} -> {m['nse']:.3f}",
                          fontsize=10, loc="left")
            top.set_ylabel(f"{a.name} ({unit})" if unit else a.name)
            top.legend(fontsize=8, loc="best")
            residual = self.after.y[a.rows, a.column] - a.observed
            bottom.plot(observed_t, residual, ".", ms=2.0, color="tab:blue")
            bottom.axhline(0.0, color="0.2", lw=0.8)
            bottom.set_ylabel(f"residual ({unit})" if unit else "residual")
            bottom.set_xlabel("time" if self.after.date0 is not None else "time (d)")
        estimate = ", ".join(f"{n} = {v:.5g}" for n, v in zip(self._names, self._values))
        fig.suptitle(f"Fit: {estimate}", fontsize=10)
        if path is not None:
            fig.savefig(path, dpi=100)
        return fig


def _pyplot(what: str) -> Any:
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError(f"{what} needs matplotlib: pip install 'tarnlet[plot]'") from None
    return plt
