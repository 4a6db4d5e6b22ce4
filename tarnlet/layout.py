"""Names, units and meanings of every entry of every vector the blocks take and return.

The compiled blocks work on plain float64 vectors; this module says what each
index holds, so that a simulation can name what it means instead of using
magic numbers::

    from tarnlet.layout import SEWER, SEDLIFT, LOAMTANK, FRACTIONATION, STREAM

    SEWER.u.Q              # 19: the index of the flow in a sewer input
    SEWER.y.h              # 26: the water level in a sewer output
    SEWER.u.unit("Q")      # 'm3/d'
    u = SEWER.u.vector(S_NH4=16.0, X_S=125.0, Q=4000.0)  # float64, other entries 0.0
    SEWER.y.table(outputs) # a pandas DataFrame with named columns, units in attrs
    y[STREAM.Q]            # the flow of a combiner stream

Blocks: ``SEWER`` (vectors ``x``, ``u``, ``y``, ``pars``, ``spar``), ``SEDLIFT``
(``x``, ``u``, ``y``, ``sspars``), ``LOAMTANK`` (``x``, ``u``, ``y``, ``par``),
``FRACTIONATION`` (``u``, ``y``, ``pars``, ``fractions``, ``bg_values``) and
``COMBINER`` (``stream_a``, ``stream_b``, ``y``, each the 56-entry ``STREAM``).
``BLOCKS`` lists the five blocks and ``block(name)`` finds one;
``block.vectors`` maps each argument name to its layout and
``block.describe()`` gives them all as text. The
derivatives of a state-space block have the layout of its state ``x``, per day.

Units follow the convention of the worked example (the blocks themselves fix
none; any consistent set works): time in days, flows in m3/d, concentrations
in g/m3 (alkalinity in mol/m3), stored amounts in g (alkalinity in mol),
levels in m, areas in m2.

Each vector is a :class:`Layout`:

- ``layout.NAME`` and ``layout.index(NAME)``: the index of an entry;
- ``layout.names``: the names in index order; ``len(layout)``;
- iteration yields :class:`Entry` records (``index``, ``name``, ``unit``,
  ``meaning``, ``read``), and ``layout[NAME or index]`` one of them;
- ``layout.rows()``: ``(index, name, unit, meaning)`` tuples, ready for a
  table; ``layout.describe()``: the same as plain text;
- ``layout.read``: the indices the block reads (parameter vectors whose
  other entries have no effect say so here and in the meaning);
- ``layout.unit(NAME)``, ``layout.meaning(NAME)``;
- ``layout.vector(**values)``: a new float64 vector, named entries set, the
  others 0.0;
- ``layout.table(values, index=None)``: a 1-D vector or a 2-D array (one row
  per step) with named columns.

An unknown name raises an error that lists the closest known names.
"""
from __future__ import annotations

import difflib
import numbers
import operator
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass, fields
from typing import TYPE_CHECKING, SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

from tarnlet.results import pandas_module

if TYPE_CHECKING:
    import pandas

__all__ = ["Entry", "Layout", "UnknownNameError", "Block", "SEWER", "SEDLIFT", "LOAMTANK", "FRACTIONATION",
           "COMBINER", "STREAM", "BLOCKS", "block"]

# One entry as written below: name, unit, meaning and, for entries the block never reads, False.
_Row = tuple[str, str, str] | tuple[str, str, str, bool]


def _is_number(value: object) -> bool:
    """A real number (a NumPy scalar or 0-d array of one included), not a bool."""
    if isinstance(value, np.ndarray) and value.ndim == 0:
        value = value[()]
    return isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_))


@dataclass(frozen=True)
class Entry:
    """One index of a vector."""

    index: int
    name: str
    unit: str
    meaning: str
    read: bool = True  # False: the block never reads this entry


class UnknownNameError(KeyError):
    """A name that is not an entry of the layout (the message lists close names)."""

    def __str__(self) -> str:
        return str(self.args[0])


class Layout:
    """The named entries of one vector, in index order."""

    __slots__ = ("title", "_entries", "_index", "_names")

    def __init__(self, title: str, entries: Sequence[_Row]) -> None:
        self.title = title
        self._entries = tuple(Entry(i, *entry) for i, entry in enumerate(entries))
        self._index = {e.name: e.index for e in self._entries}
        self._names = tuple(e.name for e in self._entries)
        if len(self._index) != len(self._entries):
            raise ValueError(f"{title}: repeated names")
        clashes = set(self._index) & set(dir(type(self)))
        if clashes:
            raise ValueError(f"{title}: names hide methods: {sorted(clashes)}")

    # --- lookup
    @property
    def names(self) -> tuple[str, ...]:
        """The names in index order."""
        return self._names

    @property
    def read(self) -> tuple[int, ...]:
        """The indices the block reads."""
        return tuple(e.index for e in self._entries if e.read)

    def index(self, name: str) -> int:
        """The index of the entry called `name`."""
        if not isinstance(name, str):
            raise TypeError(f"{self.title}.index() takes an entry name (a str), not {type(name).__name__} "
                            f"{name!r}; {self.title}[i].name is the name of index i")
        try:
            return self._index[name]
        except KeyError:
            raise UnknownNameError(self._unknown(name)) from None

    def __getattr__(self, name: str) -> int:
        if name.startswith("_"):  # private and special names are never entries
            raise AttributeError(name)
        try:
            return self._index[name]
        except KeyError:
            raise AttributeError(self._unknown(name)) from None

    def __dir__(self) -> list[str]:
        return sorted({*super().__dir__(), *self._index})

    def __getitem__(self, key: SupportsIndex | str) -> Entry:
        if isinstance(key, str):
            return self._entries[self.index(key)]
        if isinstance(key, (bool, np.bool_)):
            raise TypeError(f"{self.title}[...] takes an entry name or an index, not a boolean")
        try:
            i = operator.index(key)
        except TypeError:
            raise TypeError(f"{self.title}[...] takes an entry name or an index, not "
                            f"{type(key).__name__}") from None
        if not -len(self._entries) <= i < len(self._entries):
            raise IndexError(f"{self.title} has {len(self)} entries: index {i} is out of range")
        return self._entries[i]

    def __contains__(self, name: object) -> bool:
        return name in self._index

    def __len__(self) -> int:
        return len(self._entries)

    def __iter__(self) -> Iterator[Entry]:
        return iter(self._entries)

    def __repr__(self) -> str:
        return f"<Layout {self.title}: {len(self)} entries>"

    def unit(self, name: SupportsIndex | str) -> str:
        """The unit of an entry (by name or index)."""
        return self[name].unit

    def meaning(self, name: SupportsIndex | str) -> str:
        """The one-line meaning of an entry (by name or index)."""
        return self[name].meaning

    # --- documentation
    def rows(self) -> list[tuple[int, str, str, str]]:
        """(index, name, unit, meaning) of every entry, in index order."""
        return [(e.index, e.name, e.unit, e.meaning) for e in self._entries]

    def describe(self) -> str:
        """The entries as a plain-text table."""
        width = max(len(e.name) for e in self._entries)
        unit_width = max(len(e.unit) for e in self._entries)
        lines = [f"{self.title} ({len(self)} {'entry' if len(self) == 1 else 'entries'})"]
        lines += [f"{i:4d}  {name:<{width}}  {unit:<{unit_width}}  {meaning}"
                  for i, name, unit, meaning in self.rows()]
        return "\n".join(lines)

    # --- values
    def vector(self, **values: float) -> NDArray[np.float64]:
        """A new float64 vector of this layout: the named entries set, the others 0.0."""
        out = np.zeros(len(self), dtype=np.float64)
        for name, value in values.items():
            if name not in self._index:
                raise TypeError(f"{self.title}.vector() got an unknown name: {self._unknown(name)}")
            if not _is_number(value):
                raise TypeError(f"{self.title}.vector(): {name} must be a real number, not "
                                f"{type(value).__name__} {value!r}")
            out[self._index[name]] = value
        return out

    def table(self, values: ArrayLike, index: ArrayLike | None = None) -> pandas.DataFrame:
        """Named columns of a vector (one row) or of a 2-D array (one row per step).

        Parameters
        ----------
        values : array_like
            A vector of this layout, or an array of shape ``(steps, len(self))``.
        index : array_like, optional
            Labels of the rows, such as the times.

        Returns
        -------
        pandas.DataFrame
            One column per entry, named; the units in ``attrs["units"]``.

        Raises
        ------
        ValueError
            When the values do not have this layout's length.
        ImportError
            Without pandas (``pip install 'tarnlet[tables]'``).

        Examples
        --------
        >>> from tarnlet.layout import LOAMTANK
        >>> LOAMTANK.y.table([[10.0, 0.0, 5.0, 0.02]])
           Q_drain  Q_excess  Q_lin     h
        0     10.0       0.0    5.0  0.02
        """
        array = np.asarray(values, dtype=np.float64)
        if array.ndim == 1:
            array = array[np.newaxis, :]
        if array.ndim != 2 or array.shape[1] != len(self):
            hint = " (select one storage of a chain run first, e.g. outputs[:, j])" if array.ndim == 3 else ""
            raise ValueError(f"{self.title}.table() takes a vector of {len(self)} entries or an array of "
                             f"shape (steps, {len(self)}); got shape {np.shape(values)}{hint}")
        pd = pandas_module(f"{self.title}.table()")
        frame = pd.DataFrame(array, columns=list(self.names), index=index, copy=True)
        frame.attrs["units"] = {e.name: e.unit for e in self._entries}
        return frame

    def _unknown(self, name: str) -> str:
        close = difflib.get_close_matches(name, self.names, n=3, cutoff=0.5)
        lowered = [n for n in self.names if n.lower() == name.lower() and n not in close]
        if lowered or close:
            return f"{self.title} has no entry named {name!r}; did you mean {' or '.join(map(repr, lowered + close))}?"
        return f"{self.title} has no entry named {name!r}; its entries are {', '.join(self.names)}"


@dataclass(frozen=True)
class Block:
    """The vectors of one block, by argument name."""

    module: str  # the dotted name of the block's module
    summary: str  # what it is, in a few words ("one sewer storage")
    # Values of a small example, by vector and entry (the docstrings' examples run them).
    example: Mapping[str, Mapping[str, float]]

    @property
    def name(self) -> str:
        """The block's name, as its module and run function have it (``"sewer"``)."""
        return self.module.rsplit(".", 1)[1]

    @property
    def vectors(self) -> Mapping[str, Layout]:
        """Every vector of the block, by the name of its argument (x, u, y and the parameters)."""
        return {f.name: getattr(self, f.name) for f in fields(self)
                if isinstance(getattr(self, f.name), Layout)}

    def example_vector(self, name: str) -> NDArray[np.float64]:
        """The vector `name` of the block's example (its other entries 0.0).

        The examples are one operating point of each block, the one the
        docs' examples run on.

        Examples
        --------
        >>> from tarnlet.layout import COMBINER, SEWER
        >>> SEWER.example["u"], SEWER.example["spar"]
        ({'S_NH4': 16.0, 'X_S': 125.0, 'Q': 4000.0}, {'A': 300.0, 'K': 11000.0, 'h0': 0.1})
        >>> a, b = COMBINER.example_vector("stream_a"), COMBINER.example_vector("stream_b")
        >>> a[[0, COMBINER.stream_a.Q]], b[[0, COMBINER.stream_b.Q]]
        (array([  10., 4000.]), array([  30., 1000.]))
        """
        return self.vectors[name].vector(**self.example.get(name, {}))

    def describe(self) -> str:
        """Every vector of the block as plain-text tables."""
        return f"{self.module}\n\n" + "\n\n".join(v.describe() for v in self.vectors.values())


# ---------------------------------------------------------------- sewer
_ASM2D = [  # name, unit of concentration, unit of amount, meaning
    ("S_O2", "g O2/m3", "g O2", "dissolved oxygen"),
    ("S_F", "g COD/m3", "g COD", "fermentable, readily biodegradable organic substrates"),
    ("S_A", "g COD/m3", "g COD", "fermentation products (acetate)"),
    ("S_NH4", "g N/m3", "g N", "ammonium plus ammonia nitrogen"),
    ("S_NO3", "g N/m3", "g N", "nitrate plus nitrite nitrogen"),
    ("S_PO4", "g P/m3", "g P", "inorganic soluble phosphorus"),
    ("S_I", "g COD/m3", "g COD", "inert soluble organic material"),
    ("S_ALK", "mol/m3", "mol", "alkalinity (bicarbonate)"),
    ("S_N2", "g N/m3", "g N", "dinitrogen"),
    ("X_I", "g COD/m3", "g COD", "inert particulate organic material"),
    ("X_S", "g COD/m3", "g COD", "slowly biodegradable substrates"),
    ("X_H", "g COD/m3", "g COD", "heterotrophic organisms"),
    ("X_PAO", "g COD/m3", "g COD", "phosphate-accumulating organisms"),
    ("X_PP", "g P/m3", "g P", "stored poly-phosphate"),
    ("X_PHA", "g COD/m3", "g COD", "cell-internal storage products of the PAOs"),
    ("X_AUT", "g COD/m3", "g COD", "nitrifying organisms"),
    ("X_MeOH", "g TSS/m3", "g TSS", "metal hydroxides"),
    ("X_MeP", "g TSS/m3", "g TSS", "metal phosphates"),
]
_EXTRA = [(f"extra_{k}", "g/m3", "g", f"further component {k} (transported like the others, not in TSS)")
          for k in range(1, 6)]


def _sewer_stream(title: str, inflow: bool) -> Layout:
    concentration = "inflow" if inflow else "outflow"
    rows: list[_Row] = [
        (name, unit, f"{meaning}, {concentration} concentration") for name, unit, _, meaning in _ASM2D]
    if inflow:
        rows += [("TSS", "g TSS/m3", "total suspended solids (not read: the storage computes its own)", False),
                 ("Q", "m3/d", "inflow"),
                 ("passthrough", "as given", "a value passed to y unchanged (the worked example: temperature, C)")]
    else:
        rows += [("TSS", "g TSS/m3", "total suspended solids of the outflow, weighted by pars[19:25]"),
                 ("Q", "m3/d", "outflow over the weir, K*(h - h0)**1.5"),
                 ("passthrough", "as given", "u's pass-through value, copied bit for bit")]
    rows += [(name, unit, f"{meaning}, {concentration} concentration") for name, unit, _, meaning in _EXTRA]
    rows.append(("h", "m", "not read (the upstream storage's level when chained)", False) if inflow
                else ("h", "m", "water level, limited below by h0"))
    return Layout(title, rows)


@dataclass(frozen=True)
class SewerBlock(Block):
    chain_summary: str  # a chain of them, in a few words
    x: Layout
    u: Layout
    y: Layout
    pars: Layout
    spar: Layout


_TSS_FACTORS = [
    ("i_TSS_XI", "g TSS/g COD", "suspended solids per unit of X_I"),
    ("i_TSS_XS", "g TSS/g COD", "suspended solids per unit of X_S"),
    ("i_TSS_BM", "g TSS/g COD", "suspended solids per unit of biomass X_H, X_PAO and X_AUT"),
    ("i_TSS_XPP", "g TSS/g P", "suspended solids per unit of X_PP"),
    ("i_TSS_XPHA", "g TSS/g COD", "suspended solids per unit of X_PHA"),
    ("i_TSS_XMe", "g TSS/g TSS", "suspended solids per unit of X_MeOH and X_MeP"),
]

SEWER = SewerBlock(
    module="tarnlet.brookvane.sewer",
    summary="one sewer storage",
    example={"u": {"S_NH4": 16.0, "X_S": 125.0, "Q": 4000.0}, "x": {"h": 0.3},
             "pars": {"i_TSS_XI": 0.75, "i_TSS_XS": 0.75, "i_TSS_BM": 0.9},
             "spar": {"A": 300.0, "K": 11000.0, "h0": 0.1}},
    chain_summary="a chain of n sewer storages in series",
    x=Layout("SEWER.x", [(name, unit, f"stored amount of {name}: {meaning}")
                         for name, _, unit, meaning in _ASM2D + _EXTRA]
             + [("h", "m", "water level (may lie below h0 while the storage fills)")]),
    u=_sewer_stream("SEWER.u", inflow=True),
    y=_sewer_stream("SEWER.y", inflow=False),
    pars=Layout("SEWER.pars", [*((f"p_{i}", "-", "not read by the sewer", False) for i in range(19)),
                               *_TSS_FACTORS]),
    spar=Layout("SEWER.spar", [
        ("A", "m2", "plan area of the storage: volume = A*h"),
        ("K", "m3/d/m^1.5", "weir outflow coefficient: Q = K*(h - h0)**1.5"),
        ("h0", "m", "threshold level: outflow only above it; volume never below A*h0"),
    ]),
)

# ---------------------------------------------------------------- first flush


@dataclass(frozen=True)
class SedliftBlock(Block):
    x: Layout
    u: Layout
    y: Layout
    sspars: Layout


_FLUSH = range(1, 7)
SEDLIFT = SedliftBlock(
    module="tarnlet.fenmoor.sedlift",
    summary="the first-flush block",
    example={"u": {"Q": 4000.0, "C_1": 130.0, "C_2": 25.0, "C_3": 125.0}, "x": {"M_1": 1e5},
             "sspars": {"capacity": 400e3, "Q_half": 10000.0, "n": 6.0, "k_wash": 20.0}},
    x=Layout("SEDLIFT.x", [(f"M_{k}", "g", f"stored amount of component {k}"
                            + (" (fills the store up to the capacity)" if k == 1 else ""))
                           for k in _FLUSH]),
    u=Layout("SEDLIFT.u", [("Q", "m3/d", "flow through the block")]
             + [(f"C_{k}", "g/m3", f"inflow concentration of component {k}") for k in _FLUSH]),
    y=Layout("SEDLIFT.y", [("Q", "m3/d", "flow, u's flow unchanged")]
             + [(f"C_{k}", "g/m3", f"outflow concentration of component {k}: pass-through plus wash-off")
                for k in _FLUSH]
             + [("M_1", "g", "stored amount of component 1, at least 0")]
             + [(f"M_{k}", "kg", f"stored amount of component {k}, at least 0, divided by 1000")
                for k in range(2, 7)]),
    sspars=Layout("SEDLIFT.sspars", [
        ("capacity", "g", "stored amount of component 1 at which the store is full (<= 1e-12: no limit)"),
        ("Q_half", "m3/d", "flow at which the wash-off factor is 1/2"),
        ("n", "-", "exponent of the wash-off factor Q**n/(Q_half**n + Q**n)"),
        ("k_wash", "1/d", "wash-off rate constant"),
    ]),
)

# ---------------------------------------------------------------- soil reservoir


@dataclass(frozen=True)
class LoamtankBlock(Block):
    x: Layout
    u: Layout
    y: Layout
    par: Layout


LOAMTANK = LoamtankBlock(
    module="tarnlet.brookvane.loamtank",
    summary="the soil reservoir",
    example={"u": {"Q_primary": 2e4, "Q_secondary": 500.0}, "x": {"h": 0.03},
             "par": {"h_max": 0.1, "h_drain": 0.02, "A": 1.2e5, "q_cap": 0.12, "k_drain": 15000.0,
                     "k_lin": 5000.0}},
    x=Layout("LOAMTANK.x", [("h", "m", "storage level (stored water depth)")]),
    u=Layout("LOAMTANK.u", [
        ("Q_primary", "m3/d", "primary inflow (e.g. rain on the area): accepted up to A*q_cap"),
        ("Q_secondary", "m3/d", "secondary inflow (e.g. recharge): accepted only while h < h_max"),
    ]),
    y=Layout("LOAMTANK.y", [
        ("Q_drain", "m3/d", "drainage flow, k_drain*sqrt(h - h_drain) above h_drain"),
        ("Q_excess", "m3/d", "excess flow: the primary inflow above the capacity A*q_cap"),
        ("Q_lin", "m3/d", "linear outflow, k_lin*h"),
        ("h", "m", "storage level, the state unchanged"),
    ]),
    par=Layout("LOAMTANK.par", [
        ("h_max", "m", "upper level: the secondary inflow is refused at and above it"),
        ("h_drain", "m", "drainage threshold level"),
        ("A", "m2", "area: the level changes at net flow / A"),
        ("q_cap", "m/d", "capacity for the primary inflow per unit of area"),
        ("k_drain", "m3/d/m^0.5", "drainage coefficient"),
        ("k_lin", "m2/d", "linear outflow coefficient"),
    ]),
)

# ---------------------------------------------------------------- fractionation
# Where the background values go: entry j of bg_values to output BG_OUTPUTS[j].
BG_OUTPUTS: tuple[int, ...] = (0, 5, 6, 7, 8, 10, 12, *range(16, 36), *range(37, 54))
_COMPUTED = {
    1: ("L0_share_1", "share fractions[f0_share_1] of the kind-0 load left after the reserve"),
    2: ("L0_share_2", "share fractions[f0_share_2] of the kind-0 load left after the reserve"),
    3: ("L0_reserve", "kind-0 load reserved for the flow above Q_ref (all of it when the load is smaller)"),
    4: ("L2_share", "share fractions[f2] of the kind-2 load"),
    9: ("L3_share", "share fractions[f3] of the kind-3 load"),
    11: ("L4_share", "share fractions[f4] of the kind-4 load"),
    13: ("L1_share_1", "share fractions[f1_share_1] of the kind-1 load"),
    14: ("L1_share_2", "share fractions[f1_share_2] of the kind-1 load"),
    15: ("L1_share_3", "share fractions[f1_share_3] of the kind-1 load"),
}


def _fractionation_output(i: int) -> tuple[str, str, str]:
    if i in _COMPUTED:
        name, meaning = _COMPUTED[i]
        return name, "g/m3", meaning + ", divided by the flow"
    if i == 36:
        return ("TSS", "g TSS/m3", "suspended-solids total: weighted sum of outputs 13-20, 27-35, 40-45, "
                "47-53 (see pars), at least 0")
    j = BG_OUTPUTS.index(i)
    return f"bg_{j}", "as given", f"bg_values[{j}], copied"


def _fractionation_pars() -> list[_Row]:
    read = {
        28: ("i_TSS_13", "g TSS/g", "TSS per unit of output 13 (L1_share_1)"),
        29: ("i_TSS_14", "g TSS/g", "TSS per unit of output 14 (L1_share_2)"),
        30: ("i_TSS_15", "g TSS/g", "TSS per unit of the sum of outputs 15, 16, 19, 20, 28 and 50"),
        154: ("d_TSS_18", "g/g TSS", "divisor of output 18 in the TSS sum (<= 1e-12: the term is left out)"),
        155: ("i_TSS_17", "g TSS/g", "TSS per unit of output 17"),
    }
    return [read.get(i, (f"p_{i}", "-", "not read by the fractionation", False)) for i in range(156)]


@dataclass(frozen=True)
class FractionationBlock(Block):
    u: Layout
    y: Layout
    pars: Layout
    fractions: Layout
    bg_values: Layout

    @property
    def bg_outputs(self) -> tuple[int, ...]:
        """The output index of each of the 44 background values."""
        return BG_OUTPUTS


FRACTIONATION = FractionationBlock(
    module="tarnlet.sallowby.fractionation",
    summary="the influent fractionation",
    example={"u": {"L0_1": 2e5, "L1_1": 5e5, "L2_1": 6.4e4, "Q_ref": 4000.0, "Q": 4000.0},
             "pars": {"i_TSS_13": 0.75, "i_TSS_14": 0.75, "i_TSS_15": 0.9},
             "fractions": {"f0_share_1": 0.6, "f0_share_2": 0.4, "f2": 1.0, "f1_share_1": 1.0}},
    u=Layout("FRACTIONATION.u",
             [(f"L{k}_1", "g/d", f"load of kind {k}, first contribution") for k in range(5)]
             + [(f"L{k}_2", "g/d", f"load of kind {k}, second contribution") for k in range(5)]
             + [("Q_ref", "m3/d", "reference flow: the flow above it receives the kind-0 reserve"),
                ("Q", "m3/d", "total flow: the divisor of every load (at least 1e-12)")]),
    y=Layout("FRACTIONATION.y", [_fractionation_output(i) for i in range(54)]),
    pars=Layout("FRACTIONATION.pars", _fractionation_pars()),
    fractions=Layout("FRACTIONATION.fractions", [
        ("f0_share_1", "-", "share of the kind-0 load left after the reserve that goes to output 1"),
        ("f0_share_2", "-", "share of the kind-0 load left after the reserve that goes to output 2"),
        ("c0_reserve", "g/m3", "concentration applied to the flow above Q_ref: the kind-0 reserve (output 3)"),
        ("f2", "-", "share of the kind-2 load that goes to output 4"),
        ("f3", "-", "share of the kind-3 load that goes to output 9"),
        ("f4", "-", "share of the kind-4 load that goes to output 11"),
        ("f1_share_1", "-", "share of the kind-1 load that goes to output 13"),
        ("f1_share_2", "-", "share of the kind-1 load that goes to output 14"),
        ("f1_share_3", "-", "share of the kind-1 load that goes to output 15"),
    ]),
    bg_values=Layout("FRACTIONATION.bg_values",
                     [(f"bg_{j}", "as given", f"copied to output {out}") for j, out in enumerate(BG_OUTPUTS)]),
)

# ---------------------------------------------------------------- combiner stream
STREAM = Layout("STREAM", [
    ("Q", "m3/d", "flow: the mixed stream carries the sum") if i == 37
    else (f"c_{i}", "as given", "mixed by flow weighting (a concentration or the like)")
    for i in range(56)
])



@dataclass(frozen=True)
class CombinerBlock(Block):
    stream_a: Layout
    stream_b: Layout
    y: Layout


COMBINER = CombinerBlock(module="tarnlet.sallowby.combiner", summary="the stream combiner",
                         example={"stream_a": {"c_0": 10.0, "Q": 4000.0}, "stream_b": {"c_0": 30.0, "Q": 1000.0}},
                         stream_a=STREAM, stream_b=STREAM, y=STREAM)

BLOCKS: tuple[Block, ...] = (SEWER, SEDLIFT, LOAMTANK, FRACTIONATION, COMBINER)


def block(name: str) -> Block:
    """The layouts of the block called `name` (``"sewer"``)."""
    for b in BLOCKS:
        if b.name == name:
            return b
    raise KeyError(f"no block named {name!r}; the blocks are {', '.join(b.name for b in BLOCKS)}")
