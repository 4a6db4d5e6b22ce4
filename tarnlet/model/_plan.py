"""A checked model compiled into a plan: numbered vectors (ports) and the
operations of one step over them, which tarnlet.model._engine runs over the
whole series in compiled code.

The plan's layout (its ports, operations and records) depends only on the
model's structure and the records asked for; the arrays (sources, parameter
vectors, constants) are filled per run, so that an ensemble swaps arrays and
keeps the rest.
"""
from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from tarnlet import _registry
from tarnlet._typing import Array
from tarnlet.model import _nodes as nodes
from tarnlet.model._model import Model, Port, Resolved

# operations (see the engine)
STATE, STREAM, GATHER, LINEAR, MIX, SPLIT, OVERFLOW, LOAD, BALANCE, BALANCE_IF = range(1, 11)
BUFFER, SOURCE, STATES = 0, 1, 2


@dataclass
class Plan:
    """What the engine reads: see tarnlet/model/_engine.cpp."""

    dt: float
    buffer: int
    sources: tuple[Array, ...]
    ports: Array
    params: tuple[Array, ...]
    constants: Array
    ops: Array
    store_ops: Array
    records: Array
    npeaks: int
    nbalance: int


@dataclass
class Layout_:
    """Where everything of a model went in its plan."""

    port_of: dict[tuple[str, int | None, str], int] = field(default_factory=dict)
    state_slices: dict[tuple[str, int | None], slice] = field(default_factory=dict)  # block states, delay stores
    nstates: int = 0
    source_index: dict[str, int] = field(default_factory=dict)
    param_slots: list[tuple[str, int | None, str]] = field(default_factory=list)  # (node, member, vector) per params[i]
    constant_slots: list[Any] = field(default_factory=list)  # a number, or ("param", node, member, vector, index)
    peaks: list[tuple[str, int | None]] = field(default_factory=list)
    balance: dict[tuple[str, int | None], dict[str, Any]] = field(default_factory=dict)


class Compiler:
    """Builds the plan of a resolved model for given records."""

    def __init__(self, model: Model, r: Resolved, records: Sequence[tuple[Port, int]], balance: bool) -> None:
        self.model, self.r = model, r
        self.where = Layout_()
        self.ports: list[tuple[int, int, int]] = []
        self.buffer = 0
        self.ops: list[int] = []
        self.store_ops: list[int] = []
        self.balance = balance
        self.nbalance = 0
        self._pending_stores: list[tuple[str, int, int]] = []
        for name in r.order:
            self._node(model._nodes[name])
        self.records = np.array([(self.where.port_of[p.key], i) for p, i in records], dtype=np.int64).reshape(-1, 2)

    # ---- ports, constants, params
    def _port(self, kind: int, where: int, length: int) -> int:
        self.ports.append((kind, where, length))
        return len(self.ports) - 1

    def _buffer_port(self, key: tuple[str, int | None, str], length: int) -> int:
        port = self._port(BUFFER, self.buffer, length)
        self.buffer += length
        self.where.port_of[key] = port
        return port

    def _state_port(self, key: tuple[str, int | None], length: int, vector: str) -> int:
        start = self.where.nstates
        self.where.state_slices[key] = slice(start, start + length)
        self.where.nstates += length
        port = self._port(STATES, start, length)
        self.where.port_of[(key[0], key[1], vector)] = port
        return port

    def _constant(self, value: Any) -> int:
        self.where.constant_slots.append(value)
        return len(self.where.constant_slots) - 1

    def _param(self, node: str, member: int | None, vector: str) -> int:
        self.where.param_slots.append((node, member, vector))
        return len(self.where.param_slots) - 1

    def _input(self, node: str, member: int | None, vector: str) -> int:
        """The port of an input vector: its source's port when it feeds it as
        it is, else a buffer filled by a GATHER."""
        feed = self.r.feeds[(node, member, vector)]
        source = self.where.port_of[feed.source.key]
        if feed.identity:
            self.where.port_of[(node, member, vector)] = source
            return source
        port = self._buffer_port((node, member, vector), len(feed.entries))
        words = [GATHER, port, len(feed.entries)]
        for e in feed.entries:
            words += [-1, self._constant(0.0)] if e is None else [source, e]
        self.ops += words
        return port

    # ---- nodes
    def _node(self, node: nodes.Node) -> None:
        r = self.r
        if isinstance(node, nodes.Source):
            index = len(self.where.source_index)
            self.where.source_index[node.name] = index
            self.where.port_of[(node.name, None, "y")] = self._port(SOURCE, index, len(node.layout))  # type: ignore[arg-type]
        elif isinstance(node, nodes.ChainNode):
            for j in range(1, node.n + 1):
                self._state_block(node, j)
            self.where.port_of[(node.name, None, "y")] = self.where.port_of[(node.name, node.n, "y")]
        elif isinstance(node, nodes.BlockNode):
            if node.has_state:
                self._state_block(node, None)
            else:
                self._stream_block(node)
        elif isinstance(node, nodes.Mixer):
            ins = [self.where.port_of[p.key] for p in r.inputs[node.name]]
            vector = r.inputs[node.name][0].layout
            y = self._buffer_port((node.name, None, "y"), len(vector))
            self.ops += [MIX, y, len(vector), vector.index(node.flow), len(ins), *ins]
        elif isinstance(node, (nodes.Adapter, nodes.Merge)):
            self._entries(node)
        elif isinstance(node, nodes.Splitter):
            u = r.inputs[node.name][0]
            src = self.where.port_of[u.key]
            words = [SPLIT, src, len(u.layout), u.layout.index(node.flow), len(node.names)]
            for out, share in zip(node.names, node.shares):
                words += [self._buffer_port((node.name, None, out), len(u.layout)), self._constant(share)]
            self.ops += words
        elif isinstance(node, nodes.Overflow):
            u = r.inputs[node.name][0]
            src = self.where.port_of[u.key]
            kept = self._buffer_port((node.name, None, node.names[0]), len(u.layout))
            over = self._buffer_port((node.name, None, node.names[1]), len(u.layout))
            self.ops += [OVERFLOW, src, len(u.layout), u.layout.index(node.flow), kept, over,
                         self._constant(node.capacity)]
        elif isinstance(node, nodes.Delay):
            u = r.inputs[node.name][0]
            n = len(u.layout)
            store = self._state_port((node.name, None), n, "store")
            y = self._buffer_port((node.name, None, "y"), n)
            self.ops[:0] = [LOAD, y, store, n]  # its output is ready when the step begins
            self._pending_stores.append((node.name, store, n))

    def finish(self) -> tuple[Plan, Layout_]:
        for name, store, n in self._pending_stores:
            u = self.r.inputs[name][0]
            self.store_ops += [LOAD, store, self.where.port_of[u.key], n]
        plan = Plan(dt=self.model.dt, buffer=self.buffer, sources=(), ports=np.array(self.ports, dtype=np.int64),
                    params=(), constants=np.empty(0), ops=np.array(self.ops, dtype=np.int64),
                    store_ops=np.array(self.store_ops, dtype=np.int64), records=self.records,
                    npeaks=len(self.where.peaks), nbalance=self.nbalance)
        return plan, self.where

    def _state_block(self, node: nodes.BlockNode, member: int | None) -> None:
        btype = node.spec
        u = self._input(node.name, member, "u")
        x = self._state_port((node.name, member), len(node.layouts["x"]), "x")
        y = self._buffer_port((node.name, member, "y"), len(node.layouts["y"]))
        params = [self._param(node.name, member, p) for p in btype.parameters]
        flow = _flow_entry(node)
        peak = len(self.where.peaks)
        self.where.peaks.append((node.name, member))
        if self.balance:
            self._balance_in(node, member, u)
        self.ops += [STATE, _block_index(btype), u, y, x, len(params), *params, flow, peak]
        if self.balance:
            self._balance_out(node, member, y)

    def _stream_block(self, node: nodes.BlockNode) -> None:
        btype = node.spec
        inputs = []
        for p in btype.parameters:
            if p in node.inputs:
                inputs += [0, self._input(node.name, None, p)]
            else:
                inputs += [1, self._param(node.name, None, p)]
        y = self._buffer_port((node.name, None, "y"), len(node.layouts["y"]))
        self.ops += [STREAM, _block_index(btype), y, len(btype.parameters), *inputs]

    def _entries(self, node: nodes.Node) -> None:
        entries = self.r.entries[node.name]
        y = self._buffer_port((node.name, None, "y"), len(entries))
        gather, linear = [GATHER, y, len(entries)], []
        for i, e in enumerate(entries):
            if e[0] == "copy":
                gather += [self.where.port_of[e[1].key], e[2]]
            elif e[0] == "const":
                gather += [-1, self._constant(e[1])]
            else:
                gather += [-1, self._constant(0.0)]
                linear.append((i, e[1], e[2]))
        self.ops += gather
        for i, expr, refs in linear:
            words = [LINEAR, y, i]
            if expr.scale:
                port, index = refs[expr.scale]
                words += [self.where.port_of[port.key], index]
            else:
                words += [-1, -1]
            words += [self._constant(expr.constant), len(expr.terms)]
            for coef, names in expr.terms:
                words += [-1 if coef == 1.0 else self._constant(coef), len(names)]
                for n in names:
                    port, index = refs[n]
                    words += [self.where.port_of[port.key], index]
            self.ops += words

    # ---- balances
    def _balance_in(self, node: nodes.BlockNode, member: int | None, u: int) -> None:
        terms = balance_terms(node)
        acc = self.nbalance
        ui = terms["u_entries"]
        self.ops += [BALANCE, u, terms["u_flow"], len(ui), acc, *ui]
        self.nbalance += 1 + len(ui)
        extra = []
        for index, test_index, limit in terms.get("u_if", ()):
            self.ops += [BALANCE_IF, u, index, self.nbalance, self.where.port_of[(node.name, member, "x")]
                         if (node.name, member, "x") in self.where.port_of else -1, test_index,
                         self._constant(("param", node.name, member, limit[0], limit[1]))]
            extra.append(self.nbalance)
            self.nbalance += 1
        self.where.balance[(node.name, member)] = {"in": acc, "in_if": extra, "terms": terms}

    def _balance_out(self, node: nodes.BlockNode, member: int | None, y: int) -> None:
        terms = self.where.balance[(node.name, member)]["terms"]
        acc = self.nbalance
        yi = terms["y_entries"]
        words = [BALANCE, y, terms["y_flow"], len(yi), acc, *yi]
        self.ops += words
        self.nbalance += 1 + len(yi)
        extra = []
        for flow in terms.get("y_more_flows", ()):
            self.ops += [BALANCE, y, flow, 0, self.nbalance]
            extra.append(self.nbalance)
            self.nbalance += 1
        self.where.balance[(node.name, member)].update(out=acc, out_more=extra)


def _block_index(btype: _registry.Block) -> int:
    return next(i for i, b in enumerate(_registry.blocks()) if b.name == btype.name)


def _flow_entry(node: nodes.BlockNode) -> int:
    """The input entry whose peak the stable-step check takes: "Q", or the first."""
    u = node.layouts["u"]
    return u.index("Q") if "Q" in u else 0


def balance_terms(node: nodes.BlockNode) -> dict[str, Any]:
    """What a state block's mass balance sums (entries by index of its
    layouts): water in and out by flow entries, and every stored component
    carried in and out at the flow's rate."""
    u, y, x = node.layouts["u"], node.layouts["y"], node.layouts["x"]
    if node.block == "loamtank":
        # water only: the primary inflow, the secondary while the level is
        # below h_max; out: drainage, excess and linear outflow
        return {"u_flow": 0, "u_entries": [], "u_if": [(1, 0, ("par", 0))],
                "y_flow": y.index("Q_drain"), "y_entries": [],
                "y_more_flows": [y.index("Q_excess"), y.index("Q_lin")],
                "components": [], "water": ("par", 2, x.index("h"))}
    names = [n for n in x.names if n in u and n in y and n != "h"]
    if node.block == "sedlift":
        names = list(u.names[1:])  # the stores hold the six components
    return {"u_flow": u.index("Q"), "u_entries": [u.index(n) for n in names],
            "y_flow": y.index("Q"), "y_entries": [y.index(n) for n in names],
            "components": names,
            "water": ("spar", 0, x.index("h")) if "h" in x else None}
