"""Eight threads calling every public function at once get exactly the
results (or errors) that the same calls give one after another."""
import sys
import threading

import numpy as np
import pytest
from conftest import FUNCTIONS

THREADS = 8
CALLS_PER_THREAD = 400


class SwitchingFloat:
    """A dt whose conversion lets other threads run in the middle of a call."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        sys._getframe()  # Python code: the interpreter may switch threads here
        return self.value


def variants(rng, n):
    v = rng.uniform(0.1, 10.0, n)
    yield v
    yield v.tolist()
    yield v.astype(np.float32)
    yield np.repeat(v, 2)[::2]
    yield np.frombuffer(b"\0" + v.tobytes(), dtype=np.float64, offset=1)
    yield v[:-1] if n > 1 else v.reshape(1, 1)  # a length or dimension error


def jobs():
    rng = np.random.default_rng(11)
    out = []
    for fn, lengths in [(getattr(f.module, name), f.lengths)
                        for f in FUNCTIONS for name in (f.name, *f.aliases)]:
        for k in range(6):
            args = []
            for i, n in enumerate(lengths):
                if n is None:
                    args.append((0.25, "0.5", SwitchingFloat(-0.125), None, 2, b"1e-3")[k])
                else:
                    options = list(variants(rng, n))
                    args.append(options[(k + i) % len(options)])
            out.append((fn, tuple(args)))
    return out


def run(fn, args):
    try:
        y = fn(*args)
    except Exception as e:  # noqa: BLE001 - the error is the result
        return (type(e), str(e))
    return (y.dtype.str, y.shape, y.tobytes())


@pytest.mark.parametrize("switch_interval", [5e-3, 1e-6])
def test_concurrent_calls_match_serial_calls(switch_interval):
    work = jobs()
    serial = [run(fn, args) for fn, args in work]
    assert any(len(r) == 3 for r in serial) and any(len(r) == 2 for r in serial)
    barrier = threading.Barrier(THREADS)
    mismatches, failures = [], []

    def worker(seed):
        order = np.random.default_rng(seed).integers(0, len(work), CALLS_PER_THREAD)
        try:
            barrier.wait()
            for j in order:
                got = run(*work[j])
                if got != serial[j]:
                    mismatches.append((work[j][0].__name__, j, got, serial[j]))
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append(e)

    old = sys.getswitchinterval()
    sys.setswitchinterval(switch_interval)
    try:
        threads = [threading.Thread(target=worker, args=(s,)) for s in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert not failures
    assert not mismatches, mismatches[:3]
    # the arguments themselves are untouched by all those calls
    assert [run(fn, args) for fn, args in work] == serial
