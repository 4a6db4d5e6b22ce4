"""Unit conversions for what users, data loggers and plant simulators use.

Every conversion of tarnlet's data tools comes from the one table below
(:data:`UNITS`): a unit belongs to a *dimension* and has a *factor* to that
dimension's base unit. A conversion multiplies by the factor of the unit it
starts from and divides by the factor of the unit it ends in (a factor of 1
is skipped). Two declared bridges join dimensions that need a property of
the matter: alkalinity as bicarbonate (mol/m3) and as carbon (g C/m3) or
calcium carbonate (g CaCO3/m3), through :data:`EQUIVALENT_MASS`.

=================== ============ ============================================
dimension           base unit    units
=================== ============ ============================================
flow                m3/d         m3/d, m3/h, m3/s, L/s, L/d, L/h, ML/d;
                                 ft3/s, gal/min, Mgal/d (US gallons)
mass concentration  g/m3         g/m3 = mg/L, kg/m3 = g/L, ug/L = mg/m3;
                                 with a species: g COD/m3, mg N/L, ...
amount              mol/m3       mol/m3 = mmol/L, mol/L
concentration
rate of depth       m/d          m/d, mm/d, mm/h, mm/min, m/s, in/h, ft/s
(rain intensity,
velocity)
depth, level        m            m, cm, mm, ft, in
time                d            d, h, min, s
area                m2           m2, ha, km2
volume              m3           m3, L, ML, ft3
load                g/d          g/d, kg/d, kg/h, g/h, kg/s
mass                g            g, kg, mg, t
dimensionless       \\-           \\-, 1, %
=================== ============ ============================================

A mass concentration may name what is measured, as the layouts' units do
("g COD/m3", "g N/m3", "g TSS/m3"): the species stays what it is (g N/m3 to
mg N/L), a unit without a species (mg/L) is compatible with any, and two
different species are not (g N/m3 to g P/m3 is an error).

Rain given as a depth per interval (mm in each time step) converts to a rate
by its interval: ``convert(depth, "mm", "m/d", interval=dt)`` with ``dt`` in
days, and back.

When `pint` is installed, :func:`quantity` gives values as a pint Quantity
for further work; the table above does every conversion tarnlet makes, with
or without pint.

Examples
--------
>>> from tarnlet.units import convert
>>> float(convert(86.4, "m3/d", "L/s"))
1.0
>>> float(convert(2.0, "mol/m3", "g C/m3"))   # alkalinity as carbon
24.022
>>> float(convert(16.0, "g N/m3", "mg N/L"))
16.0
"""
from __future__ import annotations

import difflib
import re
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["UNITS", "EQUIVALENT_MASS", "UnitError", "Unit", "parse", "convert", "factor", "compatible",
           "dimension", "quantity"]


class UnitError(ValueError):
    """An unknown unit, or a conversion between units of different dimensions."""


# dimension -> {unit: factor to the base unit (the first one)}
UNITS: dict[str, dict[str, float]] = {
    "flow": {"m3/d": 1.0, "m3/h": 24.0, "m3/s": 86400.0, "L/s": 86.4, "L/d": 1e-3, "L/h": 24e-3,
             "ML/d": 1e3, "ft3/s": 0.028316846592 * 86400.0, "gal/min": 0.003785411784 * 1440.0,
             "Mgal/d": 3785.411784},
    "mass concentration": {"g/m3": 1.0, "mg/L": 1.0, "kg/m3": 1e3, "g/L": 1e3, "ug/L": 1e-3, "mg/m3": 1e-3},
    "amount concentration": {"mol/m3": 1.0, "mmol/L": 1.0, "mol/L": 1e3},
    "rate of depth": {"m/d": 1.0, "mm/d": 1e-3, "mm/h": 24e-3, "mm/min": 1.44, "m/s": 86400.0, "in/h": 0.6096,
                      "ft/s": 0.3048 * 86400.0},
    "depth": {"m": 1.0, "cm": 1e-2, "mm": 1e-3, "ft": 0.3048, "in": 0.0254},
    "time": {"d": 1.0, "h": 1.0 / 24.0, "min": 1.0 / 1440.0, "s": 1.0 / 86400.0},
    "area": {"m2": 1.0, "ha": 1e4, "km2": 1e6},
    "volume": {"m3": 1.0, "L": 1e-3, "ML": 1e3, "ft3": 0.028316846592},
    "load": {"g/d": 1.0, "kg/d": 1e3, "g/h": 24.0, "kg/h": 24e3, "kg/s": 86400e3},
    "mass": {"g": 1.0, "kg": 1e3, "mg": 1e-3, "t": 1e6},
    "dimensionless": {"-": 1.0, "1": 1.0, "%": 1e-2},
}

# Mass of the species per mole of alkalinity (bicarbonate, one equivalent per
# mole): the bridge between "mol/m3" and "g C/m3" or "g CaCO3/m3".
EQUIVALENT_MASS: dict[str, float] = {
    "C": 12.011,  # g C per mol HCO3-
    "CaCO3": 50.0435,  # g CaCO3 per equivalent (100.087 g/mol, two equivalents)
}

# Other spellings, read as the unit they stand for.
_ALIASES = {"m³/d": "m3/d", "m^3/d": "m3/d", "m3/day": "m3/d", "m3 d-1": "m3/d", "m³/h": "m3/h",
            "m^3/h": "m3/h", "m³/s": "m3/s", "m^3/s": "m3/s", "l/s": "L/s", "l/d": "L/d", "l/h": "L/h",
            "g/m³": "g/m3", "g/m^3": "g/m3", "mg/l": "mg/L", "g/l": "g/L", "kg/m³": "kg/m3", "µg/L": "ug/L",
            "ug/l": "ug/L", "mmol/l": "mmol/L", "mol/l": "mol/L", "mol/m³": "mol/m3", "m²": "m2", "m^2": "m2",
            "km²": "km2", "m³": "m3", "l": "L", "day": "d", "days": "d", "hour": "h", "minute": "min",
            "mm/hr": "mm/h", "mm h-1": "mm/h", "": "-", "cfs": "ft3/s", "CFS": "ft3/s",
            "gpm": "gal/min", "GPM": "gal/min", "MGD": "Mgal/d", "CMS": "m3/s", "LPS": "L/s", "MLD": "ML/d",
            "in/hr": "in/h"}
_BY_UNIT = {unit: (dim, f) for dim, units in UNITS.items() for unit, f in units.items()}
# "g COD/m3", "mg N/L", "g TSS/m3", "mol HCO3/m3": a mass (or amount) with what it measures.
_SPECIES = re.compile(r"^\s*(ug|mg|g|kg|mmol|mol)\s+([A-Za-z][A-Za-z0-9_+-]*)\s*/\s*(m3|m³|L|l)\s*$")
_AMOUNT_SPECIES = {"HCO3", "HCO3-", "eq", "alk"}  # amounts of alkalinity: "mol HCO3/m3"


@dataclass(frozen=True)
class Unit:
    """A parsed unit: its dimension, its factor to the base unit and, for a
    mass concentration, the species it measures (None: any)."""

    text: str
    dimension: str
    factor: float
    species: str | None = None

    def __str__(self) -> str:
        return self.text


def parse(unit: str, argument: str = "unit") -> Unit:
    """The :class:`Unit` a unit string stands for.

    Parameters
    ----------
    unit : str
        A unit of :data:`UNITS`, one of its other spellings ("m³/d", "l/s"),
        or a mass concentration with a species ("g COD/m3", "mg N/L").
    argument : str
        The argument's name, for the message of an error.

    Raises
    ------
    UnitError
        For a unit that is not in the table (the message lists close ones).

    Examples
    --------
    >>> parse("mg N/L")
    Unit(text='mg N/L', dimension='mass concentration', factor=1.0, species='N')
    """
    if not isinstance(unit, str):
        raise UnitError(f"{argument} must be a unit string, not {type(unit).__name__}")
    text = unit.strip()
    key = _ALIASES.get(text, text)
    if key in _BY_UNIT:
        dim, f = _BY_UNIT[key]
        return Unit(text, dim, f)
    match = _SPECIES.match(text)
    if match:
        prefix, species, volume = match.groups()
        base = f"{prefix}/{'m3' if volume in ('m3', 'm³') else 'L'}"
        if prefix.endswith("mol"):
            if species not in _AMOUNT_SPECIES:
                raise UnitError(f"{argument}: {unit!r}: an amount concentration measures alkalinity "
                                f"(mol HCO3/m3), not {species!r}")
            return Unit(text, "amount concentration", _BY_UNIT[base][1])
        return Unit(text, "mass concentration", _BY_UNIT[base][1], species)
    known = sorted(_BY_UNIT)
    close = difflib.get_close_matches(key, known, n=3, cutoff=0.5)
    hint = f"; did you mean {' or '.join(map(repr, close))}?" if close else ""
    raise UnitError(f"{argument}: unknown unit {unit!r}{hint} (known: {', '.join(known)}, and mass "
                    "concentrations with a species such as 'g COD/m3')")


def dimension(unit: str) -> str:
    """The dimension of a unit ("flow", "mass concentration", ...).

    Examples
    --------
    >>> dimension("L/s")
    'flow'
    """
    return parse(unit).dimension


def _bridge(a: Unit, b: Unit) -> float | None:
    """Alkalinity: mol/m3 to g C/m3 (or g CaCO3/m3): the species' equivalent mass, or None."""
    if a.dimension == "amount concentration" and b.dimension == "mass concentration":
        return EQUIVALENT_MASS.get(b.species or "")
    return None


def factor(from_unit: str, to_unit: str) -> tuple[float, float]:
    """The two factors of a conversion: values in `to_unit` are values in
    `from_unit` times the first, divided by the second.

    Raises
    ------
    UnitError
        For an unknown unit or units of different dimensions.

    Examples
    --------
    >>> factor("m3/h", "L/s")
    (24.0, 86.4)
    """
    a, b = parse(from_unit, "from_unit"), parse(to_unit, "to_unit")
    if a.dimension == b.dimension:
        if a.species and b.species and a.species != b.species:
            raise UnitError(f"cannot convert {from_unit!r} to {to_unit!r}: they measure different species "
                            f"({a.species} and {b.species})")
        return a.factor, b.factor
    bridge = _bridge(a, b)
    if bridge is not None:
        return a.factor * bridge, b.factor
    bridge = _bridge(b, a)
    if bridge is not None:
        return a.factor, b.factor * bridge
    hint = ""
    if {a.dimension, b.dimension} == {"amount concentration", "mass concentration"}:
        hint = (f"; alkalinity converts between mol/m3 and a mass of {' or '.join(EQUIVALENT_MASS)} "
                "(e.g. 'g C/m3')")
    elif {a.dimension, b.dimension} == {"depth", "rate of depth"}:
        hint = "; a depth per interval converts to a rate with interval= (days)"
    raise UnitError(f"cannot convert {from_unit!r} ({a.dimension}) to {to_unit!r} ({b.dimension}){hint}")


def compatible(from_unit: str, to_unit: str) -> bool:
    """Whether :func:`convert` converts between the two units (without an interval)."""
    try:
        factor(from_unit, to_unit)
    except UnitError:
        return False
    return True


def convert(values: ArrayLike, from_unit: str, to_unit: str, *, interval: float | None = None) -> NDArray[np.float64]:
    """Values in `from_unit` as values in `to_unit`.

    Parameters
    ----------
    values : array_like
        Numbers in `from_unit` (never changed: the result is a new array).
    from_unit, to_unit : str
        Units of :data:`UNITS` (see :func:`parse`).
    interval : float, optional
        For a depth per interval (mm, m) to a rate of depth (mm/h, m/d) or
        back: the length of the interval in days.

    Returns
    -------
    numpy.ndarray
        float64, of the shape of `values`: ``values * f_from / f_to``, a
        factor of 1 skipped (so mol/m3 to g C/m3 is ``values * 12.011`` and
        back ``values / 12.011``).

    Raises
    ------
    UnitError
        For an unknown unit, units of different dimensions, or a depth and a
        rate without a positive interval.

    Examples
    --------
    >>> convert([1.0, 2.0], "m3/h", "m3/d")
    array([24., 48.])
    >>> convert(2.0, "mm", "mm/h", interval=1 / 1440)  # 2 mm in one minute
    array(120.)
    """
    x = np.array(values, dtype=np.float64)
    if interval is not None:
        a, b = parse(from_unit, "from_unit"), parse(to_unit, "to_unit")
        if not (isinstance(interval, (int, float, np.floating, np.integer)) and np.isfinite(interval)
                and interval > 0):
            raise UnitError(f"interval must be a positive number of days, not {interval!r}")
        interval = float(interval)
        if (a.dimension, b.dimension) == ("depth", "rate of depth"):
            x *= a.factor
            x /= interval
            x /= b.factor
            return x
        if (a.dimension, b.dimension) == ("rate of depth", "depth"):
            x *= a.factor
            x *= interval
            x /= b.factor
            return x
        raise UnitError(f"interval= converts a depth per interval to a rate of depth or back, not "
                        f"{from_unit!r} ({a.dimension}) to {to_unit!r} ({b.dimension})")
    f_from, f_to = factor(from_unit, to_unit)
    if f_from != 1.0:
        x *= f_from
    if f_to != 1.0:
        x /= f_to
    return x


# Our spellings as pint reads them (where pint's differ).
_PINT = {"-": "dimensionless", "1": "dimensionless", "%": "percent", "m3": "m**3", "m2": "m**2", "km2": "km**2",
         "t": "tonne", "ML": "megaliter", "ha": "hectare", "ug": "microgram", "h": "hour", "d": "day",
         "min": "minute", "s": "second", "L": "liter", "ft3": "ft**3", "gal": "gallon", "Mgal": "megagallon",
         "in": "inch"}


def _pint_text(unit: Unit) -> str:
    text = _ALIASES.get(unit.text.strip(), unit.text.strip())
    if unit.species:
        text = text.replace(f" {unit.species}", "")
    text = re.sub(r"mol\s+\S+/", "mol/", text)
    parts = re.split(r"([/*])", text)
    return "".join(_PINT.get(p, p) for p in parts)


def quantity(values: ArrayLike, unit: str) -> Any:
    """Values with their unit as a pint Quantity (needs pint).

    A species ("g COD/m3") is dropped: pint knows only the unit.

    Raises
    ------
    ImportError
        Without pint: ``pip install pint``.

    Examples
    --------
    >>> q = quantity([1.0], "L/s")  # doctest: +SKIP
    >>> q.to("m**3/day")            # doctest: +SKIP
    <Quantity([86.4], 'meter ** 3 / day')>
    """
    try:
        import pint
    except ImportError:
        raise ImportError("tarnlet.units.quantity needs pint: pip install pint") from None
    global _REGISTRY
    if _REGISTRY is None:
        _REGISTRY = pint.UnitRegistry()
    return _REGISTRY.Quantity(np.array(values, dtype=np.float64), _pint_text(parse(unit)))


_REGISTRY: Any = None
