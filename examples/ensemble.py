"""An ensemble of rain scenarios: each a soil reservoir feeding a chain of
three sewer storages, run as whole series with tarnlet.runs. Runs the
ensemble serially, then on a thread pool over all cores (the runs release
the interpreter lock), and, when Dask is installed, on a Dask LocalCluster:
the route for ensembles larger than one machine.

    python -P examples/ensemble.py [--scenarios 100] [--days 2]
"""
import argparse
import os
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from tarnlet import runs

DT = 1 / 1440
PAR = np.array([0.10, 0.02, 1.2e5, 0.12, 15000.0, 5000.0])
PARS = np.zeros(25)
PARS[19:25] = [0.75, 0.75, 0.9, 3.23, 0.6, 1.0]
SPAR = np.array([[300.0, 11000.0, 0.1], [400.0, 9000.0, 0.1], [500.0, 8000.0, 0.15]])
SEWAGE = np.zeros(27)
SEWAGE[[1, 3, 9, 10, 11]] = [30.0, 16.0, 25.0, 125.0, 30.0]


def rain_series(seed, steps):
    """A random shower: start, length and intensity drawn per scenario."""
    rng = np.random.default_rng(seed)
    start, length = rng.integers(0, steps // 2), rng.integers(30, 360)
    rain = np.zeros(steps)
    rain[start:start + length] = rng.uniform(0.05, 0.5) * PAR[2]  # m/d over the area
    return np.column_stack([rain, np.zeros(steps)])


def scenario(seed, steps):
    """Peak outflow of the last storage for one rain scenario."""
    _, soil = runs.loamtank_run([0.0205], rain_series(seed, steps), PAR, DT)
    t = np.arange(steps) * DT
    u = np.tile(SEWAGE, (steps, 1))
    u[:, 19] = 4000.0 * (1 + 0.4 * np.sin(2 * np.pi * (t - 0.3))) + soil[:, 0] + soil[:, 1]
    x0 = np.tile(np.r_[SEWAGE[:18] * 30.0, SEWAGE[21:26] * 30.0, 0.1], (3, 1))
    _, y = runs.sewer_chain_run(x0, u, PARS, SPAR, DT)
    return float(y[:, 2, 19].max())


def timed(label, run):
    start = time.perf_counter()
    peaks = run()
    seconds = time.perf_counter() - start
    print(f"{label:32s} {seconds:6.2f} s")
    return seconds, peaks


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scenarios", type=int, default=100)
    parser.add_argument("--days", type=float, default=2.0)
    args = parser.parse_args(argv)
    steps, seeds = int(args.days * 1440), range(args.scenarios)
    cores = os.cpu_count() or 1
    print(f"{args.scenarios} scenarios of {steps} one-minute steps, {cores} cores")

    serial, peaks = timed("serial", lambda: [scenario(s, steps) for s in seeds])
    with ThreadPoolExecutor(cores) as pool:
        threaded, peaks_t = timed(f"thread pool ({cores} threads)",
                                  lambda: list(pool.map(scenario, seeds, [steps] * len(seeds))))
    assert peaks_t == peaks
    print(f"thread-pool speed-up {serial / threaded:.2f}x on {cores} cores")
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        print("Dask not installed (pip install 'dask[distributed]'): skipping the cluster run")
    else:
        with LocalCluster(processes=False, n_workers=1, threads_per_worker=cores) as cluster, \
                Client(cluster) as client:
            distributed, peaks_d = timed("Dask LocalCluster", lambda: client.gather(
                client.map(scenario, list(seeds), steps=steps, pure=False)))
        assert peaks_d == peaks
        print(f"Dask speed-up {serial / distributed:.2f}x")
    print(f"peak outflow of the last storage: {min(peaks):,.0f} to {max(peaks):,.0f} m3/d")


if __name__ == "__main__":
    main()
