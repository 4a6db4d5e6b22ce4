"""Edges of the model layer and of the package's import that nothing else
checks: sources with names and units of their own, a soil reservoir left
dry, and a package folder without the project's meson.build beside it."""
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest
from conftest import FUNCTIONS, IDS

from tarnlet.fenmoor import sedlift
from tarnlet.layout import LOAMTANK, SEDLIFT, SEWER
from tarnlet.model import Linear, Model, ModelError, steady

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOIL = LOAMTANK.par.vector(h_max=0.1, h_drain=0.02, A=1.2e5, q_cap=0.12, k_drain=15000.0, k_lin=5000.0)


def with_sewage(dt=1 / 1440):
    """A model with one source: sewage of 4,000 m3/d."""
    m = Model(dt=dt)
    m.source("sewage", SEWER.u.vector(Q=4000.0, S_NH4=16.0), layout=SEWER.u)
    return m


STORAGE = {"pars": SEWER.example_vector("pars"), "spar": SEWER.example_vector("spar")}


def test_a_source_with_names_and_units_of_its_own():
    m = Model(dt=1.0)
    node = m.source("gauge", np.ones((3, 2)), names=["rain", "temp"], units=["mm/d", "degC"])
    assert [(e.name, e.unit) for e in node.layout] == [("rain", "mm/d"), ("temp", "degC")]
    with pytest.raises(ValueError, match=r"other\.y: 2 names but 1 units"):
        m.source("other", np.ones((3, 2)), names=["rain", "temp"], units=["mm/d"])
    partly = m.source("third", np.ones((3, 2)), names=["rain", "temp"], units={"rain": "mm/d"})
    assert [e.unit for e in partly.layout] == ["mm/d", "as given"]


def test_a_source_of_text_is_refused():
    m = Model(dt=1.0)
    for text in ("1.0", "rain.csv"):
        with pytest.raises(TypeError, match=r"source 'gauge': values must be numbers or pandas data, not a string"):
            m.source("gauge", text)
    assert "gauge" not in m.nodes


def test_a_dry_soil_reservoir_is_steady_empty():
    """No inflow: nothing drains at level 0, which is the steady state; with
    rain, the outflows take what the area accepts (A*q_cap)."""
    assert steady.loamtank(np.zeros(2), SOIL).tolist() == [0.0]
    wet = steady.loamtank(np.array([3e4, 0.0]), SOIL)[0]
    drain = np.sqrt(max(wet - 0.02, 0.0)) * 15000.0 + 5000.0 * wet
    assert wet > 0.1 and drain == pytest.approx(min(1.2e5 * 0.12, 3e4), rel=1e-12)


def test_a_package_folder_without_meson_build_imports_without_its_blocks(tmp_path):
    """Only a source checkout (meson.build beside the package) is looked at
    for compiled modules; elsewhere `import tarnlet` imports no sub-package."""
    shutil.copytree(ROOT / "tarnlet", tmp_path / "tarnlet",
                    ignore=shutil.ignore_patterns("*.so", "*.pyd", "__pycache__"))
    code = "import sys, tarnlet; print(sorted(n for n in sys.modules if n.startswith('tarnlet')))"
    result = subprocess.run([sys.executable, "-S", "-c", code], cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "['tarnlet']"


def test_scenarios_and_linear_maps_refuse_what_they_cannot_take():
    m = Model(dt=1.0)
    m.source("gauge", np.ones((3, 2)), names=["rain", "temp"])
    with pytest.raises(ModelError, match="nowhere"):
        m.with_values({"nowhere.y": np.ones(2)})
    with pytest.raises(ModelError, match=r"rows of 2 entries"):
        m.with_values({"gauge": np.ones((3, 5))})
    with pytest.raises(TypeError, match="a Linear scale is an entry name, not 3"):
        Linear([(1.0, "Q")], scale=3)
    for coef in (True, "2", None, 1j):
        with pytest.raises(TypeError, match=r"a Linear coefficient must be a real number, not "):
            Linear([(coef, "Q")])
    assert Linear([(np.float32(0.5), "Q"), (2, "S")]).terms == ((0.5, ("Q",)), (2.0, ("S",)))


@pytest.mark.parametrize("capacity", [400e3, 0.0])
def test_a_steady_first_flush_stays_where_it_is(capacity):
    """With and without a capacity, the steady stores' derivatives vanish."""
    u = np.array([4000.0, 130.0, 25.0, 125.0, 40.0, 16.0, 3.0])
    sspars = SEDLIFT.sspars.vector(capacity=capacity, Q_half=10000.0, n=6.0, k_wash=20.0)
    x = steady.sedlift(u, sspars)
    assert np.all(x > 0) and np.allclose(sedlift.derivatives(x, u, sspars), 0.0, atol=1e-9 * u[0] * u[1:].max())


def test_steady_sewers_and_chains_refuse_what_has_none():
    with pytest.raises(steady.NoSteadyState, match=r"weir coefficient 0\.0 has no steady state"):
        steady.sewer(SEWER.u.vector(Q=4000.0), np.ones(25), SEWER.spar.vector(A=300.0, K=0.0, h0=0.1))
    m = Model(dt=1 / 1440)
    m.source("sewage", SEWER.u.vector(Q=4000.0), layout=SEWER.u)
    with pytest.raises(ValueError, match=r"chain 'c': n must be a positive int matching the parameters' rows, not 2"):
        m.sewer_chain("c", u="sewage", pars=np.ones(25), spar=[[300.0, 11000.0, 0.1]] * 3, n=2)
    m.mixer("mix", ["sewage.yy"])
    with pytest.raises(ModelError, match=r"node 'sewage' has no vector 'yy'; did you mean 'y'\?"):
        m.check()


def test_the_text_bar_of_a_long_run(capsys, monkeypatch):
    """progress=True draws a 30-character bar on stderr once a run has taken
    2 s, filled in proportion to the steps done, and ends its line."""
    import types

    from tarnlet.model import _run

    clock = iter([0.0, 1.0, 2.5, 3.0])
    monkeypatch.setattr(_run, "time", types.SimpleNamespace(monotonic=lambda: next(clock)))
    bar = _run._progress(True)
    bar(5, 10)  # 1 s: nothing yet
    assert capsys.readouterr().err == ""
    bar(7, 10)
    bar(10, 10)
    bar.close()
    err = capsys.readouterr().err
    assert err == ("\r  model run [#####################.........] 7/10 steps"
                   "\r  model run [##############################] 10/10 steps\n")


@pytest.mark.parametrize("q", [1e-300, 0.75, 3 * 2.0**197, 1e300])
def test_a_linear_soil_reservoir_is_steady_at_inflow_over_k_lin(q):
    """No drainage: the level where k_lin * h takes the inflow, found by
    doubling and halving over the whole range of levels, tiny to huge."""
    par = LOAMTANK.par.vector(h_max=1e300, h_drain=0.0, A=1.0, q_cap=1e300, k_drain=0.0, k_lin=2.0)
    h = steady.loamtank(np.array([q, 0.0]), par)[0]
    assert h == pytest.approx(q / 2.0, rel=1e-15, abs=0.0)


def test_a_column_by_its_address_with_or_without_y():
    m = with_sewage()
    m.chain("sewer", "chain", 2, u="sewage", **STORAGE)
    result = m.run(5, record=["chain[1].Q", "chain[2].TSS"])
    assert result.column("chain[2].y.TSS").tobytes() == result.column("chain.TSS").tobytes() == \
        result.y[:, 1].tobytes()
    assert result.column("chain[1].y.Q").tobytes() == result.y[:, 0].tobytes()
    with pytest.raises(KeyError, match=r"'chain\[1\].TSS' was not recorded; the columns are chain\[1\].Q, "):
        result.column("chain[1].TSS")
    wide = m.run(2, record=["chain[1]"])  # 27 columns: the message names the first 12
    with pytest.raises(KeyError) as e:
        wide.column("chain[2].Q")
    assert e.value.args[0].endswith(", ".join(f"chain[1].{n}" for n in SEWER.y.names[:12]) + " ...")


def test_connect_feeds_an_input_after_the_node_is_made():
    def model(later):
        m = with_sewage()
        m.sewer("st", **({} if later else {"u": "sewage"}), **STORAGE)
        return m

    m = model(later=True)
    with pytest.raises(ModelError, match="node 'st' .*: its input 'u' is not connected"):
        m.check()
    m.connect("sewage", "st.u")
    m.connect("sewage", "st")  # a node's only input needs no name
    assert m.run(10, record=["st.Q", "st.h"]).y.tobytes() == model(later=False).run(10, record=["st.Q", "st.h"]) \
        .y.tobytes()
    with pytest.raises(KeyError, match=r"connect\(\): no node named 'sx'.*'st'"):
        m.connect("sewage", "sx.u")
    with pytest.raises(KeyError, match=r"connect\(\): node 'st' has no input 'v'"):
        m.connect("sewage", "st.v")


def test_a_soil_reservoir_without_outflow_below_its_drain_has_no_stable_step_bound():
    """k_lin = 0 and a level at or below h_drain: nothing leaves, so no time
    step is too long (and the bound is not a division by zero)."""
    par = LOAMTANK.par.vector(h_max=0.1, h_drain=0.02, A=1.2e5, q_cap=0.0, k_drain=15000.0, k_lin=0.0)
    assert steady.stable_step("loamtank", {"par": par}, 10.0) is None
    assert 0 < steady.stable_step("loamtank", {"par": SOIL}, 1e4) < 2.0 * 1.2e5 / 5000.0  # drainage steepens it


def test_stable_steps_of_the_storages_in_worked_numbers():
    """The longest stable Euler step, 2 / rate: a first flush at Q = Q_half
    washes out at k_wash / 2; a sewer storage at its steady level h (h0 = 0)
    is bound by 4/3 A h / Q, its weir's linearised rate."""
    sspars = SEDLIFT.sspars.vector(capacity=400e3, Q_half=5000.0, n=6.0, k_wash=20.0)
    assert steady.stable_step("sedlift", {"sspars": sspars}, 5000.0) == 2.0 / 10.0
    spar = SEWER.spar.vector(A=100.0, K=1000.0, h0=0.0)
    h = 8.0 ** (2.0 / 3.0)  # (Q / K) ** (2/3) at Q = 8000
    assert steady.stable_step("sewer", {"spar": spar}, 8000.0) == pytest.approx(4.0 / 3.0 * 100.0 * h / 8000.0,
                                                                                rel=1e-15)


@pytest.mark.parametrize("f", FUNCTIONS, ids=IDS)
def test_an_error_of_a_callers_asarray_on_the_result_is_the_calls_error(f):
    """Where a module's `np` is the caller's, its result goes through
    np.asarray; when that raises, the call raises it (never a result with an
    exception set)."""
    import types

    made = []

    def empty(*a, **k):
        made.append(np.empty(*a, **k))
        return made[-1]

    def asarray(a, *k, **kw):
        if any(a is m for m in made):
            raise LookupError("the result refused")
        return np.asarray(a, *k, **kw)

    args = f.arguments(lambda n: np.linspace(0.5, 2.0, n), dt=0.125)
    saved = f.module.np
    f.module.np = types.SimpleNamespace(ascontiguousarray=np.ascontiguousarray, asarray=asarray,
                                        float64=np.float64, empty=empty)
    try:
        with pytest.raises(LookupError, match="the result refused"):
            f.fn(*args)
    finally:
        f.module.np = saved


def test_progress_sees_the_same_chunks_in_both_runs(monkeypatch):
    from tarnlet.model import _run

    monkeypatch.setattr(_run, "CHUNK", 4)
    m = with_sewage()
    m.sewer("st", u="sewage", **STORAGE)
    seen = {}
    for run in (m.run, m.reference_run):
        calls = seen.setdefault(run.__name__, [])
        run(10, record=["st.Q"], progress=lambda done, total, calls=calls: calls.append((done, total)))
    assert seen["run"][-1] == (10, 10) and (4, 10) in seen["run"] and (8, 10) in seen["run"]
    assert seen["reference_run"] == [(4, 10), (8, 10), (10, 10)]


def test_a_runs_floating_point_warning_points_at_the_callers_line():
    from tarnlet import runs

    u = np.tile(SEWER.u.vector(Q=4000.0), (3, 1))
    spar = SEWER.spar.vector(A=1e-300, K=1e300, h0=0.0)
    with pytest.warns(RuntimeWarning, match=r"in tarnlet\.runs\.sewer_run\(\)") as caught:
        with np.errstate(all="warn"):
            runs.sewer_run(np.full(24, 1e300), u, SEWER.example_vector("pars"), spar, 1e300)
    assert {w.filename for w in caught} == {__file__}


def test_a_models_warnings_point_at_the_callers_line():
    m = with_sewage(dt=1e300)
    m.sewer("st", u="sewage", x0=np.full(24, 1e300), **STORAGE)
    for run in (m.run, m.reference_run):
        with pytest.warns(RuntimeWarning) as caught, np.errstate(all="warn"):
            run(3, record=["st.Q"])
        assert caught and {w.filename for w in caught} == {__file__}, [str(w.message) for w in caught]


@pytest.mark.parametrize("q", [-1.0, np.nan])
def test_a_steady_sewer_needs_an_inflow_of_at_least_zero(q):
    u = SEWER.u.vector(Q=4000.0)
    u[SEWER.u.Q] = q
    with pytest.raises(steady.NoSteadyState, match=rf"no steady state for the inflow {q!r} \(negative or not"):
        steady.sewer(u, SEWER.example_vector("pars"), SEWER.example_vector("spar"))


@pytest.mark.parametrize("step", [1, -1, 3, -3])
def test_an_array_over_a_memoryview_of_a_strided_array(step):
    """Its memory is the memoryview's export, which runs backwards for a
    negative stride: held all the same, and read as the plain vector."""
    from tarnlet.brookvane import sewer

    x = SEWER.example_vector("x")
    x[:23] = np.linspace(1.0, 5.0, 23)
    strided = np.zeros(24 * abs(step))[::step]
    strided[:] = x
    arr = np.asarray(memoryview(strided))
    assert isinstance(arr.base, memoryview) and np.array_equal(arr, x)
    args = [SEWER.example_vector(n) for n in ("u", "pars", "spar")]
    assert sewer.outputs(arr, *args).tobytes() == sewer.outputs(x.copy(), *args).tobytes()


def test_a_stream_blocks_entries_by_names_and_units_given_alone_or_together():
    from tarnlet.layout import COMBINER

    def model(**naming):
        m = Model(dt=1.0)
        a, b = (m.source(k, COMBINER.example_vector(f"stream_{k}"), layout=COMBINER.stream_a) for k in "ab")
        return m, m.combiner("mix", stream_a=a.name, stream_b=b.name, **naming)

    names = [f"e{i}" for i in range(56)]
    _, named = model(names=names)
    assert named.layouts["y"].names == tuple(names) and named.layouts["y"].unit("e37") == "m3/d"
    _, in_units = model(units={"Q": "L/s"})  # the layout's names kept
    assert in_units.layouts["y"].names == COMBINER.y.names and in_units.layouts["y"].unit("Q") == "L/s"
    m, both = model(names={"Q": "flow"}, units={"flow": "m3/h"})
    assert both.layouts["y"].unit("flow") == "m3/h" and "flow" in both.layouts["y"] and "Q" not in both.layouts["y"]
    with pytest.raises(ValueError, match=r"names: STREAM has 56 entries, 3 names were given"):
        model(names=["a", "b", "c"])
    with pytest.raises(KeyError, match=r"has no entries \['Qx'\]"):
        model(names={"Qx": "flow"})
