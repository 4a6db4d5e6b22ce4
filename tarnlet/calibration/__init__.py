"""Calibration and uncertainty: fit a model's parameters to measured series,
say which of them the data identify, and run ensembles with bands::

    from tarnlet.calibration import Parameter, Observation, fit

    report = fit(model,
                 [Parameter("chain[1].spar.A", 100, 1000, log=True), Parameter("chain.spar.K", 3e3, 3e4, log=True)],
                 [Observation("chain[3].Q", measured_flow, weight=1 / 50),
                  Observation("chain[3].h", measured_level, weight=1 / 0.005)])
    print(report)            # estimates, standard errors, correlations, measures before and after
    report.plot("fit.png")   # observed against simulated, with residuals

- :class:`Parameter`: an entry of a block's parameter vector by address,
  with bounds and an optional log transform; :func:`apply` sets values by
  address on a copy of a model, keeping its compiled plan.
- :class:`Observation`: a measured series (pandas, dates or days) of a
  recorded entry, with a weight; aligned to the model's time axis, each
  value at the step on or before it (:mod:`.observations`).
- :mod:`.measures`: NSE, KGE and its parts, RMSE, bias, log-NSE.
- :func:`fit`: ``scipy.optimize.least_squares`` over the parameters, the
  Jacobian's columns run on a thread pool; a :class:`FitReport`.
- :func:`sample` (Latin hypercube or Sobol' points from
  :mod:`scipy.stats.qmc`), :func:`scenarios`, :func:`ensemble` (threads or
  a Dask client), :func:`bands` and :func:`plot_bands` (percentiles of a
  recorded entry over the runs), :func:`sensitivity` (Sobol' indices by
  SALib).

Every run goes through one function (:func:`run` runs a model with values
by address the same way): the compiled :meth:`Model.run` where
tarnlet.model._engine is built, else :meth:`Model.reference_run` (the same
numbers, slowly), with a :class:`ReferenceRouteWarning` saying so.

SciPy and pandas come with ``pip install 'tarnlet[calibration]'``, SALib
with ``'tarnlet[sensitivity]'``, matplotlib with ``'tarnlet[plot]'``.
"""
from tarnlet.calibration import measures
from tarnlet.calibration._route import ReferenceRouteWarning, compiled_available, run
from tarnlet.calibration.ensembles import bands, ensemble, plot_bands, sensitivity
from tarnlet.calibration.fitting import FitReport, IdentifiabilityWarning, fit
from tarnlet.calibration.observations import Observation
from tarnlet.calibration.parameters import Parameter, apply, sample, scenarios

__all__ = ["Parameter", "Observation", "apply", "fit", "FitReport", "IdentifiabilityWarning", "sample",
           "scenarios", "ensemble", "bands", "plot_bands", "sensitivity", "measures", "ReferenceRouteWarning",
           "compiled_available", "run"]
