"""The mutation tool (tools/mutate.py): its rules on small snippets, what it
never touches, what it counts as equivalent, its sample and its summary.
No mutant is built or tested here."""
import pathlib
import subprocess
import sys

import pytest

TOOLS = pathlib.Path(__file__).resolve().parent.parent / "tools"
sys.path.insert(0, str(TOOLS))
from mutation import cpp, python, report, sites  # noqa: E402
from mutation.mutant import Edit, Mutant  # noqa: E402


def results(found, rule=None):
    return sorted(m.apply() for m in found if rule is None or m.rule == rule)


@pytest.mark.parametrize("rule, before, after", [
    ("swap", "y = a - b;", ["y = b - a;"]),
    ("swap", "y = (a - b) / c[1];", ["y = (b - a) / c[1];", "y = c[1] / (a - b);"]),
    ("swap", "y = q * a / b;", []),          # (q * a) / b: the / does not take a alone
    ("swap", "y = a - b * c;", []),          # a - (b * c)
    ("reassociate", "y = a * (b / c);", ["y = (a * b) / c;"]),
    ("reassociate", "y = (a * b) / c;", ["y = a * (b / c);"]),
    ("reassociate", "y = a + b + c;", ["y = a + (b + c);"]),
    ("compare", "if (i < n) f();", ["if (i <= n) f();"]),
    ("compare", "ok = a == b;", ["ok = a != b;"]),
    ("compare", "std::array<double, 3> v; auto k = static_cast<int>(x);", []),
    ("compare", "Watched<n + 2> w;", []),
    ("constant", "f(0, 1, 7, 0.5);", ["f(0, 0, 7, 0.5);", "f(0, 1, 7, 1.5);", "f(0, 1, 8, 0.5);",
                                      "f(1, 1, 7, 0.5);"]),
    ("drop-check", "if (!ok) return nullptr;\nx = 1;", ["\nx = 1;"]),
    ("drop-check", "if (!ok) { throw E(); }\nx = 1;", ["\nx = 1;"]),
    ("drop-check", "if (a) return b; else return c;", []),
    ("loop-bound", "for (int i = 0; i < n; ++i) s += x[i];", ["for (int i = 0; i < n - 1; ++i) s += x[i];"]),
    ("loop-bound", "for (int i = 0; i < n + m; ++i) s += x[i];",
     ["for (int i = 0; i < (n + m) - 1; ++i) s += x[i];"]),
])
def test_cpp_rules(rule, before, after):
    assert results(cpp.sites("f.cpp", before), rule) == sorted(after)


def test_cpp_comments_literals_and_preprocessor_lines_are_never_changed():
    text = ('// a - b < 1 if (x) return 0;\n#define N (3 - 2)\nconst char* s = "x < 2 - 1"; /* 0 / 1 */\n'
            "char c = '-'; auto r = R\"(a - b < 0)\";\ny = p - q;\n")
    found = cpp.sites("f.cpp", text, commutative=True)
    inert = cpp.inert_spans(text)
    assert found and all(not (a < e.end and e.start < b) for m in found for e in m.edits for a, b in inert)
    assert results(found, "swap") == [text.replace("p - q", "q - p")]
    # a change planted inside a comment is classified, not run
    planted = Mutant("f.cpp", "compare", (Edit(8, 9, "<="),), text)
    assert sites.classify([planted])[0].equivalent.startswith("the change lies in a comment")


@pytest.mark.parametrize("rule, before, after", [
    ("swap", "y = a - f(b)\n", ["y = f(b) - a\n"]),
    ("swap", "y = a / (b + c)\n", ["y = (b + c) / a\n"]),
    ("swap", "y = a - b - c\n", ["y = b - a - c\n", "y = c - (a - b)\n"]),
    ("reassociate", "y = a * (b / c)\n", ["y = (a * b) / c\n"]),
    ("compare", "ok = x < 1 and y is None and z not in w\n",
     ["ok = x < 1 and y is None and z in w\n", "ok = x < 1 and y is not None and z not in w\n",
      "ok = x <= 1 and y is None and z not in w\n"]),
    ("constant", "n = 0 + 1.0 + 41\n", ["n = 0 + 0.0 + 41\n", "n = 0 + 1.0 + 42\n", "n = 1 + 1.0 + 41\n"]),
    ("drop-check", "def f(x):\n    if x < 0:\n        raise ValueError(x)\n    return x\n",
     ["def f(x):\n    pass\n    return x\n"]),
    ("drop-check", "if a:\n    b()\nelif c:\n    raise E\n", []),
    ("loop-bound", "for i in range(n + 1):\n    pass\n", ["for i in range((n + 1) - 1):\n    pass\n"]),
    ("constant", "def f(x: 'Literal[0]' = 2) -> 'Literal[1]':\n    return x\n",
     ["def f(x: 'Literal[0]' = 3) -> 'Literal[1]':\n    return x\n"]),
])
def test_python_rules(rule, before, after):
    assert results(python.sites("f.py", before), rule) == sorted(after)


def test_python_positions_count_characters_and_skip_docstrings_and_type_checking():
    text = ('"""Doc: a - b < 1."""\nfrom typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    N = 1 - 2\n'
            'unit = "m³/d"; y = a - b  # q - r\n')
    found = python.sites("f.py", text)
    assert [m.apply() for m in found] == [text.replace("a - b  #", "b - a  #")]
    assert found[0].line == 5 and found[0].original.endswith("# q - r")


def test_layout_tables_swap_names_and_change_units():
    text = 'T = [("Q", "m3/d", "flow"), ("h", "m", "level"), ("A", "m", "area")]\n'
    found = python.sites("tarnlet/layout.py", text, layout_tables=True)
    names = results(found, "layout-name")
    assert 'T = [("h", "m3/d", "flow"), ("Q", "m", "level"), ("A", "m", "area")]\n' in names
    assert len(names) == 2
    assert results(found, "layout-unit") == sorted([
        'T = [("Q", "m", "flow"), ("h", "m", "level"), ("A", "m", "area")]\n',
        'T = [("Q", "m3/d", "flow"), ("h", "m3/d", "level"), ("A", "m", "area")]\n',
        'T = [("Q", "m3/d", "flow"), ("h", "m", "level"), ("A", "m3/d", "area")]\n'])


def test_equivalent_mutants_are_classified_with_the_reason():
    found = sites.classify(cpp.sites("k.cpp", "y = a * b + c;\nz = a - b;\n", commutative=True))
    reasons = {m.mutated: m.equivalent for m in found if m.rule == "swap"}
    assert reasons["y = b * a + c;"].startswith("exactly commutative")
    assert reasons["z = b - a;"] is None
    text = "x = 1  # one\n"
    same = [Mutant("f.py", "constant", (Edit(0, 5, "x = 2"),), text),
            Mutant("f.py", "constant", (Edit(4, 5, "2"),), text),
            Mutant("f.py", "constant", (Edit(4, 5, "1 ;"),), text),
            Mutant("f.py", "constant", (Edit(4, 5, "= ="),), text)]  # does not parse: dropped
    got = sites.classify(same)
    assert [m.equivalent is None for m in got] == [True, False, False]
    assert "the same text as another mutant" in got[1].equivalent
    assert got[2].equivalent == "the same syntax tree"


def test_sample_spreads_over_areas_files_and_rules_by_the_seed():
    ms = [Mutant(f"{area}/{f}.py", rule, (Edit(i, i + 1, "x"),), "abcdefgh", area=area)
          for area in ("a", "b", "c") for f in ("f", "g") for rule in ("swap", "compare") for i in range(3)]
    ms[0].equivalent = "no"
    one = sites.sample(ms, 12, seed=3)
    assert len(one) == 12 and all(not m.equivalent for m in one)
    assert {m.area for m in one[:3]} == {"a", "b", "c"}
    assert all(len({(m.file, m.rule) for m in one if m.area == a}) == 4 for a in "abc")
    assert [m.key() for m in one] == [m.key() for m in sites.sample(ms, 12, seed=3)]
    assert len(sites.sample(ms, None, seed=1)) == len(ms) - 1


def test_summary_and_survivors_from_a_fabricated_result_list():
    rows = [("a", "caught"), ("a", "build-error"), ("a", "survived"), ("a", "equivalent"),
            ("b", "timeout"), ("b", "caught"), ("b", "caught"), ("b", "caught")]
    records = [{"area": a, "outcome": o, "file": f"{a}.py", "line": i, "rule": "swap", "original": "p - q",
                "mutated": "q - p"} for i, (a, o) in enumerate(rows)]
    s = report.summarize(records)
    assert list(s) == ["a", "b", "overall"]
    assert (s["a"]["caught"], s["a"]["total"], s["a"]["percent"], s["a"]["equivalent"]) == (2, 3, 66.7, 1)
    assert (s["a"]["build_error"], s["b"]["timeout"], s["b"]["percent"]) == (1, 1, 100.0)
    assert (s["overall"]["caught"], s["overall"]["total"], s["overall"]["percent"]) == (6, 7, 85.7)
    assert "66.7" in report.table(s)
    md = report.survivors_markdown(records)
    assert "`a.py:2` (a, swap): `p - q` -> `q - p`" in md and md.count("\n- ") == 1


def test_areas_cover_the_kernels_meson_builds_and_list_runs():
    root = TOOLS.parent
    kernels = sites.area_files(root, "kernels")
    assert "tarnlet/brookvane/sewer_kernels.cpp" in kernels and len(kernels) == 10
    assert "tarnlet/model/_engine.cpp" in sites.area_files(root, "model")
    out = subprocess.run([sys.executable, "-P", str(TOOLS / "mutate.py"), "--list", "--areas", "init"],
                         capture_output=True, text=True, check=True).stdout
    assert "tarnlet/__init__.py:" in out and "mutants that can change behaviour" in out


def workspace(tmp_path, text):
    from mutation.runner import Workspace

    ws = Workspace(tmp_path, tmp_path / "work")
    (ws.src / "tarnlet").mkdir(parents=True)
    (ws.src / "tarnlet" / "m.py").write_text(text)
    return ws


@pytest.mark.parametrize("trouble", [KeyboardInterrupt, SystemExit, None])
def test_the_mutated_file_is_restored_whatever_happens(tmp_path, trouble):
    text = "def f(a, b):\n    return a - b\n"
    ws = workspace(tmp_path, text)
    m = python.sites("tarnlet/m.py", text)[0]
    m.area = "init"
    seen = []

    def judge(mutant, restrict):
        seen.append((ws.src / mutant.file).read_text())
        if trouble:
            raise trouble()
        return {"outcome": "caught", "caught_by": "a test"}

    ws._judge = judge
    if trouble:
        with pytest.raises(trouble):
            ws.evaluate(m)
    else:
        assert ws.evaluate(m)["outcome"] == "caught"
    assert seen == ["def f(a, b):\n    return b - a\n"]
    assert (ws.src / "tarnlet" / "m.py").read_text() == text


def test_a_copy_that_differs_from_the_repository_is_refused(tmp_path):
    ws = workspace(tmp_path, "x = 1\n")
    m = python.sites("tarnlet/m.py", "x = 2\n")[0]
    with pytest.raises(SystemExit, match="differs"):
        ws.evaluate(m)
    assert (ws.src / "tarnlet" / "m.py").read_text() == "x = 1\n"


def test_commands_time_out_with_their_children_and_failures_are_named(tmp_path):
    from mutation.runner import Proc, _failed_test, run

    p = run(["bash", "-c", "sleep 30 & sleep 30; echo never"], tmp_path, timeout=0.5)
    assert p.rc is None and "never" not in p.out and p.seconds < 10
    out = "....F\n=== short test summary info ===\nFAILED tests/test_a.py::test_b[1] - assert 0\n"
    assert _failed_test(Proc(1, out, 1.0)) == "tests/test_a.py::test_b[1]"
    assert _failed_test(Proc(-11, "Fatal Python error: Segmentation fault", 1.0)) == "a crash (signal 11)"


def test_tests_run_the_area_first_fastest_first_then_the_rest(tmp_path):
    from mutation.runner import REST_SKIP

    ws = workspace(tmp_path, "")
    (ws.src / "tests").mkdir()
    for name in ("test_layout", "test_units", "test_typing", "test_model", "test_mutate_tool", "test_io"):
        (ws.src / "tests" / f"{name}.py").write_text("")
    ws.durations = {"test_layout": 3.0, "test_units": 1.0, "test_model": 2.0, "test_io": 0.5}
    first, rest = ws.order("layout")
    assert first == ["test_units", "test_layout"] and rest == ["test_io", "test_model"]
    assert "test_typing" in REST_SKIP and ws.order("layout", restrict=True)[1] == []


def test_the_ci_sample_is_found_in_this_tree():
    sys.path.insert(0, str(TOOLS))
    import mutate

    chosen = mutate.ci_sample(sites.candidates(TOOLS.parent, ["layout", "kernels", "model"], [
        f for f, _, _ in mutate.CI_SAMPLE], keep=mutate.in_ci_sample))
    assert [(m.file, m.rule) for m in chosen] == [(f, r) for f, r, _ in mutate.CI_SAMPLE]


def test_every_reviewed_entry_matches_a_mutant_of_this_tree_and_a_change_unmatches_it():
    """Each hand-read equivalent names mutants the tree has (a stale entry
    would hide nothing, but would mislead), and once its code changes, the
    entry no longer matches: the mutant runs again."""
    from mutation import reviewed

    files = sorted({file for file, _, _, _ in reviewed.REVIEWED})
    areas = [a for a in sites.AREAS]
    found = sites.candidates(TOOLS.parent, areas, files, keep=lambda m: any(
        m.file == file and m.rule == rule for file, rule, _, _ in reviewed.REVIEWED))
    for file, rule, piece, why in reviewed.REVIEWED:
        hits = [m for m in found if m.file == file and m.rule == rule and piece in f"{m.original} -> {m.mutated}"]
        assert hits and all(m.equivalent == f"reviewed: {why}" for m in hits), (file, rule, piece)
    m = next(m for m in found if m.file == "frame/bind.cpp" and m.equivalent and m.equivalent.startswith("reviewed:"))
    a, b = m.span
    renamed = m.source[:a] + m.source[a:b].replace("key", "kee") + m.source[b:]  # the same length
    assert renamed != m.source and reviewed.reason(Mutant(m.file, m.rule, m.edits, renamed)) is None


def test_keep_narrows_the_candidates_before_they_are_classified():
    kept = sites.candidates(TOOLS.parent, ["layout"], ["tarnlet/layout.py"], keep=lambda m: m.rule == "layout-unit")
    assert kept and {m.rule for m in kept} == {"layout-unit"}
    assert [m.ident for m in kept] == list(range(len(kept)))
