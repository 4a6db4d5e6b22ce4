"""Per-call cost of two installed builds side by side, interleaved call by call.

Each build runs in a worker process of its own interpreter (for example two
virtual environments, one built from an earlier commit); the driver asks the
two workers in turn to time the same call, round after round, so that the
load of a shared machine falls on both alike. The calls are those of
bench_calls.py, plus a few that fail (the cold path: the error and its
notes). Times are the worker thread's CPU time; the table gives the minimum
and the median over the rounds.

    python benchmarks/compare_calls.py --before OLD/bin/python --after NEW/bin/python
"""
from __future__ import annotations

import argparse
import json
import pathlib
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent


def error_cases():
    """Calls that fail their checks: (name, function, arguments)."""
    import numpy as np

    from tarnlet.brookvane import sewer
    from tarnlet.sallowby import combiner

    x, u, pars = np.ones(24), np.ones(27), np.ones(25)
    return [
        ("error: sewer.outputs, spar too short", sewer.outputs, (x, u, pars, np.ones(2))),
        ("error: sewer.euler_step, 2-D x", sewer.euler_step,
         (np.ones((2, 24)), u, pars, np.ones(3), 0.01)),
        ("error: combiner.combine, wrong length", combiner.combine, (np.ones(56), np.ones(5))),
    ]


def worker() -> None:
    """Answers "index number" lines with the ns per call of that case."""
    sys.path.insert(0, str(HERE))
    import bench_calls

    cases = [(name, fn, args) for name, fn, _, args, _ in bench_calls.CASES] + error_cases()
    print(json.dumps([name for name, _, _ in cases]), flush=True)
    for line in sys.stdin:
        index, number = map(int, line.split())
        _, fn, args = cases[index]
        start = time.thread_time_ns()
        for _ in range(number):
            try:
                fn(*args)
            except ValueError:
                pass
        print((time.thread_time_ns() - start) / number, flush=True)


class Worker:
    def __init__(self, python: str):
        self.process = subprocess.Popen([python, "-P", __file__, "--worker"], text=True,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.names = json.loads(self.process.stdout.readline())

    def time(self, index: int, number: int) -> float:
        self.process.stdin.write(f"{index} {number}\n")
        self.process.stdin.flush()
        return float(self.process.stdout.readline())

    def close(self) -> None:
        self.process.stdin.close()
        self.process.wait()


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--before", help="interpreter of the earlier build")
    parser.add_argument("--after", help="interpreter of the later build")
    parser.add_argument("--rounds", type=int, default=60)
    parser.add_argument("--number", type=int, default=2000, help="calls per timing")
    parser.add_argument("--json", help="write the samples to this file")
    args = parser.parse_args(argv)
    if args.worker:
        worker()
        return 0
    if not (args.before and args.after):
        parser.error("--before and --after are required")
    before, after = Worker(args.before), Worker(args.after)
    # The same calls, matched by name: a build's table may list them in another order.
    if sorted(before.names) != sorted(after.names):
        raise SystemExit("the two builds' benchmarks list different calls")
    samples = {name: ([], []) for name in after.names}
    for name in after.names:  # warm both up
        before.time(before.names.index(name), args.number)
        after.time(after.names.index(name), args.number)
    for r in range(args.rounds):
        for name in after.names:
            pair = (before, after) if r % 2 == 0 else (after, before)
            for w in pair:
                samples[name][w is after].append(w.time(w.names.index(name), args.number))
    before.close()
    after.close()

    print(f"{args.rounds} rounds of {args.number} calls, the two builds alternating; "
          "thread CPU time, ns per call")
    print("| call | before min | after min | after/before (min) | before median | "
          "after median | after/before (median) |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for name, (b, a) in samples.items():
        bmin, amin = min(b), min(a)
        bmed, amed = statistics.median(b), statistics.median(a)
        print(f"| {name} | {bmin:.0f} | {amin:.0f} | {amin / bmin:.2f} | {bmed:.0f} | "
              f"{amed:.0f} | {amed / bmed:.2f} |")
    if args.json:
        sys.path.insert(0, str(HERE))
        from benchjson import write_json

        write_json(args.json, {"samples": samples})
    return 0


if __name__ == "__main__":
    sys.exit(main())
