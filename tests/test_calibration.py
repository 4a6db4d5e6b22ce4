"""Calibration and uncertainty: the measures against worked numbers; parameters
by address (a chain's member alone); observations on and between steps;
known parameters recovered from noise-free data within the bounds; the
identifiability warning for a storage's area and weir coefficient from its
outflow alone, gone with its level; ensembles on threads (and a Dask
cluster) equal to serial runs bit for bit; samples, bands, Sobol' indices."""
import csv
import doctest
import importlib
import importlib.util
import math
import pathlib
import re
import sys
import warnings

import numpy as np
import pytest

from tarnlet.calibration import (
    IdentifiabilityWarning,
    Observation,
    Parameter,
    ReferenceRouteWarning,
    _route,
    apply,
    bands,
    ensemble,
    fit,
    measures,
    plot_bands,
    sample,
    scenarios,
    sensitivity,
)
from tarnlet.calibration.observations import align
from tarnlet.layout import LOAMTANK, SEWER
from tarnlet.model import Model, ModelError

pd = pytest.importorskip("pandas")
pytest.importorskip("scipy")
pytestmark = pytest.mark.filterwarnings("ignore::tarnlet.calibration.ReferenceRouteWarning")

DT = 1 / 1440
PARS = SEWER.pars.vector(i_TSS_XI=0.75, i_TSS_XS=0.75, i_TSS_BM=0.9)
SPAR = SEWER.spar.vector(A=300.0, K=11000.0, h0=0.1)
SOIL = LOAMTANK.par.vector(h_max=0.1, h_drain=0.02, A=1.2e5, q_cap=0.12, k_drain=15000.0, k_lin=5000.0)


def inflow(steps, q=4000.0, wave=30.0):
    u = np.tile(SEWER.u.vector(S_F=30.0, X_S=125.0, Q=q), (steps, 1))
    u[:, SEWER.u.Q] *= 1.0 + 0.5 * np.sin(np.arange(steps) / wave)
    return u


def storage(steps=300, **spar):
    m = Model(dt=DT)
    m.source("sewage", inflow(steps), layout=SEWER.u)
    m.sewer("st", u="sewage", pars=PARS, spar=SEWER.spar.vector(**{"A": 300.0, "K": 11000.0, "h0": 0.1, **spar}))
    return m


def chain_model(steps=200):
    m = Model(dt=DT)
    m.source("sewage", inflow(steps), layout=SEWER.u)
    m.source("rain", np.column_stack([np.where(np.arange(steps) % 90 < 30, 3e4, 0.0), np.full(steps, 50.0)]),
             layout=LOAMTANK.u)
    m.loamtank("soil", u="rain", par=SOIL, x0=[0.03])
    m.adapter("runoff", "soil", layout=SEWER.u, entries={"Q": "Q_excess", "X_I": 40.0}, fill=0.0)
    m.mixer("mixed", ["sewage", "runoff"])
    m.sewer_chain("chain", u="mixed", pars=PARS, spar=np.array([SPAR, SPAR * [1.3, 1, 1], SPAR * [1.6, 1, 1]]))
    m.sewer("side", u="sewage", pars=PARS, spar=SPAR)  # a branch no chain record depends on
    return m


A = Parameter("st.spar.A", 100.0, 1000.0, log=True, initial=180.0)
K = Parameter("st.spar.K", 3e3, 3e4, log=True, initial=2.5e4)


# ---- measures ----------------------------------------------------------------------------------------

def test_measures_give_the_worked_numbers():
    o, s = [1.0, 2.0, 3.0, 4.0], [1.5, 2.0, 2.5, 5.0]
    # squared errors 0.25, 0, 0.25, 1; spread of o around 2.5: 5; means 2.75 and 2.5
    assert measures.nse(s, o) == pytest.approx(1 - 1.5 / 5, abs=1e-15)
    assert measures.rmse(s, o) == pytest.approx(math.sqrt(1.5 / 4), rel=1e-15)
    assert measures.bias(s, o) == 0.25
    # deviations s: -1.25 -0.75 -0.25 2.25 (squares 7.25), o: -1.5 -0.5 0.5 1.5 (5); products 5.5
    r, alpha, beta = measures.kge_parts(s, o)
    assert (r, alpha, beta) == pytest.approx((5.5 / math.sqrt(7.25 * 5), math.sqrt(7.25 / 5), 1.1), rel=1e-14)
    assert measures.kge(s, o) == pytest.approx(1 - math.sqrt((r - 1) ** 2 + (alpha - 1) ** 2 + 0.1**2), rel=1e-14)
    # logarithms 0, L, 2L against 0, L, 3L (L = ln 10): 1 - L**2 / (2 L**2)
    assert measures.log_nse([1.0, 10.0, 1000.0], [1.0, 10.0, 100.0], epsilon=0.0) == pytest.approx(0.5, rel=1e-14)
    # the default epsilon is a hundredth of the observed mean: zeros stay finite
    eps = 0.01 * 3.0
    logs = np.log(np.array([0.0, 3.0, 6.0]) + eps), np.log(np.array([0.5, 3.0, 5.5]) + eps)
    assert measures.log_nse([0.5, 3.0, 5.5], [0.0, 3.0, 6.0]) == pytest.approx(measures.nse(logs[1], logs[0]))
    # NaN pairs are skipped; a constant observation has no NSE; bad input is refused
    assert measures.nse([1.5, np.nan, 2.0, 2.5, 5.0], [1.0, 7.0, 2.0, 3.0, 4.0]) == pytest.approx(0.7)
    assert math.isnan(measures.nse([1.0, 2.0], [3.0, 3.0]))
    with pytest.raises(ValueError, match="one length"):
        measures.rmse([1.0, 2.0], [1.0])
    with pytest.raises(ValueError, match="no pair"):
        measures.bias([np.nan], [1.0])


@pytest.mark.parametrize("module", ["measures", "parameters", "observations", "fitting", "ensembles", "_route"])
def test_the_docstring_examples_run(module):
    found = doctest.testmod(importlib.import_module(f"tarnlet.calibration.{module}"), optionflags=doctest.ELLIPSIS)
    assert found.failed == 0


# ---- parameters and observations ---------------------------------------------------------------------

def test_parameters_by_address_and_their_errors():
    m = chain_model()
    one = apply(m, {"chain[2].spar.A": 999.0})
    every = apply(m, {"chain.spar.K": 7000.0})
    assert [float(p["spar"][0]) for p in one.nodes["chain"].member_params] == [300.0, 999.0, 480.0]
    assert [float(p["spar"][1]) for p in every.nodes["chain"].member_params] == [7000.0] * 3
    assert float(m.nodes["chain"].member_params[1]["spar"][0]) == 390.0  # the model is not changed
    built = chain_model()
    built.nodes["chain"].member_params[1]["spar"] = SPAR * [999 / 300, 1, 1]
    record = ["chain[3].Q", "chain[2].h"]
    assert one.reference_run(record=record).y.tobytes() == built.reference_run(record=record).y.tobytes()
    with pytest.raises(ModelError) as e:
        fit(m, [Parameter("chian.spar.A", 1, 2), Parameter("chain[4].spar.A", 1, 2),
                Parameter("chain.spar.Kw", 1, 2), Parameter("mixed.y.Q", 1, 2)],
            [Observation("chain.Q", pd.Series([1.0], index=[0.0]))])
    text = str(e.value)
    assert "no node named 'chian'; did you mean 'chain'" in text and "members 1 to 3, not 4" in text
    assert "no entry 'Kw'; did you mean 'K'" in text and "'mixed' is a mixer" in text
    for args, message in [(("st.spar", 1, 2), "node.vector.entry"), (("st.spar.A", 2, 1), "below upper"),
                          (("st.spar.A", 0.0, 1, True), "positive"), (("st.spar.A", 1, 2, False, 3.0), "outside")]:
        with pytest.raises(ValueError, match=message):
            Parameter(*args)


def test_observations_are_taken_at_the_step_on_or_before_them():
    t = [-0.01, 0.0, 0.01, 0.015, 0.03 - 1e-12, 0.04, 1.0]  # dt = 0.01: steps -1, 0, 1, 1.5, 3, 4, 100
    o = Observation("st.Q", pd.Series([1.0, 2.0, 3.0, 4.0, 5.0, np.nan, 7.0], index=t), name="flow")
    a = align(o, 0, dt=0.01, first=0, stop=100)
    assert a.rows.tolist() == [0, 1, 1, 3] and a.observed.tolist() == [2.0, 3.0, 4.0, 5.0]
    assert (a.total, a.missing, a.outside, a.between) == (7, 1, 2, 1)
    assert "4 of 7 values used (1 missing, 2 outside the run skipped); 1 between steps" in a.describe()
    dated = pd.Series([1.0, 2.0, 3.0], index=pd.Timestamp("2024-05-01") + pd.to_timedelta([20 * 60, 25 * 60,
                                                                                          30 * 60 - 1e-4], unit="s"))
    b = align(Observation("st.Q", dated), 0, dt=1 / 144, first=0, stop=10, start=pd.Timestamp("2024-05-01"))
    assert b.rows.tolist() == [2, 2, 3] and b.between == 1  # 10-minute steps; the last within a millionth
    with pytest.raises(ValueError, match="needs a start date"):
        align(Observation("st.Q", dated), 0, dt=1 / 144, first=0, stop=10)
    for bad, message in [(np.ones(3), "pandas Series"), (pd.Series(["a"]), "numbers"),
                         (pd.Series([1.0], index=["x"]), "dates or times")]:
        with pytest.raises((TypeError, ValueError), match=message):
            Observation("st.Q", bad)
    with pytest.raises(ValueError, match="weight"):
        Observation("st.Q", dated, weight=0.0)


# ---- fitting -----------------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def truth():
    return storage().reference_run(record=["st.Q", "st.h"]).table()


def observed(truth, level=True, noise=0.0, seed=0):
    rng = np.random.default_rng(seed)
    flow = truth[("st", "Q")] + rng.normal(0.0, 40.0, len(truth)) * noise
    out = [Observation("st.Q", flow, weight=1 / 40, name="flow")]
    if level:
        out.append(Observation("st.h", truth[("st", "h")] + rng.normal(0.0, 0.005, len(truth)) * noise,
                               weight=1 / 0.005, name="level"))
    return out


def test_known_parameters_are_recovered_from_noise_free_data(truth):
    with warnings.catch_warnings():
        warnings.simplefilter("error", IdentifiabilityWarning)
        report = fit(storage(A=500.0, K=5000.0), [A, K], observed(truth), threads=2)
    assert report.estimates["st.spar.A"] == pytest.approx(300.0, rel=1e-6)
    assert report.estimates["st.spar.K"] == pytest.approx(11000.0, rel=1e-6)
    assert report.initial == {"st.spar.A": 180.0, "st.spar.K": 2.5e4}
    after = report.measures.xs("after", level="run")
    assert (after["nse"] > 1 - 1e-12).all() and (report.measures.xs("before", level="run")["nse"] < 0.9).all()
    assert report.evaluations == len(report.history) and report.eval_ms > 0
    assert report.model.nodes["st"].params["spar"][0] == report.estimates["st.spar.A"]
    assert "Measures before -> after" in report.summary() and "st.spar.K" in report.table().index
    serial = fit(storage(A=500.0, K=5000.0), [A, K], observed(truth), threads=1)
    assert serial.estimates == report.estimates  # the Jacobian's columns on threads change nothing


def test_bounds_hold_and_the_bound_reached_is_reported(truth):
    low_k = Parameter("st.spar.K", 3e3, 8e3, log=True, initial=4e3)  # the truth, 11000, lies above
    report = fit(storage(), [A, low_k], observed(truth))
    lower = np.array([A.lower, low_k.lower])
    upper = np.array([A.upper, low_k.upper])
    assert ((report.history >= lower) & (report.history <= upper)).all()  # every run within the bounds
    assert report.estimates["st.spar.K"] == pytest.approx(8e3) and list(report.at_bound) == ["", "upper"]
    assert "at the upper bound" in report.summary()


def test_outflow_alone_does_not_identify_area_and_weir(truth):
    with pytest.warns(IdentifiabilityWarning, match=r"'st.spar.A' and 'st.spar.K' are not identified by "
                                                    r"'flow' alone: their estimates correlate at \+1.000"):
        alone = fit(storage(), [A, K], observed(truth, level=False, noise=1.0))
    assert alone.correlation.loc["st.spar.A", "st.spar.K"] > 0.999
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        both = fit(storage(), [A, K], observed(truth, noise=1.0))
    assert not [w for w in caught if issubclass(w.category, IdentifiabilityWarning)]
    assert abs(both.correlation.loc["st.spar.A", "st.spar.K"]) < 0.95 and not both.identifiability
    for name, true in (("st.spar.A", 300.0), ("st.spar.K", 11000.0)):  # noisy data: the truth within 4 errors
        assert 0 < both.standard_errors[name] and abs(both.estimates[name] - true) < 4 * both.standard_errors[name]


def test_a_parameter_without_effect_is_named_and_bad_observations_refused(truth):
    no_effect = Parameter("st.pars.p_0", 0.0, 1.0, initial=0.5)  # the sewer never reads it
    with pytest.warns(IdentifiabilityWarning, match="'st.pars.p_0' is not identified by 'flow' and 'level'"):
        report = fit(storage(), [A, no_effect], observed(truth))
    assert report.standard_errors["st.pars.p_0"] == math.inf
    with pytest.raises(ModelError, match="'st.y.QQ'.*did you mean 'Q'"):
        fit(storage(), [A], [Observation("st.y.QQ", truth[("st", "Q")])])
    with pytest.raises(ValueError, match="no value lies inside the run"):
        fit(storage(), [A], [Observation("st.Q", pd.Series([1.0], index=[50.0]))])
    with pytest.raises(ValueError, match="records 27 entries"):
        fit(storage(), [A], [Observation("st", truth[("st", "Q")])])


def test_the_figure_and_a_missing_scipy(truth, tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    report = fit(storage(), [A, K], observed(truth))
    fig = report.plot(tmp_path / "fit.png")
    assert len(fig.axes) == 4 and (tmp_path / "fit.png").stat().st_size > 10_000
    monkeypatch.setitem(__import__("sys").modules, "scipy", None)
    with pytest.raises(ImportError, match=r"fit\(\) needs scipy: pip install 'tarnlet\[calibration\]'"):
        fit(storage(), [A], observed(truth))


def test_dated_observations_and_a_continued_run(truth):
    dated = storage()
    dated.start = pd.Timestamp("2024-05-01")
    on_dates = [Observation(o.address, pd.Series(o.series.to_numpy(), index=dated.start + pd.to_timedelta(
        o.series.index.to_numpy() + 1 / 2880, unit="D")), weight=o.weight, name=o.name) for o in observed(truth)]
    report = fit(dated, [A, K], on_dates)  # each value half a step late: taken at the step before it
    assert report.estimates["st.spar.A"] == pytest.approx(300.0, rel=1e-6)
    assert report.observations[0].between == len(truth) and report.after.times()[0] == dated.start
    first = storage().reference_run(100, record=["st.Q"])
    went_on = fit(storage(), [A, K], observed(truth), x0=first)  # from the true state after 100 steps
    assert went_on.before.start == 100 and went_on.observations[1].outside == 100
    assert went_on.estimates["st.spar.K"] == pytest.approx(11000.0, rel=1e-6)


def test_fit_refuses_what_it_cannot_do(truth):
    flow = observed(truth, level=False)
    for kwargs, error, message in [({"method": "lm"}, ValueError, "takes no bounds"),
                                   ({"jac": "3-point"}, TypeError, "sets least_squares' 'jac' itself"),
                                   ({"correlation_limit": 1.5}, ValueError, "correlation_limit"),
                                   ({"progress": "yes"}, TypeError, "progress")]:
        with pytest.raises(error, match=message):
            fit(storage(), [A], flow, **kwargs)
    with pytest.raises(ValueError, match="each needs its own name"):
        fit(storage(), [A], flow + flow)
    with pytest.raises(ModelError, match="given twice"):
        fit(storage(), [A, A], flow)
    seen = []
    fit(storage(), [A], flow, progress=lambda runs, cost: seen.append((runs, cost)))
    assert [r for r, _ in seen] == sorted(r for r, _ in seen) and all(c >= 0 for _, c in seen)


# ---- runs: pruning, the route ------------------------------------------------------------------------

def test_pruned_runs_and_the_route():
    m = chain_model()
    record = ["chain[3].Q", "chain[1].h"]
    pruned = _route.prune(m, record)
    assert set(pruned.nodes) == {"sewage", "rain", "soil", "runoff", "mixed", "chain"} and "side" in m.nodes
    assert pruned.reference_run(record=record).y.tobytes() == m.reference_run(record=record).y.tobytes()
    compiled = _route.compiled_available()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert _route.choose_route("test") is compiled
    assert bool(caught) is not compiled and all(w.category is ReferenceRouteWarning for w in caught)


# ---- samples, ensembles, bands, sensitivity -------------------------------------------------------------

def test_samples_fill_the_bounds():
    params = [Parameter("st.spar.A", 100.0, 1000.0, log=True), Parameter("st.spar.h0", 0.0, 0.2)]
    lhs = sample(params, 20, seed=4)
    assert np.array_equal(lhs, sample(params, 20, seed=4)) and not np.array_equal(lhs, sample(params, 20, seed=5))
    strata = np.floor(20 * np.column_stack([np.log(lhs[:, 0] / 100.0) / np.log(10.0), lhs[:, 1] / 0.2]))
    assert all(sorted(strata[:, j]) == list(range(20)) for j in range(2))  # one point per stratum (log for A)
    sobol = sample(params, 16, method="sobol", seed=1)
    assert sobol.shape == (16, 2) and (sobol[:, 0] >= 100).all() and (sobol[:, 0] <= 1000).all()
    assert scenarios(params, sobol[:2], **{"sewage": "x"})[1] == {"sewage": "x", "st.spar.A": sobol[1, 0],
                                                                   "st.spar.h0": sobol[1, 1]}
    with pytest.raises(ValueError, match="'lhs' or 'sobol'"):
        sample(params, 4, method="grid")


def test_ensembles_on_threads_equal_serial_runs_bit_for_bit():
    m = chain_model()
    params = [Parameter("chain[2].spar.A", 200.0, 800.0), Parameter("chain.spar.K", 5e3, 2e4, log=True)]
    rng = np.random.default_rng(7)
    rains = [np.column_stack([rng.uniform(0, 4e4, 200), np.full(200, 50.0)]) for _ in range(6)]
    cases = [{**s, "rain": r} for s, r in zip(scenarios(params, sample(params, 6, seed=2)), rains)]
    record = ["chain[3].Q", "chain.h", "soil.h"]
    serial = ensemble(m, cases, record=record, threads=1)
    made, ahead = [], []

    def lazily():  # a generator is read as the runs go: at most twice the workers ahead
        for case in cases:
            made.append(case)
            yield case
    threaded = ensemble(m, lazily(), record=record, threads=2,
                        progress=lambda done, total: ahead.append((len(made) - done, total)))
    assert [r.y.tobytes() for r in serial] == [r.y.tobytes() for r in threaded]
    assert max(a for a, _ in ahead) <= 4 and {t for _, t in ahead} == {None}
    alone = apply(m, cases[3]).reference_run(record=record)
    assert alone.y.tobytes() == serial[3].y.tobytes()
    table = bands(threaded, "chain.Q")  # the chain by its name: its last member
    stacked = np.vstack([r.y[:, 0] for r in serial])
    assert table.columns.tolist() == ["p5", "p50", "p95"] and table.attrs["unit"] == "m3/d"
    assert np.array_equal(table["p50"].to_numpy(), np.median(stacked, axis=0))
    assert table.index.name == "t" and table.index[1] == pytest.approx(DT)
    with pytest.raises(ModelError, match="scenarios.1.: 'rian': no node named 'rian'; did you mean 'rain'"):
        ensemble(m, [{}, {"rian": rains[0]}], record=record)
    with pytest.raises(ValueError, match="other times"):
        bands([serial[0], m.reference_run(100, record=record)], "chain[3].Q")
    with pytest.raises(ValueError, match=r"scenarios\[1\]"):  # a failing run says which scenario it was
        ensemble(m, [{}, {"rain": np.ones((200, 3))}], record=record, threads=2)
    member = apply(m, {"chain[2].spar": SPAR * [2, 1, 1], "x0": None})
    assert member.nodes["chain"].member_params[1]["spar"].tolist() == (SPAR * [2, 1, 1]).tolist()
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    ax = plot_bands(table, unit="m3/d")
    assert len(ax.collections) == 1 and len(ax.lines) == 1 and ax.get_ylabel() == "chain.Q (m3/d)"


def test_bands_give_the_worked_percentiles():
    runs = [pd.DataFrame({("st", "Q"): [float(k), 2.0 * k, 7.0]}) for k in range(101)]
    table = bands(runs, "st.y.Q", percentiles=(5, 50, 95))
    assert table.to_numpy().tolist() == [[5.0, 50.0, 95.0], [10.0, 100.0, 190.0], [7.0, 7.0, 7.0]]
    with pytest.raises(KeyError, match="no column 'st.h'"):
        bands(runs, "st.h")


def test_ensemble_on_a_dask_cluster_equals_threads(dask_client):
    m = storage(120)
    cases = scenarios([A, K], sample([A, K], 4, seed=3))
    threaded = ensemble(m, cases, record=["st.Q", "st.h"], threads=2)
    on_dask = ensemble(m, cases, record=["st.Q", "st.h"], client=dask_client)
    assert [r.y.tobytes() for r in on_dask] == [r.y.tobytes() for r in threaded]


def test_sobol_indices_find_the_parameter_that_matters():
    pytest.importorskip("SALib")
    m = storage(150)
    found = sensitivity(m, [A, Parameter("st.pars.p_0", 0.0, 1.0)], lambda r: r.y[:, 0].max(), 32,
                        record="st.Q", seed=11)
    assert found.attrs["runs"] == 32 * 4
    assert found.loc["st.spar.A", "ST"] > 0.8 and abs(found.loc["st.pars.p_0", "ST"]) < 1e-9
    pairs = sensitivity(m, [A, K], lambda r: r.y[:, 0].max(), 8, record="st.Q", seed=11, second_order=True)
    assert pairs.attrs["runs"] == 8 * 6 and pairs.attrs["S2"].shape == (2, 2)


# ---- the gallery examples, short ---------------------------------------------------------------------

def load(name):
    examples = pathlib.Path(__file__).resolve().parent.parent / "examples"
    if str(examples) not in sys.path:
        sys.path.insert(0, str(examples))
    spec = importlib.util.spec_from_file_location(name, examples / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_the_calibration_example_says_what_each_set_of_observations_identifies(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    assert load("calibrate_storm").main(["--days", "0.2", "--out", str(tmp_path)]) == 0
    out = capsys.readouterr().out
    rows = [line.split() for line in out.splitlines() if len(re.findall(r" (ok|no)\b", line)) == 3]
    marks = {row[0]: [w for w in row if w in ("ok", "no")] for row in rows}  # per fit: identified or not
    assert set(marks) == {"A1", "A2", "A3", "K"}
    assert all(m[0] == "no" and m[2] == "ok" for m in marks.values()), marks  # flow alone / three levels
    assert marks["K"][1] == "ok"  # one level fixes the weir coefficient
    assert "flow + three levels: " in out and "converged; 0 pair(s) flagged" in out
    assert all((tmp_path / f).stat().st_size > 10_000 for f in ("calibrate_storm.png", "calibrate_storm_estimates.png"))


def test_the_monte_carlo_example_writes_its_bands(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    assert load("monte_carlo_rain").main(["--scenarios", "6", "--days", "0.2", "--out", str(tmp_path)]) == 0
    assert "6 scenarios of 288 one-minute steps" in capsys.readouterr().out
    with open(tmp_path / "monte_carlo_rain.csv", newline="") as f:
        rows = list(csv.reader(f))
    assert rows[0] == ["time_d", "Q_m3_d_p5", "Q_m3_d_p50", "Q_m3_d_p95", "TSS_g_m3_p5", "TSS_g_m3_p50",
                       "TSS_g_m3_p95"] and len(rows) == 288 // 5 + 2
    values = np.array(rows[1:], dtype=float)
    assert (values[:, 1] <= values[:, 2]).all() and (values[:, 2] <= values[:, 3]).all()
    assert (tmp_path / "monte_carlo_rain.png").stat().st_size > 10_000
