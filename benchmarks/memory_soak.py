"""Memory soak: many successful and failing calls of every public function.

Runs a mix of calls (good arguments, wrong lengths, wrong dimensions,
unconvertible types, bad keywords, dt strings) and compares the process's
resident memory and the interpreter's count of allocated blocks after a
warm-up with the figures at the end. Exits 1 when either grew by more than
its bound.

    python -P benchmarks/memory_soak.py [--calls N] [--json FILE]
"""
import argparse
import contextlib
import itertools
import os
import pathlib
import sys
import warnings

import numpy as np

# the table of public functions the tests share
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from conftest import FUNCTIONS, MODULES, general_route  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from benchjson import write_json  # noqa: E402

RSS_BOUND = 2 * 1024 * 1024  # bytes
BLOCKS_BOUND = 1000  # allocated blocks


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def calls():
    """(function, args, kwargs) of the mix, successes and failures alike."""
    rng = np.random.default_rng(3)
    out = []
    for fn, lengths in [(f.fn, f.lengths) for f in FUNCTIONS]:
        good = [0.5 if n is None else rng.uniform(0.1, 10.0, n) for n in lengths]
        out.append((fn, good, {}))
        for i, n in enumerate(lengths):
            if n is None:
                for dt in ("0.25", "not a number", None, b"1"):
                    out.append((fn, good[:i] + [dt], {}))
                continue
            for bad in (good[i][:-1], np.append(good[i], 1.0), good[i].reshape(1, -1),
                        good[i].tolist(), good[i].astype(np.float32), good[i][::-1],
                        np.frombuffer(b"\0" + good[i].tobytes(), offset=1),
                        "abc", None, object(), [good[i].tolist(), [1.0]],
                        good[i][:-1].tolist(), np.array(["x"] * n)):
                out.append((fn, good[:i] + [bad] + good[i + 1:], {}))
        out.append((fn, good, {"bogus": 1.0}))
        out.append((fn, good[:-1], {}))
        out.append((fn, good + [1.0], {}))
        out.append((fn, good[1:], {"unknown": good[0]}))
    return out


def soak(n_calls, warmup=None):
    """Runs n_calls calls after a warm-up, half of them with conversions at
    the Python level; returns the figures as a dict."""
    mix = calls()
    warmup = warmup if warmup is not None else min(n_calls, 50_000)
    failures = 0

    def run(count):
        nonlocal failures
        for level in (contextlib.nullcontext(), general_route(*MODULES)):
            with level:
                for fn, args, kwargs in itertools.islice(itertools.cycle(mix), count // 2):
                    try:
                        fn(*args, **kwargs)
                    except Exception:  # noqa: BLE001 - failing calls are part of the mix
                        failures += 1

    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        run(warmup)
        rss0, blocks0 = resident_bytes(), sys.getallocatedblocks()
        failures = 0
        run(n_calls)
        rss1, blocks1 = resident_bytes(), sys.getallocatedblocks()
    return {"calls": n_calls, "failing": failures, "rss_start": rss0, "rss_end": rss1,
            "rss_growth": rss1 - rss0, "blocks_start": blocks0, "blocks_end": blocks1,
            "blocks_growth": blocks1 - blocks0}


def within_bounds(figures):
    return figures["rss_growth"] <= RSS_BOUND and figures["blocks_growth"] <= BLOCKS_BOUND


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=1_000_000)
    parser.add_argument("--json", help="write the figures to this file")
    args = parser.parse_args()
    figures = soak(args.calls)
    print(f"calls {figures['calls']} (failing {figures['failing']})")
    print(f"resident memory: {figures['rss_start'] / 2**20:.2f} MiB after warm-up, "
          f"{figures['rss_end'] / 2**20:.2f} MiB at the end, "
          f"growth {figures['rss_growth'] / 1024:.0f} KiB (bound {RSS_BOUND // 1024} KiB)")
    print(f"allocated blocks: {figures['blocks_start']} after warm-up, "
          f"{figures['blocks_end']} at the end, growth {figures['blocks_growth']} "
          f"(bound {BLOCKS_BOUND})")
    if args.json:
        write_json(args.json, {**figures, "rss_bound": RSS_BOUND, "blocks_bound": BLOCKS_BOUND,
                               "within_bounds": within_bounds(figures)})
    return 0 if within_bounds(figures) else 1


if __name__ == "__main__":
    sys.exit(main())
