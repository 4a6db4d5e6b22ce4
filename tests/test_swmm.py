"""tarnlet.swmm: a small SWMM model written here and run with pyswmm; the
node inflow read from its output file equals pyswmm's own per-step values,
in m3/d at the same dates, and feeds the step grid."""
import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pyswmm = pytest.importorskip("pyswmm")
pytest.importorskip("swmm.toolkit")

from tarnlet.forcing import on_grid  # noqa: E402
from tarnlet.swmm import read_swmm_inflow, read_swmm_series, swmm_names  # noqa: E402

MODEL = """\
[TITLE]
one subcatchment, a junction, a conduit and an outfall

[OPTIONS]
FLOW_UNITS CMS
INFILTRATION HORTON
FLOW_ROUTING KINWAVE
START_DATE 05/01/2024
START_TIME 00:00:00
REPORT_START_DATE 05/01/2024
REPORT_START_TIME 00:00:00
END_DATE 05/01/2024
END_TIME 06:00:00
WET_STEP 00:01:00
DRY_STEP 00:05:00
ROUTING_STEP 0:00:30
REPORT_STEP 00:05:00

[RAINGAGES]
G1 INTENSITY 0:05 1.0 TIMESERIES rain

[SUBCATCHMENTS]
;;name gage outlet area_ha imperv_% width slope_% curb
S1 G1 J1 12 60 300 1.0 0

[SUBAREAS]
S1 0.015 0.2 1.5 5 25 OUTLET

[INFILTRATION]
S1 75 5 4 7 0

[JUNCTIONS]
J1 10 3 0 0 0

[OUTFALLS]
O1 9 FREE

[CONDUITS]
C1 J1 O1 200 0.013 0 0 0

[XSECTIONS]
C1 CIRCULAR 1.0 0 0 0 1

[TIMESERIES]
rain 05/01/2024 00:00 0
rain 05/01/2024 00:30 5
rain 05/01/2024 00:45 20
rain 05/01/2024 01:00 10
rain 05/01/2024 01:30 2
rain 05/01/2024 02:00 0

[REPORT]
NODES ALL
LINKS ALL
SUBCATCHMENTS ALL
"""


@pytest.fixture(scope="module")
def swmm_run(tmp_path_factory):
    """The model run by pyswmm, with its own value of J1's inflow at every report time."""
    folder = tmp_path_factory.mktemp("swmm")
    inp = folder / "catchment.inp"
    inp.write_text(MODEL)
    own = {}
    with pyswmm.Simulation(str(inp)) as sim:
        node = pyswmm.Nodes(sim)["J1"]
        sim.step_advance(300)
        for _ in sim:
            own[pd.Timestamp(sim.current_time)] = node.total_inflow
        own[pd.Timestamp(sim.current_time)] = node.total_inflow
    return folder / "catchment.out", pd.Series(own)


def test_the_node_inflow_is_pyswmms_in_m3_per_day_at_its_dates(swmm_run):
    out, own = swmm_run
    q = read_swmm_inflow(out, "J1")
    assert q.index.equals(pd.DatetimeIndex(own.index)) and q.index[0] == pd.Timestamp("2024-05-01 00:05")
    assert len(q) == 72 and q.index[-1] == pd.Timestamp("2024-05-01 06:00")
    # The file holds single precision: equal to pyswmm's double to 1e-7 relative.
    assert np.allclose(q.to_numpy(), own.to_numpy() * 86400.0, rtol=1e-7, atol=1e-9)
    assert q.max() > 1000.0 and q.attrs["unit"] == "m3/d" and q.attrs["file_unit"] == "m3/s" and q.name == "J1"


def test_swmm_inflow_as_a_source_and_other_results(swmm_run):
    out, _ = swmm_run
    q = read_swmm_inflow(out, "J1")
    grid = on_grid(q, start="2024-05-01 00:05", dt=1 / 1440, steps=356, rule="linear")
    assert grid[0] == q.iloc[0] and grid[5] == q.iloc[1] and grid[-1] == q.iloc[-1]
    rain = read_swmm_series(out, "subcatchment", "S1", "RAINFALL")
    assert rain.max() == pytest.approx(20.0) and rain.attrs["unit"] == "mm/h"
    depth = read_swmm_series(out, "link", "C1", "flow_depth")
    assert 0.0 < depth.max() < 1.0 and depth.attrs["unit"] == "m"
    assert swmm_names(out) == ["J1", "O1"] and swmm_names(out, "link") == ["C1"]


@pytest.mark.parametrize("args, error, message", [
    (("J2",), ValueError, r"no node named 'J2'; did you mean 'J1'\?"),
    (("J1", "INVERT_DEPTH"), ValueError, "attribute must be a node flow"),
])
def test_bad_names_are_refused(swmm_run, args, error, message):
    with pytest.raises(error, match=message):
        read_swmm_inflow(swmm_run[0], *args)


def test_missing_or_foreign_files_are_refused(tmp_path, swmm_run):
    with pytest.raises(FileNotFoundError, match="no SWMM output file"):
        read_swmm_inflow(tmp_path / "none.out", "J1")
    junk = tmp_path / "junk.out"
    junk.write_bytes(b"not a swmm file" * 10)
    with pytest.raises(ValueError, match="is not a SWMM binary output file"):
        read_swmm_inflow(junk, "J1")
    with pytest.raises(ValueError, match="link attribute 'RUNOFF' is not one of FLOW_RATE"):
        read_swmm_series(swmm_run[0], "link", "C1", "RUNOFF")
