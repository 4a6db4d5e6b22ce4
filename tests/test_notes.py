"""Errors keep their type and text, and carry a note naming the function and
the argument."""
import numpy as np
import pytest

from tarnlet import runs
from tarnlet.brookvane import loamtank, sewer
from tarnlet.sallowby import combiner

SPAR = np.array([10.0, 2.0, 0.5])


@pytest.mark.parametrize("call,text,note", [
    (lambda: sewer.outputs(np.ones(24), np.ones(27), np.ones(25), np.ones(2)),
     "Expected spar of length at least 3.",
     "while checking argument 'spar' of tarnlet.brookvane.sewer.outputs()"),
    (lambda: sewer.euler_step(np.ones(23), np.ones(27), np.ones(25), SPAR, 0.1),
     "Expected x of length 24.",
     "while checking argument 'x' of tarnlet.brookvane.sewer.euler_step()"),
    (lambda: combiner.combine(np.ones(56), "abc"),
     "could not convert string to float: 'abc'",
     "while converting argument 'stream_b' of tarnlet.sallowby.combiner.combine()"),
    (lambda: loamtank.euler_step([1.0], [1.0, 2.0], np.ones(6), "x"),
     "could not convert string to float: 'x'",
     "while converting argument 'dt' of tarnlet.brookvane.loamtank.euler_step()"),
    (lambda: runs.sewer_run(np.ones(23), np.ones((2, 27)), np.ones(25), SPAR, 1.0),
     "Expected x0 of length 24.", "while checking argument 'x0' of tarnlet.runs.sewer_run()"),
])
def test_errors_name_the_function_and_the_argument(call, text, note):
    with pytest.raises(ValueError) as e:
        call()
    assert str(e.value) == text
    assert e.value.__notes__ == [note]


def test_a_series_to_a_per_step_function_points_to_runs():
    with pytest.raises(ValueError) as e:
        sewer.outputs(np.ones(24), np.ones((5, 27)), np.ones(25), SPAR)
    assert str(e.value) == "Buffer has wrong number of dimensions (expected 1, got 2)"
    assert "tarnlet.runs.sewer_run()" in e.value.__notes__[1]


def test_binding_errors_are_left_as_they_are():
    with pytest.raises(TypeError) as e:
        combiner.combine(np.ones(56))
    assert not hasattr(e.value, "__notes__")
