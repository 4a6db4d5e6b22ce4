"""The options of every run function of tarnlet.runs, from the registry:
`out=` arrays sharing memory with each input (by one element at either
end), `out=` arrays of a wrong shape, size or dtype, every kind of `record`
order, and a stream run's series of different lengths."""
import itertools
import re

import numpy as np
import pytest

from tarnlet import _registry, layout, runs

RUNS = [(block, run) for block in _registry.blocks() for run in block.runs]
STEPS = 5


def ident(value):
    return getattr(value, "name", str(value))


def arguments(block, run):
    """The block's example vectors as the run takes them: series of STEPS
    rows where it takes series, and two storages for a chain."""
    lay = layout.block(block.name)
    names = run.params[:run.params.index("dt" if block.has_state else "record")]
    args = []
    for name in names:
        v = lay.example_vector("x" if name == "x0" else name)
        if any(c.kind == "columns" for c in run.checks_of(name)):
            v = np.tile(v, (STEPS, 1))
        args.append(np.tile(v, (2, 1)) if name == "x0" and run.chain else v)
    return args


def call(block, run, args, out=None, **options):
    fn = getattr(runs, run.name)
    with np.errstate(all="ignore"):
        if block.has_state:
            result = fn(*args, 0.01, out=None if out is None else tuple(out), **options)
            return list(result)
        return [fn(*args, out=None if out is None else out[0], **options)]


def slot_name(block, slot):
    return re.escape(f"out[{slot}]" if block.has_state else "out")


# ---- out= sharing memory with an input --------------------------------------------------

OVERLAPS = [(block, run, i, slot) for block, run in RUNS
            for i in range(len(arguments(block, run))) for slot in range(2 if block.has_state else 1)]


@pytest.mark.parametrize("shared", [1, 0], ids=["overlap", "adjacent"])
@pytest.mark.parametrize("out_first", [False, True], ids=["input-first", "out-first"])
@pytest.mark.parametrize("block, run, i, slot", OVERLAPS,
                         ids=ident)
def test_out_sharing_an_element_with_an_input(block, run, i, slot, out_first, shared):
    """One array holds input i and out slot: sharing the last element of the
    first with the first of the second is refused before anything is
    written; side by side they are accepted and give the run's results."""
    args = arguments(block, run)
    fresh = call(block, run, args)
    n_in, n_out = args[i].size, fresh[slot].size
    memory = np.zeros(n_in + n_out - shared)
    if out_first:
        out_view, in_view = memory[:n_out], memory[n_out - shared:]
    else:
        in_view, out_view = memory[:n_in], memory[n_in - shared:]
    in_view = in_view.reshape(args[i].shape)
    in_view[...] = args[i]
    args[i] = in_view
    out = [np.empty_like(a) for a in fresh]
    out[slot] = out_view.reshape(fresh[slot].shape)
    before = memory.tobytes()
    if shared:
        with pytest.raises(ValueError, match=rf"^{slot_name(block, slot)} .*shares memory"):
            call(block, run, args, out)
        assert memory.tobytes() == before
    else:
        got = call(block, run, args, out)
        assert got[slot] is out[slot]
        assert [g.tobytes() for g in got] == [f.tobytes() for f in fresh]


@pytest.mark.parametrize("block, run", [c for c in RUNS if c[0].has_state], ids=ident)
def test_out_arrays_sharing_an_element_with_each_other(block, run):
    args = arguments(block, run)
    fresh = call(block, run, args)
    sizes = [a.size for a in fresh]
    for first in (0, 1):
        memory = np.zeros(sum(sizes) - 1)
        head, tail = memory[:sizes[first]], memory[sizes[first] - 1:]
        out = [None, None]
        out[first], out[1 - first] = (head.reshape(fresh[first].shape), tail.reshape(fresh[1 - first].shape))
        with pytest.raises(ValueError, match="shares memory"):
            call(block, run, args, out)
        assert not memory.any()


# ---- out= of a wrong shape, size or dtype ---------------------------------------------------

WRONG = {
    "one more row": lambda s: np.zeros((s[0] + 1, *s[1:])),
    "one row fewer": lambda s: np.zeros((s[0] - 1, *s[1:])),
    "one more column": lambda s: np.zeros((*s[:-1], s[-1] + 1)),
    "same count, dimensions reversed": lambda s: np.zeros(s[::-1]),
    "same count, flat": lambda s: np.zeros(int(np.prod(s))),
    "float32": lambda s: np.zeros(s, dtype=np.float32),
    "float32, same bytes": lambda s: np.zeros((*s[:-1], 2 * s[-1]), dtype=np.float32),
    "int64, same bytes": lambda s: np.zeros(s, dtype=np.int64),
    "complex, twice the bytes": lambda s: np.zeros(s, dtype=np.complex128),
    "big-endian float64": lambda s: np.zeros(s, dtype=">f8"),
}


@pytest.mark.parametrize("kind", WRONG)
@pytest.mark.parametrize("block, run", RUNS, ids=ident)
def test_out_of_a_wrong_shape_size_or_dtype(block, run, kind):
    args = arguments(block, run)
    fresh = call(block, run, args)
    for slot, f in enumerate(fresh):
        out = [np.full_like(a, 7.0) for a in fresh]
        out[slot] = WRONG[kind](f.shape)
        if out[slot].shape == f.shape and out[slot].dtype == f.dtype:
            continue  # a square shape reversed is the right one
        before = [o.tobytes() for o in out]
        with pytest.raises(ValueError, match=rf"^{slot_name(block, slot)} .*shape"):
            call(block, run, args, out)
        assert [o.tobytes() for o in out] == before


# ---- record -------------------------------------------------------------------------------------

def orders(n, names):
    rng = np.random.default_rng(n)
    return {"reversed": list(range(n))[::-1], "reversed names": list(names)[::-1],
            "permuted": rng.permutation(n).tolist(), "last two swapped": [*range(n - 2), n - 1, n - 2],
            "first and last": [n - 1, 0]}


@pytest.mark.parametrize("order", list(orders(3, "abc")))
@pytest.mark.parametrize("block, run", RUNS, ids=ident)
def test_record_in_any_order_gives_the_asked_columns(block, run, order):
    names = layout.block(block.name).vectors["y"].names
    record = orders(len(names), names)[order]
    args = arguments(block, run)
    fresh = call(block, run, args)
    got = call(block, run, args, record=record)
    columns = [names.index(r) if isinstance(r, str) else r for r in record]
    assert got[-1].tobytes() == np.ascontiguousarray(fresh[-1][..., columns]).tobytes()
    assert [g.tobytes() for g in got[:-1]] == [f.tobytes() for f in fresh[:-1]]


@pytest.mark.parametrize("block, run", RUNS, ids=ident)
def test_record_with_a_repeat_is_refused(block, run):
    n = block.lengths["y"]
    names = layout.block(block.name).vectors["y"].names
    args = arguments(block, run)
    repeats = [([0, 1, 0], "index 0 twice"), ([*range(n - 1), 0], "index 0 twice"),
               ([*range(n), n - 1], f"{n + 1} indices"), ([names[1], 1], "index 1 twice"),
               ([names[-1]] * 2, f"index {n - 1} twice")]
    for record, text in repeats:
        with pytest.raises(ValueError, match=f"^record holds {text}"):
            call(block, run, args, record=record)


# ---- a stream run's series ------------------------------------------------------------------------

SERIES = [(block, run, i, j) for block, run in RUNS if not block.has_state
          for i, j in itertools.permutations(range(len(arguments(block, run))), 2)
          if all(any(c.kind == "columns" for c in run.checks_of(run.params[k])) for k in (i, j))]


@pytest.mark.parametrize("block, run, i, j", SERIES, ids=ident)
def test_stream_series_of_different_lengths_are_refused(block, run, i, j):
    args = arguments(block, run)
    args[j] = args[j][:-1]
    with pytest.raises(ValueError, match="^Expected every series with the same number of rows.\n") as e:
        call(block, run, args)
    assert run.name in " ".join(getattr(e.value, "__notes__", []))
    args[i] = args[i][:-1]  # the same length again
    assert call(block, run, args)[0].shape[0] == STEPS - 1


# ---- what each run's docstring says about its shapes --------------------------------------

@pytest.mark.parametrize("block, run", RUNS, ids=ident)
def test_the_docstring_states_the_shapes_and_rows_it_returns(block, run):
    """The numbers and the row formula of a run's docstring are the ones a run
    of it returns (two storages for a chain), so the text cannot drift."""
    doc = getattr(runs, run.name).__doc__
    summary = layout.block(block.name).summary
    if run.chain:
        assert doc.startswith("A chain of n sewer storages in series over a series of inflows.\n")
    else:
        assert doc.startswith(summary[0].upper() + summary[1:] + (" over a series: " if block.has_state else
                                                                  " on every row of its series."))
    args = arguments(block, run)
    got = call(block, run, args)
    lengths = block.lengths
    if block.has_state:
        shapes = re.search(r"shapes ``\((.*?)\)`` and ``\((.*?)\)``", doc).groups()
        size = {"steps": STEPS, "n": 2}
        expect = [tuple(eval(d, {}, size) for d in s.split(", ")) for s in shapes]
        assert [a.shape for a in got] == expect
        assert f"one row of {lengths['u']} inputs per step" in doc
        assert f"({lengths['x']} entries)" in doc
        if run.chain:
            assert "storage j's output row is storage j+1's input row" in doc
            chained = call(block, run, args, record=None)
            second = getattr(runs, block.runs[0].name)(args[0][1], chained[1][:, 0], *args[2:], 0.01)
            np.testing.assert_array_equal(second.y, chained[1][:, 1])
    else:
        formula = re.search(r"Each result row is ``(\w+)\.(\w+)\((.*?)\)``", doc)
        module, function, each = formula.groups()
        assert block.module.endswith("." + module)
        fn = getattr(__import__(block.module, fromlist=[function]), function)
        names = list(run.params[:len(args)])
        terms = each.split(", ")
        assert [e.removesuffix("[t]") for e in terms] == names
        assert [e.endswith("[t]") for e in terms] == [a.ndim == 2 for a in args]
        for t in range(STEPS):
            np.testing.assert_array_equal(fn(*[a[t] if a.ndim == 2 else a for a in args]), got[0][t])
        width = re.search(r"of shape\s+``\(steps, (\d+)\)``", doc).group(1)
        assert got[0].shape == (STEPS, int(width))


@pytest.mark.parametrize("block, run", [(b, r) for b, r in RUNS if b.has_state], ids=ident)
@pytest.mark.parametrize("steps", [2**57, 2**58, 2**62])  # rows that fit, rows x entries that do not; rows too
def test_steps_too_many_to_hold_are_a_memory_error(block, run, steps):
    """The results' sizes are counted before anything is allocated: a count
    whose bytes do not fit in memory's address range is a MemoryError (not
    NumPy's error of a wrapped size, never a crash)."""
    args = arguments(block, run)
    one = [a[0] if any(c.kind == "columns" for c in run.checks_of(n)) else a
           for n, a in zip(run.params, args)]
    with pytest.raises(MemoryError):
        getattr(runs, run.name)(*one, 0.01, steps=steps)
