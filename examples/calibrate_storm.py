"""Calibrating the storm catchment's sewer storages to noisy flow and level data.

The worked catchment of storm_event.py, with its three sewer storages as
the truth: plan areas of 300, 400 and 500 m2 and one weir coefficient of
11000 m3/d/m^1.5 for all three. Synthetic measurements come from a run of
it: the flow leaving storage 3 (the plant's inlet flow meter) and the
level in each storage, every five minutes with a logger clock 20 s late
(so each value lies between two one-minute steps and is compared with the
step before it), with noise (40 m3/d on the flow, 5 mm on the levels) and
a two-hour gap in the flow record (those values are skipped and counted).

Four parameters are fitted from a wrong start (areas of 600 m2, a weir
coefficient of 6000): the three areas ("chain[1].spar.A" to
"chain[3].spar.A") and the weir coefficient of every storage
("chain.spar.K"), with three sets of observations:

    flow alone            the outflow depends on each storage only through
                          A / K**(2/3): the fit reproduces the flow, and the
                          report warns that no parameter is identified (the
                          search, creeping along a valley of equally good
                          fits, is stopped after 30 evaluations)
    flow + level 3        the level of storage 3 fixes K; the areas still
                          trade off against each other along the chain
    flow + three levels   each storage's level fixes its own area: all four
                          identified, the truth within their standard errors

    python -P examples/calibrate_storm.py [--days 3] [--quick] [--out DIR] [--no-plot]
                                          [--threads N] [--seed 1]

With --out DIR it writes calibrate_storm.png (observed against simulated,
with residuals, for the last fit) and calibrate_storm_estimates.png (each
fit's estimates with their standard errors against the truth).
"""
from __future__ import annotations

import argparse
import importlib
import sys
import time
import warnings
from pathlib import Path

import numpy as np

from tarnlet.calibration import IdentifiabilityWarning, Observation, Parameter, fit, run

HERE = Path(__file__).resolve().parent
TRUTH = {"chain[1].spar.A": 300.0, "chain[2].spar.A": 400.0, "chain[3].spar.A": 500.0, "chain.spar.K": 11000.0}
PARAMETERS = [Parameter(f"chain[{j}].spar.A", 100.0, 2000.0, log=True, initial=600.0, name=f"A{j}")
              for j in (1, 2, 3)] + [Parameter("chain.spar.K", 2000.0, 50000.0, log=True, initial=6000.0, name="K")]
FLOW_NOISE, LEVEL_NOISE = 40.0, 0.005  # m3/d, m
EVERY = 5  # minutes between measurements
LATE = 20.0 / 86400.0  # the loggers' clock, 20 s late (days)
# Where the observations leave a valley of equally good fits, the search
# creeps along it: it stops after this many evaluations of the residuals
# (the identified fits converge in far fewer).
MAX_NFEV = 30


def storm_event():
    """The worked example's module, beside this file."""
    if str(HERE) not in sys.path:
        sys.path.insert(0, str(HERE))
    return importlib.import_module("storm_event")


def measurements(model, seed: int):
    """Noisy flow and levels every five minutes from a run at the true values."""
    import pandas as pd

    truth = run(model, record=["chain[3].Q", "chain[1].h", "chain[2].h", "chain[3].h"])
    t = truth.times()[::EVERY] + LATE  # days since the start; each between two steps
    rng = np.random.default_rng(seed)
    flow = truth.y[::EVERY, 0] + rng.normal(0.0, FLOW_NOISE, len(t))
    down = 0.4 * t[-1]
    flow[(t > down) & (t < down + 2 / 24)] = np.nan  # the flow meter was down for two hours
    series = {"flow": pd.Series(flow, index=t, name="flow")}
    for j in (1, 2, 3):
        series[f"level {j}"] = pd.Series(truth.y[::EVERY, j] + rng.normal(0.0, LEVEL_NOISE, len(t)), index=t)
    return series


def observations(series, levels):
    obs = [Observation("chain[3].Q", series["flow"], weight=1 / FLOW_NOISE, name="flow")]
    obs += [Observation(f"chain[{j}].h", series[f"level {j}"], weight=1 / LEVEL_NOISE, name=f"level {j}")
            for j in levels]
    return obs


def calibrate(days: float, seed: int = 1, threads: int | None = None, progress: bool = False):
    """The three fits: their reports by name."""
    se = storm_event()
    steps = round(days * 1440)
    model = se.build(se.forcing(steps, None))
    series = measurements(model, seed)
    reports = {}
    for label, levels in (("flow alone", ()), ("flow + level 3", (3,)), ("flow + three levels", (1, 2, 3))):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", IdentifiabilityWarning)
            report = fit(model, PARAMETERS, observations(series, levels), threads=threads, progress=progress,
                         max_nfev=MAX_NFEV)
        report.label = label
        report.warned = [str(w.message) for w in caught if issubclass(w.category, IdentifiabilityWarning)]
        reports[label] = report
    return reports


def identified(report, name: str) -> bool:
    """Whether a parameter escaped every warning of its fit."""
    return not any(f"'{name}'" in message for message in report.identifiability)


def describe(reports) -> str:
    names = [p.name for p in PARAMETERS]
    lines = ["Estimates +- standard errors (relative), and whether the observations identify each:",
             f"  {'parameter':<10}{'truth':>9}" + "".join(f"{label:>30}" for label in reports)]
    for name, p in zip(names, PARAMETERS):
        row = f"  {name:<10}{TRUTH[p.address]:>9.0f}"
        for report in reports.values():
            est, se = report.estimates[p.address], report.standard_errors[p.address]
            rel = f"{se / est:.1%}" if se / est < 10 else "huge"
            mark = "ok" if identified(report, name) else "no"
            row += f"{est:>11.1f} +- {se:<9.3g}{rel:>6} {mark}"
        lines.append(row)
    for report in reports.values():
        lines.append(f"{report.label}: {report.evaluations} runs, {report.seconds:.1f} s, "
                     f"{'converged' if report.success else 'stopped: ' + report.result.message.rstrip('.').lower()}; "
                     f"{len(report.identifiability)} pair(s) flagged")
        for message in report.identifiability[:3]:
            lines.append(f"  {message}")
        if len(report.identifiability) > 3:
            lines.append(f"  ... and {len(report.identifiability) - 3} more")
    last = list(reports.values())[-1]
    lines += ["", f"The last fit in full ({last.label}):", last.summary()]
    return "\n".join(lines)


def draw_estimates(reports, path: Path) -> None:
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, len(PARAMETERS), figsize=(12, 3.6), layout="constrained")
    for ax, p in zip(axes, PARAMETERS):
        for k, report in enumerate(reports.values()):
            est, se = report.estimates[p.address], report.standard_errors[p.address]
            ok = identified(report, p.name)
            ax.errorbar([k], [est], yerr=[[min(se, est - p.lower)], [min(se, p.upper - est)]], fmt="o", capsize=4,
                        color="tab:blue" if ok else "tab:red")
        ax.axhline(TRUTH[p.address], color="0.3", ls="--", lw=1, label="truth")
        ax.set_xticks(range(len(reports)), [label.replace(" + ", "\n+ ") for label in reports], fontsize=8)
        ax.set_yscale("log")
        ax.set_title(f"{p.name} ({p.address})", fontsize=10, loc="left")
        ax.set_xlim(-0.5, len(reports) - 0.5)
    axes[0].legend(fontsize=8)
    fig.suptitle("Estimates with standard errors, clipped at the bounds (red: not identified by those "
                 "observations)", fontsize=11)
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--days", type=float, default=3.0, help="simulated days (default 3)")
    ap.add_argument("--quick", action="store_true", help="a short run (half a day) for the documentation")
    ap.add_argument("--out", type=Path, default=None, help="folder for the figures")
    ap.add_argument("--no-plot", action="store_true", help="no figures")
    ap.add_argument("--threads", type=int, default=None, help="threads for the Jacobian (default: the cores)")
    ap.add_argument("--seed", type=int, default=1, help="seed of the noise")
    args = ap.parse_args(argv)
    days = 0.5 if args.quick else args.days
    started = time.monotonic()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # a slow route, if the engine is not built, is said below
        reports = calibrate(days, args.seed, args.threads, progress=sys.stderr.isatty())
    route = "compiled runs" if list(reports.values())[0].compiled else "the reference route (no compiled engine)"
    print(f"{round(days * 1440)} one-minute steps of the storm catchment, measurements every {EVERY} minutes; "
          f"{route}")
    print(describe(reports))
    if args.out is not None and not args.no_plot:
        try:
            import matplotlib

            matplotlib.use("Agg")
        except ImportError:
            print("matplotlib is not installed: no figures (pip install 'tarnlet[plot]')")
        else:
            args.out.mkdir(parents=True, exist_ok=True)
            last = list(reports.values())[-1]
            fig = last.plot(args.out / "calibrate_storm.png", figsize=(16, 5.5))
            import matplotlib.pyplot as plt

            plt.close(fig)
            draw_estimates(reports, args.out / "calibrate_storm_estimates.png")
            print(f"Wrote {args.out / 'calibrate_storm.png'} and {args.out / 'calibrate_storm_estimates.png'}")
    print(f"Done in {time.monotonic() - started:.1f} s")
    last = list(reports.values())[-1]
    return 0 if not last.identifiability else 1


if __name__ == "__main__":
    sys.exit(main())
