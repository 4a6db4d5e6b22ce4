"""What an adapter computes an entry from: an input entry, a constant, or a linear map.

An adapter's ``entries`` maps each output entry to one of

- a name, ``"Q_excess"`` (the entry of that name of its input) or
  ``"soil.Q_excess"`` (of the input node ``soil``, when it has several);
- a number, a constant;
- a :class:`Linear` combination of input entries, optionally times a flow.

A :class:`Linear` is evaluated in a fixed order, so that the compiled run and
the reference run round alike: each term's entries are summed left to right,
multiplied by the term's coefficient (the coefficient first; a coefficient
of exactly 1 multiplies nothing), the terms are summed left to right, and the
result is multiplied by the scale entry (the scale first)::

    # suspended solids from the particulates, weighted as the storages weigh them
    Linear([(0.75, "X_I"), (0.75, "X_S"), (0.9, ("X_H", "X_PAO", "X_AUT")), (3.23, "X_PP")])
    # a load in g/d: the flow times a sum of concentrations
    Linear([(1.0, ("S_F", "S_A"))], scale="Q")
    Linear.load("Q", "S_F", "S_A")   # the same
"""
from __future__ import annotations

import numbers
from collections.abc import Iterable, Sequence
from dataclasses import dataclass

__all__ = ["Linear"]

Names = tuple[str, ...]


@dataclass(frozen=True)
class Linear:
    """sum of coefficient x (sum of entries), times an optional scale entry.

    Parameters
    ----------
    terms : sequence of (coefficient, entry or entries)
        Each term: a real coefficient and one entry name or a tuple of names
        (summed left to right before the coefficient multiplies them).
    scale : str, optional
        An entry that multiplies the sum (a flow, for a load).
    constant : float
        The value when there are no terms (0.0): ``Linear([], scale="Q")``
        is the flow times 0.0.

    Examples
    --------
    >>> Linear([(0.5, "a"), (2.0, ("b", "c"))]).evaluate({"a": 2.0, "b": 1.0, "c": 0.5})
    4.0
    >>> Linear.load("Q", "S_F", "S_A").evaluate({"Q": 10.0, "S_F": 1.0, "S_A": 2.0})
    30.0
    """

    # (the defaults are __init__'s)
    terms: tuple[tuple[float, Names], ...]
    scale: str | None
    constant: float

    def __init__(self, terms: Iterable[tuple[float, str | Sequence[str]]] = (), scale: str | None = None,
                 constant: float = 0.0) -> None:
        parsed: list[tuple[float, Names]] = []
        for term in terms:
            try:
                coef, names = term
            except (TypeError, ValueError):
                raise TypeError(f"a Linear term is a (coefficient, entry or entries) pair, not {term!r}") from None
            if not isinstance(coef, numbers.Real) or isinstance(coef, bool):
                raise TypeError(f"a Linear coefficient must be a real number, not {coef!r}")
            names = (names,) if isinstance(names, str) else tuple(names)
            if not names or not all(isinstance(n, str) for n in names):
                raise TypeError(f"a Linear term names one or more entries (strings), not {names!r}")
            parsed.append((float(coef), names))
        if scale is not None and not isinstance(scale, str):
            raise TypeError(f"a Linear scale is an entry name, not {scale!r}")
        object.__setattr__(self, "terms", tuple(parsed))
        object.__setattr__(self, "scale", scale)
        object.__setattr__(self, "constant", float(constant))

    @classmethod
    def load(cls, flow: str, *entries: str) -> Linear:
        """flow x (entry_1 + entry_2 + ...): a load from a flow and concentrations."""
        return cls([(1.0, entries)] if entries else [], scale=flow)

    @property
    def names(self) -> Names:
        """Every entry it reads, the scale last."""
        out = [n for _, names in self.terms for n in names]
        return tuple(out + ([self.scale] if self.scale else []))

    def evaluate(self, values: dict[str, float]) -> float:
        """Its value for entries given by name, in the fixed order of operations."""
        acc = self.constant
        for k, (coef, names) in enumerate(self.terms):
            s = values[names[0]]
            for name in names[1:]:
                s = s + values[name]
            t = s if coef == 1.0 else coef * s
            acc = t if k == 0 else acc + t
        return values[self.scale] * acc if self.scale else acc
