"""Run results with names: record by name, labelled tables, runs that
continue bit for bit, constant inputs, and the renamed and checked options."""
import numpy as np
import pytest

from tarnlet import runs
from tarnlet.layout import LOAMTANK, SEDLIFT, SEWER, UnknownNameError
from tarnlet.results import RunResult

rng = np.random.default_rng(7)
SPAR = np.array([300.0, 11000.0, 0.1])
PARS = SEWER.pars.vector(i_TSS_XI=0.75, i_TSS_XS=0.75, i_TSS_BM=0.9)


def sewer_inputs(steps):
    u = np.tile(SEWER.u.vector(S_NH4=16.0, X_S=125.0, Q=4000.0), (steps, 1))
    u[:, SEWER.u.Q] *= 1 + 0.4 * np.sin(np.arange(steps) / 50.0)
    return u


CASES = {  # run, x0, u of n steps, parameters
    "sewer": (runs.sewer_run, np.r_[np.ones(23), 0.5], sewer_inputs, (PARS, SPAR)),
    "chain": (runs.sewer_chain_run, np.tile(np.r_[np.ones(23), 0.5], (3, 1)), sewer_inputs,
              (PARS, np.array([SPAR, SPAR * [1.5, 1, 1], SPAR * [2, 1, 1]]))),
    "sedlift": (runs.sedlift_run, np.linspace(1, 50, 6), lambda n: np.abs(rng.normal(5, 3, (n, 7))) * 1e3,
                (np.array([400e3, 10000.0, 6.0, 20.0]),)),
    "loamtank": (runs.loamtank_run, np.array([0.03]), lambda n: np.abs(rng.normal(1e4, 5e3, (n, 2))),
                 (LOAMTANK.par.vector(h_max=0.1, h_drain=0.02, A=1.2e5, q_cap=0.12, k_drain=15000.0, k_lin=5000.0),)),
}


@pytest.mark.parametrize("name", CASES)
def test_a_split_run_equals_the_whole(name):
    """Continued from a result, at any split step, with any every and
    record, the two runs' rows are those of one run; continued from its x,
    the final state is the same."""
    run, x0, inputs, params = CASES[name]
    u = inputs(97)
    for every, record in ((1, None), (4, [0, 3]), (7, [2])):
        whole = run(x0, u, *params, 0.001, every=every, record=record)
        for split in (0, 1, 30, 96, 97):
            first = run(x0, u[:split], *params, 0.001, every=every, record=record)
            second = run(first, u[split:], *params, 0.001, every=every, record=record)
            assert np.concatenate([first.y, second.y]).tobytes() == whole.y.tobytes(), (every, split)
            assert np.concatenate([first.x, second.x]).tobytes() == whole.x.tobytes(), (every, split)
            assert second.stop == 97 and np.array_equal(second.output_steps(), whole.output_steps()[len(first.y):])
        afresh = run(run(x0, u[:40], *params, 0.001, states="last").x, u[40:], *params, 0.001, states="last")
        assert afresh.x.tobytes() == run(x0, u, *params, 0.001, states="last").x.tobytes()


@pytest.mark.parametrize("name", ["sewer", "chain", "loamtank"])
def test_one_input_vector_with_steps_equals_the_tiled_series(name):
    run, x0, inputs, params = CASES[name]
    row = inputs(1)[0]
    tiled = run(x0, np.tile(row, (50, 1)), *params, 0.001, every=3)
    constant = run(x0, row, *params, 0.001, every=3, steps=50)
    assert tiled.x.tobytes() == constant.x.tobytes() and tiled.y.tobytes() == constant.y.tobytes()
    with pytest.raises(ValueError, match="give steps=N"):
        run(x0, row, *params, 0.001)
    with pytest.raises(ValueError, match="steps is for one input vector"):
        run(x0, np.tile(row, (5, 1)), *params, 0.001, steps=5)
    for flag in (True, np.True_):  # a boolean is no count of steps, though int(True) is 1
        with pytest.raises(TypeError, match="steps must be an int, not a boolean"):
            run(x0, row, *params, 0.001, steps=flag)
    assert len(run(x0, row, *params, 0.001, steps=np.int16(2)).y) == 2


def test_record_by_name_and_the_table():
    u = sewer_inputs(60)
    by_name = runs.sewer_run(np.r_[np.ones(23), 0.5], u, PARS, SPAR, 1 / 1440, record=["Q", SEWER.y.TSS, "h"],
                             every=15)
    by_index = runs.sewer_run(np.r_[np.ones(23), 0.5], u, PARS, SPAR, 1 / 1440, record=[19, 18, 26], every=15)
    assert isinstance(by_name, RunResult) and by_name.y.tobytes() == by_index.y.tobytes()
    assert by_name.names == ("Q", "TSS", "h") and by_name.units == ("m3/d", "g TSS/m3", "m")
    pytest.importorskip("pandas")
    table = by_name.table()
    assert list(table.columns) == ["Q", "TSS", "h"] and table.index.name == "t"
    assert np.allclose(table.index, np.arange(0, 60, 15) / 1440) and table.attrs["units"]["h"] == "m"
    states = by_name.table("x")
    assert len(states) == 5 and states.index[-1] == pytest.approx(60 / 1440) and "h" in states.columns
    chain = runs.sewer_chain_run(np.tile(np.r_[np.ones(23), 0.5], (2, 1)), u, PARS, SPAR, 1 / 1440, record=["h"])
    assert list(chain.table().columns) == [(1, "h"), (2, "h")]
    with pytest.raises(UnknownNameError, match="did you mean 'TSS'") as e:
        runs.sewer_run(np.r_[np.ones(23), 0.5], u, PARS, SPAR, 1 / 1440, record=["TSSS"])
    assert e.value.__notes__ == ["while checking argument 'record' of tarnlet.runs.sewer_run()"]
    with pytest.raises(ValueError, match="record holds index 19 twice"):
        runs.sewer_run(np.r_[np.ones(23), 0.5], u, PARS, SPAR, 1 / 1440, record=["Q", 19])


@pytest.mark.parametrize("dt,error", [(np.nan, ValueError), (np.inf, ValueError), (0.0, ValueError),
                                      (-1e-3, ValueError), ("0.000694", TypeError), (b"1", TypeError)])
def test_dt_is_a_finite_positive_number(dt, error):
    with pytest.raises(error, match="dt must be") as e:
        runs.loamtank_run([0.03], np.ones((3, 2)), CASES["loamtank"][3][0], dt)
    assert e.value.__notes__ == ["while checking argument 'dt' of tarnlet.runs.loamtank_run()"]


def test_the_old_states_spelling_names_the_new_one():
    with pytest.raises(ValueError, match="states='every' is now states='kept'"):
        runs.sedlift_run(np.ones(6), np.ones((3, 7)), np.ones(4), 0.1, states="every")
    assert runs.sedlift_run(np.ones(6), np.ones((3, 7)), np.ones(4), 0.1, states="kept").x.shape == (4, 6)


def test_a_result_continues_only_its_own_kind():
    first = runs.sedlift_run(np.ones(6), np.ones((3, 7)), np.ones(4), 0.1)
    with pytest.raises(TypeError, match="x0 is a result of a sedlift run"):
        runs.loamtank_run(first, np.ones((3, 2)), np.ones(6), 0.1)
    assert SEDLIFT.y.names[:2] == first.names[:2]
