"""Arguments that change in the middle of a call.

Python code runs during a call wherever an argument's __array__ or
__float__ runs, or a caller's `np` replaces NumPy's functions; there it can
re-type, reshape, shrink or free an argument converted earlier
(ndarray.__setstate__ and resize(refcheck=False) do so even while a buffer
export is held). Whatever happens, a call either raises an ordinary
exception or returns a result of the right length computed from a valid
state of its arguments: as they were before the change, or as they are
after it. Cases that could crash run in a fresh interpreter (this file run
as a script), many cases to one interpreter.

Beside them: whole runs propagate NaNs exactly as the loop over the module
does, results written into a caller's misaligned np.empty buffer come out
right, and a module file loaded under another name leaves the real import
sound.
"""
import contextlib
import functools
import inspect
import itertools
import json
import os
import pathlib
import shutil
import site
import subprocess
import sys
import sysconfig
import types
from unittest import mock

import numpy as np
import pytest
from conftest import DT, FUNCTIONS, run_in_fresh_interpreter, run_labelled, sanitizer_report

# ---- changes to an argument ------------------------------------------------


def _setstate(a, shape, dtype):
    a.__setstate__((1, shape, np.dtype(dtype), False, bytes(np.dtype(dtype).itemsize
                                                         * int(np.prod(shape)))))


MUTATIONS = {
    "int8": lambda a: _setstate(a, a.shape, "i1"),
    "float32": lambda a: _setstate(a, a.shape, "f4"),
    "reshaped": lambda a: _setstate(a, (2, a.size), "f8"),
    "0-d": lambda a: _setstate(a, (), "f8"),
    "resized-0-d": lambda a: a.resize((), refcheck=False),
    "shorter": lambda a: a.resize((a.shape[0] // 2, *a.shape[1:]), refcheck=False),
    "longer": lambda a: a.resize((4 * a.shape[0] + 64, *a.shape[1:]), refcheck=False),
    "empty": lambda a: a.resize(0, refcheck=False),
}


MUTATION_ERRORS = []


def change(mutate, victim):
    """Applies a mutation; one that fails would leave its case untested, so
    its error is recorded as a failure of the harness."""
    try:
        mutate(victim)
    except Exception as e:  # noqa: BLE001 - reported by run_labelled()
        MUTATION_ERRORS.append(f"the change itself failed: {e!r}")


class Trigger:
    """An argument whose conversion (__array__ or __float__) first changes
    another argument."""

    def __init__(self, value, change):
        self.value, self.change = value, change

    def __array__(self, dtype=None, copy=None):
        self.change()
        return np.array(self.value, dtype=dtype)

    def __float__(self):
        self.change()
        return float(self.value)


def outcome(fn, args):
    try:
        return ("result", fn(*args))
    except Exception as e:  # noqa: BLE001 - the error is the outcome
        return ("error", type(e).__name__, str(e))


def snapshot(a):
    """A clean copy of an argument as it is now."""
    if isinstance(a, np.ndarray):
        return np.array(a, dtype=np.float64)
    return a.value if isinstance(a, Trigger) else a


def as_tuple(result):
    return result if isinstance(result, tuple) else (result,)


def acceptable(got, valid):
    """An ordinary exception, or a result that equals, shape and bits, the
    call on one of the valid states."""
    if got[0] == "error":
        return got[1] not in ("SystemError", "MemoryError")
    return any(v[0] == "result" and
               [(r.shape, r.tobytes()) for r in as_tuple(got[1])] ==
               [(r.shape, r.tobytes()) for r in as_tuple(v[1])] for v in valid)


def check_case(fn, good, hostile, namespace=None):
    """Calls fn on the hostile arguments (whose conversion changes one of
    `good` during the call) and compares with the calls on the states before
    and after; returns a description of a wrong outcome, else None."""
    before = outcome(fn, [snapshot(a) for a in good])
    with namespace or contextlib.nullcontext():
        got = outcome(fn, hostile)
    after = outcome(fn, [snapshot(a) for a in hostile])
    return None if acceptable(got, [before, after]) else repr(got)[:300]


# ---- fault class 1: the five modules ---------------------------------------

def caller_numpy(on_convert=None, on_empty=None, empty=np.empty):
    """A caller's `np` whose ascontiguousarray and empty run Python code."""
    def ascontiguousarray(a, dtype=None):
        if on_convert:
            on_convert(a)
        return np.ascontiguousarray(a, dtype=dtype)

    def empty_(n, dtype=None):
        if on_empty:
            on_empty()
        return empty(n, dtype=dtype)
    return types.SimpleNamespace(ascontiguousarray=ascontiguousarray, empty=empty_,
                                 asarray=np.asarray, float64=np.float64)


def module_cases():
    """(label, call) for every function, earlier argument, later trigger,
    change and route."""
    for f, (i, j), (name, mutate) in itertools.product(
            FUNCTIONS, itertools.permutations(range(5), 2), MUTATIONS.items()):
        if not i < j < len(f.params) or f.params[i].kind == DT:
            continue
        label = f"{f.id} arg {i} {name} during arg {j}"
        yield label + " conversion", functools.partial(trigger_in_argument, f, i, j, mutate)
        if f.params[j].kind != DT:
            yield label + " by np", functools.partial(trigger_in_numpy, f, i, j, mutate)
        else:
            yield (label + " with a caller's np",
                   functools.partial(trigger_in_argument, f, i, j, mutate, caller_numpy()))
        if j == i + 1:
            yield (f"{f.id} arg {i} {name} in np.empty",
                   functools.partial(trigger_in_numpy, f, i, None, mutate))
        if f.name == "euler_step" and i == 0 and j == 1:
            yield (f"{f.id} x {name} in derivatives",
                   functools.partial(trigger_in_derivatives, f, mutate))


def owned(args):
    """Copies that own their memory, so that they can be resized."""
    return [a.copy() if isinstance(a, np.ndarray) else a for a in args]


def good_arguments(f):
    return owned(f.arguments(lambda n: np.linspace(0.5, 2.0, n), dt=0.125))


def trigger_in_argument(f, i, j, mutate, namespace=None):
    good = good_arguments(f)
    hostile = list(good)
    hostile[j] = Trigger(good[j], lambda: change(mutate, good[i]))
    return check_case(f.fn, good, hostile,
                      namespace and mock.patch.object(f.module, "np", namespace))


def trigger_in_numpy(f, i, j, mutate):
    good = good_arguments(f)
    if j is None:
        namespace = caller_numpy(on_empty=lambda: change(mutate, good[i]))
    else:
        namespace = caller_numpy(on_convert=lambda a: a is good[j] and change(mutate, good[i]))
    return check_case(f.fn, good, list(good), mock.patch.object(f.module, "np", namespace))


def trigger_in_derivatives(f, mutate):
    good = good_arguments(f)
    own = f.module.derivatives

    def derivatives(x, *rest):
        dx = own(x, *rest)
        change(mutate, x)
        return dx
    # A replaced derivatives takes the Python-level route: x_arr + dt*dx is
    # NumPy's arithmetic on whatever x has become, so only a crash or an
    # unusual exception is wrong here.
    with mock.patch.object(f.module, "derivatives", derivatives):
        got = outcome(f.fn, good)
    return None if acceptable(got, [got]) else repr(got)[:300]


# ---- fault class 2: whole runs ---------------------------------------------

def run_functions():
    """(function, maker of good arguments) for every whole-run function."""
    from tarnlet import runs
    rows = 5000  # large enough that freed rows go back to the system

    def series(width):
        return np.linspace(0.1, 2.0, rows * width).reshape(rows, width)
    spar, lin = np.array([10.0, 2.0, 0.5]), np.linspace
    makers = {
        "sewer_run": lambda: [np.r_[lin(1, 5, 23), 1.3], series(27), lin(0.1, 1, 25), spar, 1e-3],
        "sedlift_run": lambda: [lin(0, 50, 6), series(7), np.array([100.0, 1, 2, 0.25]), 1e-3],
        "loamtank_run": lambda: [np.array([1.2]), series(2),
                                 np.array([2.0, 0.5, 100.0, 0.01, 3.0, 0.2]), 1e-3],
        "sewer_chain_run": lambda: [np.column_stack([np.ones((3, 23)), np.full(3, 0.8)]),
                                    series(27), lin(0.1, 1, 25), np.array([spar] * 3), 1e-3],
        "fractionation_run": lambda: [series(12), lin(0.5, 2, 156), lin(0.1, 0.9, 9),
                                      lin(-5, 50, 44)],
        "combiner_run": lambda: [series(56), series(56)[::-1]],
    }
    return [(getattr(runs, name), functools.partial(lambda m: owned(m()), make))
            for name, make in makers.items() if hasattr(runs, name)]


def takes_out(fn):
    try:
        return "out" in inspect.signature(fn).parameters
    except (TypeError, ValueError):
        return False


def run_cases():
    for (fn, make), (name, mutate) in itertools.product(run_functions(), MUTATIONS.items()):
        n = len(make())
        for i, j in itertools.combinations(range(n), 2):
            yield (f"{fn.__name__} arg {i} {name} during arg {j}",
                   functools.partial(trigger_in_run, fn, make, i, j, mutate))
        for k in range(2 if takes_out(fn) else 0):
            yield (f"{fn.__name__} out {k} {name} during arg {n - 1}",
                   functools.partial(trigger_on_out, fn, make, k, mutate))


def trigger_in_run(fn, make, i, j, mutate):
    good = make()
    hostile = list(good)
    hostile[j] = Trigger(good[j], lambda: change(mutate, good[i]))
    return check_case(fn, good, hostile)


def trigger_on_out(fn, make, k, mutate):
    """The caller's out arrays, one of them changed by the last argument's
    conversion: an exception, or the result the call gives without it."""
    good = make()
    before = outcome(fn, good)
    out = tuple(np.empty_like(r) for r in as_tuple(before[1]))
    victim = out[k % len(out)]
    hostile = good[:-1] + [Trigger(good[-1], lambda: change(mutate, victim))]
    got = outcome(functools.partial(fn, out=out if len(out) > 1 else out[0]), hostile)
    return None if acceptable(got, [before]) else repr(got)[:300]


# ---- fault class 3: NaNs meeting in a run ---------------------------------

NAN_BITS = [0x7FF8000000000001, 0xFFF8000000000002, 0x7FF80000DEADBEEF, 0xFFF800000000BEEF,
            0x7FF0000000000001]  # the last a signalling NaN


def nan(bits):
    return np.array([bits], dtype=np.uint64).view(np.float64)[0]


def loop(block, x0, u, params, dt, chain=1):
    """The run as the Python loop over the module: outputs, then euler_step,
    each storage feeding the next."""
    xs, states, outputs = [np.array(x) for x in np.reshape(x0, (chain, -1))], [], []
    states.append(np.array(xs))
    for row in u:
        ys = []
        for k in range(chain):
            p = [q[k] if np.ndim(q) == 2 else q for q in params]
            ys.append(block.outputs(xs[k], row, *p))
            xs[k] = block.euler_step(xs[k], row, *p, dt)
            row = ys[-1]
        states.append(np.array(xs))
        outputs.append(np.array(ys))
    return np.array(states), np.array(outputs)


def nan_cases():
    from tarnlet import runs
    from tarnlet.brookvane import loamtank, sewer
    from tarnlet.fenmoor import sedlift
    spar = np.array([10.0, 2.0, 0.5])
    return [(runs.sewer_run, sewer, np.r_[np.linspace(1, 5, 23), 1.3], 27,
             [np.linspace(0.1, 1.0, 25), spar], 1),
            (runs.sedlift_run, sedlift, np.linspace(0, 50, 6), 7,
             [np.array([100.0, 1.0, 2.0, 0.25])], 1),
            (runs.loamtank_run, loamtank, np.array([1.2]), 2,
             [np.array([2.0, 0.5, 100.0, 0.01, 3.0, 0.2])], 1),
            (runs.sewer_chain_run, sewer, np.tile(np.r_[np.ones(23), 0.8], (2, 1)), 27,
             [np.linspace(0.1, 1.0, 25), np.array([spar, spar + 1])], 2)]


@pytest.mark.parametrize("case", range(4), ids=["sewer", "sedlift", "loamtank", "chain"])
def test_run_propagates_nans_as_the_loop(case):
    """NaNs of both signs and several payloads in x, in u (so in dx) and in
    dt: the run's states and outputs equal the loop's bit for bit."""
    run, block, x0, width, params, chain = nan_cases()[case]
    mismatches = []
    for px, pu, pd in itertools.product(NAN_BITS, NAN_BITS, [None]):  # dt itself is finite
        x = x0.copy()
        x.flat[::2] = nan(px)
        u = np.linspace(0.5, 2.0, 3 * width).reshape(3, width)
        u[0, ::2], u[1, 1::2] = nan(pu), nan(pu ^ 1 << 63)
        dt = 0.25 if pd is None else nan(pd)
        with np.errstate(all="ignore"):
            want = loop(block, x, u, params, dt, chain)
            got = run(x, u, *params, dt)
        want = (want[0].reshape(got[0].shape), want[1].reshape(got[1].shape))
        if [g.tobytes() for g in got] != [w.tobytes() for w in want]:
            mismatches.append((hex(px), hex(pu), pd and hex(pd)))
    assert not mismatches, mismatches[:5]


@pytest.mark.parametrize("name,block", [("fractionation_run", "fractionation.compute"),
                                        ("combiner_run", "combiner.combine")])
def test_stream_run_propagates_nans_as_the_calls(name, block):
    """Each row of a stream block's run equals, bit for bit, the call of the
    block on that row, with NaNs of both signs and several payloads."""
    from tarnlet import runs
    if not hasattr(runs, name):
        pytest.skip(f"no {name} in this build")
    f = next(f for f in FUNCTIONS if f.id == block)
    mismatches = []
    for px, pu in itertools.product(NAN_BITS, NAN_BITS):
        args = good_arguments(f)
        series = [np.tile(a, (2, 1)) for a in args[:2 if f.name == "combine" else 1]]
        series[0][0, ::2], series[-1][1, 1::3] = nan(px), nan(pu)
        rest = args[len(series):]
        for v in rest:
            v[::5] = nan(pu ^ 1 << 63)
        with np.errstate(all="ignore"):
            got = getattr(runs, name)(*series, *rest)
            want = [f.fn(*(s[t] for s in series), *rest) for t in range(2)]
        if got.tobytes() != np.array(want).tobytes():
            mismatches.append((hex(px), hex(pu)))
    assert not mismatches, mismatches[:5]


# ---- fault class 4: a caller's np.empty gives misaligned memory ------------

def misaligned_empty(n, dtype=None):
    store = bytearray(8 * n + 1)
    return np.frombuffer(store, dtype=np.float64, count=n, offset=1)


def misaligned_cases():
    for f in FUNCTIONS:
        yield f.id, functools.partial(misaligned_result, f)


def misaligned_result(f):
    good = good_arguments(f)
    namespace = caller_numpy(empty=misaligned_empty)
    return check_case(f.fn, good, list(good), mock.patch.object(f.module, "np", namespace))


# ---- fault class 5: a module file loaded under another name ----------------

# Loads each module file as other.<name>, before or after the real import
# (nothing imports the modules before), then imports the real module; prints
# per module what the other load and the real module's function give.
CREATION = r"""
import importlib, importlib.util, json, sys
import numpy as np

def call(m, name, lengths):
    if getattr(m, "np", None) is not np or not callable(getattr(m, name, None)):
        return "incomplete module: " + " ".join(sorted(vars(m)))
    args = [0.125 if n is None else np.linspace(0.5, 2.0, n) for n in lengths]
    return getattr(m, name)(*args).tobytes().hex()

report = []
for dotted, name, lengths, first in json.loads(sys.argv[1]):
    real = importlib.import_module(dotted) if first == "real" else None
    try:
        spec = importlib.util.spec_from_file_location(
            "other." + dotted.rsplit(".", 1)[1], importlib.util.find_spec(dotted).origin)
        other = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(other)
        other_call = call(other, name, lengths)
    except ImportError as e:
        other_call = None
    except Exception as e:
        other_call = "%s: %s" % (type(e).__name__, e)
    try:
        real = importlib.import_module(dotted)
        real_call = call(real, name, lengths)
        real_call += "" if sys.modules[dotted] is real and real.__name__ == dotted else " (stray)"
    except Exception as e:
        real_call = "%s: %s" % (type(e).__name__, e)
    report.append([dotted, other_call, real_call])
print(json.dumps(report))
"""


def test_module_file_loaded_under_another_name(tmp_path):
    """Loading a module file under another name gives ImportError or a
    working module, and the real import afterwards still works."""
    plan = [(f.module.__name__, f.name, f.lengths, first) for f, first in zip(
        [f for f in FUNCTIONS if f.name in ("outputs", "compute", "combine")],
        ["other", "real", "other", "real", "other"])]
    proc = subprocess.run([sys.executable, "-P", "-c", CREATION, json.dumps(plan)],
                          capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert proc.returncode == 0 and not sanitizer_report(proc.stderr), proc.stderr[-3000:]
    for (dotted, other_call, real_call), f in zip(json.loads(proc.stdout), plan):
        want = next(g for g in FUNCTIONS if g.module.__name__ == dotted and g.name == f[1])
        right = want.fn(*good_arguments(want)).tobytes().hex()
        assert real_call == right, (dotted, real_call)
        assert other_call in (None, right), (dotted, other_call)


EMBEDDER = r"""
#include <Python.h>
int main(int argc, char **argv) {  /* one script, run in two runtimes in turn */
    for (int round = 0; round < 2; round++) {
        Py_Initialize();
        PyRun_SimpleString(argv[1]);
        fflush(stdout);
        Py_FinalizeEx();
    }
    return 0;
}
"""
# NumPy itself may refuse a second runtime: the modules come first, and the
# arguments are lists. The site folders come in through site.addsitedir, not
# PYTHONPATH, whose folders' .pth files are never read.
EMBEDDED = r"""
import importlib, json, site
for folder in SITE:  # with their .pth files, which set up an editable install's loader
    site.addsitedir(folder)
report = {}
for dotted, name, args in PLAN:
    try:
        report[dotted] = getattr(importlib.import_module(dotted), name)(*args).tobytes().hex()
    except ImportError:
        report[dotted] = None
    except Exception as e:
        report[dotted] = "%s: %s" % (type(e).__name__, e)
print(json.dumps(report))
"""


def test_embedding_application_restarts_the_interpreter(tmp_path):
    """An application that finalises the interpreter and starts it again
    gets ImportError or working modules in the second runtime."""
    bindir = pathlib.Path(sysconfig.get_config_var("BINDIR"))
    config = bindir / f"python{sysconfig.get_python_version()}-config"
    if not (shutil.which("cc") and config.exists() and sysconfig.get_config_var("Py_ENABLE_SHARED")):
        pytest.skip("needs a C compiler and a shared CPython to embed")
    compiler_env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    flags = subprocess.run([config, "--cflags", "--embed", "--ldflags"], capture_output=True,
                           text=True, check=True, env=compiler_env).stdout.split()
    (tmp_path / "embed.c").write_text(EMBEDDER)
    subprocess.run(["cc", "embed.c", "-o", "embed", *flags,
                    "-Wl,-rpath," + sysconfig.get_config_var("LIBDIR")],
                   cwd=tmp_path, check=True, capture_output=True, env=compiler_env)
    chosen = [f for f in FUNCTIONS if f.name in ("outputs", "compute", "combine")]
    plan = [(f.module.__name__, f.name, [a.tolist() if isinstance(a, np.ndarray) else a
                                         for a in good_arguments(f)]) for f in chosen]
    script = EMBEDDED.replace("PLAN", repr(plan)).replace("SITE", repr(site.getsitepackages()))
    proc = subprocess.run([tmp_path / "embed", script], capture_output=True, text=True,
                          cwd=tmp_path, timeout=300)
    assert proc.returncode == 0 and not sanitizer_report(proc.stderr), proc.stderr[-3000:]
    first, second = (json.loads(line) for line in proc.stdout.splitlines())
    for f in chosen:
        right = f.fn(*good_arguments(f)).tobytes().hex()
        assert first[f.module.__name__] == right
        assert second[f.module.__name__] in (None, right), second


# ---- running the cases in a fresh interpreter ------------------------------

CLASSES = {"modules": module_cases, "runs": run_cases, "misaligned": misaligned_cases}


@pytest.mark.parametrize("kind", list(CLASSES))
def test_changed_arguments_in_fresh_interpreter(kind, tmp_path):
    run_in_fresh_interpreter(__file__, kind, tmp_path)


if __name__ == "__main__":
    run_labelled(CLASSES[sys.argv[1]](), MUTATION_ERRORS)
