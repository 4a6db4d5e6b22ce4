"""Per-call cost of every public function, beside the floor (one
np.empty of the result's length from Python) and the plain NumPy peer.

    python -P benchmarks/bench_calls.py [--json FILE] [--check]
"""
import argparse
import pathlib
import platform
import sys
import timeit

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import numpy_peer as peer  # noqa: E402
from benchjson import write_json  # noqa: E402

MAX_OVER_FLOOR = 1.5
MIN_OVER_PEER = 10.0

rng = np.random.default_rng(1)
v = lambda n, lo=0.5, hi=2.0: rng.uniform(lo, hi, n)  # noqa: E731

# Sample arguments of each block's functions, by block: the vectors its
# state-space functions take after x, or its stream function's, and a step.
SAMPLES = {
    "sewer": ((np.r_[v(23, 10, 20), 1.2], v(27), v(25), np.array([100.0, 5.0, 0.5])), 0.01),
    "sedlift": ((v(6, 10, 50), np.r_[2.0, v(6, 10, 50)], np.array([100.0, 1.0, 2.0, 0.25])), 0.01),
    "loamtank": ((np.array([1.5]), np.array([1.5, 4.0]), np.array([2.0, 0.5, 100.0, 0.01, 3.0, 0.2])), 0.5),
    "fractionation": ((v(12, 1, 10), v(156), v(9, 0, 1), v(44)), None),
    "combiner": ((v(56), v(56)), None),
}


def block_functions():
    """(block, module, function name, result length) of every public function,
    from the block registry; a build from before the registry is scanned."""
    try:
        from tarnlet import _registry
    except ImportError:  # an earlier build, timed beside this one by compare_calls.py
        import importlib
        old = {"sewer": "brookvane", "sedlift": "fenmoor", "loamtank": "brookvane",
               "fractionation": "sallowby", "combiner": "sallowby"}
        for block, package in old.items():
            module = importlib.import_module(f"tarnlet.{package}.{block}")
            names = ["compute"] if block == "fractionation" else ["combine"] if block == "combiner" else \
                ["initialize_state", "outputs", "derivatives", "euler_step"]
            for name in names:
                n = getattr(module, "NOUTPUTS", None) if name in ("outputs", "compute") else \
                    module.NSTATES
                yield block, module, name, n
        return
    import importlib
    for block in _registry.blocks():
        module = importlib.import_module(block.module)
        for f in block.functions:
            yield block.name, module, f.name, f.result


def case_args(block, name):
    args, step = SAMPLES[block]
    if name == "initialize_state":
        return args[:1]
    return args + (step,) if name == "euler_step" else args


# name, our function, the peer's, arguments, result length
CASES = [(f"{block}.{name}", getattr(module, name), getattr(getattr(peer, block), name),
          case_args(block, name), n) for block, module, name, n in block_functions()]
STEP_RATIO_ROUNDS = 30
MAX_STEP_RATIO = 1.35


def ns_per_call(fn, args, number, repeat=7):
    times = timeit.repeat(lambda: fn(*args), number=number, repeat=repeat)
    return sorted(times)[repeat // 2] / number * 1e9


def floor(n):
    return lambda: np.empty(n, dtype=np.float64)


def measure(quick=False):
    number = 5_000 if quick else 40_000
    rows = []
    for name, ours, theirs, args, n in CASES:
        a, b = ours(*args), theirs(*args)
        equal = "bits" if a.tobytes() == b.tobytes() else (
            "1e-12" if np.allclose(a, b, rtol=1e-12, atol=0) else "DIFFERENT")
        t_ours = ns_per_call(ours, args, number)
        t_floor = ns_per_call(floor(n), (), number)
        t_peer = ns_per_call(theirs, args, number // 10)
        rows.append({"function": name, "ours_ns": t_ours, "floor_ns": t_floor,
                     "ours_over_floor": t_ours / t_floor, "peer_ns": t_peer,
                     "peer_over_ours": t_peer / t_ours, "equal": equal,
                     "pass": t_ours / t_floor <= MAX_OVER_FLOOR and equal != "DIFFERENT"
                     and (name.endswith("initialize_state") or t_peer / t_ours >= MIN_OVER_PEER)})
    return rows


def step_ratios(quick=False):
    """Each euler_step's cost over its derivatives', the two timed in turn,
    round by round (the order alternating), minimum over the rounds: a
    neighbour's load falls on both alike."""
    number = 2_000 if quick else 10_000
    cases = {name: (fn, args) for name, fn, _, args, _ in CASES}
    rows = []
    for name in cases:
        if not name.endswith(".euler_step"):
            continue
        block = name.split(".")[0]
        pair = [cases[f"{block}.derivatives"], cases[name]]
        best = [float("inf"), float("inf")]
        for r in range(STEP_RATIO_ROUNDS // (3 if quick else 1)):
            for k in ((0, 1) if r % 2 == 0 else (1, 0)):
                fn, args = pair[k]
                best[k] = min(best[k], timeit.timeit(lambda fn=fn, args=args: fn(*args), number=number) / number * 1e9)
        rows.append({"block": block, "derivatives_ns": best[0], "euler_step_ns": best[1],
                     "ratio": best[1] / best[0], "pass": best[1] / best[0] <= MAX_STEP_RATIO})
    return rows


def table(rows):
    lines = ["| function | ours ns | floor ns | ours/floor | peer ns | peer/ours | equal | |",
             "|---|---:|---:|---:|---:|---:|---|---|"]
    for r in rows:
        lines.append(f"| {r['function']} | {r['ours_ns']:.0f} | {r['floor_ns']:.0f} | "
                     f"{r['ours_over_floor']:.2f} | {r['peer_ns']:.0f} | "
                     f"{r['peer_over_ours']:.1f} | {r['equal']} | "
                     f"{'PASS' if r['pass'] else 'FAIL'} |")
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", help="write the rows to this file")
    parser.add_argument("--check", action="store_true", help="exit 1 when a target is missed")
    parser.add_argument("--quick", action="store_true", help="fewer calls, rougher figures")
    args = parser.parse_args(argv)
    rows = measure(args.quick)
    ratios = step_ratios(args.quick)
    print(f"Python {platform.python_version()}, NumPy {np.__version__}, {platform.machine()}, "
          f"{platform.processor() or platform.platform()}")
    print(f"targets: ours/floor <= {MAX_OVER_FLOOR}, peer/ours >= {MIN_OVER_PEER} "
          "(not for initialize_state: a copy, whose peer is a single np.array call)")
    print(table(rows))
    print(f"\neuler_step over derivatives, timed in turn round by round (target <= {MAX_STEP_RATIO}):")
    print("| block | derivatives ns | euler_step ns | ratio | |\n|---|---:|---:|---:|---|")
    for r in ratios:
        print(f"| {r['block']} | {r['derivatives_ns']:.0f} | {r['euler_step_ns']:.0f} | {r['ratio']:.2f} | "
              f"{'PASS' if r['pass'] else 'FAIL'} |")
    if args.json:
        write_json(args.json, {"calls": rows, "step_ratios": ratios})
    return 1 if args.check and not all(r["pass"] for r in rows + ratios) else 0


if __name__ == "__main__":
    sys.exit(main())
