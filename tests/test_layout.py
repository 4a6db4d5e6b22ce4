"""The names of tarnlet.layout point at the entries the blocks use that way."""
import sys

import numpy as np
import pytest

from tarnlet.brookvane import loamtank, sewer
from tarnlet.fenmoor import sedlift
from tarnlet.layout import FRACTIONATION, LOAMTANK, SEDLIFT, SEWER, STREAM, UnknownNameError
from tarnlet.sallowby import combiner, fractionation

SPAR = SEWER.spar.vector(A=100.0, K=2.0, h0=0.5)


@pytest.mark.parametrize("layout, length", [
    (SEWER.x, sewer.NSTATES), (SEWER.u, sewer.NINPUTS), (SEWER.y, sewer.NOUTPUTS),
    (SEDLIFT.x, sedlift.NSTATES), (SEDLIFT.u, sedlift.NINPUTS), (SEDLIFT.y, sedlift.NOUTPUTS),
    (LOAMTANK.x, loamtank.NSTATES), (LOAMTANK.u, loamtank.NINPUTS), (LOAMTANK.y, loamtank.NOUTPUTS),
    (FRACTIONATION.u, fractionation.NINPUTS), (FRACTIONATION.y, fractionation.NOUTPUTS),
    (STREAM, combiner.NSTATES), (SEWER.pars, 25), (SEWER.spar, 3), (SEDLIFT.sspars, 4),
    (LOAMTANK.par, 6), (FRACTIONATION.pars, 156), (FRACTIONATION.fractions, 9),
    (FRACTIONATION.bg_values, 44)])
def test_lengths_and_entries(layout, length):
    assert len(layout) == length == len(layout.names) == len(layout.rows())
    assert [e.index for e in layout] == list(range(length))
    assert all(getattr(layout, name) == layout.index(name) == i for i, name in enumerate(layout.names))
    assert all(e.unit and e.meaning for e in layout)


def test_the_usage_of_the_module_docstring():
    assert (SEWER.u.Q, SEWER.y.TSS, SEWER.x.h, SEWER.y.h, STREAM.Q) == (19, 18, 23, 26, 37)
    assert SEWER.u.names[3] == "S_NH4" and SEWER.u.unit("Q") == "m3/d"
    u = SEWER.u.vector(S_NH4=16.0, X_S=125.0, Q=4000.0)
    assert u.dtype == np.float64 and u.shape == (27,)
    assert u[3] == 16.0 and u[10] == 125.0 and u[19] == 4000.0 and np.count_nonzero(u) == 3
    assert SEWER.pars.read == (19, 20, 21, 22, 23, 24)
    assert FRACTIONATION.pars.read == (28, 29, 30, 154, 155)


def test_sewer_components_and_flow_carry_the_mass_balance():
    """Below the threshold every component gains inflow times concentration,
    under the same name in u and x, and the level rises at Q / A."""
    x = SEWER.x.vector(h=0.2)
    for name in SEWER.x.names[:-1]:
        dx = sewer.derivatives(x, SEWER.u.vector(Q=2.0, **{name: 3.0}), np.ones(25), SPAR)
        assert dx[SEWER.x.index(name)] == 6.0 and np.count_nonzero(dx[:-1]) == 1
        assert dx[SEWER.x.h] == 2.0 / SPAR[SEWER.spar.A]


def test_sewer_level_weir_and_suspended_solids():
    x = SEWER.x.vector(h=1.5, X_S=300.0)  # one above h0, volume 150
    pars = SEWER.pars.vector(i_TSS_XS=0.5)
    u = SEWER.u.vector(passthrough=7.0)
    y = sewer.outputs(x, u, pars, SPAR)
    assert y[SEWER.y.Q] == 2.0 and y[SEWER.y.h] == 1.5 and y[SEWER.y.passthrough] == 7.0
    assert y[SEWER.y.X_S] == 2.0 and y[SEWER.y.TSS] == 1.0
    unread = [i for i in range(25) if i not in SEWER.pars.read]
    pars[unread] = 99.0
    assert np.array_equal(sewer.outputs(x, u, pars, SPAR), y)


def test_sedlift_names():
    x = SEDLIFT.x.vector(M_1=50.0, M_2=10.0)
    u = SEDLIFT.u.vector(Q=1.0, C_1=100.0)
    sspars = SEDLIFT.sspars.vector(capacity=100.0, Q_half=1.0, n=2.0, k_wash=0.25)
    y = sedlift.outputs(x, u, sspars)
    assert y[SEDLIFT.y.Q] == u[SEDLIFT.u.Q] == 1.0
    assert y[SEDLIFT.y.C_1] == 56.25 and y[SEDLIFT.y.M_1] == 50.0
    assert y[SEDLIFT.y.M_2] == 0.01 and SEDLIFT.y.unit("M_2") == "kg"
    # only the first component's store has a capacity, and says so
    assert [("capacity" in e.meaning) for e in SEDLIFT.x] == [True] + [False] * 5


def test_loamtank_names():
    par = LOAMTANK.par.vector(h_max=2.0, h_drain=0.5, A=100.0, q_cap=0.01, k_drain=3.0, k_lin=0.2)
    u = LOAMTANK.u.vector(Q_primary=1.5, Q_secondary=4.0)
    y = loamtank.outputs([1.5], u, par)
    assert (y[LOAMTANK.y.Q_drain], y[LOAMTANK.y.Q_excess], y[LOAMTANK.y.h]) == (3.0, 0.5, 1.5)
    above = loamtank.derivatives([2.5], u, par) - loamtank.derivatives([2.5], u * [1, 0], par)
    assert above[LOAMTANK.x.h] == 0.0  # the secondary inflow is refused above h_max


def test_fractionation_names():
    u = FRACTIONATION.u.vector(L1_1=600.0, L1_2=400.0, Q=10.0, Q_ref=10.0)
    fractions = FRACTIONATION.fractions.vector(f1_share_1=1.0)
    pars = FRACTIONATION.pars.vector(i_TSS_13=0.5)
    bg = np.arange(44.0)
    y = fractionation.compute(u, pars, fractions, np.zeros(44))
    assert y[FRACTIONATION.y.L1_share_1] == 100.0 and y[FRACTIONATION.y.TSS] == 50.0
    y_bg = fractionation.compute(np.zeros(12), np.zeros(156), np.zeros(9), bg)
    assert all(y_bg[out] == j for j, out in enumerate(FRACTIONATION.bg_outputs))
    assert all(y_bg[FRACTIONATION.y.index(f"bg_{j}")] == j for j in range(44))


def test_stream_flow_is_what_the_combiner_adds():
    a, b = STREAM.vector(Q=2.0, c_0=1.0), STREAM.vector(Q=6.0, c_0=5.0)
    mixed = combiner.combine(a, b)
    assert mixed[STREAM.Q] == 8.0 and mixed[STREAM.c_0] == 4.0


@pytest.mark.parametrize("call", [lambda: SEWER.u.vector(S_NH3=1.0), lambda: SEWER.u.S_NH3,
                                  lambda: SEWER.u.index("S_NH3"), lambda: SEWER.u.unit("s_nh4")])
def test_unknown_names_suggest_close_ones(call):
    with pytest.raises((TypeError, AttributeError, UnknownNameError), match="S_NH4"):
        call()


def test_table(monkeypatch):
    pytest.importorskip("pandas")
    outputs = np.arange(54.0).reshape(2, 27)
    table = SEWER.y.table(outputs)
    row = SEWER.y.table(outputs[1])
    assert list(table.columns) == list(SEWER.y.names) and table["Q"].tolist() == [19.0, 46.0]
    assert row.shape == (1, 27) and row["h"].iloc[0] == 53.0
    assert table.attrs["units"]["Q"] == "m3/d" and table.attrs["units"]["S_ALK"] == "mol/m3"
    with pytest.raises(ValueError, match="outputs\\[:, j\\]"):
        SEWER.y.table(np.zeros((2, 3, 27)))
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match=r"SEWER\.y\.table\(\) needs pandas.*tarnlet\[tables\]"):
        SEWER.y.table(outputs)


def test_a_layout_refuses_repeated_names_and_names_that_hide_methods():
    from tarnlet.layout import Layout

    with pytest.raises(ValueError, match="T: repeated names"):
        Layout("T", [("Q", "m3/d", "flow"), ("Q", "m3/d", "flow again")])
    with pytest.raises(ValueError, match=r"T: names hide methods: \['index', 'names'\]"):
        Layout("T", [("names", "-", "a"), ("index", "-", "b")])
    assert Layout("T", [("Q", "m3/d", "flow")]).names == ("Q",)
