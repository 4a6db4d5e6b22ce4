"""The worked catchment as a model: what its compiled run costs per step,
against its blocks run one by one and its reference step loop; a year of it;
an ensemble of rain scenarios on the machine's cores.

Every figure is per one-minute step of the whole model (15 nodes: a soil
reservoir, three sewer storages, a first flush, two fractionations, a
combiner and their connectors), the best of several interleaved repeats
(thread CPU time where one thread runs, wall time for the ensemble):

compiled_ns_per_step    the model compiled, recording every block's outputs
                        every step into a reused array
blocks_ns_per_step      the same model's blocks run one by one with
                        tarnlet.runs on the same inputs (taken from a model
                        run), into reused out= arrays: the glue not counted
reference_ns_per_step   the model's reference step loop in Python
year_s, year_mb         a year of one-minute steps keeping ten entries every
                        15 minutes, and what that run kept (MB)
year_showers_s          the same year with a shower every eight days (see
                        year(): long dry spells leave subnormal states)
ensemble_s              1,000 scenarios of 50 days each (random showers),
ensemble_cores          on a thread pool of every core, keeping the plant
                        inflow and two levels every 15 minutes

    python -P benchmarks/bench_model.py [--json FILE] [--quick] [--scenarios N] [--days D]
"""
from __future__ import annotations

import argparse
import os
import pathlib
import sys
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "examples"))
import storm_event as se  # noqa: E402
from benchjson import write_json  # noqa: E402

from tarnlet import runs  # noqa: E402

TARGETS = {"compiled_over_blocks": 1.5, "year_s": 0.3, "year_mb": 10.0, "ensemble_s": 30.0}
BLOCK_OUTPUTS = ["soil", "chain[1]", "chain[2]", "chain[3]", "flush", "town_values", "industry_values", "plant"]
YEAR_RECORD = ["soil.h", "chain[1].h", "chain[3].Q", "chain[3].TSS", "flush.TSS", "plant.Q", "plant.TSS",
               "plant.T", "inlet.S_NH4", "mixed.Q"]


def cpu() -> float:
    return time.thread_time()


def best(fn, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        start = cpu()
        fn()
        times.append(cpu() - start)
    return min(times)


def model_and_inputs(steps: int):
    f = se.forcing(steps, None)
    m = se.build(f)
    inputs = ["soil.u", "chain[1].u", "flush.u", "town_loads", "industry_loads", "town", "industry"]
    got = m.run(record=inputs)
    def columns(label):
        return np.ascontiguousarray(got.y[:, [k for k, c in enumerate(got.columns) if c[0] == label]])
    x0 = m.steady_state()
    return m, {label: columns(label) for label in inputs}, x0


def blocks_run(inputs, x0, steps):
    """The model's blocks, each over the series of its inputs, into reused arrays."""
    soil_u, chain_u, flush_u = inputs["soil.u"], inputs["chain[1].u"], inputs["flush.u"]
    outs = {
        "soil": (np.empty((1, 1)), np.empty((steps, 4))),
        "chain": (np.empty((1, 3, 24)), np.empty((steps, 3, 27))),
        "flush": (np.empty((1, 6)), np.empty((steps, 13))),
        "town": np.empty((steps, 54)), "industry": np.empty((steps, 54)), "plant": np.empty((steps, 56)),
    }

    def run():
        runs.loamtank_run(x0["soil"], soil_u, se.SOIL_PAR, se.DT, states="last", out=outs["soil"])
        runs.sewer_chain_run(x0["chain"], chain_u, se.SEWER_PARS, se.SPARS, se.DT, states="last",
                             out=outs["chain"])
        runs.sedlift_run(x0["flush"], flush_u, se.SSPARS, se.DT, states="last", out=outs["flush"])
        for name in ("town", "industry"):
            runs.fractionation_run(inputs[f"{name}_loads"], se.FRAC_PARS, se.FRACTIONS, se.BACKGROUND,
                                   out=outs[name])
        runs.combiner_run(inputs["town"], inputs["industry"], out=outs["plant"])
    return run


def measure(steps: int, repeats: int, reference_steps: int):
    m, inputs, x0 = model_and_inputs(steps)
    records = m.run(1, record=BLOCK_OUTPUTS)
    out = np.empty((steps, len(records.columns)))
    compiled = lambda: m.run(record=BLOCK_OUTPUTS, out=out)  # noqa: E731
    blocks = blocks_run(inputs, x0, steps)
    t_compiled, t_blocks = [], []
    for _ in range(repeats):  # interleaved
        t_compiled.append(best(compiled, 1))
        t_blocks.append(best(blocks, 1))
    short = se.build(se.forcing(reference_steps, None))
    start = cpu()
    with np.errstate(all="ignore"):
        short.reference_run(record=BLOCK_OUTPUTS)
    t_reference = cpu() - start
    return {"compiled_ns_per_step": min(t_compiled) / steps * 1e9,
            "blocks_ns_per_step": min(t_blocks) / steps * 1e9,
            "reference_ns_per_step": t_reference / reference_steps * 1e9}


def year(repeats: int):
    """A year of the worked forcing (its one shower, then dry weather), and
    the same year with a shower every eight days or so: after some twelve
    dry days the runoff and drainage tracers in the storages decay into
    subnormal numbers, where they stay (a subnormal's decrement rounds to
    nothing), and every step with subnormal operands costs the processor
    microcode assists; the showers keep them refreshed."""
    steps = 525_600
    m = se.build(se.forcing(steps, None))
    m.check()
    showers = m.with_values({"soil_in": rain_scenario(7, steps, per_day=1 / 8)})
    times, wet, kept = [], [], None
    for _ in range(repeats):  # interleaved
        start = time.perf_counter()
        result = m.run(record=YEAR_RECORD, every=15)
        times.append(time.perf_counter() - start)
        start = time.perf_counter()
        showers.run(record=YEAR_RECORD, every=15)
        wet.append(time.perf_counter() - start)
        kept = result.y.nbytes + sum(v.nbytes for v in result.final.values())
    tiny = np.finfo(np.float64).tiny
    stuck = sum(int(np.sum((v != 0) & (np.abs(v) < tiny))) for v in result.final.values())
    return {"year_s": min(times), "year_mb": kept / 1e6, "year_rows": int(result.y.shape[0]),
            "year_subnormal_states": stuck, "year_showers_s": min(wet)}


def rain_scenario(seed: int, steps: int, per_day: float = 6 / 50) -> np.ndarray:
    """Random showers, `per_day` of them a day on average (at least one)."""
    rng = np.random.default_rng(seed)
    t = np.arange(steps) * se.DT
    rain = np.zeros(steps)
    for _ in range(rng.poisson(per_day * steps * se.DT) + 1):
        start, hours, peak = rng.uniform(0.0, t[-1]), rng.uniform(0.5, 6.0), rng.uniform(2.0, 20.0)
        s = (t - start) * 24.0 / hours
        inside = (s > 0.0) & (s < 1.0)
        rain[inside] += peak * np.sin(np.pi * s[inside])
    return np.column_stack((rain * (se.MM_H * se.SOIL_PAR[se.LOAMTANK.par.A]), np.full(steps, se.RECHARGE)))


def ensemble(scenarios: int, days: float):
    steps = int(round(days * 1440))
    m = se.build(se.forcing(steps, None))
    m.check()
    inputs = ({"soil_in": rain_scenario(seed, steps)} for seed in range(scenarios))  # made as the runs go
    cores = os.cpu_count() or 1
    start = time.perf_counter()
    results = m.ensemble(inputs, record=["plant.Q", "chain[1].h", "chain[3].h"], every=15, threads=cores)
    elapsed = time.perf_counter() - start
    last = {"soil_in": rain_scenario(scenarios - 1, steps)}
    serial = m.with_values(last).run(record=["plant.Q", "chain[1].h", "chain[3].h"], every=15)
    equal = serial.y.tobytes() == results[-1].y.tobytes()
    return {"ensemble_s": elapsed, "ensemble_cores": cores, "ensemble_scenarios": scenarios,
            "ensemble_days": days, "ensemble_equal_to_serial": equal,
            "ensemble_ns_per_step": elapsed * cores / (scenarios * steps) * 1e9}


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--json", help="write the figures to this file")
    ap.add_argument("--quick", action="store_true", help="short runs, rough figures")
    ap.add_argument("--scenarios", type=int, default=1000)
    ap.add_argument("--days", type=float, default=50.0)
    args = ap.parse_args(argv)
    steps = 20_000 if args.quick else 100_000
    figures = measure(steps, 3 if args.quick else 7, 200 if args.quick else 2000)
    figures.update(year(1 if args.quick else 3))
    figures.update(ensemble(20 if args.quick else args.scenarios, 2.0 if args.quick else args.days))
    figures["compiled_over_blocks"] = figures["compiled_ns_per_step"] / figures["blocks_ns_per_step"]
    print(f"compiled {figures['compiled_ns_per_step']:.0f} ns/step, blocks {figures['blocks_ns_per_step']:.0f} "
          f"ns/step ({figures['compiled_over_blocks']:.2f}x, target <= {TARGETS['compiled_over_blocks']}), "
          f"reference {figures['reference_ns_per_step']:.0f} ns/step")
    print(f"a year: {figures['year_s']:.3f} s (target <= {TARGETS['year_s']}), kept {figures['year_mb']:.2f} MB "
          f"(target <= {TARGETS['year_mb']}); {figures['year_subnormal_states']} states end subnormal; "
          f"with a shower every 8 days {figures['year_showers_s']:.3f} s")
    print(f"ensemble: {figures['ensemble_scenarios']} scenarios of {figures['ensemble_days']} days in "
          f"{figures['ensemble_s']:.1f} s on {figures['ensemble_cores']} cores (target <= {TARGETS['ensemble_s']} s "
          f"for 1,000 of 50 days); equal to serial: {figures['ensemble_equal_to_serial']}")
    if args.json:
        write_json(args.json, figures)
    return 0 if figures["ensemble_equal_to_serial"] else 1


if __name__ == "__main__":
    sys.exit(main())
