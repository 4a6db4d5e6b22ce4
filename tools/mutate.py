"""Mutation testing of tarnlet: plants one fault at a time and checks that the
test suite notices.

Usage (CPython 3.12, as tools/find_python.sh finds it; -P keeps tools/ off
the import path of the package):

    python -P tools/mutate.py --list [--areas model,layout] [--files F,...]
    python -P tools/mutate.py --max 150 --seed 1          # a run: report in build/mutation/report.json
    python -P tools/mutate.py --ci-sample                 # the fixed CI sample (a few minutes)

Areas: frame (frame/), kernels (the kernel sources of the blocks meson.build
lists), runs-cpp (tarnlet/_runs.cpp), runs-py (tarnlet/runs.py), layout
(tarnlet/layout.py), init (tarnlet/__init__.py) and model (tarnlet/model/,
Python and _engine.cpp).

Rules: swap (the operands of a - b, a / b), reassociate (a * (b / c) <->
(a * b) / c, a + b + c -> a + (b + c)), compare (< <=, > >=, == !=, is, in),
constant (0 -> 1, 1 -> 0, n -> n + 1), drop-check (an `if (...) return/throw
...;` or an `if ...: return/raise` deleted), loop-bound (the bound of a for
loop or a range() one less), layout-name and layout-unit (a name swapped with
the next row's, a unit replaced by another of the table). Sites come from a
tokenizer over C++ (comments, literals and preprocessor lines never change)
and from the ast module over Python (exact source positions). Mutants that
cannot change behaviour are listed as equivalent with the reason and not
counted: swaps of + and * in the kernels (exactly commutative in IEEE
arithmetic), changes inside comments or docstrings, the same text as another
mutant, and the mutants read by hand in tools/mutation/reviewed.py (each
with its reason, matched by the text it changes). The sample takes mutants in turn from each area and, within one, from
each (file, rule) group, shuffled by --seed.

Each mutant is applied to a working copy (build/mutation/src, installed
editable with meson-python into build/mutation/venv, both made on the first
run), rebuilt with ninja, imported, then tested with pytest -x: first the
area's own test files, fastest first (times of the baseline run), then the
rest. A build failure counts as caught but is reported apart (build-error),
as is a timeout. The file is restored after each mutant, also on Ctrl-C.
The JSON report has one record per mutant (file, line, rule, original and
mutated text, outcome, the test that caught it, seconds) and the summary per
area; --survivors writes the surviving mutants as a Markdown list.

--ci-sample runs a fixed sample, only against the areas' own tests, and
exits 0 only when the tool worked and the mutant that must be caught (a
swapped layout name) was caught.
"""
from __future__ import annotations

import argparse
import json
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from mutation import report, sites  # noqa: E402
from mutation.runner import Workspace, log  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent

# The CI sample: (file, rule, a text the mutated line holds), the first of
# them certain to be caught.
CI_SAMPLE = [
    ("tarnlet/layout.py", "layout-name", '("S_NO3", "g N/m3", "g N", "ammonium'),
    ("tarnlet/brookvane/sewer_kernels.cpp", "swap", "(s.q_out - q_in)"),
    ("tarnlet/model/_run.py", "drop-check", "if progress is None or progress is False"),
]


def in_ci_sample(m) -> bool:
    return any(m.file == file and m.rule == rule and text in f"{m.original} -> {m.mutated}"
               for file, rule, text in CI_SAMPLE)


def ci_sample(mutants):
    chosen = []
    for file, rule, text in CI_SAMPLE:
        found = [m for m in mutants if m.file == file and m.rule == rule and text in f"{m.original} -> {m.mutated}"
                 and not m.equivalent]
        if not found:
            raise SystemExit(f"mutate: the CI sample's mutant {file} {rule} {text!r} is not found")
        chosen.append(found[0])
    return chosen


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--areas", default=",".join(sites.AREAS), help="comma-separated (default: all)")
    ap.add_argument("--files", default="", help="comma-separated paths relative to the repository")
    ap.add_argument("--max", type=int, default=150, help="mutants that can change behaviour (default 150)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--json", default="build/mutation/report.json", help="the report (relative to the repo)")
    ap.add_argument("--survivors", default="", help="also write the survivors as Markdown here")
    ap.add_argument("--workdir", default="build/mutation", help="the copy and its environment")
    ap.add_argument("--list", action="store_true", help="list the candidate mutants, run nothing")
    ap.add_argument("--ci-sample", action="store_true", help="the fixed CI sample")
    ap.add_argument("--area-tests-only", action="store_true", help="run only each area's own test files")
    args = ap.parse_args(argv)

    areas = [a for a in args.areas.split(",") if a]
    unknown = [a for a in areas if a not in sites.AREAS]
    if unknown:
        ap.error(f"unknown areas {unknown}; the areas are {', '.join(sites.AREAS)}")
    files = [f for f in args.files.split(",") if f] or None
    mutants = sites.candidates(ROOT, areas, files, keep=in_ci_sample if args.ci_sample else None)
    if args.list:
        for m in mutants:
            tail = f"   [equivalent: {m.equivalent}]" if m.equivalent else ""
            print(f"{m.ident:5} {m.area:9} {m.file}:{m.line} {m.rule}: {m.original} -> {m.mutated}{tail}")
        live = [m for m in mutants if not m.equivalent]
        print(f"{len(live)} mutants that can change behaviour, {len(mutants) - len(live)} equivalent")
        return 0

    restrict = args.area_tests_only or args.ci_sample
    chosen = ci_sample(mutants) if args.ci_sample else sites.sample(mutants, args.max, args.seed)
    equivalents = [] if args.ci_sample else [m for m in mutants if m.equivalent]
    ws = Workspace(ROOT, (ROOT / args.workdir).resolve())
    t0 = time.monotonic()
    ws.setup()
    tests = sorted({f for m in chosen for f in sites.AREAS[m.area][1]}) if restrict else ws.test_files()
    ws.baseline([f for f in tests if f in ws.test_files()])

    out_path = ROOT / args.json
    out_path.parent.mkdir(parents=True, exist_ok=True)
    records = [report.record(m) for m in equivalents]
    interrupted = False

    def write(final: bool):
        summary = report.summarize(records)
        doc = {"command": " ".join(sys.argv), "seed": args.seed, "areas": areas, "ci_sample": args.ci_sample,
               "area_tests_only": restrict, "wall_seconds": round(time.monotonic() - t0, 1),
               "complete": final and not interrupted, "summary": summary, "mutants": records}
        out_path.write_text(json.dumps(doc, indent=1) + "\n")
        return summary

    try:
        for k, m in enumerate(chosen, 1):
            r = report.record(m, ws.evaluate(m, restrict))
            records.append(r)
            by = f" by {r['caught_by']}" if r["caught_by"] else ""
            log(f"[{k}/{len(chosen)}] {r['outcome']}{by} ({r['seconds']:.0f} s) {m.file}:{m.line} {m.rule}: "
                f"{m.original[:70]} -> {m.mutated[:70]}")
            write(False)
    except KeyboardInterrupt:
        interrupted = True
        log("mutate: interrupted; the copy is restored, the report holds the mutants run so far")
    summary = write(True)
    print()
    print(report.table(summary))
    print(f"wall time {time.monotonic() - t0:.0f} s; report {out_path}")
    if args.survivors:
        pathlib.Path(args.survivors).write_text(report.survivors_markdown(records))
    if interrupted:
        return 130
    if args.ci_sample:
        first = next(r for r in records if r["file"] == CI_SAMPLE[0][0])
        if first["outcome"] != "caught":
            print(f"FAILED: the mutant that must be caught was not: {first}", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
