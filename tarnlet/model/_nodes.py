"""The nodes of a model: sources, blocks, a chain of blocks, and connectors.

A node has a name, the vectors it takes (each from an address given when the
node is made or later by Model.connect) and the vectors it gives, each with a
Layout: its entries' names and units. Nodes only describe; Model checks them
and orders them, _plan compiles them and _reference runs them step by step.
"""
from __future__ import annotations

import numbers
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from tarnlet import _registry, layout
from tarnlet._typing import FloatArray
from tarnlet.layout import Layout
from tarnlet.model.expr import Linear

# A model entry's value: an entry name (of an input), a constant or a Linear.
Expr = str | float | Linear


def renamed(vector: Layout, title: str, names: Sequence[str] | Mapping[str, str] | None) -> Layout:
    """A copy of a layout under new entry names (units, meanings, reads kept);
    no names: the layout itself."""
    if names is None:
        return vector
    if isinstance(names, Mapping):
        unknown = [n for n in names if n not in vector]
        if unknown:
            raise KeyError(f"{vector.title} has no entries {unknown}; its entries are {', '.join(vector.names)}")
        names = [names.get(n, n) for n in vector.names]
    names = list(names)
    if len(names) != len(vector):
        raise ValueError(f"names: {vector.title} has {len(vector)} entries, {len(names)} names were given")
    return Layout(title, [(n, e.unit, e.meaning, e.read) for n, e in zip(names, vector)])


def plain_layout(title: str, names: Sequence[str], units: Sequence[str] | Mapping[str, str] | None = None) -> Layout:
    """A layout of the given names, in the given units ("as given" where none)."""
    if isinstance(units, Mapping):
        unit_of = [units.get(n, "as given") for n in names]
    elif units is None:
        unit_of = ["as given"] * len(names)
    else:
        unit_of = list(units)
        if len(unit_of) != len(names):
            raise ValueError(f"{title}: {len(names)} names but {len(unit_of)} units")
    return Layout(title, [(n, u, "as given") for n, u in zip(names, unit_of)])


@dataclass(repr=False)
class Node:
    """What every node has: a name, its place in the order of insertion, and
    the addresses its input vectors come from (None: not connected yet)."""

    name: str
    index: int
    inputs: dict[str, str | None] = field(default_factory=dict)
    where: str = ""  # the caller's file:line, for messages

    kind = "node"

    @property
    def input_layouts(self) -> dict[str, Layout | None]:
        """The layout each input must have (None: whatever it is given)."""
        return {name: None for name in self.inputs}

    def output_names(self) -> tuple[str, ...]:
        return ("y",)

    @property
    def default_output(self) -> str:
        return self.output_names()[0]

    def __repr__(self) -> str:
        return f"<{self.kind} {self.name!r}>"


@dataclass(repr=False)
class Source(Node):
    """Values from outside: one row per step, or one vector for every step."""

    values: Any = None  # an array, or a tarnlet.forcing.Forcing (pandas data)
    layout: Layout | None = None
    kind = "source"


@dataclass(repr=False)
class BlockNode(Node):
    """One block of the registry: its parameters, its layouts, its state."""

    block: str = ""  # the registry's name
    params: dict[str, FloatArray] = field(default_factory=dict)
    layouts: dict[str, Layout] = field(default_factory=dict)  # every vector: x, u, y (stream: its inputs), ...
    x0: Any = "steady"  # a state vector, "steady", or None for a stream block
    kind = "block"

    @property
    def spec(self) -> _registry.Block:
        return _registry.block(self.block)

    @property
    def has_state(self) -> bool:
        return self.spec.has_state

    @property
    def input_layouts(self) -> dict[str, Layout | None]:
        return {name: self.layouts[name] for name in self.inputs}

    def __repr__(self) -> str:
        return f"<{self.kind} {self.name!r} ({self.block})>"


@dataclass(repr=False)
class ChainNode(BlockNode):
    """n blocks of one kind in series: member j's output is member j+1's input."""

    n: int = 1
    member_params: list[dict[str, FloatArray]] = field(default_factory=list)
    kind = "chain"


@dataclass(repr=False)
class Mixer(Node):
    """Streams of one layout joined: the flows summed, every other entry
    flow-weighted (all 0.0 when the total flow is 1e-12 or less)."""

    flow: str = "Q"
    kind = "mixer"


@dataclass(repr=False)
class Adapter(Node):
    """A vector of a given layout, each entry an input entry, a constant or a
    Linear; the entries not given taken by name from the inputs in order."""

    layout: Layout | None = None
    entries: dict[str, Expr] = field(default_factory=dict)
    fill: float | None = None
    kind = "adapter"


@dataclass(repr=False)
class Merge(Node):
    """A stream with some entries replaced by those of another vector."""

    replace: tuple[str, ...] | None = None  # None: every entry the two share
    kind = "merge"


@dataclass(repr=False)
class Splitter(Node):
    """A stream split by shares of its flow into streams of its layout."""

    shares: tuple[float, ...] = ()
    names: tuple[str, ...] = ()
    flow: str = "Q"
    kind = "splitter"

    def output_names(self) -> tuple[str, ...]:
        return self.names


@dataclass(repr=False)
class Overflow(Node):
    """A stream split by a capacity: the flow up to it goes on, the rest overflows."""

    capacity: float = 0.0
    names: tuple[str, str] = ("kept", "over")
    flow: str = "Q"
    kind = "overflow"

    def output_names(self) -> tuple[str, ...]:
        return self.names


@dataclass(repr=False)
class Delay(Node):
    """Its input one step late: the only way to close a loop. At step 0 it
    gives `initial` (a vector; "steady": its input at step 0 as solved in
    order, which needs the input not to depend on the delay itself)."""

    initial: Any = None
    layout: Layout | None = None  # needed where its input is made after the nodes it feeds
    kind = "delay"


def parameter_vector(node: str, block: str, name: str, value: Any, vector: Layout) -> FloatArray:
    """A block parameter: an array as the module takes it, or entries by name
    (every parameter vector of a block has a layout)."""
    if isinstance(value, Mapping):
        return vector.vector(**value)
    array = np.array(value, dtype=np.float64)
    if array.ndim != 1:
        raise ValueError(f"node {node!r}: {name} must be a vector (one dimension), not of shape {array.shape}")
    return array


def block_layouts(block: str, node: str) -> dict[str, Layout]:
    """The layouts of a block's vectors, as tarnlet.layout has them."""
    return dict(layout.block(block).vectors)


def is_number(value: Any) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, bool)
