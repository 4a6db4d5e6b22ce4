"""The model layer: every graph error is caught before anything runs and
says what and where; the reference run is the loop over the modules; the
compiled run equals it bit for bit over random graphs of every node kind;
a run split in two equals the whole; steady states keep still; the mass
balance closes; ensembles equal serial runs."""
import numpy as np
import pytest

from tarnlet.brookvane import loamtank, sewer
from tarnlet.layout import LOAMTANK, SEDLIFT, SEWER
from tarnlet.model import Model, ModelError, steady

SPAR = SEWER.spar.vector(A=300.0, K=11000.0, h0=0.1)
PARS = SEWER.pars.vector(i_TSS_XI=0.75, i_TSS_XS=0.75, i_TSS_BM=0.9)
SOIL = LOAMTANK.par.vector(h_max=0.1, h_drain=0.02, A=1.2e5, q_cap=0.12, k_drain=15000.0, k_lin=5000.0)
SSPARS = SEDLIFT.sspars.vector(capacity=400e3, Q_half=10000.0, n=6.0, k_wash=20.0)
rng = np.random.default_rng(3)


def sewage(steps, q=4000.0):
    u = np.tile(SEWER.u.vector(S_F=30.0, S_NH4=16.0, X_S=125.0, X_I=25.0, passthrough=15.0, Q=q), (steps, 1))
    u[:, SEWER.u.Q] *= 1.0 + 0.3 * np.sin(np.arange(steps) / 40.0)
    return u


def small(steps=200):
    m = Model(dt=1 / 1440)
    m.source("sewage", sewage(steps), layout=SEWER.u)
    m.source("rain", np.column_stack([np.where(np.arange(steps) % 90 < 30, 3e4, 0.0), np.full(steps, 50.0)]),
             layout=LOAMTANK.u)
    m.loamtank("soil", u="rain", par=SOIL, x0=[0.03])
    m.adapter("runoff", "soil", layout=SEWER.u, entries={"Q": "Q_excess", "S_O2": 9.0, "X_I": 40.0}, fill=0.0)
    m.mixer("inflow", ["sewage", "runoff"])
    m.sewer("st1", u="inflow", pars=PARS, spar=SPAR)
    m.sewer("st2", u="st1", pars=PARS, spar=SPAR * [1.5, 1, 1])
    return m


# ---- errors before anything runs ---------------------------------------------------------------------

def errors(m):
    with pytest.raises(ModelError) as e:
        m.check()
    return e.value.problems


def test_every_problem_at_once_with_names_and_suggestions():
    m = small()
    m.sewer("st3", u="st_2", pars=PARS, spar=SPAR)                       # an unknown node
    m.sewer("st4", u="st2.yy", pars=PARS, spar=SPAR)                     # an unknown vector
    m.sewer("st5", pars=PARS, spar=SPAR[:2])                             # unconnected, short spar
    m.adapter("wrong", "st1", layout=SEWER.u, entries={"Q": "Qx"})        # an unknown entry
    problems = errors(m)
    assert len(problems) == 5, problems
    text = "\n".join(problems)
    assert "no node named 'st_2'; did you mean 'st2'" in text
    assert "has no vector 'yy'" in text and "'y'" in text
    assert "input 'u' is not connected" in text
    assert "Expected spar of length at least 3." in text and "node 'st5'" in text
    assert "no input has an entry 'Qx'" in text and "did you mean 'Q'" in text
    assert "test_model.py:" in text  # where the node was made


def test_layouts_that_do_not_match_name_the_missing_entries():
    m = Model(dt=0.01)
    m.source("flow", np.ones((3, 2)), names=["Q", "S_F"])
    m.sewer("st", u="flow", pars=PARS, spar=SPAR)
    m.mixer("mix", ["flow", "st"])
    problems = errors(m)
    assert any("does not have the entries ['S_O2', 'S_A'" in p for p in problems)
    assert any("must have one layout" in p and "has ['S_O2'" in p for p in problems)


def test_a_loop_needs_a_delay():
    m = Model(dt=0.01)
    m.source("fresh", sewage(20), layout=SEWER.u)
    m.mixer("mix", ["fresh", "split.back"])
    m.sewer("st", u="mix", pars=PARS, spar=SPAR)
    m.splitter("split", "st", [0.8, 0.2], names=["on", "back"])
    assert errors(m) == ["a loop without a delay: mix -> st -> split -> mix; a loop needs a delay on it "
                         "(Model.delay), which gives its input one step late"]
    m2 = Model(dt=0.01)
    m2.source("fresh", sewage(20), layout=SEWER.u)
    m2.mixer("mix", ["fresh", "late"])
    m2.sewer("st", u="mix", pars=PARS, spar=SPAR)
    m2.splitter("split", "st", [0.8, 0.2], names=["on", "back"])
    m2.delay("late", "split.back", initial=np.zeros(27))
    assert "give the delay that vector's layout=" in errors(m2)[0]
    m2.nodes["late"].layout = SEWER.y
    m2._changed()
    assert m2.order == ["fresh", "late", "mix", "st", "split"]
    got = m2.reference_run(record=["late.Q", "split.back.Q"])
    assert got.y[0, 0] == 0.0 and got.y[1:, 0].tobytes() == got.y[:-1, 1].tobytes()  # one step late


def test_names_are_unique_identifiers_and_arguments_known():
    m = small()
    with pytest.raises(ValueError, match="node named 'st1' already"):
        m.sewer("st1", u="inflow", pars=PARS, spar=SPAR)
    with pytest.raises(ValueError, match="identifier"):
        m.sewer("st 9", u="inflow", pars=PARS, spar=SPAR)
    with pytest.raises(TypeError, match="unknown argument 'spars'; did you mean 'spar'"):
        m.sewer("st9", u="inflow", pars=PARS, spars=SPAR)
    with pytest.raises(KeyError, match="no block of kind 'sewr'; did you mean 'sewer'"):
        m.block("sewr", "st9")
    with pytest.raises(ModelError, match="'st1.y.TSSS'.*did you mean 'TSS'"):
        m.reference_run(record=["st1.y.TSSS"])


# ---- the reference run is the loop over the modules ----------------------------------------------------

def test_reference_run_is_the_loop_over_the_modules():
    m = small(120)
    got = m.reference_run(record=["st2", "soil.h"])
    u_soil = m.nodes["rain"].values
    x = np.array([0.03])
    start = m.steady_state()
    s1, s2 = start["st1"], start["st2"]
    for t in range(120):
        y_soil = loamtank.outputs(x, u_soil[t], SOIL)
        x = loamtank.euler_step(x, u_soil[t], SOIL, 1 / 1440)
        runoff = SEWER.u.vector(Q=y_soil[1], S_O2=9.0, X_I=40.0)
        sew = sewage(120)[t]
        total = sew[19] + runoff[19]
        u = (sew[19] * sew + runoff[19] * runoff) / total
        u[19] = total
        y1 = sewer.outputs(s1, u, PARS, SPAR)
        s1 = sewer.euler_step(s1, u, PARS, SPAR, 1 / 1440)
        y2 = sewer.outputs(s2, y1, PARS, SPAR * [1.5, 1, 1])
        s2 = sewer.euler_step(s2, y1, PARS, SPAR * [1.5, 1, 1], 1 / 1440)
        assert got.y[t, :27].tobytes() == y2.tobytes() and got.y[t, 27] == y_soil[3]
    assert got.final["st2"].tobytes() == s2.tobytes()


def test_steady_states_keep_still():
    u = sewage(1)[0]
    x = steady.sewer(u, PARS, SPAR)
    dx = sewer.derivatives(x, u, PARS, SPAR)
    assert np.all(np.abs(dx) <= 1e-9 * np.abs(x).max() * u[19] / x[23])
    flush_u = np.r_[4000.0, 130.0, 25.0, 125.0, 30.0, 16.0, 3.6]
    from tarnlet.fenmoor import sedlift
    xf = steady.sedlift(flush_u, SSPARS)
    assert np.all(np.abs(sedlift.derivatives(xf, flush_u, SSPARS)) <= 1e-9 * 4000 * 130)
    xs = steady.loamtank(np.array([1e4, 50.0]), SOIL)
    assert abs(loamtank.derivatives(xs, [1e4, 50.0], SOIL)[0]) < 1e-12
    with pytest.raises(steady.NoSteadyState, match="washes nothing out"):
        steady.sedlift(np.r_[0.0, flush_u[1:]], SSPARS)
    with pytest.raises(steady.NoSteadyState, match="never take its inflow"):
        steady.loamtank(np.array([1e4, 0.0]), LOAMTANK.par.vector(h_max=1.0, A=1e4, q_cap=1.0))


def test_mass_balance_closes():
    m = small(400)
    m.sedlift("flush", u="st2", sspars=SSPARS, components=["TSS", "X_I", "X_S", "S_F", "S_NH4", "S_PO4"])
    result = m.reference_run(record=["st2.Q"], balance=True)
    pytest.importorskip("pandas")
    table = result.balance()
    assert set(table.index.get_level_values(0)) == {"soil", "st1", "st2", "flush"}
    assert (table["relative"] < 1e-12).all(), table[table["relative"] >= 1e-12]
    assert table.loc[("st1", "water"), "in"] > 0
    # The relative error is over the larger of in and the change, however small.
    result.balances = [("a", "water", 0.5, 0.25, 0.0), ("b", "water", 0.0, 0.0, 0.0), ("c", "water", 4.0, 1.0, -6.0)]
    worked = result.balance()
    assert worked["error"].tolist() == [0.25, 0.0, 9.0] and worked["relative"].tolist() == [0.5, 0.0, 1.5]


def test_unstable_step_warns():
    m = Model(dt=0.05)
    m.source("in", sewage(10, q=40000.0), layout=SEWER.u)
    m.sewer("st", u="in", pars=PARS, spar=SPAR)
    with pytest.warns(RuntimeWarning, match="node 'st': dt = 0.05 d exceeds its stable"), np.errstate(all="ignore"):
        m.reference_run(record=["st.h"])


def test_split_reference_run_equals_the_whole():
    m = small(100)
    whole = m.reference_run(record=["st2.Q", "soil.h"], every=7)
    first = m.reference_run(30, record=["st2.Q", "soil.h"], every=7)
    second = m.reference_run(x0=first, record=["st2.Q", "soil.h"], every=7)
    assert np.concatenate([first.y, second.y]).tobytes() == whole.y.tobytes()
    assert second.final["st2"].tobytes() == whole.final["st2"].tobytes() and second.stop == 100
    pytest.importorskip("pandas")
    assert np.allclose(second.table().index, np.arange(35, 100, 7) / 1440)
