"""A four-parameter calibration of the worked catchment over 50 days of one-minute steps.

The storm catchment of examples/storm_event.py (72,000 one-minute steps,
a shower every few days) with its three sewer storages as the truth
(areas 300, 400 and 500 m2, weir coefficient 11000). Synthetic data from
a run of it: the flow leaving storage 3 and the three levels every five
minutes, with noise (40 m3/d, 5 mm). tarnlet.calibration.fit recovers the
three areas and the weir coefficient from a wrong start (600, 600, 600,
6000), each evaluation one compiled run, the Jacobian's columns on a
thread pool. The estimates are checked against the truth (within four
standard errors).

Target on the project's CI machine kind: the fit converges in at most 10 s.

    python -P benchmarks/bench_calibration.py [--days 50] [--threads N] [--json FILE]
                                              [--allow-reference]

--json FILE writes fit_s (the fit's wall time), evaluations (the model runs
it made, the Jacobian's included) and eval_ms (the median time of one run),
with the run's figures and the machine. Without the compiled engine the
runs would take the reference route (Python, far slower): the script stops
unless --allow-reference (then use a few --days).
"""
import argparse
import importlib
import pathlib
import sys
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "examples"))

from benchjson import machine, write_json  # noqa: E402

from tarnlet import calibration  # noqa: E402
from tarnlet.calibration import Observation, Parameter  # noqa: E402

TRUTH = {"chain[1].spar.A": 300.0, "chain[2].spar.A": 400.0, "chain[3].spar.A": 500.0, "chain.spar.K": 11000.0}
START = {"chain[1].spar.A": 600.0, "chain[2].spar.A": 600.0, "chain[3].spar.A": 600.0, "chain.spar.K": 6000.0}
TARGET_S = 10.0


def catchment(days: float):
    """The worked catchment over `days`, with a shower every few days."""
    se = importlib.import_module("storm_event")
    steps = round(days * 1440)
    f = se.forcing(steps, None)
    rng = np.random.default_rng(50)
    rain = np.zeros(steps)
    start = 0.3
    while start < f.t[-1]:
        hours, peak = rng.uniform(1.0, 5.0), rng.uniform(3.0, 15.0)
        s = (f.t - start) * 24.0 / hours
        inside = (s > 0.0) & (s < 1.0)
        rain[inside] += peak * np.sin(np.pi * s[inside])
        start += rng.uniform(2.0, 5.0)
    f.rain = rain
    return se.build(f)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--days", type=float, default=50.0, help="simulated days (50)")
    ap.add_argument("--threads", type=int, default=None, help="threads for the Jacobian (default: the cores)")
    ap.add_argument("--json", help="write the figures to this file")
    ap.add_argument("--allow-reference", action="store_true",
                    help="run even without the compiled engine (the reference route: slow)")
    args = ap.parse_args(argv)
    compiled = calibration.compiled_available()
    if not compiled and not args.allow_reference:
        print("The compiled model engine (tarnlet.model._engine) is not built: this benchmark times compiled "
              "runs. Give --allow-reference (and a few --days) to run it on the reference route.", file=sys.stderr)
        return 2
    print(f"{machine()}")
    model = catchment(args.days)
    record = ["chain[3].Q", "chain[1].h", "chain[2].h", "chain[3].h"]
    began = time.perf_counter()
    truth = calibration.run(model, record=record)
    first_run = time.perf_counter() - began
    import pandas as pd

    rng = np.random.default_rng(1)
    t = truth.times()[::5]
    observations = [Observation("chain[3].Q", pd.Series(truth.y[::5, 0] + rng.normal(0, 40.0, len(t)), index=t),
                                weight=1 / 40.0, name="flow")]
    observations += [Observation(f"chain[{j}].h", pd.Series(truth.y[::5, j] + rng.normal(0, 0.005, len(t)),
                                                            index=t), weight=1 / 0.005, name=f"level {j}")
                     for j in (1, 2, 3)]
    parameters = [Parameter(a, 100.0, 2000.0, log=True, initial=START[a]) for a in list(TRUTH)[:3]]
    parameters.append(Parameter("chain.spar.K", 2000.0, 50000.0, log=True, initial=START["chain.spar.K"]))
    report = calibration.fit(model, parameters, observations, threads=args.threads)
    print(report.summary())
    off = {a: abs(report.estimates[a] - v) / report.standard_errors[a] for a, v in TRUTH.items()}
    recovered = all(x < 4.0 for x in off.values())
    print(f"\n{round(args.days * 1440)} steps; first run (with the plan) {first_run:.3f} s")
    met = "met" if report.seconds <= TARGET_S else "MISSED"
    print(f"fit: {report.seconds:.2f} s (target <= {TARGET_S:g} s: {met}), {report.evaluations} runs, "
          f"{report.eval_ms:.1f} ms per run, "
          f"{'compiled' if report.compiled else 'REFERENCE ROUTE'}; truth within four standard errors: "
          f"{'yes' if recovered else 'NO'} ({', '.join(f'{a} {x:.1f}' for a, x in off.items())})")
    if args.json:
        write_json(args.json, {"fit_s": report.seconds, "evaluations": report.evaluations, "eval_ms": report.eval_ms,
                               "steps": round(args.days * 1440), "threads": report.threads,
                               "compiled": report.compiled, "nfev": int(report.result.nfev),
                               "njev": int(report.result.njev or 0), "estimates": report.estimates,
                               "standard_errors": report.standard_errors, "recovered": recovered,
                               "target_fit_s": TARGET_S})
        print(f"Wrote {args.json}")
    return 0 if recovered and report.success else 1


if __name__ == "__main__":
    sys.exit(main())
