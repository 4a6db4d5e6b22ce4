"""The registry of the blocks, as the compiled side declares them.

``tarnlet._runs.BLOCKS`` is built from the block types themselves (the same
tables the modules and the runs are made of); this module gives it a typed
face. Everything on the Python side that must know a block's vectors,
lengths, functions or runs reads it here: ``tarnlet.runs`` builds its run
functions from it, ``tools/stubs.py`` the type stubs, the tests their table
of functions, the fuzz target and the benchmarks their cases, and
``tarnlet`` its lazy names. Human text (names, units, meanings of entries)
belongs to ``tarnlet.layout``, which a test checks against this registry.
"""
from __future__ import annotations

from dataclasses import dataclass
from functools import cache
from typing import Any, Literal

Kind = Literal["exact", "at_least", "columns", "per_row", "some_rows"]


@dataclass(frozen=True)
class Check:
    """A length test of an argument: `kind` as the frame applies it."""

    param: str
    kind: Kind
    length: int


@dataclass(frozen=True)
class Function:
    """A function of a block's module, or a run function of ``tarnlet.runs``."""

    name: str
    params: tuple[str, ...]
    checks: tuple[Check, ...]
    result: int  # the length of the result vector (0: not a kernel function)
    chain: bool = False  # a run of blocks in series

    def checks_of(self, param: str) -> tuple[Check, ...]:
        return tuple(c for c in self.checks if c.param == param)


@dataclass(frozen=True)
class Block:
    """One block: its module, vectors, functions and runs."""

    name: str
    module: str  # dotted name of its module
    kind: Literal["state", "stream"]
    lengths: dict[str, int]  # every vector by argument name (x, u, y, parameters, inputs)
    reads: dict[str, tuple[int, ...]]  # the entries the kernels read, by vector
    kernels: dict[str, dict[str, int]]  # parameter -> {kernel: entries it reads}
    functions: tuple[Function, ...]
    constants: dict[str, int]
    aliases: dict[str, str]
    runs: tuple[Function, ...]
    allocate_first: bool

    @property
    def has_state(self) -> bool:
        return self.kind == "state"

    @property
    def parameters(self) -> tuple[str, ...]:
        """The names of its parameter vectors (state-space) or inputs (stream), in order."""
        first = self.functions[1] if self.has_state else self.functions[0]
        return first.params[2:] if self.has_state else first.params

    def function(self, name: str) -> Function:
        name = self.aliases.get(name, name)
        return next(f for f in self.functions if f.name == name)

    @property
    def run(self) -> Function:
        return next(r for r in self.runs if not r.chain)

    @property
    def chain_run(self) -> Function | None:
        return next((r for r in self.runs if r.chain), None)


def _function(d: dict[str, Any]) -> Function:
    return Function(d["name"], tuple(d["params"]), tuple(Check(*c) for c in d["checks"]),
                    d["result"], d.get("chain", False))


@cache
def blocks() -> tuple[Block, ...]:
    """Every block, in the order meson.build lists them."""
    from tarnlet import _runs

    return tuple(Block(d["name"], d["module"], d["kind"], dict(d["lengths"]),
                       {k: tuple(v) for k, v in d["reads"].items()},
                       {k: dict(v) for k, v in d["kernels"].items()},
                       tuple(_function(f) for f in d["functions"]), dict(d["constants"]),
                       dict(d["aliases"]), tuple(_function(r) for r in d["runs"]), d["allocate_first"])
                 for d in _runs.BLOCKS)


def block(name: str) -> Block:
    return next(b for b in blocks() if b.name == name)
