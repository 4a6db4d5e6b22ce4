"""tarnlet.forcing: measured series on the step grid by each rule, every kind
of gap reported with its span (or filled when asked), bad times refused, rain
as a soil reservoir's inflow."""
import importlib.util
import pathlib
import sys

import numpy as np
import pytest

pd = pytest.importorskip("pandas")

from tarnlet.forcing import Forcing, GapError, find_gaps, on_grid, rain_inflow  # noqa: E402
from tarnlet.layout import LOAMTANK  # noqa: E402

DAY = 1 / 1440  # a minute, in days


def quarter_hours(values, start="2024-05-01"):
    return pd.Series(values, index=pd.date_range(start, periods=len(values), freq="15min"), dtype=float)


def test_hold_and_linear_between_the_data_times():
    s = quarter_hours([0.0, 15.0, 30.0, 45.0])
    hold = on_grid(s, start="2024-05-01", dt=5 * DAY, steps=12)
    linear = on_grid(s, start="2024-05-01", dt=5 * DAY, steps=10, rule="linear")
    assert hold.tolist() == [0.0] * 3 + [15.0] * 3 + [30.0] * 3 + [45.0] * 3
    assert np.allclose(linear, np.arange(10) * 5.0, rtol=0, atol=1e-9)


def test_dates_and_days_give_the_same_grid_and_a_sample_on_a_step_is_that_sample():
    minutes = np.arange(3 * 1440, dtype=float)
    by_date = pd.Series(minutes, index=pd.date_range("2024-01-01", periods=len(minutes), freq="min"))
    by_day = pd.Series(minutes, index=minutes * DAY)  # rounds differently from the dates
    for rule in ("hold", "linear"):
        assert np.array_equal(on_grid(by_date, start="2024-01-01", dt=DAY, steps=len(minutes), rule=rule), minutes)
        assert np.array_equal(on_grid(by_day, start=0.0, dt=DAY, steps=len(minutes), rule=rule), minutes)


def test_a_dataframe_gives_one_column_per_column_and_start_defaults_to_the_first_time():
    df = pd.DataFrame({"Q": [1.0, 2.0], "T": [10.0, 12.0]}, index=[2.0, 3.0])
    out = on_grid(df, dt=0.5, steps=3, rule="linear")
    assert out.shape == (3, 2) and out[:, 0].tolist() == [1.0, 1.5, 2.0] and out[:, 1].tolist() == [10.0, 11.0, 12.0]


# One series with every kind of gap: it starts at 00:15 (the run at 00:00),
# 00:45 is NaN, 01:30 and 01:45 are missing, it ends at 02:00 (the run at 02:55).
GAPPY = quarter_hours([1.0, np.nan, 3.0, 4.0, 5.0, 8.0], start="2024-05-01 00:15").drop(
    pd.DatetimeIndex(["2024-05-01 01:30", "2024-05-01 01:45"]), errors="ignore")
GAPPY = pd.concat([GAPPY.iloc[:4], pd.Series([7.0, 8.0], index=pd.DatetimeIndex(["2024-05-01 01:45",
                                                                                   "2024-05-01 02:00"]))])


@pytest.mark.parametrize("rule, expected", [
    ("hold", [("before", "2024-05-01 00:00:00", "2024-05-01 00:15:00", 0, 3),
              ("nan", "2024-05-01 00:30:00", "2024-05-01 00:30:00", 6, 3),
              ("hole", "2024-05-01 01:00:00", "2024-05-01 01:45:00", 15, 6),
              ("after", "2024-05-01 02:00:00", "2024-05-01 02:55:00", 27, 9)]),
    ("linear", [("before", "2024-05-01 00:00:00", "2024-05-01 00:15:00", 0, 3),
                ("nan", "2024-05-01 00:30:00", "2024-05-01 00:30:00", 4, 5),
                ("hole", "2024-05-01 01:00:00", "2024-05-01 01:45:00", 13, 8),
                ("after", "2024-05-01 02:00:00", "2024-05-01 02:55:00", 25, 11)]),
])
def test_every_kind_of_gap_is_reported_with_its_span(rule, expected):
    with pytest.raises(GapError) as info:
        on_grid(GAPPY, start="2024-05-01", dt=5 * DAY, steps=36, rule=rule, name="flow")
    found = [(g.kind, str(g.start), str(g.end), g.first_step, g.steps) for g in info.value.gaps]
    assert found == expected
    assert [g.kind for g in find_gaps(GAPPY, start="2024-05-01", dt=5 * DAY, steps=36, rule=rule)] == \
        [k for k, *_ in expected]
    text = str(info.value)
    first, last = expected[0][3], expected[0][3] + expected[0][4] - 1
    assert text.startswith(f"flow has 4 gaps in the run ({sum(e[4] for e in expected)} steps without a value); "
                           "give fill='hold', 'linear' or a number")
    assert f"no data before 2024-05-01 00:15:00 (the run starts at 2024-05-01 00:00:00): steps {first}-{last}" in text
    assert "NaN at 2024-05-01 00:30:00" in text
    assert "no data between 2024-05-01 01:00:00 and 2024-05-01 01:45:00" in text
    assert "no data after 2024-05-01 02:00:00 (the run ends at 2024-05-01 02:55:00)" in text


def test_a_gap_in_one_column_names_it_and_max_gap_allows_wider_spacing():
    df = pd.DataFrame({"Q": [1.0, 2.0, 3.0], "C": [1.0, np.nan, 3.0]}, index=[0.0, 1.0, 2.0])
    with pytest.raises(GapError, match=r"column 'C': NaN at 1.0: steps 2-3 of the run") as info:
        on_grid(df, start=0.0, dt=0.5, steps=5)
    assert len(info.value.gaps) == 1
    sparse = pd.Series([1.0, 2.0, 3.0, 4.0], index=[0.0, 1.0, 2.0, 5.0])
    with pytest.raises(GapError, match="no data between 2.0 and 5.0"):
        on_grid(sparse, start=0.0, dt=1.0, steps=6)
    assert on_grid(sparse, start=0.0, dt=1.0, steps=6, max_gap=3.0).tolist() == [1, 2, 3, 3, 3, 4]
    assert on_grid(sparse, start=0.0, dt=1.0, steps=6, rule="linear", max_gap="3D").tolist() == [1, 2, 3, 3 + 1 / 3,
                                                                                                     3 + 2 / 3, 4]


def test_fill_rules_fill_only_the_gaps():
    s = pd.Series([1.0, np.nan, 5.0], index=[0.0, 1.0, 2.0])
    grid = dict(start=-1.0, dt=0.5, steps=8)  # one day before the data, and half a day after
    assert on_grid(s, fill="hold", **grid).tolist() == [1, 1, 1, 1, 1, 1, 5, 5]
    assert on_grid(s, fill="linear", **grid).tolist() == [1, 1, 1, 1, 3, 4, 5, 5]  # 0.5: 0.0's value holds
    assert on_grid(s, fill=-1.0, **grid).tolist() == [-1, -1, 1, 1, -1, -1, 5, 5]
    assert on_grid(s, rule="linear", fill=0.0, **grid).tolist() == [0, 0, 1, 0, 0, 0, 5, 0]
    with pytest.raises(ValueError, match="every value is NaN"):
        on_grid(pd.Series([np.nan, np.nan], index=[0.0, 1.0]), start=0.0, dt=1.0, steps=2, fill="hold")


@pytest.mark.parametrize("data, kwargs, error, message", [
    (pd.Series([1.0, 2.0], index=[1.0, 0.0]), {}, ValueError,
     r"data's times are not sorted: 0.0 \(row 1\) follows 1.0"),
    (pd.Series([1.0, 2.0], index=[0.0, 0.0]), {}, ValueError, r"data has repeated times: 0.0 at rows 0 and 1"),
    (pd.Series([1.0], index=pd.DatetimeIndex(["2024-01-01"])), {"start": 0.0}, ValueError,
     "data has dates: start must be a date"),
    (pd.Series([1.0], index=[0.0]), {"start": "2024-01-01"}, ValueError, "data is indexed by days: start must be"),
    (pd.Series([1.0], index=pd.DatetimeIndex(["2024-01-01"]).tz_localize("UTC")), {"start": "2024-01-01"},
     ValueError, "data's times are time-zone aware, start is naive"),
    (pd.Series(["a"], index=[0.0]), {}, ValueError, r"column 0 not numeric|not numeric"),
    (pd.Series([1.0], index=["x"]), {}, TypeError, "must have a DatetimeIndex or a numeric index of days"),
    ([1.0, 2.0], {}, TypeError, "data must be a pandas Series or DataFrame"),
    (pd.Series([1.0], index=[0.0]), {"rule": "cubic"}, ValueError, "rule must be one of 'hold', 'linear', not 'cubic'"),
    (pd.Series([1.0], index=[0.0]), {"fill": "zero"}, ValueError, "fill must be None"),
    (pd.Series([1.0], index=[0.0]), {"dt": 0.0}, ValueError, r"on_grid\(\): dt must be a positive number of days"),
    (pd.Series([1.0], index=[0.0]), {"steps": 0}, ValueError, r"on_grid\(\): steps must be a positive integer"),
    (pd.Series([], dtype=float), {}, ValueError, "data is empty"),
])
def test_bad_input_is_refused_with_its_reason(data, kwargs, error, message):
    args = dict(dt=1.0, steps=1) | kwargs
    with pytest.raises(error, match=message):
        on_grid(data, **args)


def test_the_data_are_not_changed():
    s = pd.Series([1.0, np.nan, 3.0], index=[0.0, 1.0, 2.0])
    before = s.copy()
    on_grid(s, start=0.0, dt=0.5, steps=5, fill="linear")
    pd.testing.assert_series_equal(s, before)


def load_example():
    path = pathlib.Path(__file__).resolve().parent.parent / "examples" / "storm_event.py"
    spec = importlib.util.spec_from_file_location("storm_event", path)
    module = importlib.util.module_from_spec(spec)
    sys.modules["storm_event"] = module
    try:
        spec.loader.exec_module(module)
    finally:
        sys.modules.pop("storm_event", None)
    return module


def test_rain_intensity_gives_the_worked_examples_soil_inflow_bit_for_bit():
    ex = load_example()
    f = ex.forcing(600, None)
    assert np.array_equal(rain_inflow(f.rain, par=ex.SOIL_PAR), ex.soil_input(f)[:, 0])


def test_rain_depth_per_interval_equals_its_intensity():
    intensity = pd.Series([0.0, 6.0, 12.0, 3.0], index=pd.date_range("2024-05-01", periods=4, freq="5min"))
    depth = intensity * 5 / 60  # mm in each five minutes
    area = 2.5e4
    expected = rain_inflow(intensity, area)
    assert isinstance(expected, pd.Series) and expected.index.equals(intensity.index)
    assert np.allclose(rain_inflow(depth, area, kind="depth"), expected, rtol=1e-14)
    assert np.allclose(rain_inflow(depth.to_numpy(), area, kind="depth", interval=5 * DAY), expected, rtol=1e-14)
    assert np.allclose(rain_inflow(intensity * 24, area, unit="mm/d"), expected, rtol=1e-14)
    assert float(rain_inflow([10.0], 1.0)[0]) == pytest.approx(0.24)  # 10 mm/h on 1 m2: 0.24 m3/d
    par = LOAMTANK.par.vector(A=area)
    assert np.array_equal(rain_inflow(intensity, par=par), expected)


@pytest.mark.parametrize("args, kwargs, message", [
    (([1.0],), {}, "takes the area .* not neither"),
    (([1.0], 5.0), {"par": LOAMTANK.par.vector(A=5.0)}, "not both"),
    (([1.0], -5.0), {}, "the area must be a positive number of m2"),
    (([1.0],), {"par": [1.0, 2.0]}, "par must be a LOAMTANK.par vector of 6 entries"),
    (([-1.0], 5.0), {}, r"rain has negative values \(the first at position 0\)"),
    (([1.0], 5.0), {"kind": "volume"}, "kind must be 'intensity'"),
    (([1.0], 5.0), {"kind": "depth"}, "a rain depth needs its interval"),
    (([1.0], 5.0), {"unit": "m3/d"}, r"cannot convert 'm3/d' \(flow\) to 'm/d'"),
])
def test_rain_inflow_refuses_bad_input(args, kwargs, message):
    with pytest.raises(ValueError, match=message):
        rain_inflow(*args, **kwargs)


def test_forcing_resolves_as_on_grid_does():
    f = Forcing(GAPPY, rule="linear", fill="linear", name="flow")
    assert np.array_equal(f.resolve("2024-05-01", 5 * DAY, 36),
                          on_grid(GAPPY, start="2024-05-01", dt=5 * DAY, steps=36, rule="linear", fill="linear"))
    assert [g.kind for g in f.gaps("2024-05-01", 5 * DAY, 36)] == ["before", "nan", "hole", "after"]
    with pytest.raises(ValueError, match="rule must be one of"):
        Forcing(GAPPY, rule="spline")
