"""The model engine runs hand-built plans bit for bit as a plain Python
evaluation of the same operations does, its blocks as tarnlet.runs does;
runs in chunks that Ctrl-C stops; refuses bad plans and arguments with a
clear error; and releases the interpreter lock while it computes."""
import _thread
import importlib
import math
import signal
import threading
import types

import numpy as np
import pytest
from conftest import ticks_during

from tarnlet import _registry, _runs, runs
from tarnlet.model import _engine

rng = np.random.default_rng(23)
BLOCKS = _registry.blocks()
NOTE = "while checking argument 'plan' of tarnlet.model._engine.run()"


class Plan:
    """A plan built port by port, as the model layer builds one."""

    def __init__(self):
        self.ports, self.sources, self.params, self.constants = [], [], [], []
        self.ops, self.store_ops, self.records = [], [], []
        self.buffer = self.nstates = self.npeaks = self.nbalance = 0

    def port(self, kind, where, n):
        self.ports.append((kind, where, n))
        return len(self.ports) - 1

    def source(self, a):
        self.sources.append(a)
        return self.port(1, len(self.sources) - 1, a.shape[-1])

    def buf(self, n):
        self.buffer += n
        return self.port(0, self.buffer - n, n)

    def state(self, n):
        self.nstates += n
        return self.port(2, self.nstates - n, n)

    def param(self, v):
        self.params.append(np.asarray(v, dtype=np.float64))
        return len(self.params) - 1

    def const(self, value):
        self.constants.append(value)
        return len(self.constants) - 1

    def record(self, port, n):
        self.records += [(port, i) for i in range(n)]

    def build(self, dt=0.01):
        i64 = lambda a, *shape: np.array(a, dtype=np.int64).reshape(*shape)  # noqa: E731
        return types.SimpleNamespace(
            buffer=self.buffer, sources=tuple(self.sources), ports=i64(self.ports, -1, 3),
            params=tuple(self.params), constants=np.array(self.constants, dtype=np.float64),
            ops=i64(self.ops, -1), store_ops=i64(self.store_ops, -1), records=i64(self.records, -1, 2),
            npeaks=self.npeaks, nbalance=self.nbalance, dt=dt)


def run(plan, states, start=0, steps=None, every=1, chunk=1000, progress=None):
    steps = len(plan.sources[0]) - start if steps is None else steps
    rows = len(range(-(-start // every) * every, start + steps, every))
    out = np.full((rows, len(plan.records)), -7.0)
    fpe, peaks, balance = _engine.run(plan, states, start, steps, every, out, progress, chunk)
    return out, fpe, peaks, balance


def reference(plan, states, start, steps, every):
    """The operations as a Python loop does them, in Python floats."""
    ports, c, dt = plan.ports.tolist(), plan.constants.tolist(), plan.dt
    buf, st = [0.0] * plan.buffer, [float(v) for v in states]
    peaks, balance, rows = [-math.inf] * plan.npeaks, [0.0] * plan.nbalance, []
    for T in range(start, start + steps):
        src = [s[T].tolist() if s.ndim == 2 else s.tolist() for s in plan.sources]

        def at(p, src=src):
            kind, where, n = ports[p]
            return (buf, where, n) if kind == 0 else (src[where], 0, n) if kind == 1 else (st, where, n)

        def get(p, i):
            return at(p)[0][at(p)[1] + i]

        def put(p, i, v):
            at(p)[0][at(p)[1] + i] = v

        def vec(p):
            store, o, n = at(p)
            return store[o:o + n]

        def execute(words):
            w = iter(words)
            for code in w:
                if code in (1, 2):  # a block, as its module computes it
                    block = BLOCKS[next(w)]
                    module = importlib.import_module(block.module)
                    if code == 1:
                        u, y, x = next(w), next(w), next(w)
                        ps = [plan.params[next(w)] for _ in range(next(w))]
                        xs, us = np.array(vec(x)), np.array(vec(u))
                        with np.errstate(all="ignore"):
                            ys, xn = module.outputs(xs, us, *ps), module.euler_step(xs, us, *ps, dt)
                        for i, v in enumerate(ys.tolist()):
                            put(y, i, v)
                        for i, v in enumerate(xn.tolist()):
                            put(x, i, v)
                        flow, peak = next(w), next(w)
                        if flow >= 0 and get(u, flow) > peaks[peak]:
                            peaks[peak] = get(u, flow)
                    else:
                        y, n = next(w), next(w)
                        ins = [np.array(vec(r)) if k == 0 else plan.params[r] for k, r in
                               [(next(w), next(w)) for _ in range(n)]]
                        for i, v in enumerate(getattr(module, block.functions[0].name)(*ins).tolist()):
                            put(y, i, v)
                elif code == 3:  # GATHER
                    dst, n = next(w), next(w)
                    for i in range(n):
                        s, k = next(w), next(w)
                        put(dst, i, c[k] if s == -1 else get(s, k))
                elif code == 4:  # LINEAR
                    dst, di, sp, si, base, nterms = (next(w) for _ in range(6))
                    acc = c[base] if nterms == 0 else None
                    for _ in range(nterms):
                        coef, names = next(w), next(w)
                        s = get(next(w), next(w))
                        for _ in range(names - 1):
                            s = s + get(next(w), next(w))
                        t = s if coef == -1 else c[coef] * s
                        acc = t if acc is None else acc + t
                    put(dst, di, get(sp, si) * acc if sp >= 0 else acc)
                elif code == 5:  # MIX
                    dst, n, flow, k = (next(w) for _ in range(4))
                    ins = [next(w) for _ in range(k)]
                    q = [get(p, flow) for p in ins]
                    Q = q[0]
                    for v in q[1:]:
                        Q = Q + v
                    for i in range(n):
                        if i == flow:
                            continue
                        if Q <= 1e-12:
                            put(dst, i, 0.0)
                            continue
                        s = q[0] * get(ins[0], i)
                        for qj, p in zip(q[1:], ins[1:]):
                            s = s + qj * get(p, i)
                        put(dst, i, s / Q)
                    put(dst, flow, Q)
                elif code == 6:  # SPLIT
                    src, n, flow, k = (next(w) for _ in range(4))
                    for _ in range(k):
                        dst, share = next(w), next(w)
                        for i, v in enumerate(vec(src)[:n]):
                            put(dst, i, v)
                        put(dst, flow, get(src, flow) * c[share])
                elif code == 7:  # OVERFLOW
                    src, n, flow, kept, over, cap = (next(w) for _ in range(6))
                    q = get(src, flow)
                    for p in (kept, over):
                        for i, v in enumerate(vec(src)[:n]):
                            put(p, i, v)
                    k = c[cap] if q > c[cap] else q
                    put(kept, flow, k)
                    put(over, flow, q - k)
                elif code == 8:  # LOAD
                    dst, src, n = next(w), next(w), next(w)
                    for i, v in enumerate(vec(src)[:n]):
                        put(dst, i, v)
                elif code == 9:  # BALANCE
                    p, flow, n, acc = (next(w) for _ in range(4))
                    q = get(p, flow)
                    balance[acc] += dt * q
                    for k in range(n):
                        balance[acc + 1 + k] += dt * (q * get(p, next(w)))
                elif code == 10:  # BALANCE_IF
                    p, flow, acc, tp, ti, limit = (next(w) for _ in range(6))
                    if get(tp, ti) < c[limit]:
                        balance[acc] += dt * get(p, flow)

        execute(plan.ops.tolist())
        if T % every == 0:
            rows.append([get(p, i) for p, i in plan.records.tolist()])
        execute(plan.store_ops.tolist())
    return np.array(rows).reshape(-1, len(plan.records)), np.array(st), np.array(peaks), np.array(balance)


def series(steps, n, flow=None, nan=0.05):
    """Random rows with NaNs; the flow column holds zeros (of both signs),
    flows at and near the smallest flow, and NaNs too."""
    a = rng.uniform(-1.0, 3.0, (steps, n))
    a[rng.random((steps, n)) < nan] = np.nan
    if flow is not None:
        a[:, flow] = rng.choice([0.0, -0.0, 1e-13, 1e-12, np.nan, 1.5, 40.0], steps)
        a[::3, flow] *= rng.uniform(0.5, 2, len(a[::3]))
    return a


def connector_plan(kind):
    p, steps = Plan(), 40
    a, b, s = (p.source(series(steps, 6, flow=2)) for _ in range(3))
    x = p.state(6)
    if kind == "GATHER":
        dst = p.buf(5)
        p.ops += [3, dst, 5, a, 1, -1, p.const(0.5), b, 3, x, 0, p.source(rng.uniform(0, 1, 3)), 2]
        p.record(dst, 5)
    elif kind == "LINEAR":
        dst = p.buf(5)
        c1, c2 = p.const(-0.3), p.const(1.7)
        p.ops += [4, dst, 0, -1, 0, c2, 0]  # a constant
        p.ops += [4, dst, 1, -1, 0, -1, 2, -1, 3, a, 0, b, 1, x, 2, c1, 1, s, 4]
        p.ops += [4, dst, 2, a, 2, -1, 3, c2, 2, b, 5, a, 5, -1, 1, dst, 1, c1, 1, s, 2]
        p.ops += [4, dst, 3, a, 2, -1, 1, -1, 1, b, 4]  # a load: a flow times one entry
        p.ops += [4, dst, 4, -1, 0, -1, 1, -1, 1, s, 3]  # one entry as it is
        p.record(dst, 5)
    elif kind == "MIX":
        three, two, one = p.buf(6), p.buf(6), p.buf(4)
        p.ops += [5, three, 6, 2, 3, a, b, s, 5, two, 6, 2, 2, b, a, 5, one, 4, 2, 1, s]
        p.record(three, 6), p.record(two, 6), p.record(one, 4)
        wide, w1, w2 = p.buf(70), p.source(series(steps, 70, flow=10)), p.source(series(steps, 70, flow=10))
        p.ops += [8, wide, w1, 70, 5, wide, 70, 10, 3, wide, w2, w1]  # mixed in place
        p.record(wide, 70)
    elif kind == "SPLIT":
        d1, d2 = p.buf(6), p.buf(6)
        p.ops += [6, a, 6, 2, 2, d1, p.const(0.25), d2, p.const(0.75)]
        p.record(d1, 6), p.record(d2, 6)
    elif kind == "OVERFLOW":
        kept, over = p.buf(6), p.buf(6)
        p.ops += [7, b, 6, 2, kept, over, p.const(1.5)]
        p.record(kept, 6), p.record(over, 6)
    elif kind == "LOAD":  # a delay: the output is the stored input of the step before
        out = p.buf(6)
        p.ops += [8, out, x, 6]
        p.store_ops += [8, x, a, 6]
        p.record(out, 6)
    elif kind == "BALANCE":
        p.nbalance = 5
        q = p.source(rng.uniform(-1.0, 3.0, (steps, 6)))
        p.ops += [9, q, 2, 2, 0, 0, 4, 9, q, 5, 1, 3, 1]
        p.record(q, 6)
    elif kind == "BALANCE_IF":  # counted while a tested entry (NaNs among them) is below a limit
        p.nbalance = 2
        q, test = p.source(rng.uniform(-1.0, 3.0, (steps, 3))), p.source(series(steps, 2))
        p.ops += [10, q, 1, 0, test, 0, p.const(1.0), 10, q, 2, 1, x, 3, p.const(1.0)]
        p.record(q, 3)
    return p.build(dt=0.37), rng.uniform(0, 2, p.nstates)


@pytest.mark.parametrize("start,every", [(3, 1), (4, 3)])
@pytest.mark.parametrize("kind", ["GATHER", "LINEAR", "MIX", "SPLIT", "OVERFLOW", "LOAD", "BALANCE",
                                  "BALANCE_IF"])
def test_connector_operations_equal_python(kind, start, every):
    plan, x0 = connector_plan(kind)
    states = x0.copy()
    out, fpe, peaks, balance = run(plan, states, start=start, steps=35, every=every, chunk=6)
    want = reference(plan, x0, start, 35, every)
    assert [out.tobytes(), states.tobytes(), peaks.tobytes(), balance.tobytes()] == \
        [w.tobytes() for w in want]
    assert fpe == 0


# ---- what gives the same every step; long records ---------------------------------

def constant_plan(hazard, steps=30):
    """Operations on a source of one row and on constants, beside a mixer of
    a changing source; `hazard` puts a reader or a writer where running the
    constant operations once, before the first step, would be wrong."""
    p = Plan()
    a, c = p.source(series(steps, 6, flow=2)), p.source(rng.uniform(0.5, 2.0, 6))
    g, h, mixed, k = p.buf(6), p.buf(1), p.buf(6), p.buf(1)
    gather = [3, g, 6, *(w for i in range(6) for w in (c, i))]  # g = c
    linear = [4, h, 0, c, 1, -1, 1, p.const(1.5), 1, g, 3]  # h = c[1] * (1.5 * g[3])
    mixer = [5, mixed, 6, 2, 2, a, g, 4, k, 0, a, 0, -1, 1, -1, 1, c, 3]  # and k = a[0] * c[3]
    ops = {"none": gather + linear + mixer,
           "read before written": linear + gather + mixer,
           "written from a changing source": gather + linear + [4, g, 3, -1, 0, -1, 1, -1, 1, a, 4] + mixer,
           "read between its writers": gather + mixer + [4, g, 3, -1, 0, p.const(9.0), 0] + linear,
           "its own input": [5, g, 6, 2, 2, c, g] + linear + mixer,
           "stored": gather + linear + mixer}
    p.ops += ops[hazard]
    if hazard == "stored":  # the store operations load g from the changing source
        p.store_ops += [8, g, a, 6]
    p.record(g, 6), p.record(h, 1), p.record(mixed, 6), p.record(k, 1)
    return p.build(dt=0.37)


@pytest.mark.parametrize("hazard", ["none", "read before written", "written from a changing source",
                                    "read between its writers", "its own input", "stored"])
def test_operations_on_constants_give_what_every_step_gives(hazard):
    plan = constant_plan(hazard)
    out, *_ = run(plan, np.zeros(0), start=2, steps=25, every=2, chunk=4)
    assert out.tobytes() == reference(plan, np.zeros(0), 2, 25, 2)[0].tobytes()
    tiled = types.SimpleNamespace(**vars(plan))  # the same row at every step: nothing is constant
    tiled.sources = (plan.sources[0], np.tile(plan.sources[1], (30, 1)))
    assert run(tiled, np.zeros(0), start=2, steps=25, every=2, chunk=4)[0].tobytes() == out.tobytes()


def test_operations_on_constants_run_once_before_the_first_step():
    """What depends on constants alone is formed when the run starts; an
    operation that changes every step reads a source of one row every step."""
    plan = constant_plan("none", steps=40)
    row, a = plan.sources[1], plan.sources[0]
    before = row.copy()
    out, *_ = run(plan, np.zeros(0), chunk=10, progress=lambda done, total: row.__setitem__(3, 50.0))
    assert (out[:, :6] == before).all() and (out[:, 6] == before[1] * (1.5 * before[3])).all()
    assert out[:10, 13].tobytes() == (a[:10, 0] * before[3]).tobytes()
    assert out[10:, 13].tobytes() == (a[10:, 0] * 50.0).tobytes()


def kept_only_plan(hazard, steps=40):
    """Operations whose outputs reach the records alone (a step that keeps
    none may leave them out), beside operations that a later step needs:
    `hazard` makes one of the former needed at every step."""
    p = Plan()
    a, b = p.source(series(steps, 6, flow=2)), p.source(series(steps, 6, flow=2))
    g, h, mixed, x = p.buf(6), p.buf(1), p.buf(6), p.state(6)
    gather = [3, g, 6, *(w for i in range(6) for w in (a, i))]  # g = a
    linear = [4, h, 0, b, 1, -1, 1, -1, 1, g, 3]  # h = b[1] * g[3]
    mixer = [5, mixed, 6, 2, 2, b, g]
    ops = {"none": gather + linear + mixer,
           "read before written": linear + gather + mixer,  # h of the step before's g
           "stored": gather + linear + mixer,
           "a state written": gather + linear + [4, x, 0, -1, 0, -1, 2, -1, 1, x, 0, -1, 1, g, 0] + mixer,
           "a state's input": gather + linear + mixer + [8, x, mixed, 6]}
    p.ops += ops[hazard]
    if hazard == "stored":  # a delay of g
        p.ops[:0] = [8, mixed, x, 6]
        p.store_ops += [8, x, g, 6]
    p.record(h, 1), p.record(mixed, 6), p.record(x, 6)
    return p.build(dt=0.37), rng.uniform(0, 2, p.nstates)


@pytest.mark.parametrize("hazard", ["none", "read before written", "stored", "a state written", "a state's input"])
def test_steps_that_keep_no_records_give_what_every_step_gives(hazard):
    plan, x0 = kept_only_plan(hazard)
    states = x0.copy()
    out, *_ = run(plan, states, start=1, steps=38, every=3, chunk=5)
    want, final, *_ = reference(plan, x0, 1, 38, 3)
    assert out.tobytes() == want.tobytes() and states.tobytes() == final.tobytes()


def test_long_records_equal_those_of_short_runs():
    """Rows of more than 4 MiB go to memory past the cache (rows of an odd
    length, single entries among them): the same numbers as short runs."""
    plan, x0 = chain_plan(20_000)
    plan.records = np.r_[plan.records, i64(2, 3, 0, 19).reshape(2, 2)]  # a state's entry, the source's
    whole_states = x0.copy()
    whole, *_ = run(plan, whole_states, chunk=7_000)
    assert whole.nbytes > 4 << 20
    parts, states = [], x0.copy()
    for start in range(0, 20_000, 5_000):
        parts.append(run(plan, states, start=start, steps=5_000)[0])
    assert np.concatenate(parts).tobytes() == whole.tobytes()
    assert states.tobytes() == whole_states.tobytes()


def block_inputs(block, steps, specials):
    u = rng.uniform(0.0, 2.0, (steps, block.lengths["u"]))
    if specials:
        u.flat[rng.integers(0, u.size, 6)] = [np.nan, np.inf, -np.inf, -0.0, -3.0, np.nan]
    return (rng.uniform(0.1, 5.0, block.lengths["x"]), u,
            *(rng.uniform(0.1, 2.0, block.lengths[name]) for name in block.parameters))


@pytest.mark.parametrize("dt", [0.01, 1e308], ids=["quiet", "overflow"])
@pytest.mark.parametrize("k", [k for k, b in enumerate(BLOCKS) if b.has_state],
                         ids=[b.name for b in BLOCKS if b.has_state])
def test_state_operation_equals_its_run(k, dt):
    block = BLOCKS[k]
    x0, u, *params = block_inputs(block, 200, specials=dt < 1)
    p = Plan()
    up, y, x = p.source(u), p.buf(block.lengths["y"]), p.state(block.lengths["x"])
    p.npeaks = 1
    p.ops += [1, k, up, y, x, len(params), *map(p.param, params), 1, 0]
    p.record(y, block.lengths["y"])
    states = x0.copy()
    out, fpe, peaks, _ = run(p.build(dt=dt), states, chunk=64)
    xs, ys, flags, *_ = getattr(_runs, block.run.name)(x0, u, *params, dt, None, 0, True, None, 1, None, False)
    assert out.tobytes() == ys.tobytes() and states.tobytes() == xs[-1].tobytes()
    assert fpe == flags and (flags or dt < 1)
    assert peaks[0] == max((v for v in u[:, 1] if v == v), default=-math.inf)


@pytest.mark.parametrize("k", [k for k, b in enumerate(BLOCKS) if not b.has_state],
                         ids=[b.name for b in BLOCKS if not b.has_state])
def test_stream_operation_equals_its_run(k):
    block, steps, p = BLOCKS[k], 60, Plan()
    args, words = [], []
    for name in block.parameters:
        n = block.lengths[name]
        if any(c.kind == "columns" for c in block.run.checks_of(name)):
            args.append(series(steps, n, flow=37 if n > 37 else n - 1))
            words += [0, p.source(args[-1])]
        else:
            args.append(rng.uniform(-1, 2, n))
            words += [1, p.param(args[-1])]
    y = p.buf(block.lengths["y"])
    p.ops += [2, k, y, len(args), *words]
    p.record(y, block.lengths["y"])
    out, *_ = run(p.build(), np.zeros(0), every=3)
    assert out.tobytes() == getattr(runs, block.run.name)(*args, every=3).tobytes()


def chain_plan(steps, counter=False):
    """Three sewer storages in series, fed by one inflow (with a step counter in the states)."""
    k = next(k for k, b in enumerate(BLOCKS) if b.name == "sewer")
    p = Plan()
    inflow = np.r_[rng.uniform(1, 3, 27)]
    inflow[19] = 4000.0
    u = p.source(np.tile(inflow, (steps, 1)) if steps else inflow)
    pars, spar = p.param(rng.uniform(0, 1, 25)), p.param([300.0, 11000.0, 0.1])
    for _ in range(3):
        y = p.buf(27)
        p.ops += [1, k, u, y, p.state(24), 2, pars, spar, -1, 0]
        u = y
    p.record(u, 27)
    x0 = np.r_[np.tile(np.r_[rng.uniform(50, 100, 23), 0.6], 3)]
    if counter:  # states[-1] += 1 every step
        count = p.state(1)
        p.ops += [4, count, 0, -1, 0, -1, 2, -1, 1, count, 0, -1, 1, p.source(np.ones(1)), 0]
        x0 = np.r_[x0, 0.0]
    return p.build(dt=1 / 1440), x0


def test_any_chunk_size_gives_the_same_run_and_progress_sees_every_chunk():
    plan, x0 = chain_plan(100)
    results, seen = [], []
    for chunk in (1, 7, 100, 10_000):
        states = x0.copy()
        calls = []
        out, *rest = run(plan, states, every=4, chunk=chunk, progress=lambda d, n, calls=calls: calls.append((d, n)))
        results.append([out.tobytes(), states.tobytes(), *(r.tobytes() for r in rest[1:])])
        seen.append(calls)
    assert all(r == results[0] for r in results)
    assert seen[1] == [(min(d, 100), 100) for d in range(7, 107, 7)]
    assert seen[3] == [(100, 100)]


def test_an_exception_in_progress_stops_the_run():
    plan, x0 = chain_plan(0, counter=True)
    states = x0.copy()

    def progress(done, total):
        if done == 30:
            raise ZeroDivisionError("stop")

    with pytest.raises(ZeroDivisionError, match="stop"):
        run(plan, states, steps=1000, chunk=10, progress=progress)
    assert states[-1] == 30


def test_progress_that_changes_an_array_stops_the_run():
    plan, x0 = chain_plan(50)

    def progress(done, total):
        plan.params[0].resize(3, refcheck=False)

    with pytest.raises(ValueError, match=r"^Argument 'plan.params\[0\]' changed during the run") as e:
        run(plan, x0.copy(), chunk=10, progress=progress)
    assert e.value.__notes__ == [NOTE]


def interrupt_when(started):
    """Ctrl-C, as a signal handler gets it, once `started()` is true."""
    def watch():
        while not started():
            pass
        _thread.interrupt_main()
    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    return watcher


@pytest.fixture
def ctrl_c():
    old = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield interrupt_when
    signal.signal(signal.SIGINT, old)


def test_ctrl_c_stops_an_engine_run_between_chunks(ctrl_c):
    plan, x0 = chain_plan(0, counter=True)
    states, steps, chunk = x0.copy(), 50_000_000, 4096
    watcher = ctrl_c(lambda: states[-1] > 0)
    with pytest.raises(KeyboardInterrupt):
        run(plan, states, steps=steps, every=1000, chunk=chunk)
    watcher.join()
    done = int(states[-1])
    assert done % chunk == 0 and done < steps
    again = x0.copy()  # the states after the chunks that finished
    run(plan, again, steps=done, every=1000)
    assert again.tobytes() == states.tobytes()


def test_ctrl_c_stops_a_run_of_tarnlet_runs_between_chunks(ctrl_c):
    x0, u = np.r_[rng.uniform(50, 100, 23), 0.6], np.r_[rng.uniform(1, 3, 27)]
    u[19] = 4000.0
    out = (np.zeros((1, 24)), np.full((20_000, 1), np.nan))
    watcher = ctrl_c(lambda: not np.isnan(out[1][0, 0]))
    with pytest.raises(KeyboardInterrupt):
        runs.sewer_run(x0, u, np.ones(25), np.array([300.0, 11000.0, 0.1]), 1e-4, steps=20_000_000,
                       record=[19], every=1000, states="last", out=out)
    watcher.join()
    assert np.isnan(out[1][-1, 0])  # the run stopped before its end


def test_a_signal_handler_that_changes_an_input_stops_a_run_of_tarnlet_runs():
    u = np.ones((2_000_000, 27))
    out = (np.zeros((1, 24)), np.full((20_000, 1), np.nan))
    old = signal.signal(signal.SIGINT, lambda *_: u.resize((3, 27), refcheck=False))
    try:
        watcher = interrupt_when(lambda: not np.isnan(out[1][0, 0]))
        with pytest.raises(ValueError, match="^Argument 'u' changed during the run") as e:
            runs.sewer_run(np.ones(24), u, np.ones(25), np.array([10.0, 2.0, 0.5]), 1e-4,
                           record=[19], every=100, states="last", out=out)
        watcher.join()
    finally:
        signal.signal(signal.SIGINT, old)
    assert e.value.__notes__ == ["while checking argument 'u' of tarnlet.runs.sewer_run()"]


def test_interpreter_lock_is_released():
    plan, x0 = chain_plan(0)
    assert ticks_during(lambda: run(plan, x0.copy(), steps=300_000, every=1000, chunk=1 << 20)) > 1000


# ---- refused plans and arguments ------------------------------------------------

def good():
    plan, x0 = chain_plan(20)
    fields = vars(plan).copy()
    return fields, dict(states=x0.copy(), start=0, steps=20, every=1, out=np.zeros((20, 27)),
                        progress=None, chunk=8)


def i64(*words):
    return np.array(words, dtype=np.int64)


def setting(field, value):
    return lambda f, a: f.__setitem__(field, value(f) if callable(value) else value)


def at(word, name, start=30):
    """The start of an error in the operation at plan.ops[start]."""
    return rf"plan\.ops\[{word}\], in the {name} operation at plan\.ops\[{start}\]: "


def op(words):
    """A plan with one more operation."""
    return lambda f, a: f.__setitem__("ops", np.r_[f["ops"], i64(*words)])


PLAN_ERRORS = [
    (setting("buffer", -1), "plan.buffer must not be negative, not -1"),
    (setting("buffer", 2.0), "plan.buffer must be an int, not a float"),
    (setting("buffer", 80), r"plan.ports\[5\]: entries 54 to 80 are outside the buffer of 80 doubles"),
    (setting("sources", lambda f: list(f["sources"])), "plan.sources must be a tuple of float64 arrays, not a list"),
    (setting("sources", lambda f: (f["sources"][0].astype(np.float32),)),
     r"plan.sources\[0\] must be an aligned, C-contiguous, native float64 array of 1 or 2 dimensions, "
     r"not a float32 array of shape \(20, 27\)"),
    (setting("sources", lambda f: (np.asfortranarray(f["sources"][0]),)), "not a non-contiguous float64"),
    (setting("sources", lambda f: (f["sources"][0][:10],)),
     r"plan.sources\[0\] has 10 rows; the run reads rows 0 to 19"),
    (setting("ports", lambda f: f["ports"].astype(np.float64)), r"plan.ports must be an aligned, C-contiguous, "
     r"native int64 array of shape \(n, 3\), not a float64 array of shape \(7, 3\)"),
    (setting("ports", lambda f: np.r_[f["ports"], i64(3, 0, 1)[None]]), r"plan.ports\[7\]: kind 3 is not 0"),
    (setting("ports", lambda f: np.r_[f["ports"], i64(1, 4, 1)[None]]),
     r"plan.ports\[7\]: source 4 does not exist \(plan.sources holds 1\)"),
    (setting("ports", lambda f: np.r_[f["ports"], i64(1, 0, 28)[None]]), "length 28 is more than the 27 entries"),
    (setting("ports", lambda f: np.r_[f["ports"], i64(2, 60, 13)[None]]), "outside the states of 72 doubles"),
    (setting("params", lambda f: (f["params"][0][:24], f["params"][1])),
     at(6, "STATE", 0) + r"plan.params\[0\] has 24 entries; the block reads at least 25"),
    (setting("params", lambda f: (f["params"][0].reshape(5, 5), f["params"][1])), "native float64 vector"),
    (setting("constants", i64(1)), "plan.constants must be an aligned"),
    (op([3, 1, 1, -1, 0]), r"plan.ops\[\d+\], in the GATHER operation at plan.ops\[30\]: constant 0 does not exist"),
    (op([12]), r"plan.ops\[30\]: 12 is not an operation code \(1 to 10\)"),
    (op([10, 1, 0, 7, 1, 0, 0]), at(33, "BALANCE_IF") + r"the accumulator 7 is more than plan.nbalance - 1"),
    (op([5, 1, 27, 19]), r"plan.ops\[30\]: the MIX operation ends past plan.ops's 34 words"),
    (op([8, 0, 1, 27]), at(31, "LOAD") + r"port 0 is a source's, which no operation may write"),
    (op([8, 1, 9, 27]), at(32, "LOAD") + r"port 9 does not exist \(the plan has 7 ports\)"),
    (op([1, 4, 0, 1, 2, 0, 0, 0]), at(31, "STATE") + r"block 4 \(combiner\) is not a state-space block"),
    (op([1, 0, 0, 1, 2, 1, 0, -1, 0]), at(35, "STATE") + r"the number of parameter vectors 1 is less than 2"),
    (op([1, 0, 0, 3, 1, 2, 0, 1, -1, 0]), at(34, "STATE") + r"port 1 has 27 entries; the operation needs 24"),
    (op([1, 0, 0, 1, 2, 2, 0, 1, 19, 0]), at(39, "STATE") + r"peak 0 is outside plan.npeaks \(0\)"),
    (op([9, 1, 19, 2, 0, 0, 1]), at(34, "BALANCE") + r"accumulators 0 to 2 are outside plan.nbalance \(0\)"),
    (op([4, 1, 27, -1, 0, -1, 0]), at(32, "LINEAR") + r"entry 27 is outside a vector of 27 entries"),
    (op([2, 4, 1, 2, 0, 1, 1, 0]), at(32, "STREAM") + r"port 1 has 27 entries; the operation needs 56"),
    (setting("store_ops", i64(3, 1, 0)), r"plan.store_ops\[0\]: a GATHER operation; the store operations are LOAD"),
    (setting("records", lambda f: f["records"][:, :1].copy()),
     r"of shape \(n, 2\), not an int64 array of shape \(27, 1\)"),
    (setting("records", lambda f: np.r_[f["records"], i64(3, 27)[None]]),
     r"plan.records\[27\]: entry 27 is outside port 3 of 27 entries"),
    (setting("npeaks", -2), "plan.npeaks must not be negative"),
    (setting("dt", "0.1"), "plan.dt must be a float, not a str"),
    (setting("dt", math.nan), "plan.dt must be a finite positive number, not nan"),
]


@pytest.mark.parametrize("change,message", PLAN_ERRORS, ids=[m[:40] for _, m in PLAN_ERRORS])
def test_bad_plans_are_refused_before_any_step(change, message):
    fields, args = good()
    change(fields, args)
    before = args["states"].copy()
    with pytest.raises(ValueError, match=message) as e:
        _engine.run(types.SimpleNamespace(**fields), **args)
    assert e.value.__notes__ == [NOTE]
    assert args["states"].tobytes() == before.tobytes() and not args["out"].any()


def argument(name, value):
    return lambda f, a: a.__setitem__(name, value(f, a) if callable(value) else value)


ARGUMENT_ERRORS = [
    (argument("states", lambda f, a: a["states"].astype(np.float32)), ValueError, "states must be a writable"),
    (argument("states", lambda f, a: a["states"][::2]), ValueError, "states must be a writable"),
    (argument("states", [0.0] * 72), TypeError, "states must be a float64 array"),
    (argument("states", lambda f, a: np.zeros(71)), ValueError, "outside the states of 71 doubles"),
    (argument("states", lambda f, a: f["sources"][0].reshape(-1)[:72]), ValueError,
     r"states shares memory with plan.sources\[0\]"),
    (argument("start", -1), ValueError, "start must not be negative, not -1"),
    (argument("steps", 2.0), TypeError, "steps must be an int"),
    (argument("every", 0), ValueError, "every must be at least 1, not 0"),
    (argument("chunk", 0), ValueError, "chunk must be at least 1, not 0"),
    (argument("progress", 3), TypeError, "progress must be None or a callable"),
    (argument("out", None), TypeError, "out must be an array"),
    (argument("out", np.zeros((20, 26))), ValueError, r"out must be a writable, C-contiguous, aligned float64 "
     r"array of shape \(20, 27\) whose memory an array owns"),
    (argument("out", np.zeros((20, 27), order="F")), ValueError, "out must be a writable"),
    (argument("out", np.zeros((20, 27), dtype=np.float32)), ValueError, "out must be a writable"),
    (argument("out", lambda f, a: np.ndarray((20, 27), buffer=b"\0" * 4320)), ValueError, "out must be a writable"),
    (argument("out", lambda f, a: f["sources"][0]), ValueError, r"out shares memory with plan.sources\[0\]"),
    (lambda f, a: a.update(out=(m := np.zeros((20, 27))), states=m.reshape(-1)[:72]), ValueError,
     "out shares memory with states"),
]


@pytest.mark.parametrize("change,error,message", ARGUMENT_ERRORS, ids=range(len(ARGUMENT_ERRORS)))
def test_bad_arguments_are_refused(change, error, message):
    fields, args = good()
    change(fields, args)
    with pytest.raises(error, match=message) as e:
        _engine.run(types.SimpleNamespace(**fields), **args)
    assert any("of tarnlet.model._engine.run()" in n for n in e.value.__notes__)
