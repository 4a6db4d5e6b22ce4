"""The report: one record per mutant, the summary per area and overall."""
from __future__ import annotations

CAUGHT = ("caught", "build-error", "timeout")


def record(m, result: dict | None = None) -> dict:
    r = {"id": m.ident, "area": m.area, "file": m.file, "line": m.line, "rule": m.rule,
         "original": m.original, "mutated": m.mutated}
    if m.equivalent:
        r.update(outcome="equivalent", reason=m.equivalent, caught_by=None, seconds=0.0)
    else:
        r.update(result or {})
    return r


def summarize(records: list[dict]) -> dict:
    """Per area and overall: the mutants that can change behaviour (total),
    how many were caught (by a test, the build or a timeout) and the share."""
    areas: dict[str, dict] = {}
    for r in records:
        for key in (r["area"], "overall"):
            s = areas.setdefault(key, {"total": 0, "caught": 0, "caught_by_tests": 0, "build_error": 0,
                                       "timeout": 0, "survived": 0, "equivalent": 0})
            o = r["outcome"]
            if o == "equivalent":
                s["equivalent"] += 1
                continue
            s["total"] += 1
            s["caught"] += o in CAUGHT
            s["caught_by_tests"] += o == "caught"
            s["build_error"] += o == "build-error"
            s["timeout"] += o == "timeout"
            s["survived"] += o == "survived"
    for s in areas.values():
        s["percent"] = round(100.0 * s["caught"] / s["total"], 1) if s["total"] else None
    overall = areas.pop("overall", None)
    out = dict(sorted(areas.items()))
    if overall:
        out["overall"] = overall
    return out


def table(summary: dict) -> str:
    lines = [f"{'area':<10} {'caught/total':>12} {'%':>6}   {'tests':>5} {'build':>5} {'timeout':>7} "
             f"{'survived':>8} {'equiv.':>6}"]
    for area, s in summary.items():
        pct = "-" if s["percent"] is None else f"{s['percent']:.1f}"
        lines.append(f"{area:<10} {str(s['caught']) + '/' + str(s['total']):>12} {pct:>6}   "
                     f"{s['caught_by_tests']:>5} {s['build_error']:>5} {s['timeout']:>7} {s['survived']:>8} "
                     f"{s['equivalent']:>6}")
    return "\n".join(lines)


def survivors_markdown(records: list[dict]) -> str:
    rows = [r for r in records if r["outcome"] == "survived"]
    out = ["# Surviving mutants", "",
           "Mutants of `tools/mutate.py` that no test caught: each is a fault the suite lets",
           "through. A test that fails on the mutated line and passes on the original catches it.", ""]
    for r in rows:
        out.append(f"- `{r['file']}:{r['line']}` ({r['area']}, {r['rule']}): `{r['original']}` -> "
                   f"`{r['mutated']}`")
    if not rows:
        out.append("(none)")
    return "\n".join(out) + "\n"
