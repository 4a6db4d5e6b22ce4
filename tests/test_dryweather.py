"""tarnlet.dryweather: daily totals match the per-capita figures, the hourly,
weekday and monthly multipliers hold, several discharges mix by flow, and the
seeded variation is an AR(1) process with the stated parameters."""
import numpy as np
import pytest

pd = pytest.importorskip("pandas")

from tarnlet import dryweather as dw  # noqa: E402
from tarnlet.layout import SEWER  # noqa: E402

U = SEWER.u
DT = 1 / 1440
MONTHLY = (1.1, 1.05, 1.0, 0.95, 0.9, 0.9, 0.85, 0.9, 0.95, 1.0, 1.05, 1.1)
DAILY = (1.0, 1.0, 1.0, 1.0, 1.05, 0.95, 0.85)
PATTERN = dw.Pattern(MONTHLY, DAILY, dw.DOMESTIC_HOURLY, dw.DOMESTIC_WEEKEND_HOURLY)
TOWN = dw.domestic(12000, 140.0, pattern=PATTERN)
START = "2024-03-25"  # a Monday; the run crosses into April


@pytest.fixture(scope="module")
def town():
    return dw.generate([TOWN], start=START, dt=DT, steps=14 * 1440)


def daily(series):
    return series.groupby(series.index.normalize()).sum() * DT  # per day: volumes in m3, loads in g


def test_columns_units_and_index_are_the_sewer_inflow(town):
    assert list(town.columns) == list(U.names)
    assert town.attrs["units"]["Q"] == "m3/d" and town.attrs["units"]["S_ALK"] == "mol/m3"
    assert town.index[0] == pd.Timestamp(START) and town.index[1] - town.index[0] == pd.Timedelta("1min")
    assert (town["S_ALK"] == 5.0).all() and (town[["S_O2", "h", "passthrough", "extra_1"]] == 0.0).all().all()


def test_each_days_volume_and_loads_are_the_per_capita_figures_times_the_multipliers(town):
    volume = daily(town["Q"])
    expected = np.array([12000 * 0.140 * MONTHLY[d.month - 1] * DAILY[d.day_of_week] for d in volume.index])
    assert np.allclose(volume, expected, rtol=1e-12)
    cod = sum(daily(town["Q"] * town[c]) for c in dw.COD_COMPONENTS)
    assert np.allclose(cod, expected / 0.140 * 120.0, rtol=1e-12)  # g COD per day: 120 g per inhabitant
    for column, share, per_capita in (("S_NH4", 0.7, 11.0), ("S_PO4", 0.6, 1.8), ("TSS", 1.0, 70.0)):
        assert np.allclose(daily(town["Q"] * town[column]), expected / 0.140 * share * per_capita, rtol=1e-12)
    # The shares of the COD are those of the typical ASM2d influent.
    loads = {c: daily(town["Q"] * town[c]).iloc[0] for c in dw.COD_COMPONENTS}
    assert loads["X_S"] / loads["S_F"] == pytest.approx(125 / 30) and loads["S_A"] / loads["X_I"] == pytest.approx(0.8)


def test_a_weekdays_hourly_curve_the_weekend_curve_and_a_holiday(town):
    hourly = np.array(dw.DOMESTIC_HOURLY) / np.mean(dw.DOMESTIC_HOURLY)
    weekend = np.array(dw.DOMESTIC_WEEKEND_HOURLY) / np.mean(dw.DOMESTIC_WEEKEND_HOURLY)
    monday = town["Q"]["2024-03-25"].groupby(lambda t: t.hour).mean()
    assert np.allclose(monday, 1680.0 * MONTHLY[2] * DAILY[0] * hourly, rtol=1e-12)
    sunday = town["Q"]["2024-03-31"].groupby(lambda t: t.hour).mean()
    assert np.allclose(sunday, 1680.0 * MONTHLY[2] * DAILY[6] * weekend, rtol=1e-12)
    assert monday.idxmax() == 11 and sunday.idxmax() == 11 and monday.idxmin() == 3
    easter = dw.generate([TOWN], start="2024-04-01", dt=DT, steps=1440, holidays=["2024-04-01"])
    assert np.allclose(easter["Q"].groupby(lambda t: t.hour).mean(), 1680.0 * MONTHLY[3] * DAILY[6] * weekend)


def test_a_months_multiplier():
    flat = dw.domestic(1000, 100.0, pattern=dw.Pattern(monthly=MONTHLY))
    q = dw.generate([flat], start="2024-01-01", dt=1 / 24, steps=366 * 24)["Q"]
    by_month = q.groupby(q.index.month).mean()
    assert np.allclose(by_month, 100.0 * np.array(MONTHLY), rtol=1e-12)


def test_industry_infiltration_and_the_mix():
    dairy = dw.industry(500.0, {"COD": 2500.0, "N": 60.0, "P": 15.0, "TSS": 400.0}, hours=(6, 14))
    ground = dw.infiltration(800.0)
    kw = dict(start="2024-03-29", dt=DT, steps=3 * 1440)  # Friday to Sunday
    parts = dw.generate_parts([TOWN, dairy, ground], **kw)
    mixed = dw.generate([TOWN, dairy, ground], **kw)
    d = parts["industry"]
    working = (d.index.day_of_week < 5) & (d.index.hour >= 6) & (d.index.hour < 14)
    assert np.allclose(d["Q"][working], 500.0 * 24 / 8) and (d["Q"][~working] == 0).all()
    assert (d[~working] == 0.0).all().all() and daily(d["Q"]).tolist() == pytest.approx([500.0, 0.0, 0.0])
    assert (parts["infiltration"]["Q"] == 800.0).all() and (parts["infiltration"]["S_O2"] == 2.0).all()
    assert np.allclose(mixed["Q"], sum(p["Q"] for p in parts.values()), rtol=1e-14)
    for c in ("S_F", "S_NH4", "X_S", "S_ALK", "TSS"):  # flow weighting keeps every load
        assert np.allclose(mixed["Q"] * mixed[c], sum(p["Q"] * p[c] for p in parts.values()), rtol=1e-12)


def test_seeded_variation_is_an_ar1_process_with_its_parameters():
    varied = dw.domestic(10000, 150.0, pattern=dw.Pattern(), flow_variation=dw.AR1(sd=0.1, tau=0.05),
                         load_variation=dw.AR1(sd=0.2, tau=0.02))
    kw = dict(start="2024-01-01", dt=DT, steps=60 * 1440)
    a = dw.generate([varied], seed=7, **kw)
    assert a.equals(dw.generate([varied], seed=7, **kw)) and not a.equals(dw.generate([varied], seed=8, **kw))
    x = np.log(a["Q"].to_numpy() / 1500.0)  # = AR(1) - sd**2/2
    assert np.mean(a["Q"]) / 1500.0 == pytest.approx(1.0, abs=0.01)
    assert np.std(x) == pytest.approx(0.1, rel=0.1)
    dx = x - x.mean()
    assert np.dot(dx[1:], dx[:-1]) / np.dot(dx, dx) == pytest.approx(np.exp(-DT / 0.05), abs=0.005)
    load = np.log(a["Q"] * a["S_NH4"] / (10000 * 11.0 * 0.7)).to_numpy()
    assert np.std(load) == pytest.approx(0.2, rel=0.15)
    with pytest.raises(ValueError, match="need a seed"):
        dw.generate([varied], **kw)


@pytest.mark.parametrize("make, message", [
    (lambda: dw.Fractions({"S_F": 0.5, "X_S": 0.4}), "add up to 1, they add up to 0.9"),
    (lambda: dw.Fractions({"S_NH4": 1.0}), r"\['S_NH4'\] are not COD components"),
    (lambda: dw.Fractions({"S_F": 1.0}, nh4=1.2), "nh4 must be a share from 0 to 1"),
    (lambda: dw.Pattern(hourly=[1.0] * 23), "Pattern hourly takes 24 multipliers, got shape"),
    (lambda: dw.Pattern(daily=[1, 1, 1, 1, 1, 1, -1]), "must be finite and at least 0"),
    (lambda: dw.Discharge("x", 10.0, {"BOD": 5.0}), r"loads \['BOD'\] are not among COD, N, P, TSS"),
    (lambda: dw.Discharge("x", 10.0, concentrations={"Q": 5.0}), "'Q' is not a concentration of SEWER.u"),
    (lambda: dw.AR1(sd=0.1, tau=0.0), "tau must be a positive number of days"),
    (lambda: dw.Pattern.working_hours(16, 7), "working hours are whole hours"),
    (lambda: dw.generate([TOWN, TOWN], start=START, dt=DT, steps=10), "distinct names"),
    (lambda: dw.generate([], start=START, dt=DT, steps=10), "takes a list of Discharge"),
    (lambda: dw.generate([TOWN], start=0.0, dt=DT, steps=10), "start must be a date"),
])
def test_bad_declarations_are_refused(make, message):
    with pytest.raises(ValueError, match=message):
        make()


def test_the_generated_inflow_feeds_a_sewer_storage():
    from tarnlet import runs

    u = dw.generate([TOWN], start=START, dt=DT, steps=1440)
    spar = SEWER.spar.vector(A=300.0, K=11000.0, h0=0.1)
    x0 = np.zeros((1, 24))
    _, y = runs.sewer_chain_run(x0, u.to_numpy(), np.zeros(25), [spar], DT)
    assert y.shape == (1440, 1, 27) and y[-1, 0, SEWER.y.Q] > 0
