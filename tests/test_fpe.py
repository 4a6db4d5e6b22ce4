"""Floating-point exceptions of x + dt*dx: a whole run reports them as the
Python loop over euler_step does (NumPy's arithmetic), by the caller's
np.geterr(), naming the run function; and the small input faults of the run
options and the layouts."""
import warnings

import numpy as np
import pytest

from tarnlet import runs
from tarnlet.brookvane import loamtank, sewer
from tarnlet.fenmoor import sedlift
from tarnlet.layout import SEWER

SPAR = np.array([10.0, 2.0, 0.5])
# run, module, x0, one input row, parameters
BLOCKS = {
    "sewer": (runs.sewer_run, sewer, np.r_[np.linspace(1, 5, 23), 1.3], np.linspace(0.5, 2.0, 27),
              (np.linspace(0.1, 1, 25), SPAR)),
    "sedlift": (runs.sedlift_run, sedlift, np.linspace(1, 50, 6), np.linspace(0.5, 2.0, 7),
                (np.array([100.0, 1.0, 2.0, 0.25]),)),
    "loamtank": (runs.loamtank_run, loamtank, np.array([1.2]), np.array([0.5, 2.0]),
                 (np.array([2.0, 0.5, 100.0, 0.01, 3.0, 0.2]),)),
}
# dt that makes x + dt*dx raise: overflow (and, for some, an invalid inf -
# inf), underflow, and nothing at all.
CASES = {"overflow": 1e308, "underflow": 1e-320, "quiet": 1e-3}


def reported(call, mode):
    """The (kind, flag) pairs NumPy's errcall receives, and what warnings say."""
    calls = []
    old = np.seterrcall(lambda kind, flag: calls.append((kind, flag)))
    try:
        with np.errstate(all=mode), warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = call()
    finally:
        np.seterrcall(old)
    return result, sorted(set(calls)), sorted({str(w.message).split(" encountered")[0] for w in caught})


def loop(block, x0, u, params, dt):
    x, states = x0, [x0]
    for row in u:
        block.outputs(x, row, *params)
        x = block.euler_step(x, row, *params, dt)
        states.append(x)
    return np.array(states)


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("name", BLOCKS)
def test_run_reports_what_the_loop_reports(name, case):
    run, block, x0, row, params = BLOCKS[name]
    dt, u = CASES[case], np.tile(row, (6, 1))
    # "ignore" too: an ignored underflow lets the run keep its own sums.
    for mode in ("call", "warn", "ignore"):
        want, want_calls, want_warned = reported(lambda: loop(block, x0, u, params, dt), mode)
        (got, _), got_calls, got_warned = reported(lambda: run(x0, u, *params, dt), mode)
        assert got.tobytes() == want.tobytes()
        assert got_calls == want_calls
        assert got_warned == want_warned
        assert bool(want_calls or want_warned) == (case != "quiet" and mode != "ignore")


@pytest.mark.parametrize("name", ["sewer", "loamtank"])  # the first flush stands still at such flows
def test_states_in_the_subnormal_range_as_the_loop_has_them(name):
    # Steps dt*dx below DBL_MIN, as a state decaying towards zero takes;
    # underflow ignored, warned, or only ignored while the others raise.
    run, block, x0, row, params = BLOCKS[name]
    x0, u = x0 * 1e-306, np.tile(row * 1e-306, (40, 1))
    for modes in ({"all": "ignore"}, {"all": "warn"}, {"all": "raise", "under": "ignore"}):
        with np.errstate(**modes), warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            want = loop(block, x0, u, params, 0.02)
            n = len(caught)
            got = run(x0, u, *params, 0.02)[0]
            assert [str(w.message).split(" encountered")[0] for w in caught[n:]] == \
                [str(w.message).split(" encountered")[0] for w in caught[:n]][:1]
        steps = np.abs(np.diff(want, axis=0))
        assert got.tobytes() == want.tobytes() and np.any((steps != 0) & (steps < 2.2e-308)), modes


def test_report_modes_name_the_run():
    run, _, x0, row, params = BLOCKS["sewer"]
    u = np.tile(row, (3, 1))
    with np.errstate(all="raise"), pytest.raises(FloatingPointError,
                                                 match=r"overflow encountered in tarnlet\.runs\.sewer_run\(\)"):
        run(x0, u, *params, 1e308)
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("error")
        run(x0, u, *params, 1e308)  # nothing reported

    class Log:
        lines = []

        def write(self, text):
            self.lines.append(text)
    old = np.seterrcall(Log())
    try:
        with np.errstate(all="log"):
            run(x0, u, *params, 1e308)
    finally:
        np.seterrcall(old)
    assert "Warning: overflow encountered in tarnlet.runs.sewer_run()\n" in Log.lines


@pytest.mark.parametrize("call,error,text,option", [
    (lambda r: r(every=2**63), OverflowError, "every is too large", "every"),
    (lambda r: r(every=True), TypeError, "every must be an int", "every"),
    (lambda r: r(record=[False, True]), TypeError, "record holds booleans", "record"),
    (lambda r: r(record=[99]), ValueError, "record index 99 is out of range", "record"),
    (lambda r: r(states="all"), ValueError, "states must be", "states"),
    (lambda r: r(out=(np.empty((2, 24)), np.empty((1, 27)))), ValueError, "out[0] must be", "out"),
])
def test_option_errors_name_the_option(call, error, text, option):
    run, _, x0, row, params = BLOCKS["sewer"]
    with pytest.raises(error, match=text.replace("[", r"\[")) as e:
        call(lambda **kw: run(x0, np.tile(row, (3, 1)), *params, 0.1, **kw))
    assert e.value.__notes__ == [f"while checking argument '{option}' of tarnlet.runs.sewer_run()"]


def test_layout_takes_integer_like_keys_and_refuses_non_numbers():
    assert SEWER.u[np.int64(19)].name == "Q" == SEWER.u[np.intp(19)].name
    assert SEWER.u.unit(np.intp(19)) == "m3/d" and SEWER.u.meaning(np.int32(26)).startswith("not read")
    with pytest.raises(TypeError, match=r"takes an entry name \(a str\), not int 19"):
        SEWER.u.index(19)
    with pytest.raises(IndexError, match="27 entries: index 27"):
        SEWER.u[27]
    for bad in (None, "4000", True, [1.0], np.array([1.0, 2.0])):
        with pytest.raises(TypeError, match="Q must be a real number"):
            SEWER.u.vector(Q=bad)
    assert SEWER.u.vector(Q=np.array(4000.0), h=np.float32(0.5))[[19, 26]].tolist() == [4000.0, 0.5]
