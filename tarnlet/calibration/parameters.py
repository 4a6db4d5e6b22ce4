"""Parameters of a model by name, with bounds, and how a set of them is applied.

A :class:`Parameter` names one entry of a block's parameter vector:
``"soil.par.k_lin"``, ``"st1.spar.K"``; for a chain ``"chain.spar.K"`` (the
entry of every member, one value for all) or ``"chain[2].spar.A"`` (one
member's). :func:`apply` gives a copy of a model with values set by such
addresses (and anything :meth:`tarnlet.model.Model.with_values` takes: a
source's series by its name, a whole parameter vector), keeping the model's
structure, so that its compiled plan is made once and only its arrays are
filled per run.

:func:`sample` draws parameter sets over the bounds: a Latin hypercube or a
scrambled Sobol' sequence from :mod:`scipy.stats.qmc`, uniform in each
parameter (in its logarithm with ``log=True``).
"""
from __future__ import annotations

import copy
import math
import numbers
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from tarnlet._typing import FloatArray
from tarnlet.model import _nodes as nodes
from tarnlet.model._model import Model, ModelError, _close, parse_address
from tarnlet.model.ensemble import with_values

__all__ = ["Parameter", "apply", "sample", "scenarios"]


def _real(value: Any, what: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (numbers.Real, np.floating, np.integer)):
        raise TypeError(f"{what} must be a real number, not {type(value).__name__} {value!r}")
    out = float(value)
    if not math.isfinite(out):
        raise ValueError(f"{what} must be finite, not {value!r}")
    return out


@dataclass(frozen=True, init=False)
class Parameter:
    """One entry of a block's parameter vector, free within bounds.

    Parameters
    ----------
    address : str
        ``"node.vector.entry"``: ``"st1.spar.A"``, ``"soil.par.k_lin"``; a
        chain's ``"chain.spar.K"`` sets the entry of every member to one
        value, ``"chain[2].spar.A"`` that of member 2 only.
    lower, upper : float
        The bounds; ``lower < upper``, both positive with `log`.
    log : bool
        Work on the logarithm of the value: fits take steps, and samples
        are uniform, in log space (the natural choice for positive
        quantities spanning orders of magnitude: areas, coefficients).
    initial : float, optional
        Where a fit starts; default the model's value (the middle of the
        bounds, geometric with `log`, when the model's value lies outside
        them or differs between a chain's members).
    name : str, optional
        What reports and figures call it; default the address.

    Examples
    --------
    >>> Parameter("chain[1].spar.A", 100.0, 1000.0, log=True)
    Parameter('chain[1].spar.A', 100.0, 1000.0, log=True)
    """

    address: str
    lower: float
    upper: float
    log: bool
    initial: float | None
    name: str

    def __init__(self, address: str, lower: float, upper: float, log: bool = False, initial: float | None = None,
                 name: str | None = None) -> None:
        if not isinstance(address, str):
            raise TypeError(f"Parameter: address must be a str such as 'st1.spar.A', not {address!r}")
        a = parse_address(address)
        if a.vector is None or a.entry is None:
            raise ValueError(f"Parameter {address!r}: the address names one entry of a parameter vector, "
                             "node.vector.entry (such as 'st1.spar.A' or 'chain[2].spar.A')")
        lo, hi = _real(lower, f"Parameter {address!r}: lower"), _real(upper, f"Parameter {address!r}: upper")
        if not lo < hi:
            raise ValueError(f"Parameter {address!r}: lower ({lo!r}) must be below upper ({hi!r})")
        if not isinstance(log, (bool, np.bool_)):
            raise TypeError(f"Parameter {address!r}: log must be True or False, not {log!r}")
        if log and lo <= 0.0:
            raise ValueError(f"Parameter {address!r}: with log=True the bounds must be positive, not {lo!r}")
        start = None
        if initial is not None:
            start = _real(initial, f"Parameter {address!r}: initial")
            if not lo <= start <= hi:
                raise ValueError(f"Parameter {address!r}: initial ({start!r}) lies outside [{lo!r}, {hi!r}]")
        if name is not None and not isinstance(name, str):
            raise TypeError(f"Parameter {address!r}: name must be a str, not {name!r}")
        for field_name, value in (("address", address), ("lower", lo), ("upper", hi), ("log", bool(log)),
                                  ("initial", start), ("name", name or address)):
            object.__setattr__(self, field_name, value)

    def __repr__(self) -> str:
        extra = "".join([", log=True" if self.log else "", f", initial={self.initial!r}" if self.initial is not None
                         else "", f", name={self.name!r}" if self.name != self.address else ""])
        return f"Parameter({self.address!r}, {self.lower!r}, {self.upper!r}{extra})"

    # ---- the space fits and samples work in
    def to_free(self, value: ArrayLike) -> Any:
        """The value(s) in the space fits work in: the logarithm with `log`."""
        v = np.asarray(value, dtype=np.float64)
        return np.log(v) if self.log else v

    def from_free(self, z: ArrayLike) -> Any:
        """The inverse of :meth:`to_free`."""
        v = np.asarray(z, dtype=np.float64)
        return np.exp(v) if self.log else v

    @property
    def free_bounds(self) -> tuple[float, float]:
        return (math.log(self.lower), math.log(self.upper)) if self.log else (self.lower, self.upper)

    @property
    def middle(self) -> float:
        """The middle of the bounds (geometric with `log`)."""
        return math.sqrt(self.lower * self.upper) if self.log else 0.5 * (self.lower + self.upper)

    def value_in(self, model: Model) -> float | None:
        """The model's value of the entry (None when a chain's members differ)."""
        values = _current(model, self.address, f"Parameter {self.address!r}")
        return values[0] if all(v == values[0] for v in values) else None

    def start(self, model: Model) -> float:
        """Where a fit starts: `initial`, else the model's value if within the bounds, else the middle."""
        if self.initial is not None:
            return self.initial
        value = self.value_in(model)
        return value if value is not None and self.lower <= value <= self.upper else self.middle


def _target(model: Model, address: str, where: str) -> tuple[nodes.BlockNode, int | None, str, int]:
    """The block node, member, vector and entry index of a parameter address."""
    a = parse_address(address)
    node = model.nodes.get(a.node)
    if node is None:
        raise KeyError(f"{where}: no node named {a.node!r}" + _close(a.node, model.nodes))
    if not isinstance(node, nodes.BlockNode):
        raise ValueError(f"{where}: {a.node!r} is a {node.kind}, which has no parameter vectors")
    if a.member is not None:
        if not isinstance(node, nodes.ChainNode):
            raise ValueError(f"{where}: {a.node!r} is not a chain: it has no member [{a.member}]")
        if not 1 <= a.member <= node.n:
            raise ValueError(f"{where}: chain {a.node!r} has members 1 to {node.n}, not {a.member}")
    params = node.member_params[0] if isinstance(node, nodes.ChainNode) else node.params
    vector = a.vector or ""
    if vector not in params:
        raise KeyError(f"{where}: {node.block} node {a.node!r} has no parameter vector {vector!r}"
                       + _close(vector, params))
    layout = node.layouts.get(vector)
    if a.entry is None:
        return node, a.member, vector, -1
    if layout is None or a.entry not in layout:
        raise KeyError(f"{where}: {vector} of node {a.node!r} has no entry {a.entry!r}"
                       + (_close(a.entry, layout.names) if layout is not None else ""))
    return node, a.member, vector, layout.index(a.entry)


def _current(model: Model, address: str, where: str) -> list[float]:
    node, member, vector, index = _target(model, address, where)
    if isinstance(node, nodes.ChainNode):
        rows = [node.member_params[member - 1]] if member is not None else node.member_params
    else:
        rows = [node.params]
    return [float(p[vector][index]) for p in rows]


def check(model: Model, parameters: Sequence[Parameter]) -> None:
    """Every parameter names an entry of the model, each address once."""
    problems = []
    seen: dict[str, str] = {}
    for p in parameters:
        if not isinstance(p, Parameter):
            raise TypeError(f"parameters must be Parameter objects, not {type(p).__name__} {p!r}")
        try:
            _target(model, p.address, f"Parameter {p.address!r}")
        except (KeyError, ValueError) as e:
            problems.append(str(e.args[0]))
        if p.address in seen:
            problems.append(f"Parameter {p.address!r} is given twice")
        if p.name in seen.values() and seen.get(p.address) != p.name:
            problems.append(f"two parameters are named {p.name!r}")
        seen[p.address] = p.name
    if problems:
        raise ModelError(problems)


def apply(model: Model, values: Mapping[str, Any]) -> Model:
    """A copy of `model` with values set by address.

    Parameters
    ----------
    model : tarnlet.model.Model
    values : dict
        By address: a parameter entry (``"st1.spar.K"``, ``"chain.spar.K"``
        for every member, ``"chain[2].spar.A"`` for one), a whole parameter
        vector (``"chain[2].spar"``, ``"soil.par"``) or a source's values by
        its name (``"rain"``), as :meth:`~tarnlet.model.Model.with_values`.

    Returns
    -------
    tarnlet.model.Model
        A copy sharing the structure and the compiled plans of `model`;
        `model` is not changed.

    Examples
    --------
    >>> import numpy as np
    >>> from tarnlet.model import Model
    >>> from tarnlet.layout import SEWER
    >>> m = Model(dt=1 / 1440)
    >>> _ = m.source("sewage", SEWER.u.vector(Q=4000.0), layout=SEWER.u)
    >>> _ = m.sewer_chain("chain", u="sewage", pars=np.ones(25), spar=[[300.0, 11000.0, 0.1]] * 3)
    >>> fitted = apply(m, {"chain[2].spar.A": 450.0, "chain.spar.K": 9000.0})
    >>> [float(p["spar"][0]) for p in fitted.nodes["chain"].member_params]
    [300.0, 450.0, 300.0]
    """
    plain, members = {}, {}
    for key, value in values.items():
        if not isinstance(key, str):
            raise TypeError(f"values are keyed by address (a str), not {key!r}")
        if key != "x0" and parse_address(key).member is not None:
            members[key] = value
        else:
            plain[key] = value
    new = with_values(model, plain)
    for key, value in members.items():
        node, member, vector, index = _target(new, key, f"value {key!r}")
        assert isinstance(node, nodes.ChainNode) and member is not None
        node = copy.copy(node)
        rows = [dict(p) for p in node.member_params]
        if index < 0:
            row = np.array(value, dtype=np.float64)
            if row.shape != rows[member - 1][vector].shape:
                raise ValueError(f"value {key!r}: a vector of shape {rows[member - 1][vector].shape}, not "
                                 f"{row.shape}")
        else:
            row = rows[member - 1][vector].copy()
            row[index] = _real(value, f"value {key!r}")
        rows[member - 1][vector] = row
        node.member_params = rows
        new._nodes[node.name] = node
    return new


def values_of(parameters: Sequence[Parameter], values: ArrayLike) -> dict[str, float]:
    """One parameter set (natural units) as values by address."""
    v = np.asarray(values, dtype=np.float64)
    return {p.address: float(x) for p, x in zip(parameters, v)}


def sample(parameters: Sequence[Parameter], n: int, method: str = "lhs", seed: Any = None) -> FloatArray:
    """Parameter sets spread over the parameters' bounds.

    Parameters
    ----------
    parameters : sequence of Parameter
    n : int
        The number of sets. A Sobol' sequence is balanced for powers of 2
        (SciPy warns otherwise).
    method : {"lhs", "sobol"}
        A Latin hypercube (``scipy.stats.qmc.LatinHypercube``) or a
        scrambled Sobol' sequence (``scipy.stats.qmc.Sobol``).
    seed : int or numpy.random.Generator, optional
        Makes the sets reproducible.

    Returns
    -------
    numpy.ndarray
        Shape (n, len(parameters)), in natural units: uniform in each
        parameter's bounds, or in their logarithm with ``log=True``.

    Examples
    --------
    >>> sets = sample([Parameter("st.spar.A", 100.0, 1000.0, log=True),
    ...                Parameter("st.spar.h0", 0.0, 0.2)], 8, seed=1)
    >>> sets.shape, bool((sets[:, 0] >= 100).all() and (sets[:, 0] <= 1000).all())
    ((8, 2), True)
    """
    parameters = _listed(parameters)
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 1:
        raise ValueError(f"n must be a positive int, not {n!r}")
    qmc = _qmc("sample()")
    d = len(parameters)
    if method not in ("lhs", "sobol"):
        raise ValueError(f"method must be 'lhs' or 'sobol', not {method!r}")
    kind = qmc.LatinHypercube if method == "lhs" else qmc.Sobol
    try:
        engine = kind(d, rng=seed)
    except TypeError:  # SciPy before 1.15 calls it seed
        engine = kind(d, seed=seed)
    unit = engine.random(int(n))
    return from_unit(parameters, unit)


def from_unit(parameters: Sequence[Parameter], unit: ArrayLike) -> FloatArray:
    """Points of the unit cube (one row each) as parameter sets."""
    u = np.asarray(unit, dtype=np.float64)
    out = np.empty_like(u)
    for j, p in enumerate(parameters):
        lo, hi = p.free_bounds
        z = lo + u[:, j] * (hi - lo)
        out[:, j] = np.clip(p.from_free(z), p.lower, p.upper)  # exp(log(bound)) may round past it
    return out


def scenarios(parameters: Sequence[Parameter], sets: ArrayLike, **fixed: Any) -> list[dict[str, Any]]:
    """Parameter sets (rows, as :func:`sample` gives them) as scenarios for
    :func:`tarnlet.calibration.ensemble`, each with the `fixed` values too
    (by address; pass a dict as ``**{"soil.par.A": 1e5}``)."""
    parameters = _listed(parameters)
    rows = np.asarray(sets, dtype=np.float64)
    if rows.ndim != 2 or rows.shape[1] != len(parameters):
        raise ValueError(f"sets must have one row per scenario and one column per parameter "
                         f"({len(parameters)}), not shape {rows.shape}")
    return [{**fixed, **values_of(parameters, row)} for row in rows]


def _listed(parameters: Iterable[Parameter] | Parameter) -> list[Parameter]:
    if isinstance(parameters, Parameter):
        parameters = [parameters]
    out = list(parameters)
    if not out:
        raise ValueError("parameters: give at least one Parameter")
    for p in out:
        if not isinstance(p, Parameter):
            raise TypeError(f"parameters must be Parameter objects, not {type(p).__name__} {p!r}")
    return out


def _qmc(what: str) -> Any:
    try:
        from scipy.stats import qmc
    except ImportError:
        raise ImportError(f"tarnlet.calibration.{what} needs scipy: pip install 'tarnlet[calibration]'") from None
    return qmc
