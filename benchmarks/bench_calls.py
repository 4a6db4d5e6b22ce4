"""Per-call cost of every public function, beside the floor (one
np.empty of the result's length from Python) and the plain NumPy peer.

    python -P benchmarks/bench_calls.py [--json FILE] [--check]
"""
import argparse
import json
import pathlib
import platform
import sys
import timeit

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import numpy_peer as peer  # noqa: E402

MAX_OVER_FLOOR = 1.5
MIN_OVER_PEER = 10.0

rng = np.random.default_rng(1)
v = lambda n, lo=0.5, hi=2.0: rng.uniform(lo, hi, n)  # noqa: E731

SEWER = (np.r_[v(23, 10, 20), 1.2], v(27), v(25), np.array([100.0, 5.0, 0.5]))
SEDLIFT = (v(6, 10, 50), np.r_[2.0, v(6, 10, 50)], np.array([100.0, 1.0, 2.0, 0.25]))
LOAMTANK = (np.array([1.5]), np.array([1.5, 4.0]), np.array([2.0, 0.5, 100.0, 0.01, 3.0, 0.2]))
FRACTIONATION = (v(12, 1, 10), v(156), v(9, 0, 1), v(44))
STREAMS = (v(56), v(56))

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from conftest import FUNCTIONS  # noqa: E402  (the suite's one table of public functions)

BLOCK_ARGS = {"sewer": SEWER, "sedlift": SEDLIFT, "loamtank": LOAMTANK,
              "fractionation": FRACTIONATION, "combiner": STREAMS}
STEP = {"sewer": 0.01, "sedlift": 0.01, "loamtank": 0.5}


def case_args(f):
    block = f.id.split(".")[0]
    args = BLOCK_ARGS[block]
    if f.name == "initialize_state":
        return args[:1]
    return args + (STEP[block],) if f.name == "euler_step" else args


# name, our function, the peer's, arguments, result length
CASES = [(f.id, f.fn, getattr(getattr(peer, f.id.split(".")[0]), f.name), case_args(f),
          f.result_length) for f in FUNCTIONS]


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
    print(f"Python {platform.python_version()}, NumPy {np.__version__}, {platform.machine()}, "
          f"{platform.processor() or platform.platform()}")
    print(f"targets: ours/floor <= {MAX_OVER_FLOOR}, peer/ours >= {MIN_OVER_PEER} "
          "(not for initialize_state: a copy, whose peer is a single np.array call)")
    print(table(rows))
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(rows, indent=1))
    return 1 if args.check and not all(r["pass"] for r in rows) else 0


if __name__ == "__main__":
    sys.exit(main())
