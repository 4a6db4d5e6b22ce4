"""Whole runs in one call equal the Python loop over the modules bit for bit,
and release the interpreter lock while they compute."""
import numpy as np
import pytest
from conftest import ticks_during

from tarnlet import runs
from tarnlet.brookvane import loamtank, sewer
from tarnlet.fenmoor import sedlift

rng = np.random.default_rng(11)


def python_loop(block, x0, u, params, dt):
    x = np.asarray(x0, dtype=np.float64)
    states, outputs = [x], []
    for row in u:
        outputs.append(block.outputs(x, row, *params))
        x = block.euler_step(x, row, *params, dt)
        states.append(x)
    return (np.array(states).reshape(len(u) + 1, block.NSTATES),
            np.array(outputs).reshape(len(u), block.NOUTPUTS))


def inputs(n, steps, special):
    u = rng.uniform(0.0, 2.0, (steps, n))
    if special and steps:
        u.flat[rng.integers(0, u.size, 5)] = [np.nan, np.inf, -np.inf, -0.0, -3.0]
    return u


BLOCKS = [
    (runs.sewer_run, sewer, lambda: np.r_[rng.uniform(1, 5, 23), 1.3],
     lambda: (rng.uniform(0, 1, 25), np.array([10.0, 2.0, 0.5]))),
    (runs.sedlift_run, sedlift, lambda: rng.uniform(0, 50, 6),
     lambda: (np.array([100.0, 1.0, 2.0, 0.25]),)),
    (runs.loamtank_run, loamtank, lambda: np.array([1.2]),
     lambda: (np.array([2.0, 0.5, 100.0, 0.01, 3.0, 0.2]),)),
]


@pytest.mark.parametrize("run,block,state,params", BLOCKS, ids=["sewer", "sedlift", "loamtank"])
@pytest.mark.parametrize("steps", [0, 1, 300])
@pytest.mark.parametrize("special", [False, True])
def test_block_run_equals_python_loop(run, block, state, params, steps, special):
    x0, p = state(), params()
    u = inputs(block.NINPUTS, steps, special)
    with np.errstate(all="ignore"):
        expected = python_loop(block, x0, u, p, 0.01)
    states, outputs = run(x0, u, *p, 0.01)
    assert states.shape == (steps + 1, block.NSTATES) and outputs.shape == (steps, block.NOUTPUTS)
    assert states.tobytes() == expected[0].tobytes()
    assert outputs.tobytes() == expected[1].tobytes()


@pytest.mark.parametrize("shared_spar", [True, False])
def test_chain_equals_python_loop(shared_spar):
    n, steps = 3, 200
    x0 = np.column_stack([rng.uniform(1, 5, (n, 23)), np.full(n, 0.8)])
    spar = np.array([10.0, 2.0, 0.5]) if shared_spar else rng.uniform([5, 1, 0.2], [20, 3, 0.6], (n, 3))
    pars = rng.uniform(0, 1, 25)
    u = inputs(27, steps, False)
    states, outputs = runs.sewer_chain_run(x0, u, pars, spar, 0.01)
    xs = [x0[j] for j in range(n)]
    for t in range(steps):
        row = u[t]
        for j in range(n):
            sp = spar if shared_spar else spar[j]
            y = sewer.outputs(xs[j], row, pars, sp)
            xs[j] = sewer.euler_step(xs[j], row, pars, sp, 0.01)
            assert outputs[t, j].tobytes() == y.tobytes()
            row = y
        assert states[t + 1].tobytes() == np.array(xs).tobytes()


@pytest.mark.parametrize("call,error,text", [
    (lambda: runs.sewer_run(np.ones(23), np.ones((2, 27)), np.ones(25), np.ones(3), 1.0),
     ValueError, "Expected x0 of length 24."),
    (lambda: runs.sewer_run(np.ones(24), np.ones(27), np.ones(25), np.ones(3), 1.0),
     ValueError, "u is one input vector: give steps=N, the number of steps to run it for, or a series "
                 "of one row per step"),
    (lambda: runs.sewer_run(np.ones(24), np.ones((2, 26)), np.ones(25), np.ones(3), 1.0),
     ValueError, "Expected u with 27 columns."),
    (lambda: runs.sewer_run(np.ones(24), np.ones((2, 27)), np.ones(24), np.ones(3), 1.0),
     ValueError, "Expected pars of length at least 25."),
    (lambda: runs.loamtank_run([1.0], np.ones((2, 2)), np.ones(5), 1.0),
     ValueError, "Expected par of length at least 6."),
    (lambda: runs.sedlift_run(np.ones(6), np.ones((2, 7)), np.ones(4), None),
     TypeError, "float() argument must be a string or a real number, not 'NoneType'"),
    (lambda: runs.sewer_chain_run(np.ones((0, 24)), np.ones((2, 27)), np.ones(25), np.ones(3), 1.0),
     ValueError, "Expected x0 with at least one row."),
    (lambda: runs.sewer_chain_run(np.ones((2, 24)), np.ones((2, 27)), np.ones(25), np.ones((3, 3)), 1.0),
     ValueError, "Expected spar of length at least 3, or one such row per row of x0."),
    (lambda: runs.sewer_chain_run(np.ones((2, 24)), np.ones((2, 27)), np.ones(25), np.ones((2, 2, 3)), 1.0),
     ValueError, "Buffer has wrong number of dimensions (expected 1 or 2, got 3)"),
    (lambda: runs.loamtank_run([1.0], np.ones((2, 2)), np.ones(6)),
     TypeError, "loamtank_run() missing 1 required positional argument: 'dt'"),
])
def test_errors(call, error, text):
    with pytest.raises(error) as e:
        call()
    assert str(e.value) == text


def test_inputs_untouched_and_lists_accepted():
    u = np.ones((5, 2))
    u.flags.writeable = False
    states, outputs = runs.loamtank_run([1.0], u.tolist(), [2.0, 0.5, 100.0, 0.01, 3.0, 0.2], 0.5)
    again = runs.loamtank_run(np.array([1.0]), u, np.array([2.0, 0.5, 100.0, 0.01, 3.0, 0.2]), 0.5)
    assert states.tobytes() == again[0].tobytes() and (u == 1).all()


def test_interpreter_lock_is_released():
    x0 = np.r_[np.ones(23), 1.0]
    u = np.ones((400_000, 27))
    assert ticks_during(lambda: runs.sewer_run(x0, u, np.ones(25), np.array([10.0, 2.0, 0.5]), 1e-4)) > 1000



# ---- keeping less, reusing memory, stream blocks ---------------------------------

def chain_args(steps):
    x0 = np.column_stack([rng.uniform(1, 5, (3, 23)), np.full(3, 0.8)])
    return (runs.sewer_chain_run, x0, inputs(27, steps, True), rng.uniform(0, 1, 25),
            np.array([10.0, 2.0, 0.5]))


def state_space_cases(steps):
    cases = [(run, state(), inputs(block.NINPUTS, steps, True), *params())
             for run, block, state, params in BLOCKS]
    return cases + [chain_args(steps)]


@pytest.mark.parametrize("every", [1, 3, 7, 40])
@pytest.mark.parametrize("case", range(4), ids=["sewer", "sedlift", "loamtank", "chain"])
def test_kept_steps_are_slices_of_the_full_run(case, every):
    run, *args = state_space_cases(37)[case]
    with np.errstate(all="ignore"):
        states, outputs = run(*args, 0.01)
        record = [3, 0, 2]
        kept_states, kept = run(*args, 0.01, record=record, every=every)
        last, _ = run(*args, 0.01, record=[1], every=every, states="last")
    assert kept_states.tobytes() == states[::every].tobytes()
    assert kept.tobytes() == np.ascontiguousarray(outputs[::every][..., record]).tobytes()
    assert last.tobytes() == states[-1:].tobytes()


def test_out_arrays_are_filled_and_returned():
    run, *args = state_space_cases(50)[0]
    fresh = run(*args, 0.01, every=4)
    out = (np.full_like(fresh[0], 7.0), np.full_like(fresh[1], 7.0))
    for _ in range(2):  # reused between calls
        got = run(*args, 0.01, every=4, out=out)
        assert got[0] is out[0] and got[1] is out[1]
        assert [a.tobytes() for a in got] == [a.tobytes() for a in fresh]


def test_stream_runs_equal_the_per_step_functions():
    from tarnlet.sallowby import combiner, fractionation
    u = rng.uniform(0, 5, (30, 12))
    u[::7, 11] = 0.0
    pars, fractions, bg = rng.uniform(0, 1, 156), rng.uniform(0, 1, 9), rng.uniform(-1, 1, 44)
    values = runs.fractionation_run(u, pars, fractions, bg)
    assert values.tobytes() == np.array([fractionation.compute(r, pars, fractions, bg)
                                         for r in u]).tobytes()
    a, b = rng.uniform(0, 9, (30, 56)), rng.uniform(0, 9, 56)
    a[::5, 37] = 0.0
    mixed = runs.combiner_run(a, b, record=[37, 0], every=2)
    want = np.array([combiner.combine(r, b) for r in a[::2]])[:, [37, 0]]
    assert mixed.tobytes() == want.tobytes()


SEWER_ARGS = (np.r_[np.ones(23), 1.0], np.ones((10, 27)), np.ones(25), np.array([10.0, 2.0, 0.5]),
              0.01)


@pytest.mark.parametrize("options,error,text", [
    (dict(every=0), ValueError, "every must be at least 1, not 0"),
    (dict(every=1.5), TypeError, None),
    (dict(record=[27]), ValueError, "record index 27 is out of range 0 to 26"),
    (dict(record=[-1]), ValueError, "record index -1 is out of range 0 to 26"),
    (dict(record=[3, 3]), ValueError, "record holds index 3 twice"),
    (dict(record="Q"), TypeError, None),
    (dict(states="first"), ValueError, "states must be 'kept' or 'last', not 'first'"),
    (dict(out=np.zeros(3)), TypeError, "out must be None or a pair of arrays (states, outputs)"),
])
def test_bad_options(options, error, text):
    with pytest.raises(error) as e:
        runs.sewer_run(*SEWER_ARGS, **options)
    assert text is None or str(e.value) == text


def bad_out(kind):
    """Out arrays refused for their layout or access; shapes, dtypes and shared
    memory for every run are in test_run_options.py."""
    states, outputs = np.zeros((11, 24)), np.zeros((10, 27))
    if kind == "order":
        outputs = np.zeros((10, 27), order="F")
    elif kind == "readonly":
        outputs.flags.writeable = False
    return states, outputs


@pytest.mark.parametrize("kind", ["order", "readonly"])
def test_bad_out_is_refused_before_anything_is_written(kind):
    states, outputs = bad_out(kind)
    before = states.tobytes(), outputs.tobytes()
    with pytest.raises(ValueError, match="^out"):
        runs.sewer_run(*SEWER_ARGS, out=(states, outputs))
    assert (states.tobytes(), outputs.tobytes()) == before


def test_impossible_sizes_raise_memory_error():
    x0 = np.ones((100_000, 24))  # 100,000 storages over 100,000 steps: terabytes of results
    with pytest.raises(MemoryError):
        runs.sewer_chain_run(x0, np.ones((100_000, 27)), np.ones(25), np.ones(3), 0.1)

# ---- hostile arguments -------------------------------------------------------

import gc  # noqa: E402
import os  # noqa: E402
import sys  # noqa: E402

from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

EXAMPLES = int(os.environ.get("TARNLET_HYPOTHESIS_EXAMPLES", "300"))

SPECIALS = [0.0, -0.0, np.nan, np.inf, -np.inf, 5e-324, 1e308, -1e308]


def hostile(shape_choices):
    shapes = st.sampled_from(shape_choices)
    values = st.lists(st.sampled_from(SPECIALS) | st.floats(-1e3, 1e3), min_size=1, max_size=8)

    def make(args):
        shape, vals, form = args
        size = int(np.prod(shape))
        a = np.resize(np.array(vals, dtype=np.float64), size).reshape(shape)
        if form == "f4":
            return a.astype(np.float32)
        if form == "int":
            return np.nan_to_num(a).clip(-1e6, 1e6).astype(np.int64)
        if form == "swapped":
            return a.astype(">f8")
        if form == "misaligned":
            b = np.frombuffer(b"\0" + a.tobytes(), dtype=np.float64, offset=1).reshape(shape)
            return b
        if form == "strided":
            return np.repeat(a, 2, axis=-1)[..., ::2] if a.ndim else a
        if form == "list":
            return a.tolist()
        if form == "readonly":
            a.flags.writeable = False
        return a

    forms = st.sampled_from(["f8", "f8", "f4", "int", "swapped", "misaligned", "strided",
                             "list", "readonly"])
    arrays = st.tuples(shapes, values, forms).map(make)
    return arrays | st.sampled_from([None, "abc", 1.5, object(), [[1.0], [2.0, 3.0]]])


def shapes(*good):
    return list(good) + [(0,), (1,), (3,), (2, 3), (2, 2, 2), (5, 0)]


RUN_CASES = [
    (runs.sewer_run, [shapes((24,)), shapes((4, 27), (0, 27)), shapes((25,), (30,)),
                      shapes((3,))]),
    (runs.sedlift_run, [shapes((6,)), shapes((4, 7)), shapes((4,))]),
    (runs.loamtank_run, [shapes((1,)), shapes((4, 2)), shapes((6,))]),
    (runs.sewer_chain_run, [shapes((2, 24), (1, 24)), shapes((4, 27)), shapes((25,)),
                            shapes((3,), (2, 3), (1, 4))]),
    (runs.fractionation_run, [shapes((4, 12), (12,)), shapes((156,)), shapes((9,)),
                              shapes((44,))]),
    (runs.combiner_run, [shapes((4, 56), (56,)), shapes((4, 56), (56,), (3, 56))]),
]


def frozen(obj):
    if isinstance(obj, np.ndarray):
        return ("array", obj.dtype.str, obj.shape, obj.tobytes())
    return ("object", repr(obj) if isinstance(obj, (list, str, float)) else id(obj))


def options(state_space):
    keys = dict(record=st.sampled_from([None, [0], [2, 1], [99], [1, 1]]),
                every=st.sampled_from([1, 2, 5, 0]))
    if state_space:
        keys["states"] = st.sampled_from(["kept", "last"])
    return st.fixed_dictionaries({}, optional=keys)


def results(value):
    return value if isinstance(value, tuple) else (value,)


@pytest.mark.parametrize("run,arg_shapes", RUN_CASES, ids=lambda v: getattr(v, "__name__", ""))
def test_hostile_arguments(run, arg_shapes):
    state_space = run.__name__ not in ("fractionation_run", "combiner_run")
    dt = [st.sampled_from([0.5, "0.25", None, np.nan, 1e308, b"1"])] if state_space else []
    strategy = st.tuples(st.tuples(*(hostile(s) for s in arg_shapes), *dt), options(state_space))

    @settings(max_examples=EXAMPLES, deadline=None, database=None)
    @given(strategy)
    def check(drawn):
        args, kwargs = drawn
        before = [frozen(a) for a in args]
        gc.disable()  # a collection during the call may free other holders of a shared dt
        try:
            counts = [sys.getrefcount(a) for a in args]
            try:
                result = results(run(*args, **kwargs))
            except Exception:  # noqa: BLE001 - any ordinary exception is acceptable
                result = None
            assert [sys.getrefcount(a) for a in args] == counts
        finally:
            gc.enable()
        assert [frozen(a) for a in args] == before
        if result is not None:
            n = len(arg_shapes)
            clean = [np.array(a, dtype=np.float64) for a in args[:n]]
            again = results(run(*clean, *args[n:], **kwargs))
            assert [r.tobytes() for r in result] == [r.tobytes() for r in again]

    with np.errstate(all="ignore"):
        check()
