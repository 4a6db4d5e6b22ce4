"""The worked examples in a short mode. The storm event: the model's compiled
and reference runs and the hand-wired catchment (whole series and step
loop) agree bit for bit, every block balances, no mixed storage
concentrates, and the CSV and the figure are written. The ensemble: every
way of running, a two-worker Dask LocalCluster among them, gives the serial
results."""
import csv
import importlib.util
import pathlib
import sys

import numpy as np
import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
STEPS = 300  # five hours; short runs put the shower after the first hour


def load(name):
    if str(EXAMPLES) not in sys.path:
        sys.path.insert(0, str(EXAMPLES))  # the storm event's hand-wired route beside it
    spec = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module  # dataclasses and pickling look their module up
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def example():
    yield load("storm_event")
    sys.modules.pop("storm_event", None)


@pytest.fixture(scope="module")
def run(example):
    return example.simulate(steps=STEPS, method="check")  # raises unless bit-identical


def test_both_ways_ran_and_every_block_balances(run):
    assert set(run.seconds) == {"model", "reference", "whole", "loop"}
    assert set(run.balances) == {"soil reservoir", "sewer storage 1", "sewer storage 2",
                                 "sewer storage 3", "first flush", "fractionation", "combiner"}
    for block, (_, error) in run.balances.items():
        assert error < 1e-9, block


def test_storages_only_mix(run):
    s = run.series
    assert max(run.mixing_excess) <= 1e-12
    assert s["tss_3"].max() <= s["tss_in"].max() * (1 + 1e-12)
    dry = run.t < run.rain_start
    assert np.ptp(s["tss_in"][dry]) > 1.0  # the inflow TSS follows the varying particulates


def test_the_storm_is_routed_and_flushed(run):
    s = run.series
    assert len(run.t) == STEPS and all(len(v) == STEPS for v in s.values())
    assert s["rain"].max() > 0.0 and s["q_in"].max() > 2.0 * s["q_in"][0]
    peaks = [s[key].argmax() for key in ("q_in", "q_1", "q_2", "q_3")]
    assert peaks == sorted(peaks) and peaks[0] < peaks[-1]  # delayed along the chain
    assert s["q_3"].max() < s["q_1"].max() < s["q_in"].max()  # and attenuated
    assert s["tss_flush"].max() > 2.0 * s["tss_3"].max()  # a first flush


def test_main_writes_the_csv_and_the_figure(example, tmp_path, capsys):
    assert example.main(["--steps", str(STEPS), "--out", str(tmp_path)]) == 0
    assert "Mixing check passed" in capsys.readouterr().out
    with open(tmp_path / "storm_event.csv", newline="") as f:
        rows = list(csv.reader(f))
    assert rows[0][:3] == ["time_d", "rain_mm_h", "soil_mm"] and "q_in_m3_d" in rows[0]
    assert len(rows) == STEPS + 1 and all(len(row) == len(rows[0]) for row in rows)
    assert (tmp_path / "storm_event.png").stat().st_size > 10_000


def test_ensemble_everywhere_equals_serial(capsys):
    pytest.importorskip("dask.distributed")
    try:
        ensemble = load("ensemble")
        assert ensemble.main(["--scenarios", "6", "--days", "0.25", "--workers", "2", "--quiet"]) == 0
    finally:
        sys.modules.pop("ensemble", None)
    out = capsys.readouterr().out
    assert out.count("(equal to serial)") == 3 and "Dask (LocalCluster, 2 workers)" in out
