"""The areas of the package, their candidate mutants, which of them cannot
change behaviour, and the seeded sample spread over areas, files and rules."""
from __future__ import annotations

import hashlib
import pathlib
import random
import re
from collections import defaultdict
from collections.abc import Callable

from . import cpp, python, reviewed
from .mutant import Mutant

# area -> (file patterns, the test files that exercise it most directly)
AREAS: dict[str, tuple[list[str], list[str]]] = {
    "frame": (["frame/*.cpp", "frame/*.h"],
              ["test_smoke", "test_sewer", "test_loamtank", "test_sedlift", "test_streams", "test_fast_paths",
               "test_owners", "test_fpe", "test_lifecycle", "test_hostile", "test_mutation", "test_memory"]),
    "kernels": (["@kernels"],
                ["test_sewer", "test_loamtank", "test_sedlift", "test_streams", "test_runs", "test_engine",
                 "test_fuzz_regressions"]),
    "runs-cpp": (["tarnlet/_runs.cpp"], ["test_runs", "test_results", "test_threads", "test_fpe", "test_engine"]),
    "runs-py": (["tarnlet/runs.py"], ["test_runs", "test_results", "test_threads", "test_engine"]),
    "layout": (["tarnlet/layout.py"], ["test_layout", "test_units", "test_registry", "test_package", "test_docs"]),
    "init": (["tarnlet/__init__.py"], ["test_package", "test_smoke", "test_registry", "test_layout"]),
    "model": (["tarnlet/model/*.py", "tarnlet/model/_engine.cpp"],
              ["test_model", "test_model_graphs", "test_engine", "test_results"]),
}


def kernel_sources(root: pathlib.Path) -> list[str]:
    """The kernel sources of the blocks that meson.build lists as [name, sub-package]."""
    text = (root / "meson.build").read_text()
    block = re.search(r"^blocks = \[(.*?)^\]", text, re.S | re.M)
    pairs = re.findall(r"\[\s*'(\w+)',\s*'(\w+)'\s*\]", block.group(1) if block else "")
    return [f"tarnlet/{sub}/{name}_kernels.{ext}" for name, sub in pairs for ext in ("cpp", "h")
            if (root / f"tarnlet/{sub}/{name}_kernels.{ext}").exists()]


def area_files(root: pathlib.Path, area: str) -> list[str]:
    files: list[str] = []
    for pattern in AREAS[area][0]:
        if pattern == "@kernels":
            files += kernel_sources(root)
        else:
            files += sorted(p.relative_to(root).as_posix() for p in root.glob(pattern))
    return files


def file_sites(path: str, text: str, area: str) -> list[Mutant]:
    if path.endswith(".py"):
        found = python.sites(path, text, layout_tables=(area == "layout"))
    else:
        found = cpp.sites(path, text, commutative=(area == "kernels"))
    for m in found:
        m.area = area
    return found


def candidates(root: pathlib.Path, areas: list[str], files: list[str] | None = None,
               keep: Callable[[Mutant], bool] | None = None) -> list[Mutant]:
    """Every mutant of the areas (or of the given files among them, or those
    `keep` keeps), classified."""
    out: list[Mutant] = []
    for area in areas:
        for path in area_files(root, area):
            if files and path not in files:
                continue
            out += file_sites(path, (root / path).read_text(), area)
    if keep is not None:
        out = [m for m in out if keep(m)]
    out = classify(out)
    for i, m in enumerate(out):
        m.ident = i
    return out


def classify(mutants: list[Mutant]) -> list[Mutant]:
    """Marks the mutants that cannot change behaviour with the reason and
    drops those that are no valid program text (Python that does not parse)."""
    inert: dict[str, list[tuple[int, int]]] = {}
    seen: dict[str, int] = {}
    trees: dict = {}
    kept = []
    for m in mutants:
        after = m.apply()
        tree = python.parsed(after) if m.file.endswith(".py") else None
        if m.file.endswith(".py") and tree is None:
            continue
        kept.append(m)
        if m.equivalent:
            continue
        m.equivalent = reviewed.reason(m)
        if m.equivalent:
            continue
        if m.file not in inert:
            inert[m.file] = (python.inert_spans(m.source) if m.file.endswith(".py") else cpp.inert_spans(m.source))
        if all(any(a <= e.start and e.end <= b for a, b in inert[m.file]) for e in m.edits):
            m.equivalent = "the change lies in a comment, docstring or literal"
        elif m.file.endswith(".py") and python.same_program(m.source, tree, m.line, trees):
            m.equivalent = "the same syntax tree"
        elif not m.file.endswith(".py") and _same_code(m, after):
            m.equivalent = "the same code tokens"
        else:
            digest = hashlib.sha256((m.file + "\0" + after).encode()).hexdigest()
            if digest in seen:
                m.equivalent = f"the same text as another mutant ({kept[seen[digest]].key()})"
            else:
                seen[digest] = len(kept) - 1
    return kept


def _same_code(m: Mutant, after: str) -> bool:
    """Whether the changed lines hold the same code tokens before and after."""
    start, end = m.span
    a = m.source.rfind("\n", 0, start) + 1
    b = m.source.find("\n", end)
    b = len(m.source) if b < 0 else b
    shift = len(after) - len(m.source)
    return [t.text for t in cpp.code_tokens(m.source[a:b])] == [t.text for t in cpp.code_tokens(after[a:b + shift])]


def sample(mutants: list[Mutant], limit: int | None, seed: int) -> list[Mutant]:
    """Up to `limit` mutants that can change behaviour, taken in turn from
    each area; within an area in turn from each (file, rule) group, each
    group shuffled by the seed."""
    rng = random.Random(seed)
    by_area: dict[str, dict[tuple[str, str], list[Mutant]]] = defaultdict(lambda: defaultdict(list))
    for m in mutants:
        if not m.equivalent:
            by_area[m.area][(m.file, m.rule)].append(m)
    queues = []
    for area in sorted(by_area):
        groups = [by_area[area][k] for k in sorted(by_area[area])]
        for g in groups:
            rng.shuffle(g)
        rng.shuffle(groups)
        queue = []
        while any(groups):
            for g in groups:
                if g:
                    queue.append(g.pop())
        queues.append(queue)
    chosen: list[Mutant] = []
    while any(queues) and (limit is None or len(chosen) < limit):
        for q in queues:
            if q and (limit is None or len(chosen) < limit):
                chosen.append(q.pop(0))
    return chosen
