"""Running a model: its initial state, its sources on the grid, the records,
and the two routes: the compiled engine and the reference step loop."""
from __future__ import annotations

import importlib
import sys
import time
import warnings
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from tarnlet._fpe import report_fpe
from tarnlet._typing import Array
from tarnlet.model import _nodes as nodes
from tarnlet.model import _plan, steady
from tarnlet.model._model import Model, ModelError, Port, Resolved, _close, parse_address
from tarnlet.model.results import ModelResult, ModelState

SMALLEST_FLOW = 1e-12  # a mixer's total flow at or below it mixes nothing, as the combiner's
CHUNK = 1 << 14  # steps between checks for Ctrl-C and progress


# ---- records ---------------------------------------------------------------------------------------

def _label(port: Port) -> str:
    node = port.node if port.member is None else f"{port.node}[{port.member}]"
    return node if port.vector == "y" else f"{node}.{port.vector}"


def _vectors_of(model: Model, r: Resolved, text: str) -> list[tuple[Port, list[int]]]:
    """The ports and entries an address records."""
    a = parse_address(text)
    node = model._nodes.get(a.node)
    if node is None:
        raise KeyError(f"record: no node named {a.node!r}" + _close(a.node, model._nodes))
    members = [a.member]
    if isinstance(node, nodes.ChainNode) and a.member is None:
        members = [node.n]
    vector, entry = a.vector, a.entry
    have = {p.vector: p for p in r.outputs.values() if p.node == a.node and p.member == members[0]}
    if vector is not None and entry is None and vector not in have:
        default = node.default_output
        if default in have and vector in have[default].layout:  # "node.entry"
            vector, entry = default, vector
    vector = vector or node.default_output
    if vector not in have:
        raise KeyError(f"record: {text!r}: {a.label!r} has no vector {vector!r}" + _close(vector, have))
    port = have[vector]
    if entry is None:
        return [(port, list(range(len(port.layout))))]
    if entry not in port.layout:
        raise KeyError(f"record: {text!r}: {port.address} has no entry {entry!r}" + _close(entry, port.layout.names))
    return [(port, [port.layout.index(entry)])]


def records_of(model: Model, r: Resolved, record: Sequence[str] | str | None) -> list[tuple[Port, int]]:
    if record is None:  # every output of every node but the sources
        picked = []
        for name in r.order:
            node = model._nodes[name]
            if isinstance(node, nodes.Source):
                continue
            if isinstance(node, nodes.ChainNode):
                picked += [f"{name}[{j}]" for j in range(1, node.n + 1)]
            else:
                picked += [f"{name}.{v}" for v in node.output_names()]
        record = picked
    if isinstance(record, str):
        record = [record]
    out: list[tuple[Port, int]] = []
    problems = []
    for text in record:
        try:
            for port, indices in _vectors_of(model, r, text):
                out += [(port, i) for i in indices]
        except (KeyError, ValueError) as e:
            problems.append(str(e.args[0]))
    if problems:
        raise ModelError(problems)
    return out


# ---- initial states ----------------------------------------------------------------------------------

def _state_keys(model: Model, r: Resolved) -> list[tuple[str, int | None]]:
    keys: list[tuple[str, int | None]] = []
    for name in r.order:
        node = model._nodes[name]
        if isinstance(node, nodes.ChainNode):
            keys += [(name, j) for j in range(1, node.n + 1)]
        elif isinstance(node, nodes.BlockNode) and node.has_state:
            keys.append((name, None))
        elif isinstance(node, nodes.Delay):
            keys.append((name, None))
    return keys


def _params(node: nodes.BlockNode, member: int | None) -> dict[str, Array]:
    if isinstance(node, nodes.ChainNode):
        return node.member_params[(member or 1) - 1]
    return node.params


def _start_of(model: Model, x0: Any) -> tuple[int, dict[str, Array]]:
    """The first step and the states given by `x0` (a result, a state, or
    states by node)."""
    if x0 is None:
        return 0, {}
    if isinstance(x0, ModelResult):
        x0 = x0.final
    if isinstance(x0, ModelState):
        if x0.dt != model.dt:
            raise ValueError(f"x0 is a state after steps of {x0.dt!r} d; this model steps {model.dt!r} d")
        return x0.step, dict(x0)
    if isinstance(x0, Mapping):
        unknown = [k for k in x0 if k not in model._nodes]
        if unknown:
            raise KeyError(f"x0 names no node {unknown[0]!r}" + _close(unknown[0], model._nodes))
        return 0, {k: np.array(v, dtype=np.float64) for k, v in x0.items()}
    raise TypeError(f"x0 is a ModelResult, a ModelState or a dict of states by node, not {type(x0).__name__}")


# ---- sources ------------------------------------------------------------------------------------------

def source_arrays(model: Model, r: Resolved, start: int, steps: int | None) -> tuple[dict[str, Array], int]:
    """Every source as the array the run reads (row start + t), and the steps."""
    arrays, forcings, rows = {}, [], []
    for name in r.order:
        node = model._nodes[name]
        if not isinstance(node, nodes.Source):
            continue
        if isinstance(node.values, np.ndarray):
            arrays[name] = np.ascontiguousarray(node.values)
            if node.values.ndim == 2:
                rows.append((node.values.shape[0] - start, name))
        else:
            forcings.append(node)
    if steps is None:
        if not rows:
            raise ValueError("give steps: no source of the model is an array of rows that says how many")
        steps = min(n for n, _ in rows)
    steps = _count(steps, "steps")
    short = [f"source {n!r} has {k + start} rows, the run needs {start + steps}" for k, n in rows if k < steps]
    if short:
        raise ValueError("; ".join(short))
    for node in forcings:
        grid_start = model.start if model.start is not None else 0.0
        arrays[node.name] = np.ascontiguousarray(node.values.resolve(grid_start, model.dt, start + steps),
                                                 dtype=np.float64).reshape(start + steps, -1)
    return arrays, steps


def _count(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 0:
        raise ValueError(f"{name} must be a non-negative int, not {value!r}")
    return int(value)


# ---- the reference route: one step at a time in Python ---------------------------------------------------

class Stepper:
    """One step of a resolved model in Python, over the blocks' own module
    functions and the connectors' arithmetic in the engine's order."""

    def __init__(self, model: Model, r: Resolved, sources: Mapping[str, Array],
                 states: dict[tuple[str, int | None], Array]) -> None:
        self.model, self.r, self.sources, self.states = model, r, sources, states
        self.modules = {}
        for node in model._nodes.values():
            if isinstance(node, nodes.BlockNode):
                self.modules[node.block] = importlib.import_module(node.spec.module)
        self.values: dict[tuple[str, int | None, str], Array] = {}
        self.peaks: dict[tuple[str, int | None], float] = {}
        self.balance: dict[tuple[str, int | None], list[float]] = {}

    def input(self, key: tuple[str, int | None, str]) -> Array:
        feed = self.r.feeds[key]
        src = self.values[feed.source.key]
        if feed.identity:
            return src
        return np.array([0.0 if e is None else src[e] for e in feed.entries], dtype=np.float64)

    def step(self, t: int, solve: Callable[[nodes.BlockNode, int | None, Array], None] | None = None,
             balance: bool = False) -> None:
        model, r = self.model, self.r
        v = self.values
        for name in r.order:  # a delay's output is its store, from the step's start
            node = model._nodes[name]
            if isinstance(node, nodes.Delay):
                v[(name, None, "y")] = self.states[(name, None)].copy()
        for name in r.order:
            node = model._nodes[name]
            if isinstance(node, nodes.Source):
                a = self.sources[name]
                v[(name, None, "y")] = a[t] if a.ndim == 2 else a
            elif isinstance(node, nodes.ChainNode):
                for j in range(1, node.n + 1):
                    self._state_block(node, j, solve, balance)
                v[(name, None, "y")] = v[(name, node.n, "y")]
            elif isinstance(node, nodes.BlockNode):
                if node.has_state:
                    self._state_block(node, None, solve, balance)
                else:
                    module = self.modules[node.block]
                    btype = node.spec
                    args = [self.input((name, None, p)) if p in node.inputs else node.params[p]
                            for p in btype.parameters]
                    v[(name, None, "y")] = getattr(module, btype.functions[0].name)(*args)
            elif isinstance(node, nodes.Mixer):
                ports = r.inputs[name]
                ins = [v[p.key] for p in ports]
                f = ports[0].layout.index(node.flow)
                q = [x[f] for x in ins]
                total = q[0]
                for qk in q[1:]:
                    total = total + qk
                if total <= SMALLEST_FLOW:
                    out = np.zeros(len(ins[0]))
                else:
                    s = q[0] * ins[0]
                    for qk, x in zip(q[1:], ins[1:]):
                        s = s + qk * x
                    out = s / total
                out[f] = total
                v[(name, None, "y")] = out
            elif isinstance(node, (nodes.Adapter, nodes.Merge)):
                v[(name, None, "y")] = self._entries(name)
            elif isinstance(node, nodes.Splitter):
                u = v[r.inputs[name][0].key]
                f = r.inputs[name][0].layout.index(node.flow)
                for branch, share in zip(node.names, node.shares):
                    y = u.copy()
                    y[f] = u[f] * share
                    v[(name, None, branch)] = y
            elif isinstance(node, nodes.Overflow):
                u = v[r.inputs[name][0].key]
                f = r.inputs[name][0].layout.index(node.flow)
                q = u[f]
                k = node.capacity if q > node.capacity else q
                kept, over = u.copy(), u.copy()
                kept[f], over[f] = k, q - k
                v[(name, None, node.names[0])], v[(name, None, node.names[1])] = kept, over

    def store(self) -> None:
        for name in self.r.order:
            node = self.model._nodes[name]
            if isinstance(node, nodes.Delay):
                self.states[(name, None)] = self.values[self.r.inputs[name][0].key].copy()

    def _entries(self, name: str) -> Array:
        v = self.values
        out = []
        for e in self.r.entries[name]:
            if e[0] == "copy":
                out.append(v[e[1].key][e[2]])
            elif e[0] == "const":
                out.append(e[1])
            else:
                expr, refs = e[1], e[2]
                out.append(expr.evaluate({n: v[p.key][i] for n, (p, i) in refs.items()}))
        return np.array(out, dtype=np.float64)

    def _state_block(self, node: nodes.BlockNode, member: int | None,
                     solve: Callable[[nodes.BlockNode, int | None, Array], None] | None, balance: bool) -> None:
        name = node.name
        u = self.input((name, member, "u"))
        self.values[(name, member, "u")] = u
        if solve is not None:
            solve(node, member, u)
        params = [_params(node, member)[p] for p in node.spec.parameters]
        module = self.modules[node.block]
        x = self.states[(name, member)]
        f = _plan._flow_entry(node)
        if u[f] > self.peaks.get((name, member), -np.inf):
            self.peaks[(name, member)] = u[f]
        if balance:
            self._balance_in(node, member, u, x)
        y = module.outputs(x, u, *params)
        x = module.euler_step(x, u, *params, self.model.dt)
        self.states[(name, member)] = x
        self.values[(name, member, "y")] = y
        self.values[(name, member, "x")] = x
        if balance:
            self._balance_out(node, member, y)

    def _balance_in(self, node: nodes.BlockNode, member: int | None, u: Array, x: Array) -> None:
        terms = _plan.balance_terms(node)
        acc = self.balance.setdefault((node.name, member), [])
        dt = self.model.dt
        values = [dt * u[terms["u_flow"]]] + [dt * (u[terms["u_flow"]] * u[i]) for i in terms["u_entries"]]
        for index, test_index, (param, k) in terms.get("u_if", ()):
            values.append(dt * u[index] if x[test_index] < _params(node, member)[param][k] else 0.0)
        self._accumulate(acc, 0, values)

    def _balance_out(self, node: nodes.BlockNode, member: int | None, y: Array) -> None:
        terms = _plan.balance_terms(node)
        acc = self.balance[(node.name, member)]
        dt = self.model.dt
        first = 1 + len(terms["u_entries"]) + len(terms.get("u_if", ()))
        values = [dt * y[terms["y_flow"]]] + [dt * (y[terms["y_flow"]] * y[i]) for i in terms["y_entries"]]
        values += [dt * y[f] for f in terms.get("y_more_flows", ())]
        self._accumulate(acc, first, values)

    @staticmethod
    def _accumulate(acc: list[float], at: int, values: list[float]) -> None:
        while len(acc) < at + len(values):
            acc.append(0.0)
        for k, value in enumerate(values):
            acc[at + k] = acc[at + k] + value


def initial_state(model: Model, *, x0: Any = None) -> ModelState:
    """The state a run starts from (the nodes' x0, steady states solved in order)."""
    r = model.check()
    start, given = _start_of(model, x0)
    states = _initial(model, r, start, given)
    return _model_state(model, r, states, start)


def _initial(model: Model, r: Resolved, start: int, given: Mapping[str, Array]
             ) -> dict[tuple[str, int | None], Array]:
    """Every state block's and delay's initial state: given, as the node
    says, or steady from its input at the first step (solved in order)."""
    states: dict[tuple[str, int | None], Array] = {}
    steady_nodes = []
    problems = []
    for key in _state_keys(model, r):
        name, member = key
        node = model._nodes[name]
        assert isinstance(node, (nodes.BlockNode, nodes.Delay))  # the nodes _state_keys lists
        if name in given:
            value = np.asarray(given[name], dtype=np.float64)
            value = value[member - 1] if member is not None and value.ndim == 2 else value
        elif isinstance(node, nodes.Delay):
            value = node.initial
        elif isinstance(node.x0, str):
            steady_nodes.append(name)
            value = np.zeros(len(node.layouts["x"]))
        else:
            value = node.x0[member - 1] if member is not None else node.x0
        n = len(r.inputs[name][0].layout) if isinstance(node, nodes.Delay) else len(node.layouts["x"])
        if value.shape != (n,):
            problems.append(f"x0 of node {name!r}{'' if member is None else f'[{member}]'}: Expected a state of "
                            f"length {n}, not of shape {value.shape}")
        states[key] = np.array(value, dtype=np.float64)
    if problems:
        raise ModelError(problems)
    if steady_nodes:
        sources, _ = source_arrays(model, r, start, 1)
        stepper = Stepper(model, r, sources, dict(states))
        chain_input: dict[str, Array] = {}

        def solve(node: nodes.BlockNode, member: int | None, u: Array) -> None:
            if node.name not in steady_nodes:
                return
            if member is not None:
                if member == 1:
                    chain_input[node.name] = u
                u = chain_input[node.name]  # every member steady with the chain's input
            try:
                x = steady.state(node.block, u, _params(node, member))
            except steady.NoSteadyState as e:
                raise ModelError([f"node {node.name!r}: x0='steady': {e}"]) from None
            stepper.states[(node.name, member)] = x
            states[(node.name, member)] = x.copy()

        with np.errstate(all="ignore"):  # (a context of the thread's own: no warnings filter is touched)
            stepper.step(start, solve=solve)
    return states


def _model_state(model: Model, r: Resolved, states: Mapping[tuple[str, int | None], Array], step: int
                 ) -> ModelState:
    by_node: dict[str, Any] = {}
    for (name, member), x in states.items():
        if member is None:
            by_node[name] = x
        else:
            by_node.setdefault(name, []).append(x)
    return ModelState({k: np.array(v) for k, v in by_node.items()}, step, model.dt, model.start)


# ---- a run -----------------------------------------------------------------------------------------------

@dataclass
class _Progress:
    """A text bar on stderr for runs over 2 s, or the caller's callable."""

    callback: Callable[[int, int], Any] | None
    bar: bool
    began: float = 0.0
    shown: bool = False

    def __call__(self, done: int, total: int) -> None:
        if self.callback is not None:
            self.callback(done, total)
        if self.bar and time.monotonic() - self.began > 2.0:
            width = 30
            filled = int(width * done / max(total, 1))
            print(f"\r  model run [{'#' * filled}{'.' * (width - filled)}] {done}/{total} steps", end="",
                  file=sys.stderr, flush=True)
            self.shown = True

    def close(self) -> None:
        if self.shown:
            print(file=sys.stderr)


def _progress(progress: Any) -> _Progress | None:
    if progress is None or progress is False:
        return None
    if progress is True:
        return _Progress(None, True, time.monotonic())
    if callable(progress):
        return _Progress(progress, False, time.monotonic())
    raise TypeError(f"progress is True, False, None or a callable (done, total), not {progress!r}")


def run(model: Model, steps: int | None, *, compiled: bool, x0: Any = None, record: Any = None, every: int = 1,
        states: str = "last", out: Array | None = None, progress: Any = None,
        balance: bool = False) -> ModelResult:
    r = model.check()
    every = _count(every, "every")
    if every < 1:
        raise ValueError("every must be at least 1")
    if states not in ("last", "kept"):
        raise ValueError(f"states must be 'last' or 'kept', not {states!r}")
    records = records_of(model, r, record)
    state_keys = _state_keys(model, r)
    if states == "kept":
        records = records + [(r.outputs[(n, m, "x")], i) for n, m in state_keys
                             if (n, m, "x") in r.outputs for i in range(len(r.outputs[(n, m, "x")].layout))]
    key = _records_key(records)
    start, given = _start_of(model, x0)
    sources, steps = source_arrays(model, r, start, steps)
    initial = _initial(model, r, start, given)
    first = -(-start // every) * every
    rows = len(range(first, start + steps, every))
    if out is None:
        out = np.empty((rows, len(records)))
    elif not (isinstance(out, np.ndarray) and out.dtype == np.float64 and out.shape == (rows, len(records))):
        raise ValueError(f"out must be a float64 array of shape {(rows, len(records))}")
    bar = _progress(progress)
    try:
        if compiled:
            final, peaks, acc = _compiled(model, r, records, key, sources, initial, start, steps, every, out, bar,
                                          balance)
        else:
            final, peaks, acc = _reference(model, r, records, sources, initial, start, steps, every, out, bar, balance)
    finally:
        if bar is not None:
            bar.close()
    _warn_unstable(model, peaks)
    result = ModelResult(None, out)
    columns, units = _labels(model, records, key)
    final_state = _model_state(model, r, final, start + steps)
    n_user = len(records) - (sum(len(r.outputs[(n, m, "x")].layout) for n, m in state_keys
                                 if (n, m, "x") in r.outputs) if states == "kept" else 0)
    x: Any = final_state
    if states == "kept":
        x, k = {}, n_user
        for n, m in state_keys:
            if (n, m, "x") not in r.outputs:
                continue
            width = len(r.outputs[(n, m, "x")].layout)
            label = n if m is None else f"{n}[{m}]"
            x[label] = out[:, k:k + width]
            k += width
        result = ModelResult(x, out[:, :n_user])
        columns, units = columns[:n_user], units[:n_user]
    else:
        result = ModelResult(x, out)
    chains = {name: f"{name}[{node.n}]" for name, node in model._nodes.items() if isinstance(node, nodes.ChainNode)}
    result.__dict__.update(columns=columns, units=units, final=final_state, dt=model.dt, every=every, start=start,
                           aliases=chains,
                           steps=steps, date0=model.start, compiled=compiled,
                           balances=_balances(model, initial, final, acc) if balance else None,
                           peaks={(n if m is None else f"{n}[{m}]"): v for (n, m), v in peaks.items()})
    return result


def _records_key(records: list[tuple[Port, int]]) -> tuple[tuple[Any, int], ...]:
    return tuple((p.key, i) for p, i in records)


def _labels(model: Model, records: list[tuple[Port, int]], records_key: tuple[tuple[Any, int], ...]
            ) -> tuple[list[tuple[str, str]], list[str]]:
    """The column labels and units of the records (kept with the model's
    plans: a run may record hundreds of entries)."""
    key = ("labels", records_key)
    if key not in model._plans:
        model._plans[key] = ([(_label(p), p.layout[i].name) for p, i in records],
                             [p.layout[i].unit for p, i in records])
    columns, units = model._plans[key]
    return list(columns), list(units)


def _compiled(model: Model, r: Resolved, records: list[tuple[Port, int]], records_key: tuple[tuple[Any, int], ...],
              sources: Mapping[str, Array],
              initial: dict[tuple[str, int | None], Array], start: int, steps: int, every: int,
              out: Array, bar: _Progress | None, balance: bool) -> tuple[Any, Any, Any]:
    from tarnlet.model import _engine

    key = (records_key, balance)
    cache = model._plans  # shared by the copies of one structure (Model.with_values)
    if key not in cache:
        cache[key] = _plan.Compiler(model, r, records, balance).finish()
    template, where = cache[key]
    states = np.zeros(where.nstates)
    for k, sl in where.state_slices.items():
        states[sl] = initial[k]
    plan = fill_plan(model, template, where, sources)
    fpe, peaks, acc = _engine.run(plan, states, start, steps, every, out, bar, CHUNK)
    if fpe:
        report_fpe(fpe, f"the compiled run of model {model.name!r}", stacklevel=4)
    final = {k: states[sl].copy() for k, sl in where.state_slices.items()}
    peak_of = {k: float(peaks[i]) for i, k in enumerate(where.peaks)}
    return final, peak_of, ("compiled", (where.balance, acc))


def fill_plan(model: Model, template: _plan.Plan, where: _plan.Layout_, sources: Mapping[str, Array]
              ) -> _plan.Plan:
    """The plan's arrays for a run: sources, parameters, constants."""
    src: list[Array | None] = [None] * len(where.source_index)
    for name, i in where.source_index.items():
        src[i] = sources[name]
    params = []
    for node, member, vector in where.param_slots:
        n = model._nodes[node]
        params.append(np.ascontiguousarray(_params(n, member)[vector], dtype=np.float64))  # type: ignore[arg-type]
    constants = []
    for c in where.constant_slots:
        if isinstance(c, tuple):
            _, node, member, vector, index = c
            constants.append(float(_params(model._nodes[node], member)[vector][index]))  # type: ignore[arg-type]
        else:
            constants.append(float(c))
    return _plan.Plan(dt=template.dt, buffer=template.buffer, sources=tuple(src), ports=template.ports,  # type: ignore[arg-type]
                      params=tuple(params), constants=np.array(constants, dtype=np.float64), ops=template.ops,
                      store_ops=template.store_ops, records=template.records, npeaks=template.npeaks,
                      nbalance=template.nbalance)


def _reference(model: Model, r: Resolved, records: list[tuple[Port, int]], sources: Mapping[str, Array],
               initial: dict[tuple[str, int | None], Array], start: int, steps: int, every: int,
               out: Array, bar: _Progress | None, balance: bool) -> tuple[Any, Any, Any]:
    stepper = Stepper(model, r, sources, {k: v.copy() for k, v in initial.items()})
    row = 0
    for t in range(start, start + steps):
        stepper.step(t, balance=balance)
        if t % every == 0:
            v = stepper.values
            for k, (port, i) in enumerate(records):
                out[row, k] = v[port.key][i] if port.vector != "x" else stepper.states[(port.node, port.member)][i]
            row += 1
        stepper.store()
        if bar is not None and (t - start + 1) % CHUNK == 0:
            bar(t - start + 1, steps)
    if bar is not None:
        bar(steps, steps)
    return stepper.states, stepper.peaks, ("reference", stepper.balance)


def _warn_unstable(model: Model, peaks: Mapping[tuple[str, int | None], float]) -> None:
    for (name, member), peak in peaks.items():
        node = model._nodes[name]
        assert isinstance(node, nodes.BlockNode)
        bound = steady.stable_step(node.block, _params(node, member), float(peak))
        if bound is not None and model.dt > bound:
            label = name if member is None else f"{name}[{member}]"
            warnings.warn(f"node {label!r}: dt = {model.dt:.4g} d exceeds its stable explicit Euler step "
                          f"{bound:.4g} d at the peak inflow it got ({peak:.4g}): the run may oscillate or "
                          "diverge; take a shorter dt (the block's page says how)", RuntimeWarning, stacklevel=4)


def _balances(model: Model, initial: Mapping[tuple[str, int | None], Array],
              final: Mapping[tuple[str, int | None], Array], acc: Any) -> list[tuple[Any, ...]]:
    """Rows (node, quantity, in, out, change) from the accumulated sums."""
    kind, data = acc
    rows = []
    for key, x1 in final.items():
        name, member = key
        node = model._nodes[name]
        if not isinstance(node, nodes.BlockNode):
            continue
        terms = _plan.balance_terms(node)
        if kind == "reference":
            sums = data.get(key, [])
        else:
            where, values = data
            info = where.get(key)
            if info is None:
                continue
            n_in = 1 + len(terms["u_entries"])
            n_out = 1 + len(terms["y_entries"])
            sums = (list(values[info["in"]:info["in"] + n_in]) + [values[i] for i in info["in_if"]]
                    + list(values[info["out"]:info["out"] + n_out]) + [values[i] for i in info["out_more"]])
        if not sums:
            continue
        x0 = initial[key]
        label = name if member is None else f"{name}[{member}]"
        n_c = len(terms["components"])
        n_if = len(terms.get("u_if", ()))
        water_in = sums[0] + sum(sums[1 + n_c:1 + n_c + n_if])
        out_at = 1 + n_c + n_if
        water_out = sums[out_at] + sum(sums[out_at + 1 + n_c:])
        params = _params(node, member)
        water = terms["water"]
        change = 0.0
        if water is not None:
            vector, k, index = water
            area = float(params[vector][k])
            change = area * x1[index] - area * x0[index]
        rows.append((label, "water", water_in, water_out, change))
        for c, name_c in enumerate(terms["components"]):
            stored = node.layouts["x"].names[c] if node.block == "sedlift" else name_c
            i = node.layouts["x"].index(stored)
            rows.append((label, name_c, sums[1 + c], sums[out_at + 1 + c], x1[i] - x0[i]))
    return rows
