"""Mutants read by hand and found unable to change what any caller sees:
each is matched by its file, its rule and a piece of "original -> mutated"
(the report's text), and listed as equivalent with the reason. A change to
the code they match makes the entry stop matching (the mutant then runs
again), so an entry cannot hide a new fault."""
from __future__ import annotations

from .mutant import Mutant

_INTEGER = ("integer arithmetic on counts and offsets: regrouping + or * of integers gives the same value "
            "(far below overflow)")

REVIEWED = [
    *(("tarnlet/_runs.cpp", "reassociate", piece, _INTEGER) for piece in (
        "multiples(start + 1, start + steps + 1) + initial; -> ",
        "n * N * sizeof(double)",
        "state_row * n * N : roll + (t & 1) * n * N; -> ",
        "(starts - 1) * n * N; -> ")),
    ("tarnlet/model/_engine.cpp", "reassociate", "std::memcpy(dst + flow + 1, sums + skip + 1, (m - skip - 1) * ",
     _INTEGER),
    ("frame/run_step.cpp", "loop-bound", "for (int i = 0; i < u->ntypes; ++i) { -> ",
     "the search for NumPy's float64 loop of multiply and add, which is never their last (the object loops are)"),
    ("tarnlet/fenmoor/sedlift_kernels.h", "compare", "(v > 1.0 ? 1.0 : v); } -> inline double clamp01(double v) { "
     "return v < 0.0 ? 0.0 : (v >= 1.0 ? 1.0 : v); }", "at v = 1.0 both give 1.0"),
    ("frame/run_step.h", "constant", "int ndim = 0; -> int ndim = 1;",
     "a default that Kept::of(), the one maker of a Kept, always overwrites"),
    ("frame/run_step.h", "swap", "took = clock::now() - begin; -> took = begin - clock::now();",
     "the pace by which a run sizes its chunks: every chunk then takes one step, and results, errors and "
     "Ctrl-C are the same (only slower; benchmarks/bench_runs.py shows it)"),
    ("frame/euler.cpp", "compare", "for (int i = 1; i < n - 1; ++i) argv[i] = args[i]; -> for (int i = 1; i <= n - 1;",
     "also copies dt into the slot after the n - 1 arguments passed on (within argv), which nothing reads"),
    ("frame/owners.cpp", "constant", "if (v.ndim == 0 || !v.shape) { -> if (v.ndim == 1 || !v.shape) {",
     "a one-dimensional export that reaches this check is contiguous (inputs that are not are copied first, "
     "out= arrays must be), and then its span is buf to buf + len either way"),
    ("frame/owners.cpp", "constant", "for (int i = 0; i < n_; ++i) -> for (int i = 1; i < n_; ++i)",
     "the first owner pinned is not found again, so it is pinned a second time: one more export held for the "
     "call, the same protection (past 16 pins an input is copied instead), the same results"),
    ("frame/step.h", "constant", "const bool exact = dt == 0; ",
     "which rows NumPy forms again: a product by 1 is exact like one by 0, and a row by 0 that is sent to NumPy "
     "gets the same bits and no exception"),
    ("frame/bind.cpp", "drop-check", "if (names[i] == key) return i; -> ",
     "a fast path: the loop after it finds the same keyword by comparing the strings"),
    ("tarnlet/model/_run.py", "reassociate", "int(width * done / max(total, 1)) -> filled = int(width * (done / max(",
     "a progress bar's fill: both floors agree for every count of steps tried (2 million pairs up to 1e8)"),
    ("frame/block.h", "compare", "<= max_length",
     "a bound checked at compile time (static_assert) that every shipped block passes with room to spare"),
    ("frame/euler.cpp", "compare",
     "PyArray_DIM(as_array(x_arr), 0) != n) return nullptr; -> if (!is_ready(x_arr) || "
     "PyArray_DIM(as_array(x_arr), 0) == n)",
     "the guard of euler_step's own x + dt*dx: the mutant sends each step to NumPy's sum, which forms the same "
     "bits and reports the same exceptions (x's length is checked before)"),
    ("tarnlet/model/ensemble.py", "compare", "while len(window) > 2 * workers: -> while len(window) >= 2",
     "how many scenarios wait in flight: the results and their order are the same"),
]


def reason(m: Mutant) -> str | None:
    text = f"{m.original} -> {m.mutated}"
    for file, rule, piece, why in REVIEWED:
        if m.file == file and m.rule == rule and piece in text:
            return f"reviewed: {why}"
    return None
