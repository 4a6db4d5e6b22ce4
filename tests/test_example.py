"""The worked storm-event example runs in a short mode, closes the mass
balance of every block and writes its time series."""
import csv
import importlib.util
import pathlib
import sys

import pytest

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "storm_event.py"
STEPS = 300  # five hours; short runs put the shower after the first hour


@pytest.fixture(scope="module")
def example():
    spec = importlib.util.spec_from_file_location("storm_event", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    sys.modules["storm_event"] = module  # the dataclass looks its module up
    try:
        spec.loader.exec_module(module)
        yield module
    finally:
        sys.modules.pop("storm_event", None)


@pytest.fixture(scope="module")
def run(example):
    return example.simulate(steps=STEPS)


def test_every_block_balances_to_rounding(run):
    assert set(run.balances) == {"soil reservoir", "sewer storage 1", "sewer storage 2",
                                 "sewer storage 3", "first flush", "fractionation", "combiner"}
    for block, error in run.balances.items():
        assert error < 1e-9, block


def test_the_storm_is_routed_and_flushed(run):
    s = run.series
    assert len(run.t) == STEPS and all(len(v) == STEPS for v in s.values())
    assert s["rain_mm_h"].max() > 0.0 and s["q_in"].max() > 2.0 * s["q_in"][0]
    peaks = [s[key].argmax() for key in ("q_in", "q_1", "q_2", "q_3")]
    assert peaks == sorted(peaks) and peaks[0] < peaks[-1]  # delayed along the chain
    assert s["q_3"].max() < s["q_1"].max() < s["q_in"].max()  # and attenuated
    assert s["tss_flush"].max() > 2.0 * s["tss_3"].max()  # a first flush


def test_main_writes_the_csv(example, tmp_path, capsys):
    assert example.main(["--steps", str(STEPS), "--no-plot", "--out", str(tmp_path)]) == 0
    assert "Mass balance" in capsys.readouterr().out
    with open(tmp_path / "storm_event.csv", newline="") as f:
        rows = list(csv.reader(f))
    assert rows[0] == ["time_d", *example.COLUMNS]
    assert len(rows) == STEPS + 1
    assert all(len(row) == len(rows[0]) for row in rows)
    assert not (tmp_path / "storm_event.png").exists()


def test_main_draws_the_figure(example, tmp_path):
    pytest.importorskip("matplotlib")
    assert example.main(["--steps", "120", "--out", str(tmp_path)]) == 0
    assert (tmp_path / "storm_event.png").stat().st_size > 0
