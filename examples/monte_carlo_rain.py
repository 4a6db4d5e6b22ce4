"""A Monte Carlo of rain on the storm catchment: percentile bands of the plant inflow.

A thousand rain scenarios on the worked catchment of storm_event.py: each
one to four half-sine showers at random times, of random length (half an
hour to six hours) and peak (2 to 25 mm/h), falling on the soil
reservoir; everything else as in the worked example. The scenarios run as
an ensemble (tarnlet.calibration.ensemble) on a thread pool, or on a Dask
cluster with --scheduler, each bit for bit the run a serial loop makes.
From the runs: the 5th, 50th and 95th percentiles of the plant's inflow
and its suspended solids at every kept step (every five minutes), as a
table and a figure, and how the peak inflow spreads with the rain.

    python -P examples/monte_carlo_rain.py [--scenarios 1000] [--days 3] [--quick] [--out DIR]
                                           [--no-plot] [--threads N] [--scheduler ADDRESS] [--seed 0]

With --out DIR it writes monte_carlo_rain.csv (the bands) and
monte_carlo_rain.png there.
"""
from __future__ import annotations

import argparse
import importlib
import sys
import time
from pathlib import Path

import numpy as np

from tarnlet.calibration import bands, ensemble, plot_bands
from tarnlet.layout import LOAMTANK

HERE = Path(__file__).resolve().parent
EVERY = 5  # keep every fifth one-minute step
RECORD = ["plant.Q", "plant.TSS"]


def storm_event():
    """The worked example's module, beside this file."""
    if str(HERE) not in sys.path:
        sys.path.insert(0, str(HERE))
    return importlib.import_module("storm_event")


def rain_series(rng: np.random.Generator, steps: int, dt: float) -> np.ndarray:
    """Rain intensity (mm/h) of one scenario: one to four half-sine showers."""
    t = np.arange(steps) * dt
    rain = np.zeros(steps)
    for _ in range(rng.integers(1, 5)):
        start, hours, peak = rng.uniform(-0.1, 0.9) * t[-1], rng.uniform(0.5, 6.0), rng.uniform(2.0, 25.0)
        s = (t - start) * 24.0 / hours
        inside = (s > 0.0) & (s < 1.0)
        rain[inside] += peak * np.sin(np.pi * s[inside])
    return rain


def rain_scenarios(n: int, steps: int, seed: int, depth: list[float]):
    """n scenarios of the soil reservoir's inflow, made as the runs take them
    (a generator: only the scenarios in hand are held), each one's rain
    depth (mm) appended to `depth`."""
    se = storm_event()
    area = se.SOIL_PAR[LOAMTANK.par.A]
    rng = np.random.default_rng(seed)
    for _ in range(n):
        rain = rain_series(rng, steps, se.DT)
        depth.append(rain.sum() * se.DT * 24.0)
        yield {"soil_in": np.column_stack((rain * (se.MM_H * area), np.full(steps, se.RECHARGE)))}


def simulate(n: int, days: float, seed: int = 0, threads: int | None = None, client=None, progress: bool = False):
    """The ensemble's runs and the scenarios' rain depths."""
    se = storm_event()
    steps = round(days * 1440)
    model = se.build(se.forcing(steps, None))
    depth: list[float] = []
    started = time.perf_counter()
    runs = ensemble(model, rain_scenarios(n, steps, seed, depth), record=RECORD, every=EVERY, threads=threads,
                    client=client, progress=progress)
    return runs, np.array(depth), time.perf_counter() - started


def write_csv(flow, tss, path: Path) -> None:
    import pandas as pd

    table = pd.concat({"Q_m3_d": flow, "TSS_g_m3": tss}, axis=1)
    table.columns = [f"{quantity}_{p}" for quantity, p in table.columns]
    table.index = table.index.rename("time_d")
    table.to_csv(path, float_format="%.6g")


def draw(flow, tss, peaks: np.ndarray, depth: np.ndarray, path: Path) -> None:
    import matplotlib.pyplot as plt

    fig = plt.figure(figsize=(13, 7.5), layout="constrained")
    grid = fig.add_gridspec(2, 3)
    plot_bands(flow, ax=fig.add_subplot(grid[0, :2]), label="plant inflow")
    plot_bands(tss, ax=fig.add_subplot(grid[1, :2]), label="plant inflow TSS", unit="g/m3",
               colour="tab:brown")
    scatter = fig.add_subplot(grid[0, 2])
    scatter.scatter(depth, peaks, s=6, alpha=0.5)
    scatter.set(xlabel="rain over the scenario (mm)", ylabel="peak plant inflow (m3/d)",
                title="Peak inflow against rain")
    histogram = fig.add_subplot(grid[1, 2])
    histogram.hist(peaks, bins=30, color="tab:blue", alpha=0.7)
    for q in (5, 50, 95):
        histogram.axvline(np.percentile(peaks, q), color="0.2", ls="--", lw=0.8)
    histogram.set(xlabel="peak plant inflow (m3/d)", ylabel="scenarios",
                  title="Peak inflows (5, 50 and 95 % dashed)")
    fig.suptitle(f"{len(peaks)} rain scenarios on the storm catchment", fontsize=12)
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--scenarios", type=int, default=1000, help="number of rain scenarios (1000)")
    ap.add_argument("--days", type=float, default=3.0, help="days per scenario (3)")
    ap.add_argument("--quick", action="store_true", help="24 scenarios of half a day, for the documentation")
    ap.add_argument("--out", type=Path, default=None, help="folder for the table and the figure")
    ap.add_argument("--no-plot", action="store_true", help="no figure")
    ap.add_argument("--threads", type=int, default=None, help="threads (default: the cores)")
    ap.add_argument("--scheduler", help="address of a running Dask scheduler, to run the scenarios there")
    ap.add_argument("--seed", type=int, default=0, help="seed of the rain")
    args = ap.parse_args(argv)
    n, days = (24, 0.5) if args.quick else (args.scenarios, args.days)
    client = None
    if args.scheduler:
        from dask.distributed import Client

        client = Client(args.scheduler)
    try:
        runs, depth, seconds = simulate(n, days, args.seed, args.threads, client, progress=sys.stderr.isatty())
    finally:
        if client is not None:
            client.close()
    route = "compiled" if runs[0].compiled else "reference route: the compiled engine is not built"
    where = f"Dask at {args.scheduler}" if args.scheduler else "a thread pool"
    print(f"{n} scenarios of {round(days * 1440)} one-minute steps on {where} ({route}): {seconds:.1f} s, "
          f"{1e3 * seconds / n:.1f} ms per scenario")
    flow, tss = bands(runs, "plant.Q"), bands(runs, "plant.TSS")
    peaks = np.array([r.column("plant.Q").max() for r in runs])
    print(f"Rain per scenario {np.percentile(depth, 5):.1f} to {np.percentile(depth, 95):.1f} mm (5 to 95 %)")
    print("Peak plant inflow (m3/d): " + ", ".join(f"{q} % {np.percentile(peaks, q):,.0f}" for q in (5, 50, 95)))
    k = int(np.argmax(flow["p95"].to_numpy()))
    print(f"Highest 95th percentile of the plant inflow at t = {flow.index[k]:.3f} d: "
          f"{flow['p5'].iloc[k]:,.0f} / {flow['p50'].iloc[k]:,.0f} / {flow['p95'].iloc[k]:,.0f} m3/d (5/50/95 %)")
    print(flow.iloc[::max(1, len(flow) // 8)].round(0).to_string())
    if args.out is not None:
        args.out.mkdir(parents=True, exist_ok=True)
        write_csv(flow, tss, args.out / "monte_carlo_rain.csv")
        print(f"Wrote {args.out / 'monte_carlo_rain.csv'}")
        if not args.no_plot:
            try:
                import matplotlib

                matplotlib.use("Agg")
            except ImportError:
                print("matplotlib is not installed: no figure (pip install 'tarnlet[plot]')")
            else:
                draw(flow, tss, peaks, depth, args.out / "monte_carlo_rain.png")
                print(f"Wrote {args.out / 'monte_carlo_rain.png'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
