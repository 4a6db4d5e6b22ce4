"""An ensemble of rain scenarios, serially, on a thread pool, on a process
pool and on a Dask cluster.

Each scenario is a week of one-minute steps on a catchment: random showers
on a soil reservoir whose runoff and drainage join the sewage in a chain of
three sewer storages, followed by a first-flush block; each block runs over
the whole series in one call of tarnlet.runs. A scenario returns a few
figures (rain, peak flows, highest level, peak TSS after the first flush).

Every way of running gives the same numbers: they are checked equal to the
serial run. The runs release the interpreter lock, so threads already use
every core; processes and Dask workers do too, and a Dask cluster reaches
beyond one machine: the same `run_on_dask` takes a `Client` of a local
cluster (started here) or of a real one (--scheduler ADDRESS).

    python -P examples/ensemble.py [--scenarios 200] [--days 7] [--workers N]
                                   [--scheduler tcp://host:8786] [--skip serial,threads,processes,dask]
                                   [--out DIR]

With --out DIR (and matplotlib installed) it draws ensemble.png there: how
the storages respond to the rain of each scenario, and what each way of
running cost.
"""
from __future__ import annotations

import argparse
import os
import site
import sys
import time
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Executor, ProcessPoolExecutor, ThreadPoolExecutor, as_completed
from contextlib import contextmanager
from typing import Any

import numpy as np

from tarnlet import runs
from tarnlet.layout import LOAMTANK, SEDLIFT, SEWER

DT = 1.0 / 1440.0  # one minute, in days
U = SEWER.u
SOIL_PAR = LOAMTANK.par.vector(h_max=0.10, h_drain=0.020, A=1.2e5, q_cap=0.12, k_drain=15000.0, k_lin=5000.0)
SOIL_LEVEL0 = 0.0205
RECHARGE = 15000.0 * np.sqrt(SOIL_LEVEL0 - 0.020) + 5000.0 * SOIL_LEVEL0  # drainage + loss at rest
SEWER_PARS = SEWER.pars.vector(i_TSS_XI=0.75, i_TSS_XS=0.75, i_TSS_BM=0.90, i_TSS_XPP=3.23,
                               i_TSS_XPHA=0.60, i_TSS_XMe=1.00)
SPARS = np.array([SEWER.spar.vector(A=a, K=11000.0, h0=0.10) for a in (300.0, 400.0, 500.0)])
SEWAGE = U.vector(S_F=30.0, S_A=20.0, S_NH4=16.0, S_PO4=3.6, S_I=30.0, S_ALK=5.0, X_I=25.0, X_S=125.0,
                  X_H=30.0, TSS=139.5)
RUNOFF = U.vector(S_O2=9.0, S_I=5.0, S_ALK=1.0, X_I=40.0, X_S=15.0, TSS=41.25)
DRAINAGE = U.vector(S_O2=2.0, S_ALK=3.0)
FLUSHED = [U.TSS, U.X_I, U.X_S, U.X_H, U.S_NH4, U.S_PO4]
KEPT = [SEWER.y.Q, *FLUSHED, SEWER.y.h]  # the first seven are the first flush's input
SSPARS = SEDLIFT.sspars.vector(capacity=400e3, Q_half=10000.0, n=6.0, k_wash=20.0)
Q_DRY = 4000.0
FIGURES = ["rain_mm", "peak_inflow_m3_d", "peak_outflow_m3_d", "top_level_m", "peak_tss_flush_g_m3"]


def rain_series(seed: int, steps: int) -> np.ndarray:
    """Rain intensity (mm/h) of one scenario: a few half-sine showers at random times."""
    rng = np.random.default_rng(seed)
    t = np.arange(steps) * DT
    rain = np.zeros(steps)
    for _ in range(rng.poisson(3) + 1):
        start, hours, peak = rng.uniform(0.0, t[-1]), rng.uniform(0.5, 6.0), rng.uniform(2.0, 20.0)
        s = (t - start) * 24.0 / hours
        inside = (s > 0.0) & (s < 1.0)
        rain[inside] += peak * np.sin(np.pi * s[inside])
    return rain


def scenario(seed: int, steps: int) -> np.ndarray:
    """The figures (FIGURES) of one rain scenario."""
    rain = rain_series(seed, steps)
    u_soil = np.column_stack((rain * (0.024 * SOIL_PAR[LOAMTANK.par.A]), np.full(steps, RECHARGE)))
    _, y_soil = runs.loamtank_run([SOIL_LEVEL0], u_soil, SOIL_PAR, DT)

    t = np.arange(steps) * DT
    q_sewage = Q_DRY * (1.0 - 0.35 * np.cos(2.0 * np.pi * t - 0.8))
    q_runoff, q_drain = y_soil[:, LOAMTANK.y.Q_excess], y_soil[:, LOAMTANK.y.Q_drain]
    total = q_sewage + q_runoff + q_drain
    u = (q_sewage[:, None] * SEWAGE + q_runoff[:, None] * RUNOFF + q_drain[:, None] * DRAINAGE) / total[:, None]
    u[:, U.Q] = total

    h0 = SPARS[:, SEWER.spar.h0] + (total[0] / SPARS[:, SEWER.spar.K]) ** (2.0 / 3.0)
    x0 = np.column_stack((u[0, :18] * (SPARS[:, SEWER.spar.A] * h0)[:, None], np.zeros((3, 5)), h0))
    # Keep only what the first flush and the figures need: flow, the flushed
    # components and the level of every storage, and no states but the last.
    _, y = runs.sewer_chain_run(x0, u, SEWER_PARS, SPARS, DT, record=KEPT, states="last")
    last = y[:, -1]  # columns in the order of KEPT
    _, y_ff = runs.sedlift_run(np.zeros(6), last[:, :7], SSPARS, DT, states="last")
    return np.array([rain.sum() * DT * 24.0, total.max(), last[:, 0].max(), last[:, 7].max(),
                     y_ff[:, SEDLIFT.y.C_1].max()])


class Progress:
    """A one-line count of finished scenarios on stderr, shown once a run takes more than 2 s."""

    def __init__(self, label: str, total: int, enabled: bool = True) -> None:
        self.label, self.total, self.enabled = label, total, enabled
        self.started, self.shown, self.done = time.monotonic(), 0.0, 0

    def step(self, scenarios: int = 1) -> None:
        self.done += scenarios
        elapsed = time.monotonic() - self.started
        if self.enabled and elapsed > max(2.0, self.shown + 0.25):
            self.shown = elapsed
            self.show()

    def show(self) -> None:
        bar = "#" * (30 * self.done // self.total)
        print(f"\r  {self.label:<14} [{bar:<30}] {self.done}/{self.total}", end="", file=sys.stderr)

    def close(self) -> None:
        if self.shown:
            self.show()
            print(file=sys.stderr)


def run_batch(seeds: list[int], steps: int) -> np.ndarray:
    """The figures of several scenarios, one row each: one task for a pool or a cluster."""
    return np.array([scenario(seed, steps) for seed in seeds]).reshape(len(seeds), len(FIGURES))


def batches(seeds: list[int], size: int) -> list[list[int]]:
    return [seeds[i:i + size] for i in range(0, len(seeds), size)]


def run_serial(seeds: list[int], steps: int, progress: bool = True) -> np.ndarray:
    bar = Progress("serial", len(seeds), progress)
    figures = []
    for seed in seeds:
        figures.append(scenario(seed, steps))
        bar.step()
    bar.close()
    return np.array(figures)


def run_on_executor(pool: Executor, seeds: list[int], steps: int, batch: int = 1, label: str = "pool",
                    progress: bool = True) -> np.ndarray:
    """The ensemble on a concurrent.futures pool (threads or processes), in
    tasks of `batch` scenarios; rows in seed order."""
    futures = [pool.submit(run_batch, chunk, steps) for chunk in batches(seeds, batch)]
    return gather(futures, as_completed(futures), len(seeds), label, progress)


def run_on_dask(client: Any, seeds: list[int], steps: int, batch: int = 1, progress: bool = True) -> np.ndarray:
    """The ensemble on a Dask cluster through its `distributed.Client` (a
    LocalCluster's or a real cluster's), in tasks of `batch` scenarios."""
    from dask.distributed import as_completed as dask_completed

    module = sys.modules[run_batch.__module__]
    if module.__name__ != "__main__":  # imported by name here: the workers need the file too
        client.upload_file(module.__file__)
    futures = client.map(run_batch, batches(seeds, batch), steps=steps, pure=False)
    return gather(futures, dask_completed(futures), len(seeds), "dask", progress)


def gather(futures: list, completed: Iterable, scenarios: int, label: str, progress: bool) -> np.ndarray:
    """Wait for every task, counting finished scenarios; the rows in task order."""
    bar = Progress(label, scenarios, progress)
    for future in completed:
        bar.step(len(future.result()))
    bar.close()
    return np.concatenate([f.result() for f in futures])


@contextmanager
def dask_client(workers: int, scheduler: str | None) -> Iterator[Any]:
    """A Client of the cluster at `scheduler`, or of a new LocalCluster of
    `workers` single-threaded workers (closed on exit); None when Dask is not
    installed."""
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        yield None
        return
    if scheduler:
        with Client(scheduler) as client:
            yield client
        return
    # Thread workers: the runs release the interpreter lock, so on one machine
    # they use every core without the pickling and the scheduler traffic of
    # worker processes; a real cluster's workers are processes on their hosts.
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=False,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        yield client


def draw(figures: np.ndarray, seconds: dict[str, float], path: str) -> None:
    """The ensemble's response to rain, and the cost of each way of running."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (response, cost) = plt.subplots(1, 2, figsize=(12, 4.6), width_ratios=[3, 2],
                                         layout="constrained")
    rain = figures[:, FIGURES.index("rain_mm")]
    for name, label, colour in [("peak_inflow_m3_d", "sewer inflow", "black"),
                                ("peak_outflow_m3_d", "outflow of storage 3", "tab:green")]:
        response.scatter(rain, figures[:, FIGURES.index(name)], s=12, color=colour, label=label,
                         alpha=0.7)
    response.set(xlabel="rain over the scenario (mm)", ylabel="peak flow (m3/d)",
                 title=f"Peak flows of {len(figures)} rain scenarios")
    response.legend(loc="upper left")
    response.grid(alpha=0.3)
    labels = list(seconds)
    cost.barh(labels, [seconds[k] for k in labels], color="tab:blue")
    for i, k in enumerate(labels):
        cost.text(seconds[k], i, f" {seconds['serial'] / seconds[k]:.2f}x serial", va="center")
    cost.invert_yaxis()
    cost.set(xlabel="seconds for the whole ensemble", title="Ways of running (results equal)")
    cost.set_xlim(0, 1.25 * max(seconds.values()))
    cost.grid(axis="x", alpha=0.3)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    print(f"Wrote {path}")


def timed(label: str, run: Callable[[], np.ndarray], reference: np.ndarray | None,
          serial_seconds: float | None) -> tuple[float, np.ndarray]:
    started = time.perf_counter()
    figures = run()
    seconds = time.perf_counter() - started
    if reference is not None and not np.array_equal(figures, reference):
        raise AssertionError(f"{label}: results differ from the serial run")
    speed = f"  {serial_seconds / seconds:5.2f}x serial" if serial_seconds else ""
    print(f"{label:<34} {seconds:7.2f} s{speed}" + ("  (equal to serial)" if reference is not None else ""))
    return seconds, figures


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--scenarios", type=int, default=200, help="number of scenarios (200)")
    ap.add_argument("--days", type=float, default=7.0, help="days per scenario (7)")
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 1, help="threads, processes or Dask workers")
    ap.add_argument("--scheduler", help="address of a running Dask scheduler (default: a LocalCluster)")
    ap.add_argument("--skip", default="", help="comma-separated ways to leave out: threads,processes,dask")
    ap.add_argument("--batch", type=int, help="scenarios per task (default: about 8 tasks per worker)")
    ap.add_argument("--quiet", action="store_true", help="no progress bars")
    ap.add_argument("--out", help="folder for the figure ensemble.png (needs matplotlib)")
    args = ap.parse_args(argv)
    steps, seeds, n = round(args.days / DT), list(range(args.scenarios)), args.workers
    skip, progress = set(args.skip.split(",")), not args.quiet
    batch = args.batch or max(1, len(seeds) // (8 * n))
    print(f"{args.scenarios} scenarios of {steps} one-minute steps; {n} workers on {os.cpu_count()} cores, "
          f"{batch} scenarios per task")
    warm_up = [[seed] for seed in range(n)]  # one small task per worker, before the clock runs

    serial, reference = timed("serial", lambda: run_serial(seeds, steps, progress), None, None)
    seconds = {"serial": serial}
    if "threads" not in skip:
        with ThreadPoolExecutor(n) as pool:
            seconds["threads"], _ = timed(
                f"thread pool ({n} threads)",
                lambda: run_on_executor(pool, seeds, steps, batch, "threads", progress), reference, serial)
    if "processes" not in skip:
        # Workers that start afresh (spawn, not fork) find this file when it was imported by name.
        here = os.path.dirname(os.path.abspath(__file__))
        with ProcessPoolExecutor(n, initializer=site.addsitedir, initargs=(here,)) as pool:
            list(pool.map(run_batch, warm_up, [60] * n))
            seconds["processes"], _ = timed(
                f"process pool ({n} processes)",
                lambda: run_on_executor(pool, seeds, steps, batch, "processes", progress), reference, serial)
    if "dask" not in skip:
        with dask_client(n, args.scheduler) as client:
            if client is None:
                print("Dask is not installed (pip install 'tarnlet[ensemble]'): no cluster run")
            else:
                where = args.scheduler or f"LocalCluster, {n} workers"
                run_on_dask(client, [0] * n, 60, progress=False)
                seconds["Dask"], _ = timed(
                    f"Dask ({where})", lambda: run_on_dask(client, seeds, steps, batch, progress),
                    reference, serial)
    low, high = reference.min(axis=0), reference.max(axis=0)
    print("Over the ensemble:", ", ".join(f"{name} {lo:,.4g} to {hi:,.4g}"
                                         for name, lo, hi in zip(FIGURES, low, high)))
    if args.out:
        os.makedirs(args.out, exist_ok=True)
        draw(reference, seconds, os.path.join(args.out, "ensemble.png"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
