"""Whole runs against the kernel floor, the Python loop and a Numba peer.

Per block (sewer, sedlift, loamtank, fractionation, combiner) and for a chain
of three sewer storages: ns per storage step (per row for the stream blocks)
of tarnlet.runs with fresh results, into reused out= arrays, with the
recording options (a few output indices, every=15, states="last"), of the
Python loop over the block's module (outputs and euler_step per step), and of
a Numba @njit loop a user would otherwise write (the same arithmetic in the
same order; skipped when numba is not installed). Every route is first
checked bit for bit against the Python loop on a short series.

Then the year: 525,600 one-minute steps of the three-storage chain keeping
Q, TSS and the level (record=(19, 18, 26)) every 15 minutes with
states="last", fresh and into reused arrays, against the kernel floor and
the Numba peer with the same recording.

The kernel floor comes from the compiled benchmark (meson setup build/bench
-Dbenchmarks=true; ninja -C build/bench benchmarks/kernel_floor; or
tools/bench.sh, which does all of this), run between the
timings of each round; without it the ratios to the floor are left out.

    python -P benchmarks/bench_runs.py [--kernel-floor PATH] [--repeats N] [--quick] [--json FILE]
"""
from __future__ import annotations

import argparse
import csv
import importlib
import io
import math
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

from tarnlet import _registry, runs

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from benchjson import write_json  # noqa: E402

DT = 1 / 1440  # one minute, in days
EVERY = 15
YEAR = 525_600
YEAR_RECORD = (19, 18, 26)  # Q, TSS, level
CHAIN = 3
TARGETS = {"reused_over_floor": 1.3, "year_over_floor": 1.5, "run_over_numba": 1.0}

# ---- the README's quick-start values, with a daily cycle of the flow --------

PARS = np.zeros(25)
PARS[19:25] = [0.75, 0.75, 0.9, 3.23, 0.6, 1.0]
SPAR = np.array([300.0, 11000.0, 0.1])
SEWAGE = np.zeros(27)
SEWAGE[[1, 3, 10]] = [30.0, 16.0, 125.0]
SSPARS = np.array([400e3, 10000.0, 6.0, 20.0])
FIRST_FLUSH = np.array([4000.0, 130.0, 25.0, 125.0, 30.0, 16.0, 3.6])
PAR = np.array([0.10, 0.02, 1.2e5, 0.12, 15000.0, 5000.0])
FRACTIONS = np.array([0.6, 0.4, 10.0, 1.0, 1.0, 1.0, 0.25, 0.6, 0.15])
FRAC_PARS = np.zeros(156)
FRAC_PARS[[28, 29, 30]] = [0.75, 0.75, 0.9]
BACKGROUND = np.zeros(44)


def dry_weather(steps: int) -> np.ndarray:
    t = np.arange(steps) * DT
    return 4000.0 * (1 + 0.4 * np.sin(2 * np.pi * (t - 0.3)))


def sewer_series(steps: int) -> np.ndarray:
    u = np.tile(SEWAGE, (steps, 1))
    u[:, 19] = dry_weather(steps)
    return u


def sewer_x0() -> np.ndarray:
    volume = 0.6 * SPAR[0]  # near the level where the weir passes 4000 m3/d
    return np.r_[SEWAGE[:18] * volume, SEWAGE[21:26] * volume, 0.6]


def sedlift_series(steps: int) -> np.ndarray:
    u = np.tile(FIRST_FLUSH, (steps, 1))
    u[:, 0] = dry_weather(steps)
    return u


def loamtank_series(steps: int) -> np.ndarray:
    t = np.arange(steps) * DT
    rain = np.where((t % 1 > 0.6) & (t % 1 < 0.65), 0.24 * PAR[2], 0.0)
    return np.column_stack([rain, np.full(steps, 50.0)])


def fractionation_series(steps: int) -> np.ndarray:
    q = dry_weather(steps)
    loads = np.array([50, 125, 16, 3.6, 5, 30, 55, 0, 0, 0])
    return np.column_stack([q[:, None] * loads, np.full(steps, 4000.0), q])


def streams(steps: int) -> tuple[np.ndarray, np.ndarray]:
    u = fractionation_series(steps)
    values = runs.fractionation_run(u, FRAC_PARS, FRACTIONS, BACKGROUND)
    town = np.column_stack([values[:, :37], u[:, 11], values[:, 37:], np.full(steps, 16.0)])
    industry = town[::-1].copy()
    industry[:, 37] = 500.0
    return town, industry


# ---- the cases --------------------------------------------------------------


@dataclass
class Case:
    name: str
    floor: str  # the kernel_floor row
    unit: str
    storages: int  # storage steps (or rows) per step
    record: tuple[int, ...]
    inputs: Callable[[int], tuple]  # the run's arguments for a series of n steps
    run: Callable  # tarnlet.runs function
    loop: Callable  # the Python loop over the module: inputs -> results
    numba: str | None = None  # name of the peer in build_numba()
    stateful: bool = True

    def recording(self):
        kw = {"record": self.record, "every": EVERY}
        if self.stateful:
            kw["states"] = "last"
        return kw


def state_space_loop(module):
    def loop(x0, u, *rest):
        *params, dt = rest
        x = module.initialize_state(x0)
        xs, ys = [x], []
        for row in u:
            ys.append(module.outputs(x, row, *params))
            x = module.euler_step(x, row, *params, dt)
            xs.append(x)
        return np.array(xs), np.array(ys)
    return loop


def chain_loop(module):
    def loop(x0, u, *rest):
        *params, dt = rest
        xs = [module.initialize_state(row) for row in x0]
        states, outputs = [np.array(xs)], []
        for row in u:
            y, kept = row, []
            for j in range(len(xs)):
                y_next = module.outputs(xs[j], y, *params)
                xs[j] = module.euler_step(xs[j], y, *params, dt)
                kept.append(y_next)
                y = y_next
            states.append(np.array(xs))
            outputs.append(np.array(kept))
        return np.array(states), np.array(outputs)
    return loop


def stream_loop(function, series):
    """Each row: the function on row t of every series argument."""
    def loop(*args):
        rows = len(next(a for a, s in zip(args, series) if s))
        return np.array([function(*(a[t] if s else a for a, s in zip(args, series))) for t in range(rows)])
    return loop


# Per block: its sample inputs for n steps, the outputs a year keeps and
# the name of its Numba peer; runs, loops and the chain come from the
# registry.
SAMPLES = {
    "sewer": (lambda n: (sewer_x0(), sewer_series(n), PARS, SPAR, DT), YEAR_RECORD),
    "sedlift": (lambda n: (np.zeros(6), sedlift_series(n), SSPARS, DT), (0, 1, 7)),
    "loamtank": (lambda n: (np.array([0.0205]), loamtank_series(n), PAR, DT), (0, 1)),
    "fractionation": (lambda n: (fractionation_series(n), FRAC_PARS, FRACTIONS, BACKGROUND), (36,)),
    "combiner": (lambda n: streams(n), (36, 37)),
}


def cases():
    out = []
    for block in _registry.blocks():
        if block.name not in SAMPLES:
            raise SystemExit(f"bench_runs.py has no sample inputs for the block {block.name!r}: add them to SAMPLES")
        inputs, record = SAMPLES[block.name]
        module = importlib.import_module(block.module)
        for run in block.runs:
            fn = getattr(runs, run.name)
            if not block.has_state:
                function = getattr(module, block.functions[0].name)
                series = [any(c.kind == "columns" for c in run.checks_of(p)) for p in block.parameters]
                out.append(Case(block.name, block.name, "row", 1, record, inputs, fn,
                                stream_loop(function, series), block.name, stateful=False))
            elif run.chain:
                def chained(n, inputs=inputs):
                    x0, *rest = inputs(n)
                    return (np.tile(x0, (CHAIN, 1)), *rest)
                out.append(Case(f"{block.name} chain ({CHAIN})", f"{block.name}_chain", "storage step", CHAIN,
                                record, chained, fn, chain_loop(module), "chain"))
            else:
                out.append(Case(block.name, block.name, "storage step", 1, record, inputs, fn,
                                state_space_loop(module), block.name))
    return out


CASES = cases()


# ---- the Numba peers ----------------------------------------------------------


def build_numba():
    """Loops a user would write with Numba: one inline helper per block step,
    the block's arithmetic in the kernels' order, results in arrays the
    caller passes (fresh or reused). The comparisons are the kernels' own
    (min and max would treat a NaN otherwise)."""
    try:
        import numba
    except ImportError:
        return None
    inline = numba.njit(inline="always")
    njit = numba.njit

    @inline
    def sewer_step(x, u, pars, spar, dt, y, x_next):
        h = spar[2] if spar[2] > x[23] else x[23]
        v = h * spar[0]
        q_out = (h - spar[2]) ** 1.5 * spar[1]
        for i in range(18):
            y[i] = x[i] / v
        solids = pars[19] * x[9]
        solids = solids + pars[20] * x[10]
        solids = solids + pars[21] * x[11]
        solids = solids + pars[21] * x[12]
        solids = solids + pars[22] * x[13]
        solids = solids + pars[23] * x[14]
        solids = solids + pars[21] * x[15]
        solids = solids + pars[24] * x[16]
        solids = solids + pars[24] * x[17]
        y[18] = solids / v
        y[19] = q_out
        y[20] = u[20]
        for k in range(5):
            y[21 + k] = x[18 + k] / v
        y[26] = h
        q_in = u[19]
        for i in range(18):
            x_next[i] = x[i] + dt * (q_in * u[i] - (q_out * x[i]) / v)
        for k in range(5):
            x_next[18 + k] = x[18 + k] + dt * (q_in * u[21 + k] - (q_out * x[18 + k]) / v)
        x_next[23] = x[23] + dt * ((q_in - q_out) / spar[0])

    @inline
    def clamp01(v):
        return 0.0 if v < 0.0 else (1.0 if v > 1.0 else v)

    @inline
    def sedlift_step(x, u, p, dt, y, x_next):
        g = (u[0] / 10000) ** p[2]
        f = g / ((p[1] / 10000) ** p[2] + g)
        q = u[0]
        qs = q if q > 1e-12 else 1e-12
        x0 = 0.0 if x[0] < 0.0 else x[0]
        t = clamp01(x0 / p[0] if p[0] > 1e-12 else 0.0)
        y[0] = q
        for k in range(1, 7):
            xc = 0.0 if x[k - 1] < 0.0 else x[k - 1]
            y[k] = ((xc * f) * p[3]) / qs + t * u[k]
        y[7] = x0
        for k in range(8, 13):
            y[k] = (0.0 if x[k - 7] < 0.0 else x[k - 7]) / 1000
        h = clamp01(1 - x[0] / p[0] if p[0] > 1e-12 else 1.0)
        for i in range(6):
            x_next[i] = x[i] + dt * ((q * u[i + 1]) * h - (f * x[i]) * p[3])

    @inline
    def loamtank_step(x, u, par, dt, y, x_next):
        y[0] = 0.0 if par[1] > x[0] else np.sqrt(x[0] - par[1]) * par[4]
        cap = par[3] * par[2]
        y[1] = 0.0 if cap > u[0] else u[0] - cap
        y[2] = par[5] * x[0]
        y[3] = x[0]
        h = 0.0 if 0.0 > x[0] else x[0]
        cap = par[2] * par[3]
        q_in = cap if cap < u[0] else u[0]
        q_drain = np.sqrt(h - par[1] if h > par[1] else 0.0) * par[4]
        q_2 = 0.0 if h >= par[0] else u[1]
        s = ((q_in + q_2) - q_drain) - par[5] * h
        x_next[0] = x[0] + dt * (s * (1.0 / par[2]))

    @njit
    def sewer_loop(x0, u, pars, spar, dt, xs, ys):
        xs[0] = x0
        for t in range(u.shape[0]):
            sewer_step(xs[t], u[t], pars, spar, dt, ys[t], xs[t + 1])

    @njit
    def sedlift_loop(x0, u, p, dt, xs, ys):
        xs[0] = x0
        for t in range(u.shape[0]):
            sedlift_step(xs[t], u[t], p, dt, ys[t], xs[t + 1])

    @njit
    def loamtank_loop(x0, u, par, dt, xs, ys):
        xs[0] = x0
        for t in range(u.shape[0]):
            loamtank_step(xs[t], u[t], par, dt, ys[t], xs[t + 1])

    @njit
    def chain_loop(x0, u, pars, spar, dt, xs, ys):
        xs[0] = x0
        for t in range(u.shape[0]):
            sewer_step(xs[t, 0], u[t], pars, spar, dt, ys[t, 0], xs[t + 1, 0])
            for j in range(1, x0.shape[0]):
                sewer_step(xs[t, j], ys[t, j - 1], pars, spar, dt, ys[t, j], xs[t + 1, j])

    @njit
    def chain_recording(x0, u, pars, spar, dt, record, every, last, kept):
        """The chain keeping outputs `record` of every storage every
        `every` steps and only the last states."""
        n = x0.shape[0]
        roll = np.empty((2, n, 24))
        roll[0] = x0
        y = np.empty((n, 27))
        for t in range(u.shape[0]):
            a, b = roll[t & 1], roll[(t + 1) & 1]
            sewer_step(a[0], u[t], pars, spar, dt, y[0], b[0])
            for j in range(1, n):
                sewer_step(a[j], y[j - 1], pars, spar, dt, y[j], b[j])
            if t % every == 0:
                for j in range(n):
                    for i in range(record.shape[0]):
                        kept[t // every, j, i] = y[j, record[i]]
        last[0] = roll[u.shape[0] & 1]

    @inline
    def fractionation_row(u, pars, fr, bg, y):
        qd = u[11] if u[11] > 1e-12 else 1e-12
        excess = u[11] - u[10]
        qx = 0.0 if excess < 0 else excess
        l0, l1, l2 = u[5] + u[0], u[6] + u[1], u[7] + u[2]
        l3, l4 = u[8] + u[3], u[9] + u[4]
        a = qx * fr[2]
        if l0 >= a:
            r = l0 - a
            y[1] = (r * fr[0]) / qd
            y[2] = (r * fr[1]) / qd
            y[3] = a / qd
        else:
            y[1] = 0.0
            y[2] = 0.0
            y[3] = l0 / qd
        y[4] = (fr[3] * l2) / qd
        y[9] = (fr[4] * l3) / qd
        y[11] = (fr[5] * l4) / qd
        y[13] = (fr[6] * l1) / qd
        y[14] = (fr[7] * l1) / qd
        y[15] = (fr[8] * l1) / qd
        y[0] = bg[0]
        y[5:9] = bg[1:5]
        y[10] = bg[5]
        y[12] = bg[6]
        y[16:36] = bg[7:27]
        y[37:54] = bg[27:44]
        s1 = y[29] + y[27] + y[30] + y[31] + y[32] + y[33] + y[34] + y[35]
        p = pars[30] * (y[15] + y[16] + y[19] + y[20] + y[28] + y[50])
        i = (p + (pars[28] * y[13] + pars[29] * y[14])) + pars[155] * y[17]
        if pars[154] > 1e-12:
            i = i + y[18] / pars[154]
        s = ((((s1 + i) + (y[41] + y[40] + y[42] + y[43] + y[44]))
              + (y[47] + y[45] + y[48] + y[49])) + (y[52] + y[51] + y[53]))
        y[36] = 0.0 if s < 0 else s

    @njit
    def fractionation_loop(u, pars, fr, bg, ys):
        for t in range(u.shape[0]):
            fractionation_row(u[t], pars, fr, bg, ys[t])

    @njit
    def combiner_loop(a, b, ys):
        for t in range(a.shape[0]):
            qa, qb = a[t, 37], b[t, 37]
            q = qb + qa
            for i in range(56):
                if i == 37:
                    ys[t, i] = q
                elif q <= 1e-12:
                    ys[t, i] = 0.0
                else:
                    ys[t, i] = (qb * b[t, i] + qa * a[t, i]) / q

    return {"sewer": sewer_loop, "sedlift": sedlift_loop, "loamtank": loamtank_loop,
            "chain": chain_loop, "chain_recording": chain_recording,
            "fractionation": fractionation_loop, "combiner": combiner_loop,
            "version": numba.__version__}


# ---- routes: each a callable that runs the case once ---------------------------


def fresh_like(results):
    if isinstance(results, tuple):
        return tuple(np.empty_like(r) for r in results)
    return np.empty_like(results)


def numba_route(case, peer, args, template):
    """The Numba loop into fresh arrays shaped as the run's `template`
    results, or into `out`."""
    def call(out=None):
        if out is None:
            out = tuple(np.empty_like(r) for r in _as_tuple(template))
        peer(*args, *out)
        return out if case.stateful else out[0]
    return call


def _as_tuple(r):
    return r if isinstance(r, tuple) else (r,)


def routes(case, steps, peers):
    args = case.inputs(steps)
    template = case.run(*args)
    out = fresh_like(template)
    table = {
        "run, fresh results": lambda: case.run(*args),
        "run into reused out=": lambda: case.run(*args, out=out),
        "run, recording options": lambda: case.run(*args, **case.recording()),
    }
    if peers is not None:
        peer = numba_route(case, peers[case.numba], args, template)
        numba_out = tuple(np.empty_like(r) for r in _as_tuple(out))
        table["Numba, fresh results"] = peer
        table["Numba into reused arrays"] = lambda: peer(numba_out)
    return table


# ---- bit-equality with the Python loop -------------------------------------------


def same_bits(a, b) -> bool:
    a, b = _as_tuple(a), _as_tuple(b)
    return len(a) == len(b) and all(
        x.shape == y.shape and np.ascontiguousarray(x).tobytes() == np.ascontiguousarray(y).tobytes()
        for x, y in zip(a, b))


def kept(case, full):
    """What the recording options keep of the loop's full results."""
    if not case.stateful:
        return full[::EVERY][..., list(case.record)]
    states, outputs = full
    return states[-1:], outputs[::EVERY][..., list(case.record)]


def check_bits(case, peers, steps=301) -> dict[str, bool]:
    args = case.inputs(steps)
    reference = case.loop(*args)
    found = {}
    for name, route in routes(case, steps, peers).items():
        result = route()
        expected = kept(case, reference) if "recording" in name else reference
        found[name] = same_bits(result, expected)
    return found


# ---- timing -----------------------------------------------------------------------


def calls_for(route, seconds=0.02) -> int:
    start = clock()
    route()
    once = clock() - start
    return max(1, math.ceil(seconds / max(once, 1e-7)))


# The time this thread ran (on a shared machine, the time it waited for a
# core is left out), or the wall clock with --wall; kernel_floor likewise.
clock = time.thread_time


def interleaved(timed: dict[str, tuple[Callable, int]], repeats: int,
                between: Callable[[], None] | None = None) -> dict[str, list[float]]:
    """Seconds per call of each route, the routes taking turns in every round."""
    found = {name: [] for name in timed}
    for _ in range(repeats):
        for name, (route, number) in timed.items():
            start = clock()
            for _ in range(number):
                route()
            found[name].append((clock() - start) / number)
        if between:
            between()
    return found


class Floor:
    """The kernel-floor benchmark, run once per round; ns per step by block."""

    def __init__(self, path: pathlib.Path | None, scale: float, wall: bool):
        self.path, self.scale, self.wall = path, scale, wall
        self.samples: dict[str, list[float]] = {}

    def __call__(self, only: str | None = None) -> None:
        if not self.path:
            return
        command = [str(self.path), "--csv", "--repeats", "3", "--scale", str(self.scale)]
        if only:
            command += ["--only", only]
        if self.wall:
            command.append("--wall")
        text = subprocess.run(command, check=True, capture_output=True, text=True).stdout
        for row in csv.DictReader(io.StringIO(text)):
            if row["finite"] != "1":
                raise RuntimeError(f"kernel floor of {row['block']} is not finite")
            self.samples.setdefault(row["block"], []).append(float(row["median_ns"]))

    def ns(self, block: str) -> float | None:
        s = self.samples.get(block)
        return statistics.median(s) if s else None


def measure_case(case, peers, floor, steps, loop_steps, repeats):
    timed = {name: (route, calls_for(route)) for name, route in
             routes(case, steps, peers).items()}
    loop_args = case.inputs(loop_steps)
    timed["Python loop over the module"] = (lambda: case.loop(*loop_args), 1)
    samples = interleaved(timed, repeats, lambda: floor(case.floor))
    result = {}
    for name, seconds in samples.items():
        n = loop_steps if name.startswith("Python") else steps
        result[name] = statistics.median(seconds) * 1e9 / (n * case.storages)
    return result


def measure_year(peers, floor, repeats):
    x0 = np.tile(sewer_x0(), (CHAIN, 1))
    u = sewer_series(YEAR)
    options = {"record": YEAR_RECORD, "every": EVERY, "states": "last"}
    fresh = runs.sewer_chain_run(x0, u, PARS, SPAR, DT, **options)
    out = fresh_like(fresh)
    timed = {
        "run, recording options, fresh": (
            lambda: runs.sewer_chain_run(x0, u, PARS, SPAR, DT, **options), 1),
        "run, recording options, into reused out=": (
            lambda: runs.sewer_chain_run(x0, u, PARS, SPAR, DT, **options, out=out), 1),
    }
    equal = {}
    if peers is not None:
        record = np.array(YEAR_RECORD, dtype=np.intp)
        last = np.empty_like(fresh[0])
        kept_rows = np.empty_like(fresh[1])

        def numba_year(fresh_arrays=True):
            s = np.empty_like(fresh[0]) if fresh_arrays else last
            k = np.empty_like(fresh[1]) if fresh_arrays else kept_rows
            peers["chain_recording"](x0, u, PARS, SPAR, DT, record, EVERY, s, k)
            return s, k
        equal["Numba peer with the same recording"] = same_bits(numba_year(), fresh)
        timed["Numba, same recording, fresh"] = (numba_year, 1)
        timed["Numba, same recording, into reused arrays"] = (lambda: numba_year(False), 1)
    samples = interleaved(timed, repeats, lambda: floor("sewer_chain"))
    ns = {name: statistics.median(s) * 1e9 / (YEAR * CHAIN) for name, s in samples.items()}
    returned = sum(a.nbytes for a in fresh)
    return ns, returned, equal


# ---- report -------------------------------------------------------------------------


def machine(peers) -> str:
    model = "unknown"
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        model = platform.processor() or "unknown"
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    numba = peers["version"] if peers else "not installed"
    return (f"{model}, {cores} cores available; CPython {platform.python_version()}, "
            f"NumPy {np.__version__}, Numba {numba}, {platform.system()} {platform.machine()}")


def ratio(a, b):
    return f"{a / b:.2f}" if a and b else "-"


def print_cases(results, floor):
    routes_order = ["run, fresh results", "run into reused out=", "run, recording options",
                    "Numba, fresh results", "Numba into reused arrays",
                    "Python loop over the module"]
    print("\nns per storage step (per row for the stream blocks); x floor in brackets")
    print("| block | kernel floor | " + " | ".join(routes_order) + " |")
    print("|---|---:|" + "---:|" * len(routes_order))
    for case in CASES:
        r = results[case.name]
        f = floor.ns(case.floor)
        cells = []
        for name in routes_order:
            if name not in r["ns"]:
                cells.append("-")
                continue
            v = r["ns"][name]
            cells.append(f"{v:,.1f} ({v / f:.2f}x)" if f else f"{v:,.1f}")
        print(f"| {case.name} | {f:.1f} | " if f else f"| {case.name} | - | ", end="")
        print(" | ".join(cells) + " |")


def verdicts(results, year, floor):
    """Each target with its measured figure."""
    lines = []
    for case in CASES:
        ns = results[case.name]["ns"]
        f = floor.ns(case.floor)
        if f:
            v = ns["run into reused out="] / f
            lines.append(((f"{case.name}: into reused out= {v:.2f}x the floor "
                           f"(target <= {TARGETS['reused_over_floor']})"),
                          v <= TARGETS["reused_over_floor"]))
        if "Numba, fresh results" in ns:
            for ours, theirs in (("run, fresh results", "Numba, fresh results"),
                                 ("run into reused out=", "Numba into reused arrays")):
                v = ns[ours] / ns[theirs]
                lines.append((f"{case.name}: {ours} / {theirs} = {v:.2f} (target <= 1)", v <= 1.0))
    ns, returned, _ = year
    f = floor.ns("sewer_chain")
    lines.append((f"year: {returned / 1e6:.2f} MB returned (target < 10 MB)", returned < 10e6))
    if f:
        v = ns["run, recording options, fresh"] / f
        lines.append(((f"year, recording options: {v:.2f}x the floor "
                       f"(target <= {TARGETS['year_over_floor']})"),
                      v <= TARGETS["year_over_floor"]))
        v = ns["run, recording options, into reused out="] / f
        lines.append(((f"year, recording options into reused out=: {v:.2f}x the floor "
                       f"(target <= {TARGETS['reused_over_floor']})"),
                      v <= TARGETS["reused_over_floor"]))
    if "Numba, same recording, fresh" in ns:
        v = ns["run, recording options, fresh"] / ns["Numba, same recording, fresh"]
        lines.append((f"year: run / Numba peer = {v:.2f} (target <= 1)", v <= 1.0))
    return lines


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    root = pathlib.Path(__file__).resolve().parent.parent
    parser.add_argument("--kernel-floor", type=pathlib.Path,
                        default=root / "build" / "bench" / "benchmarks" / "kernel_floor",
                        help="the compiled kernel-floor benchmark (default: %(default)s)")
    parser.add_argument("--steps", type=int, default=20_000, help="steps of each run")
    parser.add_argument("--loop-steps", type=int, default=2_000,
                        help="steps of the Python loop")
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--quick", action="store_true", help="fewer steps and repeats")
    parser.add_argument("--no-numba", action="store_true", help="leave the Numba peer out")
    parser.add_argument("--no-year", action="store_true", help="leave the year out")
    parser.add_argument("--wall", action="store_true",
                        help="time by the wall clock, not by the time the thread ran")
    parser.add_argument("--bits-only", action="store_true",
                        help="only check every route bit for bit against the Python loop")
    parser.add_argument("--json", help="write the figures to this file")
    args = parser.parse_args(argv)
    global clock
    clock = time.perf_counter if args.wall else time.thread_time
    if args.quick:
        args.steps, args.loop_steps, args.repeats = 5_000, 300, 3
    floor_path = args.kernel_floor if args.kernel_floor.exists() else None
    floor = Floor(floor_path, 0.1, args.wall)
    peers = None if args.no_numba else build_numba()

    print(machine(peers))
    if floor_path is None:
        print(f"kernel floor not found at {args.kernel_floor}: build it with "
              "meson setup build/bench -Dbenchmarks=true && "
              "ninja -C build/bench benchmarks/kernel_floor")

    results, all_equal = {}, True
    for case in CASES:
        equal = check_bits(case, peers)
        all_equal &= all(equal.values())
        bad = [name for name, ok in equal.items() if not ok]
        print(f"{case.name}: bit-equal to the Python loop: "
              + ("all routes" if not bad else "NOT " + ", ".join(bad)))
        results[case.name] = {"equal": equal}
    if args.bits_only:
        return 0 if all_equal else 1
    for case in CASES:
        results[case.name]["ns"] = measure_case(case, peers, floor, args.steps,
                                                args.loop_steps, args.repeats)
    print(f"\n{args.steps:,} steps per run, {args.loop_steps:,} per Python loop, "
          f"medians of {args.repeats} interleaved repeats, "
          f"{'wall' if args.wall else 'thread CPU'} time")
    print_cases(results, floor)

    year = None
    if not args.no_year:
        year = measure_year(peers, floor, max(3, args.repeats // 2))
        ns, returned, equal = year
        for name, ok in equal.items():
            all_equal &= ok
            print(f"\nyear: {name} bit-equal to the run: {ok}")
        f = floor.ns("sewer_chain")
        print(f"\nthe year: {YEAR:,} one-minute steps of {CHAIN} storages, record={YEAR_RECORD}, "
              f"every={EVERY}, states='last': {returned:,} bytes returned")
        print("| route | ns per storage step | x floor | one year, s |")
        print("|---|---:|---:|---:|")
        for name, v in ns.items():
            print(f"| {name} | {v:.1f} | {ratio(v, f)} | {v * YEAR * CHAIN / 1e9:.3f} |")
        print(f"| kernel floor (chain) | {f:.1f} | 1.00 | {f * YEAR * CHAIN / 1e9:.3f} |"
              if f else "| kernel floor (chain) | - | - | - |")
        print("\ntargets:")
        for text, ok in verdicts(results, year, floor):
            print(f"  {'met   ' if ok else 'MISSED'} {text}")
    if args.json:
        write_json(args.json, {"machine": machine(peers), "cases": results,
                               "floor": {k: floor.ns(k) for k in floor.samples},
                               "year": None if year is None else {"ns": year[0], "bytes": year[1]}})
    return 0 if all_equal else 1


if __name__ == "__main__":
    sys.exit(main())
