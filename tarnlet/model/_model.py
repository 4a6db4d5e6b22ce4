"""The Model: named nodes and their connections, checked and ordered."""
from __future__ import annotations

import difflib
import heapq
import os
import re
import sys
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from types import FrameType
from typing import Any

import numpy as np

from tarnlet import _registry
from tarnlet.layout import Layout
from tarnlet.model import _nodes as _n
from tarnlet.model.expr import Linear

__all__ = ["Model", "ModelError", "Address"]

_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
_ADDRESS = re.compile(r"(?P<node>[A-Za-z_][A-Za-z0-9_]*)(\[(?P<member>\d+)\])?(\.(?P<rest>.+))?\Z")


class ModelError(ValueError):
    """Every problem a model's check found, one per line."""

    def __init__(self, problems: Sequence[str]) -> None:
        self.problems = list(problems)
        count = f"{len(problems)} problem{'s' if len(problems) != 1 else ''}"
        super().__init__(f"the model has {count}:\n" + "\n".join(f"  - {p}" for p in problems))


def _close(name: str, names: Iterable[str]) -> str:
    names = list(names)
    close = difflib.get_close_matches(name, names, n=3, cutoff=0.5)
    if close:
        return f"; did you mean {' or '.join(map(repr, close))}?"
    return f"; there are {', '.join(map(repr, names))}" if names else ""


_HERE = os.path.dirname(os.path.abspath(__file__))


def _caller() -> str:
    """file:line of the user's code that made a node (for messages)."""
    frame: FrameType | None = sys._getframe(2)
    while frame is not None:
        filename = frame.f_code.co_filename
        if not os.path.abspath(filename).startswith(_HERE):
            return f"{os.path.basename(filename)}:{frame.f_lineno}"
        frame = frame.f_back
    return ""


@dataclass(frozen=True)
class Address:
    """Where a value is: a node (a chain's member), one of its vectors, maybe an entry."""

    node: str
    member: int | None = None
    vector: str | None = None
    entry: str | None = None

    @property
    def label(self) -> str:
        """The node (or member) as tables and messages show it: "chain[2]"."""
        return self.node if self.member is None else f"{self.node}[{self.member}]"

    def __str__(self) -> str:
        parts = [self.label] + [p for p in (self.vector, self.entry) if p]
        return ".".join(parts)


@dataclass
class Port:
    """A vector of a resolved model: who gives it, its layout."""

    node: str
    member: int | None
    vector: str
    layout: Layout

    @property
    def key(self) -> tuple[str, int | None, str]:
        return (self.node, self.member, self.vector)

    @property
    def address(self) -> str:
        label = self.node if self.member is None else f"{self.node}[{self.member}]"
        return f"{label}.{self.vector}"


@dataclass
class Feed:
    """How an input vector is filled: per entry of the input's layout, the
    entry of the source port it copies (None: the fill value 0.0 of an entry
    the block never reads). `identity`: the source port is used as it is."""

    source: Port
    entries: list[int | None]
    identity: bool


@dataclass
class Resolved:
    """A checked model: the nodes in their order, every port, every feed."""

    order: list[str]
    outputs: dict[tuple[str, int | None, str], Port] = field(default_factory=dict)
    feeds: dict[tuple[str, int | None, str], Feed] = field(default_factory=dict)
    notes: list[str] = field(default_factory=list)
    # per adapter and merge: per output entry, a resolved expression
    # (("copy", port, index) | ("const", value) | ("linear", Linear, {name: (port, index)}))
    entries: dict[str, list[tuple[Any, ...]]] = field(default_factory=dict)
    inputs: dict[str, list[Port]] = field(default_factory=dict)  # a connector's input ports in order

    def port(self, node: str, member: int | None, vector: str) -> Port:
        return self.outputs[(node, member, vector)]


class Model:
    """A catchment as named nodes: sources, blocks, chains and connectors.

    Nodes are made by the methods below; each takes a unique name and the
    addresses of what it reads. An address is ``"node"`` (its output),
    ``"node.vector"`` (``"soil.y"``, ``"flush.u"``), a chain's member
    ``"chain[2]"``, or, where one value is meant, ``"node.vector.entry"``
    (``"chain[3].y.TSS"``). :meth:`check` finds every problem at once;
    :meth:`run` compiles the model and runs it in one call of compiled code;
    :meth:`reference_run` runs it step by step in Python over the modules'
    functions, which the compiled run equals bit for bit.

    Parameters
    ----------
    dt : float
        The time step, in days (the unit every layout's flows are per).
    start : date, optional
        The date of step 0 (anything ``pandas.Timestamp`` reads): sources
        given as pandas data with dates are put on the grid from it, and
        result tables have dates. Without it, times are days from step 0.
    name : str
        What messages call the model.

    Examples
    --------
    >>> import numpy as np
    >>> from tarnlet.model import Model
    >>> from tarnlet.layout import LOAMTANK
    >>> m = Model(dt=1 / 1440)
    >>> m.source("rain", np.tile([2000.0, 0.0], (60, 1)), layout=LOAMTANK.u)
    <source 'rain'>
    >>> m.block("loamtank", "soil", u="rain", par=dict(h_max=0.1, h_drain=0.02, A=1e4, q_cap=0.5,
    ...         k_drain=100.0, k_lin=50.0), x0=[0.03])
    <block 'soil' (loamtank)>
    >>> result = m.run(record=["soil.y.h"])
    >>> result.y.shape
    (60, 1)
    """

    def __init__(self, dt: float, *, start: Any = None, name: str = "model") -> None:
        if isinstance(dt, bool) or not isinstance(dt, (int, float, np.floating)) or not np.isfinite(dt) or dt <= 0:
            raise ValueError(f"dt must be a finite positive number of days, not {dt!r}")
        self.dt = float(dt)
        self.name = name
        self.start = None
        if start is not None:
            import pandas as pd

            self.start = pd.Timestamp(start)
        self._nodes: dict[str, _n.Node] = {}
        self._resolved: Resolved | None = None
        self._plans: dict[Any, Any] = {}  # compiled plans of this structure, by records

    # ---- making nodes --------------------------------------------------------------------------

    def _add[N: _n.Node](self, node: N) -> N:
        if not isinstance(node.name, str) or not _NAME.match(node.name):
            raise ValueError(f"a node name is a Python identifier (letters, digits, _), not {node.name!r}")
        if node.name in self._nodes:
            raise ValueError(f"the model has a node named {node.name!r} already ({self._nodes[node.name].where}); "
                             "node names are unique")
        node.where = _caller()
        self._nodes[node.name] = node
        self._changed()
        return node

    def _changed(self) -> None:
        # a new dict, not a cleared one: copies made by with_values keep theirs
        self._resolved = None
        self._plans = {}

    @property
    def nodes(self) -> Mapping[str, _n.Node]:
        """The nodes by name, in the order they were made."""
        return dict(self._nodes)

    def source(self, name: str, values: Any, *, layout: Layout | None = None, names: Sequence[str] | None = None,
               units: Sequence[str] | Mapping[str, str] | None = None, rule: str = "hold", fill: Any = None,
               max_gap: Any = None) -> _n.Source:
        """Values from outside the model.

        Parameters
        ----------
        name : str
            The node's name.
        values : array_like, pandas.Series or pandas.DataFrame
            One row per step (2-D), one vector used in every step (1-D), or
            pandas data put on the model's grid by `rule` (a DataFrame's
            columns name its entries; data with dates need the model's
            `start`). See :func:`tarnlet.forcing.on_grid` for `rule`, `fill`
            and `max_gap`: gaps are errors unless a fill rule is given.
        layout : tarnlet.layout.Layout, optional
            The names and units of its entries (``SEWER.u``); or `names`
            (and `units`) for a layout of its own.
        """
        if isinstance(values, str):
            raise TypeError(f"source {name!r}: values must be numbers or pandas data, not a string")
        frame_columns = None
        if _is_pandas(values):
            from tarnlet.forcing import Forcing

            frame_columns = [str(c) for c in values.columns] if values.ndim == 2 else [str(values.name or name)]
            data: Any = Forcing(values, rule=rule, fill=fill, max_gap=max_gap, name=f"source {name!r}")
            width = len(frame_columns)
        else:
            data = np.array(values, dtype=np.float64)
            if data.ndim == 0:
                data = data.reshape(1)
            if data.ndim > 2:
                raise ValueError(f"source {name!r}: values must be one row per step (2-D) or one vector (1-D), "
                                 f"not of shape {data.shape}")
            width = data.shape[-1]
        if layout is not None:
            if names is not None:
                raise TypeError(f"source {name!r}: give layout or names, not both")
            vector = layout
            if frame_columns is not None and frame_columns != list(layout.names):
                missing = [n for n in layout.names if n not in frame_columns]
                if missing:
                    raise ValueError(f"source {name!r}: its columns lack {missing} of {layout.title}")
                data = Forcing(data.data[list(layout.names)], rule=rule, fill=fill, max_gap=max_gap,
                               name=f"source {name!r}")
                width = len(layout)
        else:
            vector = _n.plain_layout(f"{name}.y", names if names is not None else
                                        (frame_columns or [f"v{i}" for i in range(width)]), units)
        if len(vector) != width:
            raise ValueError(f"source {name!r}: its rows have {width} entries, its layout {vector.title} "
                             f"{len(vector)}")
        return self._add(_n.Source(name, len(self._nodes), values=data, layout=vector))

    def block(self, kind: str, name: str, *, x0: Any = "steady", names: Sequence[str] | Mapping[str, str] | None = None,
              units: Sequence[str] | Mapping[str, str] | None = None, components: Sequence[str] | None = None,
              **vectors: Any) -> _n.BlockNode:
        """A block of kind `kind` (``"sewer"``, ``"loamtank"``, ``"sedlift"``,
        ``"fractionation"``, ``"combiner"``).

        Its inputs (``u``; the combiner's ``stream_a`` and ``stream_b``) take
        addresses, its parameter vectors (``pars``, ``spar``, ``par``,
        ``sspars``, ``fractions``, ...) arrays or dicts of entries by name.
        `x0` is the initial state of a state-space block: a vector, or
        "steady" (default): the state its input at step 0 keeps
        (:mod:`tarnlet.model.steady`). `components` names the first flush's
        six components after the stream entries they carry; `names` (and
        `units`) the entries of a stream block's result (the fractionation's
        54 values, the combiner's 56-entry stream).
        """
        btype = _block_spec(kind)
        node = _n.BlockNode(name, len(self._nodes), block=kind, layouts=_named_layouts(btype, name, names, units,
                                                                                         components))
        self._fill_block(node, btype, vectors, x0)
        return self._add(node)

    def chain(self, kind: str, name: str, n: int | None = None, *, x0: Any = "steady",
              **vectors: Any) -> _n.ChainNode:
        """n blocks of kind `kind` in series, as one node: member j's output
        is member j+1's input (``"chain[1]"`` to ``"chain[n]"``; ``"chain"``
        itself is the last member's output). A parameter vector is one for
        all members or one row per member (2-D); `n` follows from those rows
        when not given. `x0` is one state per member (rows), or "steady":
        every member in the state the chain's input at step 0 keeps."""
        btype = _block_spec(kind)
        if btype.chain_run is None:
            raise ValueError(f"a {kind} block does not chain: its output is not the next one's input")
        rows = [np.ndim(v) == 2 for p, v in vectors.items() if p in btype.parameters and not isinstance(v, Mapping)]
        counts = {len(v) for p, v in vectors.items() if p in btype.parameters and np.ndim(v) == 2}
        if n is None:
            if len(counts) != 1:
                raise ValueError(f"chain {name!r}: give n, the number of blocks (no parameter has one row per block)")
            n = counts.pop()
        if not isinstance(n, int) or n < 1 or (counts and counts != {n}):
            raise ValueError(f"chain {name!r}: n must be a positive int matching the parameters' rows, not {n!r}")
        del rows
        node = _n.ChainNode(name, len(self._nodes), block=kind, layouts=_named_layouts(btype, name, None, None, None),
                               n=n)
        per_member: list[dict[str, Any]] = [{} for _ in range(n)]
        shared = {}
        for p, v in vectors.items():
            if p in btype.parameters and p != "u" and (np.ndim(v) == 2 or (isinstance(v, list) and v and
                                                                              isinstance(v[0], Mapping))):
                for j in range(n):
                    per_member[j][p] = v[j]
            else:
                shared[p] = v
        self._fill_block(node, btype, shared, x0, partial=True)
        for j in range(n):
            params = dict(node.params)
            for p, v in per_member[j].items():
                params[p] = _n.parameter_vector(name, kind, p, v, node.layouts[p])
            node.member_params.append(params)
        missing = [p for p in self._param_names(btype) if p not in node.member_params[0]]
        if missing:
            raise TypeError(f"chain {name!r}: missing parameter vectors {missing} of {kind}")
        return self._add(node)

    def _param_names(self, btype: _registry.Block) -> list[str]:
        return [p for p in btype.parameters if p not in _connectable(btype)]

    def _fill_block(self, node: _n.BlockNode, btype: _registry.Block, vectors: Mapping[str, Any], x0: Any,
                    partial: bool = False) -> None:
        connectable = _connectable(btype)
        for key, value in vectors.items():
            if key in connectable:
                node.inputs[key] = _address_of(value, node.name, key)
            elif key in btype.parameters:
                node.params[key] = _n.parameter_vector(node.name, btype.name, key, value, node.layouts[key])
            else:
                raise TypeError(f"{btype.name} node {node.name!r} got an unknown argument {key!r}"
                                + _close(key, [*connectable, *self._param_names(btype), "x0"]))
        for key in connectable:
            node.inputs.setdefault(key, None)
        if not partial:
            missing = [p for p in self._param_names(btype) if p not in node.params]
            if missing:
                raise TypeError(f"{btype.name} node {node.name!r}: missing parameter vectors {missing}")
        if btype.has_state:
            if isinstance(x0, str):
                if x0 != "steady":
                    raise ValueError(f"node {node.name!r}: x0 is a state vector or 'steady', not {x0!r}")
                node.x0 = x0
            elif x0 is None:
                node.x0 = "steady"
            else:
                node.x0 = np.array(x0, dtype=np.float64)
        elif x0 != "steady":
            raise TypeError(f"{btype.name} node {node.name!r} has no state: it takes no x0")
        else:
            node.x0 = None

    def mixer(self, name: str, inputs: Sequence[str], *, flow: str = "Q") -> _n.Mixer:
        """Streams of one layout joined: their `flow` entries summed in the
        order given, every other entry weighted by the flows
        (``(q1*c1 + q2*c2 + ...) / (q1 + q2 + ...)``); with a total flow of
        1e-12 or less, every other entry is 0.0, as the combiner has it."""
        inputs = list(inputs) if not isinstance(inputs, str) else [inputs]
        if not inputs:
            raise ValueError(f"mixer {name!r} needs at least one input")
        node = _n.Mixer(name, len(self._nodes), flow=flow)
        for k, a in enumerate(inputs):
            node.inputs[f"in{k + 1}"] = _address_of(a, name, f"in{k + 1}")
        return self._add(node)

    def adapter(self, name: str, inputs: str | Sequence[str], *, layout: Layout | Sequence[str],
                entries: Mapping[str, _n.Expr] | None = None, fill: float | None = None,
                units: Sequence[str] | Mapping[str, str] | None = None) -> _n.Adapter:
        """A vector of `layout` computed from the inputs: each of `entries`
        maps an output entry to an input entry's name, a constant or a
        :class:`~tarnlet.model.expr.Linear`; every other output entry is the
        input entry of the same name (the first input that has it). An entry
        found nowhere is an error, unless `fill` gives it a value."""
        inputs = [inputs] if isinstance(inputs, str) else list(inputs)
        if isinstance(layout, Layout):
            vector = layout
        else:
            vector = _n.plain_layout(f"{name}.y", list(layout), units)
        node = _n.Adapter(name, len(self._nodes), layout=vector, entries=dict(entries or {}), fill=fill)
        for k, a in enumerate(inputs):
            node.inputs[f"in{k + 1}"] = _address_of(a, name, f"in{k + 1}")
        for out, expr in node.entries.items():
            if not (isinstance(expr, (str, Linear)) or _n.is_number(expr)):
                raise TypeError(f"adapter {name!r}: entry {out!r} must be an entry name, a number or a Linear, "
                                f"not {expr!r}")
        return self._add(node)

    def merge(self, name: str, base: str, other: str, *, replace: Sequence[str] | None = None) -> _n.Merge:
        """`base` with the entries it shares with `other` taken from `other`
        (or only those named in `replace`)."""
        node = _n.Merge(name, len(self._nodes), replace=None if replace is None else tuple(replace))
        node.inputs["base"] = _address_of(base, name, "base")
        node.inputs["other"] = _address_of(other, name, "other")
        return self._add(node)

    def splitter(self, name: str, u: str, shares: Sequence[float], *, names: Sequence[str] | None = None,
                 flow: str = "Q") -> _n.Splitter:
        """`u` split into streams of its layout, each with the share given of
        its flow (``"name.out1"``... or the names given)."""
        shares = tuple(float(s) for s in shares)
        names = tuple(names) if names is not None else tuple(f"out{k + 1}" for k in range(len(shares)))
        if len(names) != len(shares) or not shares:
            raise ValueError(f"splitter {name!r}: one name per share, at least one share")
        node = _n.Splitter(name, len(self._nodes), shares=shares, names=names, flow=flow)
        node.inputs["u"] = _address_of(u, name, "u")
        return self._add(node)

    def overflow(self, name: str, u: str, capacity: float, *, names: tuple[str, str] = ("kept", "over"),
                 flow: str = "Q") -> _n.Overflow:
        """`u` split by a capacity: ``"name.kept"`` carries the flow up to
        `capacity`, ``"name.over"`` the rest; both its concentrations."""
        node = _n.Overflow(name, len(self._nodes), capacity=float(capacity), names=tuple(names), flow=flow)  # type: ignore[arg-type]
        node.inputs["u"] = _address_of(u, name, "u")
        return self._add(node)

    def delay(self, name: str, u: str, *, initial: Any, layout: Layout | None = None) -> _n.Delay:
        """`u` one step late (the only way to close a loop): at step 0 it
        gives `initial`, a vector of u's layout. In a loop its input is made
        after the nodes it feeds: give the input's `layout` then."""
        node = _n.Delay(name, len(self._nodes), initial=np.array(initial, dtype=np.float64), layout=layout)
        node.inputs["u"] = _address_of(u, name, "u")
        return self._add(node)

    def connect(self, source: str, target: str) -> None:
        """Feeds the input `target` (``"node.u"``) from `source`."""
        a = parse_address(target)
        node = self._nodes.get(a.node)
        if node is None:
            raise KeyError(f"connect(): no node named {a.node!r}" + _close(a.node, self._nodes))
        vector = a.vector or (next(iter(node.inputs)) if len(node.inputs) == 1 else None)
        if vector not in node.inputs:
            raise KeyError(f"connect(): node {a.node!r} has no input {vector!r}" + _close(str(vector), node.inputs))
        node.inputs[vector] = _address_of(source, a.node, vector)
        self._changed()

    def __getattr__(self, name: str) -> Callable[..., _n.Node]:
        # m.sewer(...) is m.block("sewer", ...); m.sewer_chain(...) is m.chain("sewer", ...)
        if name.startswith("_"):
            raise AttributeError(name)
        kinds = {b.name for b in _registry.blocks()}
        if name in kinds:
            return lambda node, **kw: self.block(name, node, **kw)
        if name.endswith("_chain") and name[:-6] in kinds:
            return lambda node, n=None, **kw: self.chain(name[:-6], node, n, **kw)
        raise AttributeError(f"'Model' object has no attribute {name!r}")

    # ---- checking --------------------------------------------------------------------------------

    def check(self) -> Resolved:
        """Checks the model and orders its nodes.

        Returns
        -------
        Resolved
            The nodes in the order a step runs them, and every vector.

        Raises
        ------
        ModelError
            Listing every problem found: unknown nodes, vectors or entries
            (with close names), unconnected inputs, layouts that do not
            match (with the missing entries), loops without a delay (with
            the nodes on them), sources and parameters of the wrong length.
        """
        if self._resolved is None:
            self._resolved = _resolve(self)
        return self._resolved

    @property
    def order(self) -> list[str]:
        """The nodes in the order one step runs them (insertion order breaks ties)."""
        return self.check().order

    def describe(self) -> str:
        """The nodes in their order, what each reads, and its output vectors."""
        r = self.check()
        lines = [f"{self.name}: {len(self._nodes)} nodes, dt = {self.dt!r} d"]
        for name in r.order:
            node = self._nodes[name]
            what = node.kind if not isinstance(node, _n.BlockNode) else f"{node.kind} {node.block}"
            if isinstance(node, _n.ChainNode):
                what += f" x{node.n}"
            reads = ", ".join(f"{k}={v}" for k, v in node.inputs.items())
            ports = {id(p): p for key, p in r.outputs.items() if p.node == name and key[1:] == (p.member, p.vector)}
            outs = ", ".join(f"{p.address} ({len(p.layout)})" for p in ports.values())
            lines.append(f"  {name:<12} {what:<22} {reads}  ->  {outs}")
        lines += [f"  note: {n}" for n in r.notes]
        return "\n".join(lines)

    def __repr__(self) -> str:
        return f"<Model {self.name!r}: {len(self._nodes)} nodes, dt={self.dt!r}>"

    # ---- running (see _run.py) ---------------------------------------------------------------------

    def run(self, steps: int | None = None, **options: Any) -> Any:
        """The model over `steps` steps (default: as many as its series
        sources hold), compiled and run in one call with the interpreter lock
        released; bit for bit what :meth:`reference_run` gives.

        Options: ``x0`` (a result or state to continue from, or initial
        states by node), ``record`` (addresses to keep, default every node's
        output), ``every``, ``states`` ("last" or "kept"), ``out`` (an array
        to write the records into), ``progress`` (True for a bar on long
        runs, or a callable ``(done, total)``), ``balance`` (keep the mass
        balance of every state block: ``result.balance()``). Returns a
        :class:`~tarnlet.model.results.ModelResult`.
        """
        from tarnlet.model import _run

        return _run.run(self, steps, compiled=True, **options)

    def reference_run(self, steps: int | None = None, **options: Any) -> Any:
        """The same run step by step in Python over the blocks' module
        functions (slow): the reference the compiled run equals bit for bit."""
        from tarnlet.model import _run

        return _run.run(self, steps, compiled=False, **options)

    def steady_state(self, **options: Any) -> Any:
        """The initial state of every state block and delay, as :meth:`run`
        starts from it (steady states solved in the nodes' order)."""
        from tarnlet.model import _run

        return _run.initial_state(self, **options)

    def ensemble(self, scenarios: Sequence[Mapping[str, Any]], **options: Any) -> list[Any]:
        """Runs the model once per scenario (see :mod:`tarnlet.model.ensemble`)."""
        from tarnlet.model import ensemble

        return ensemble.run_ensemble(self, scenarios, **options)

    def with_values(self, values: Mapping[str, Any]) -> Model:
        """A copy of the model with sources and parameters replaced by name
        (``{"rain": series, "chain.spar": rows, "soil.par.A": 1.5e5}``); the
        structure, and so the compiled plan's layout, stays."""
        from tarnlet.model import ensemble

        return ensemble.with_values(self, values)


# ---- helpers ---------------------------------------------------------------------------------------

def _is_pandas(values: Any) -> bool:
    module = type(values).__module__
    return module.startswith("pandas") and hasattr(values, "index")


def _block_spec(kind: str) -> _registry.Block:
    try:
        return _registry.block(kind)
    except StopIteration:
        raise KeyError(f"no block of kind {kind!r}" + _close(kind, [b.name for b in _registry.blocks()])) from None


def _connectable(btype: _registry.Block) -> tuple[str, ...]:
    """The vectors of a block that come from other nodes: u, or a stream
    block's series inputs."""
    if btype.has_state:
        return ("u",)
    return tuple(p for p in btype.parameters if any(c.kind == "columns" for c in btype.run.checks_of(p)))


def _named_layouts(btype: _registry.Block, node: str, names: Any, units: Any, components: Any) -> dict[str, Layout]:
    layouts = _n.block_layouts(btype.name, node)
    if components is not None:
        components = list(components)
        if btype.name != "sedlift" or len(components) != len(layouts["x"]):
            raise ValueError(f"node {node!r}: components names the first flush's {len(layouts.get('x', ()))} "
                             "components")
        stored = [f"M_{c}" for c in components]
        layouts["x"] = _n.renamed(layouts["x"], f"{node}.x", stored)
        layouts["u"] = _n.renamed(layouts["u"], f"{node}.u", [layouts["u"].names[0], *components])
        y = layouts["y"]
        layouts["y"] = _n.renamed(y, f"{node}.y", [y.names[0], *components, *stored])
    if names is not None or units is not None:
        if btype.has_state:
            raise ValueError(f"node {node!r}: names and units are for a stream block's entries; "
                             "a state-space block has its layout's names")
        targets = [k for k, v in layouts.items() if v is layouts["y"]]
        y = _n.renamed(layouts["y"], f"{node}.y", names)
        if units is not None:
            unit_list = ([units.get(n, e.unit) for n, e in zip(y.names, y)] if isinstance(units, Mapping)
                         else list(units))
            y = Layout(f"{node}.y", [(e.name, u, e.meaning, e.read) for e, u in zip(y, unit_list)])
        for k in targets:
            layouts[k] = y
    return layouts


def _address_of(value: Any, node: str, vector: str) -> str:
    if isinstance(value, _n.Node):
        return value.name
    if not isinstance(value, str):
        raise TypeError(f"node {node!r}: {vector} takes the address of a node's vector (\"soil.y\"), not "
                        f"{type(value).__name__}; give data as a source node")
    parse_address(value)
    return value


def parse_address(text: str) -> Address:
    """ "node", "node.vector", "node.vector.entry", "chain[2].y.Q" -> Address."""
    m = _ADDRESS.match(text) if isinstance(text, str) else None
    if not m:
        raise ValueError(f"{text!r} is not an address: node, node.vector or node.vector.entry "
                         "(a chain's member as chain[2])")
    rest = m.group("rest")
    vector, _, entry = (rest or "").partition(".")
    member = m.group("member")
    return Address(m.group("node"), None if member is None else int(member), vector or None, entry or None)


# ---- resolving: order, layouts, feeds ------------------------------------------------------------------

def _resolve(model: Model) -> Resolved:
    problems: list[str] = []
    by_name = model._nodes
    deps: dict[str, list[str]] = {}
    parsed: dict[tuple[str, str], Address] = {}
    for name, node in by_name.items():
        where = f"node {name!r}" + (f" ({node.where})" if node.where else "")
        if isinstance(node, _n.ChainNode):
            for params in node.member_params:
                _check_params(node, params, where, problems)
        elif isinstance(node, _n.BlockNode):
            _check_params(node, node.params, where, problems)
        deps[name] = []
        for vector, text in node.inputs.items():
            if text is None:
                problems.append(f"node {name!r} ({node.where}): its input {vector!r} is not connected")
                continue
            a = parse_address(text)
            if a.node not in by_name:
                problems.append(f"node {name!r} ({node.where}): {vector}={text!r}: no node named {a.node!r}"
                                + _close(a.node, by_name))
                continue
            if a.entry is not None:
                problems.append(f"node {name!r}: {vector}={text!r} names one entry; an input takes a whole vector")
                continue
            parsed[(name, vector)] = a
            if not isinstance(node, _n.Delay):
                deps[name].append(a.node)
    order, cycle = _order(by_name, deps)
    if cycle:
        problems.append("a loop without a delay: " + " -> ".join(cycle + cycle[:1])
                        + "; a loop needs a delay on it (Model.delay), which gives its input one step late")
    r = Resolved(order=order)
    for name in order if not cycle else []:
        _resolve_node(model, by_name[name], r, parsed, problems)
    for name in order if not cycle else []:  # delays fed from later in the order
        node = by_name[name]
        if isinstance(node, _n.Delay) and name not in r.inputs and (name, "u") in parsed:
            p = _source_port(model, r, parsed[(name, "u")], f"node {name!r}", problems)
            if p is not None and node.layout is not None and list(p.layout.names) != list(node.layout.names):
                problems.append(f"node {name!r}: its layout {node.layout.title} is not that of its input "
                                f"{p.address}")
            if p is not None:
                r.inputs[name] = [p]
    if problems:
        raise ModelError(problems)
    return r


def _order(by_name: Mapping[str, _n.Node], deps: Mapping[str, list[str]]) -> tuple[list[str], list[str]]:
    """Kahn's order, the earlier made first among the ready; a cycle if any."""
    users: dict[str, list[str]] = {n: [] for n in by_name}
    waiting = {}
    for n, ds in deps.items():
        ds = [d for d in ds if d in by_name]
        waiting[n] = len(set(ds))
        for d in set(ds):
            users[d].append(n)
    ready = [(by_name[n].index, n) for n, w in waiting.items() if w == 0]
    heapq.heapify(ready)
    order = []
    while ready:
        _, n = heapq.heappop(ready)
        order.append(n)
        for u in users[n]:
            waiting[u] -= 1
            if waiting[u] == 0:
                heapq.heappush(ready, (by_name[u].index, u))
    if len(order) == len(by_name):
        return order, []
    left = {n for n in by_name if n not in order}
    # walk back along unresolved dependencies until a node repeats
    start = min(left, key=lambda n: by_name[n].index)
    path, seen = [start], {start: 0}
    while True:
        nxt = next(d for d in deps[path[-1]] if d in left)
        if nxt in seen:
            cycle = path[seen[nxt]:]  # each a dependency of the one before: the flow runs backwards
            return order, [cycle[0], *reversed(cycle[1:])]
        seen[nxt] = len(path)
        path.append(nxt)


def _source_port(model: Model, r: Resolved, a: Address, where: str, problems: list[str]) -> Port | None:
    node = model._nodes[a.node]
    if isinstance(node, _n.ChainNode):
        member = a.member if a.member is not None else node.n
        if not 1 <= member <= node.n:
            problems.append(f"{where}: {a}: chain {a.node!r} has members 1 to {node.n}")
            return None
    elif a.member is not None:
        problems.append(f"{where}: {a}: {a.node!r} is not a chain")
        return None
    else:
        member = None
    vector = a.vector or node.default_output
    key = (a.node, member, vector)
    if key not in r.outputs:
        have = [p.vector for p in r.outputs.values() if p.node == a.node and p.member == member]
        problems.append(f"{where}: {a}: node {a.label!r} has no vector {vector!r}" + _close(vector, have))
        return None
    return r.outputs[key]


def _feed(target: Layout, source: Port, where: str, problems: list[str], notes: list[str]) -> Feed | None:
    """An input of layout `target` from `source`, entries matched by name."""
    index = {n: i for i, n in enumerate(source.layout.names)}
    entries: list[int | None] = []
    missing, filled = [], []
    for e in target:
        if e.name in index:
            entries.append(index[e.name])
        elif not e.read:
            entries.append(None)
            filled.append(e.name)
        else:
            missing.append(e.name)
    if missing:
        problems.append(f"{where}: {source.address} does not have the entries {missing} that {target.title} needs"
                        f" (it has {', '.join(source.layout.names)})")
        return None
    if filled:
        notes.append(f"{where}: {filled} (never read) filled with 0.0")
    identity = list(source.layout.names) == list(target.names)
    return Feed(source, entries, identity)


def _put(r: Resolved, node: str, member: int | None, vector: str, vl: Layout) -> Port:
    port = Port(node, member, vector, vl)
    r.outputs[port.key] = port
    return port


def _resolve_node(model: Model, node: _n.Node, r: Resolved, parsed: Mapping[tuple[str, str], Address],
                  problems: list[str]) -> None:
    where = f"node {node.name!r}" + (f" ({node.where})" if node.where else "")
    ins: dict[str, Port] = {}
    if isinstance(node, _n.Delay) and (node.name, "u") in parsed:
        a = parsed[(node.name, "u")]
        known = a.node in [n for n, _, _ in r.outputs]
        if not known:  # made later: its input is checked once every node is resolved
            if node.layout is None:
                problems.append(f"{where}: its input {a} is made after the nodes it feeds (a loop): give the "
                                "delay that vector's layout= (such as SEWER.y)")
                return
            if node.initial.shape != (len(node.layout),):
                problems.append(f"{where}: initial must be a vector of {len(node.layout)} entries, not of shape "
                                f"{node.initial.shape}")
            _put(r, node.name, None, "y", node.layout)
            return
    for vector in node.inputs:
        given = parsed.get((node.name, vector))
        if given is None:
            continue
        p = _source_port(model, r, given, where, problems)
        if p is not None:
            ins[vector] = p
    if len(ins) != len(node.inputs):
        return  # reported
    if isinstance(node, _n.Source):
        assert node.layout is not None  # Model.source always gives one
        _put(r, node.name, None, "y", node.layout)
    elif isinstance(node, _n.ChainNode):
        _resolve_chain(node, r, ins, where, problems)
    elif isinstance(node, _n.BlockNode):
        _resolve_block(node, r, ins, where, problems)
    elif isinstance(node, _n.Mixer):
        _resolve_mixer(node, r, ins, where, problems)
    elif isinstance(node, _n.Adapter):
        _resolve_adapter(node, r, ins, where, problems)
    elif isinstance(node, _n.Merge):
        _resolve_merge(node, r, ins, where, problems)
    elif isinstance(node, (_n.Splitter, _n.Overflow)):
        u = ins["u"]
        if node.flow not in u.layout:
            problems.append(f"{where}: {u.address} has no flow entry {node.flow!r}")
        if isinstance(node, _n.Overflow) and not np.isfinite(node.capacity):
            problems.append(f"{where}: the capacity must be a finite number, not {node.capacity!r}")
        r.inputs[node.name] = [u]
        for out in node.output_names():
            _put(r, node.name, None, out, _n.renamed(u.layout, f"{node.name}.{out}", u.layout.names))
    elif isinstance(node, _n.Delay):
        u = ins["u"]
        if node.initial.shape != (len(u.layout),):
            problems.append(f"{where}: initial must be a vector of {len(u.layout)} entries ({u.address}), "
                            f"not of shape {node.initial.shape}")
        r.inputs[node.name] = [u]
        _put(r, node.name, None, "y", u.layout)


def _check_params(node: _n.BlockNode, params: Mapping[str, Any], where: str, problems: list[str]) -> None:
    btype = node.spec
    checks = btype.run.checks
    for c in checks:
        if c.param in params and c.kind in ("at_least", "per_row") and len(params[c.param]) < c.length:
            problems.append(f"{where}: Expected {c.param} of length at least {c.length}.")


def _check_x0(x0: Any, n: int, where: str, problems: list[str]) -> None:
    if isinstance(x0, np.ndarray) and x0.shape[-1:] != (n,):
        problems.append(f"{where}: Expected x0 of length {n}.")


def _resolve_block(node: _n.BlockNode, r: Resolved, ins: Mapping[str, Port], where: str,
                   problems: list[str]) -> None:
    for vector, p in ins.items():
        feed = _feed(node.layouts[vector], p, f"{where}, {vector}", problems, r.notes)
        if feed is not None:
            r.feeds[(node.name, None, vector)] = feed
            _put(r, node.name, None, vector, node.layouts[vector])
    if node.has_state:
        _check_x0(node.x0, len(node.layouts["x"]), where, problems)
        _put(r, node.name, None, "x", node.layouts["x"])
    _put(r, node.name, None, "y", node.layouts["y"])


def _resolve_chain(node: _n.ChainNode, r: Resolved, ins: Mapping[str, Port], where: str,
                   problems: list[str]) -> None:
    feed = _feed(node.layouts["u"], ins["u"], f"{where}, u", problems, r.notes)
    if feed is None:
        return
    x0 = node.x0
    if isinstance(x0, np.ndarray) and x0.shape != (node.n, len(node.layouts["x"])):
        problems.append(f"{where}: x0 must hold one state of {len(node.layouts['x'])} entries per member, "
                        f"{node.n} rows, not of shape {x0.shape}")
    r.feeds[(node.name, 1, "u")] = feed
    for j in range(1, node.n + 1):
        _put(r, node.name, j, "u", node.layouts["u"])
        _put(r, node.name, j, "x", node.layouts["x"])
        y = _put(r, node.name, j, "y", node.layouts["y"])
        if j < node.n:
            nxt = _feed(node.layouts["u"], y, f"{where}, member {j + 1}", problems, r.notes)
            if nxt is not None:
                r.feeds[(node.name, j + 1, "u")] = nxt
    # the chain itself: its last member's output
    r.outputs[(node.name, None, "y")] = r.outputs[(node.name, node.n, "y")]


def _resolve_mixer(node: _n.Mixer, r: Resolved, ins: Mapping[str, Port], where: str, problems: list[str]) -> None:
    ports = [ins[k] for k in node.inputs]
    first = ports[0].layout
    if node.flow not in first:
        problems.append(f"{where}: {ports[0].address} has no flow entry {node.flow!r}")
        return
    for p in ports[1:]:
        if list(p.layout.names) != list(first.names):
            missing = [n for n in first.names if n not in p.layout]
            extra = [n for n in p.layout.names if n not in first]
            problems.append(f"{where}: the streams it mixes must have one layout: {p.address} differs from "
                            f"{ports[0].address}" + (f" (lacks {missing})" if missing else "")
                            + (f" (has {extra} besides)" if extra else "")
                            + ("" if missing or extra else " (its entries are in another order)"))
    r.inputs[node.name] = ports
    _put(r, node.name, None, "y", first)


def _entry_ref(text: str, ports: Sequence[Port], model_nodes: Any, where: str, problems: list[str]
               ) -> tuple[Port, int] | None:
    """An adapter's entry reference: "name" (the first input having it), or
    "input.name" / "input.vector.name" of one input."""
    if "." in text:
        a = parse_address(text) if text.count(".") == 2 else None
        node, _, entry = text.rpartition(".")
        for p in ports:
            if (a is not None and p.key == (a.node, a.member, a.vector) or
                    p.address == node or p.address == f"{node}.y" or
                    (p.node == node and p.member is None and p.vector == "y")):
                if entry in p.layout:
                    return p, p.layout.index(entry)
                problems.append(f"{where}: {p.address} has no entry {entry!r}" + _close(entry, p.layout.names))
                return None
        problems.append(f"{where}: {text!r}: {node!r} is not one of its inputs "
                        f"({', '.join(p.address for p in ports)})")
        return None
    for p in ports:
        if text in p.layout:
            return p, p.layout.index(text)
    names = [n for p in ports for n in p.layout.names]
    problems.append(f"{where}: no input has an entry {text!r}" + _close(text, names))
    return None


def _resolve_adapter(node: _n.Adapter, r: Resolved, ins: Mapping[str, Port], where: str,
                     problems: list[str]) -> None:
    ports = [ins[k] for k in node.inputs]
    vector = node.layout
    assert vector is not None
    unknown = [n for n in node.entries if n not in vector]
    for n in unknown:
        problems.append(f"{where}: its layout {vector.title} has no entry {n!r}" + _close(n, vector.names))
    resolved: list[tuple[Any, ...]] = []
    missing = []
    for e in vector:
        expr = node.entries.get(e.name)
        if expr is None:
            ref = next(((p, p.layout.index(e.name)) for p in ports if e.name in p.layout), None)
            if ref is None:
                if node.fill is None:
                    missing.append(e.name)
                    continue
                resolved.append(("const", float(node.fill)))
            else:
                resolved.append(("copy", *ref))
        elif isinstance(expr, str):
            ref = _entry_ref(expr, ports, None, f"{where}, entry {e.name!r}", problems)
            if ref is not None:
                resolved.append(("copy", *ref))
        elif isinstance(expr, Linear):
            refs = {}
            for n in expr.names:
                ref = _entry_ref(n, ports, None, f"{where}, entry {e.name!r}", problems)
                if ref is not None:
                    refs[n] = ref
            resolved.append(("linear", expr, refs))
        else:
            resolved.append(("const", float(expr)))
    if missing:
        problems.append(f"{where}: no input has the entries {missing} of {vector.title}; give them in entries= "
                        "(or fill= a value)")
    r.inputs[node.name] = ports
    r.entries[node.name] = resolved
    _put(r, node.name, None, "y", vector)


def _resolve_merge(node: _n.Merge, r: Resolved, ins: Mapping[str, Port], where: str, problems: list[str]) -> None:
    base, other = ins["base"], ins["other"]
    shared = [n for n in base.layout.names if n in other.layout]
    names = shared if node.replace is None else list(node.replace)
    for n in names:
        if n not in base.layout:
            problems.append(f"{where}: {base.address} has no entry {n!r} to replace" + _close(n, base.layout.names))
        elif n not in other.layout:
            problems.append(f"{where}: {other.address} has no entry {n!r}" + _close(n, other.layout.names))
    if not names:
        problems.append(f"{where}: {base.address} and {other.address} share no entry to replace")
    replaced = set(names)
    resolved: list[tuple[Any, ...]] = []
    for i, n in enumerate(base.layout.names):
        if n in replaced and n in other.layout:
            resolved.append(("copy", other, other.layout.index(n)))
        else:
            resolved.append(("copy", base, i))
    r.inputs[node.name] = [base, other]
    r.entries[node.name] = resolved
    _put(r, node.name, None, "y", base.layout)
