"""The docs' tables and the layouts they show, against the block registry and
against what the pages state: every block page shows a table for every
vector the registry declares, a merged table row names each entry it stands
for, the units the equations state are the layouts' units, and the pages'
signatures and length lists are the registry's."""
import pathlib
import re

import pytest
from test_references import SHARES, SOLIDS

from tarnlet import _registry, layout
from tarnlet.units import UnitError, convert

DOCS = pathlib.Path(__file__).resolve().parent.parent / "docs"
BLOCKS = _registry.blocks()


def page(name):
    return (DOCS / "blocks" / f"{name}.md").read_text(encoding="utf-8")


def directives(text):
    return re.findall(r"```\{layout-table\} (\S+)", text)


def find(path):
    """``SEWER.u`` -> tarnlet.layout.SEWER.u, as the pages' directive finds it."""
    obj = layout
    for part in path.split("."):
        obj = getattr(obj, part)
    return obj


# The docs show a run of at least this many consecutive entries alike in unit
# and meaning as one row, "first … last".
MIN_RUN = int(re.search(r"^MIN_RUN = (\d+)", (DOCS / "_ext" / "layout_tables.py").read_text(), re.M).group(1))


@pytest.mark.parametrize("block", BLOCKS, ids=lambda b: b.name)
def test_every_vector_of_the_registry_has_a_table_on_its_page(block):
    assert block.name in (DOCS / "blocks" / "index.md").read_text(encoding="utf-8").split()
    shown = [find(d) for d in directives(page(block.name))]
    vectors = layout.block(block.name).vectors
    for name in block.lengths:
        assert any(v is vectors[name] for v in shown), f"no table of {block.name}'s {name}"
    assert all(any(v is s for v in vectors.values()) for s in shown), "a table of another block's vector"


@pytest.mark.parametrize("path", sorted({d for b in BLOCKS for d in directives(page(b.name))}))
def test_a_merged_row_stands_for_entries_numbered_in_order(path):
    """A row "p_0 … p_18" shows one unit and meaning for entries that must be
    named p_0, p_1, ..., p_18: one number up per index."""
    entries = list(find(path))
    start = 0
    while start < len(entries):
        end = start
        while end + 1 < len(entries) and (entries[end + 1].unit, entries[end + 1].meaning) == (
                entries[start].unit, entries[start].meaning):
            end += 1
        if end - start + 1 >= MIN_RUN:
            stem, number = re.fullmatch(r"(.*?)(\d+)", entries[start].name).groups()
            want = [f"{stem}{int(number) + k}" for k in range(end - start + 1)]
            assert [e.name for e in entries[start:end + 1]] == want, (path, start, end)
        start = end + 1


# The symbols of each page's equations that the page gives a unit for, and
# the entries (vector, names) they stand for.
SYMBOLS = {
    "sewer": {"h": ("x", ["h"]), "A": ("spar", ["A"]), "K": ("spar", ["K"]), "h_0": ("spar", ["h0"]),
              r"Q_\mathrm{in}": ("u", ["Q"]),
              # the page's g/m3 stands for the mass concentrations: all but S_ALK (mol/m3)
              r"c_{\mathrm{in},i}": ("u", [n for n in layout.SEWER.u.names[:18] if n != "S_ALK"])},
    "sedlift": {r"M_1, \dots, M_6": ("x", layout.SEDLIFT.x.names), "Q": ("u", ["Q"]),
                r"c_{\mathrm{in},k}": ("u", layout.SEDLIFT.u.names[1:]), "C": ("sspars", ["capacity"]),
                "Q_{1/2}": ("sspars", ["Q_half"]), "k_w": ("sspars", ["k_wash"])},
    "loamtank": {"h": ("x", ["h"]), r"h_\mathrm{max}": ("par", ["h_max"]), "h_d": ("par", ["h_drain"]),
                 "A": ("par", ["A"]), r"q_\mathrm{cap}": ("par", ["q_cap"]), "k_d": ("par", ["k_drain"]),
                 r"k_\mathrm{lin}": ("par", ["k_lin"]), "Q_2": ("u", ["Q_secondary"])},
    "fractionation": {r"Q_\mathrm{ref}": ("u", ["Q_ref"]), r"c_\mathrm{res}": ("fractions", ["c0_reserve"]),
                      "A_0": ("u", ["L0_1", "L0_2"]), "L_k = u_k + u_{k+5}": ("u", layout.FRACTIONATION.u.names[:10])},
    "combiner": {},
}


def stated_units(text):
    """{symbol: unit} for each "$symbol$ (unit" of the page; m$^{1/2}$ as m^0.5."""
    text = " ".join(text.split())
    found = {}
    for symbol, unit in re.findall(r"\$([^$]+)\$(?: = `[^`]*`)? \(((?:[^$(),]|\$[^$]*\$)+)", text):
        unit = re.sub(r"\$\^\{([\d./]+)\}\$", lambda m: "^" + str(eval(m.group(1))), unit)  # noqa: S307
        unit = re.sub(r" per ", "/", re.sub(r" of .*", "", unit.strip()))
        if " " not in unit:  # a unit, not a remark in parentheses
            found[symbol] = unit
    return found


def same_unit(stated, given):
    try:
        return stated == given or convert(1.0, stated, given) == 1.0
    except UnitError:
        return False


@pytest.mark.parametrize("block", BLOCKS, ids=lambda b: b.name)
def test_units_the_equations_state_are_the_layouts(block):
    stated = stated_units(page(block.name))
    assert set(stated) == set(SYMBOLS[block.name])
    vectors = layout.block(block.name).vectors
    for symbol, (vector, names) in SYMBOLS[block.name].items():
        for name in names:
            unit = vectors[vector].unit(name)
            assert same_unit(stated[symbol], unit), (symbol, stated[symbol], f"{vector}.{name}", unit)


@pytest.mark.parametrize("block", BLOCKS, ids=lambda b: b.name)
def test_the_signatures_on_a_page_are_the_registry_functions(block):
    shown = re.findall(r"`(\w+)\(([\w, ]*)\)`", " ".join(page(block.name).split()))
    functions = {f.name: f.params for f in block.functions}
    for name, params in shown:
        if name in functions or name in block.aliases:
            assert tuple(params.split(", ")) == block.function(name).params, name
    assert set(functions) <= {block.function(n).name for n, _ in shown if n in functions or n in block.aliases}


def test_the_error_page_lists_the_registry_lengths():
    text = " ".join((DOCS / "errors.md").read_text(encoding="utf-8").split())
    row = re.search(r"a parameter vector too short \| (.*?) \|", text).group(1)
    listed = re.findall(r"`(?:ValueError: Expected )?(\w+)(?: of length at least)?`? (\d+)", row)
    at_least = {(c.param, c.length) for b in BLOCKS for f in b.functions for c in f.checks
                if c.kind == "at_least"}
    assert sorted((n, int(k)) for n, k in listed) == sorted(at_least)
    exact = {(c.param, c.length) for b in BLOCKS for f in b.functions for c in f.checks if c.kind == "exact"}
    for name, length in re.findall(r"Expected (\w+) of length (\d+)\.", text):
        assert (name, int(length)) in exact
    assert f"Expected two 1D arrays of length {len(layout.COMBINER.y)}." in text


# ---- names and units as the equations relate them --------------------------------------------

# The ASM2d state variables in the published order, X_TSS left out, with the
# units of their amounts.
ASM2D = [("S_O2", "g O2"), ("S_F", "g COD"), ("S_A", "g COD"), ("S_NH4", "g N"), ("S_NO3", "g N"),
         ("S_PO4", "g P"), ("S_I", "g COD"), ("S_ALK", "mol"), ("S_N2", "g N"), ("X_I", "g COD"),
         ("X_S", "g COD"), ("X_H", "g COD"), ("X_PAO", "g COD"), ("X_PP", "g P"), ("X_PHA", "g COD"),
         ("X_AUT", "g COD"), ("X_MeOH", "g TSS"), ("X_MeP", "g TSS")]


def entries(v, indices):
    return [(v[i].name, v[i].unit) for i in indices]


def test_sewer_components_are_the_asm2d_ones_in_every_vector():
    x, u, y = layout.SEWER.x, layout.SEWER.u, layout.SEWER.y
    assert entries(x, range(18)) == ASM2D
    carried = [*range(18), *range(18, 23)]  # x index -> the stream's index
    stream = [*range(18), *range(21, 26)]
    for v in (u, y):
        assert entries(v, stream) == [(n, f"{unit}/m3") for n, unit in entries(x, carried)]
        assert [(v.index(n), v.unit(n)) for n in ("TSS", "Q", "h")] == [(18, "g TSS/m3"), (19, "m3/d"), (26, "m")]
    assert x.unit("h") == layout.SEWER.spar.unit("h0") == "m"


def test_suspended_solids_weights_name_the_components_they_weigh():
    """Each TSS weight, as the sewer page's equation groups the amounts, is
    in g TSS per unit of those amounts and names them in its meaning."""
    text = " ".join(page("sewer").split())
    equation = text[text.index(r"\mathrm{TSS} &="):]
    equation = equation[:equation.index(r"\end{aligned}")]
    groups = re.findall(r"i_\{?(?:[^ ]*?)\}? \(?((?:M_\{[^ ]*?\}\}?(?: \+ )?)+)\)?", equation)
    named = [[re.sub(r"[{}]", "", m) for m in re.findall(r"M_\{(X_\{?\w+\}?)\}", g)] for g in groups]
    pars, x = layout.SEWER.pars, layout.SEWER.x
    weighed = {}
    for p, i in SOLIDS:
        weighed.setdefault(p, []).append(x[i].name)
    assert sorted(map(sorted, named)) == sorted(map(sorted, weighed.values()))
    assert sorted(weighed) == list(pars.read)
    for p, names in weighed.items():
        assert {x.unit(n) for n in names} == {pars[p].unit.split("/")[1]} and pars[p].unit.startswith("g TSS/")
        assert all(re.search(rf"\b{n}\b", pars[p].meaning) for n in names), pars[p]


RELATIONS = {  # (unit as the equations make it, the layout's unit)
    "sewer": lambda b: [(f"{b.y.unit('Q')}/{b.x.unit('h')}^1.5", b.spar.unit("K")),
                        (b.x.unit("h") + "2", b.spar.unit("A"))],
    "sedlift": lambda b: [*((f"{b.x[k].unit}/m3", b.u[k + 1].unit) for k in range(6)),
                          *((b.u[k].unit, b.y[k].unit) for k in range(7)),
                          (b.x.unit("M_1"), b.sspars.unit("capacity")), (b.x.unit("M_1"), b.y[7].unit),
                          (b.u.unit("Q"), b.sspars.unit("Q_half")), ("-", b.sspars.unit("n")),
                          ("1/" + b.u.unit("Q").split("/")[1], b.sspars.unit("k_wash")),
                          *((f"1000 {b.x[k].unit}", b.y[7 + k].unit) for k in range(1, 6))],
    "loamtank": lambda b: [*((b.u[0].unit, e.unit) for e in list(b.y)[:3]), (b.u[1].unit, b.u[0].unit),
                           *((b.x.unit("h"), b.par.unit(n)) for n in ("h_max", "h_drain")),
                           (b.x.unit("h"), b.y.unit("h")), (b.x.unit("h") + "2", b.par.unit("A")),
                           (b.x.unit("h") + "/d", b.par.unit("q_cap")),
                           (f"{b.u[0].unit}/{b.x.unit('h')}^0.5", b.par.unit("k_drain")),
                           (b.par.unit("A") + "/d", b.par.unit("k_lin"))],
    "fractionation": lambda b: [*((f"{b.u[k].unit.split('/')[0]}/m3", b.y[o].unit)
                                  for o, _, k in [(1, 0, 0), (2, 1, 0), (3, 2, 0), *SHARES]),
                                (f"{b.u[0].unit.split('/')[0]}/m3", b.fractions.unit("c0_reserve")),
                                *((b.bg_values[j].unit, b.y[o].unit) for j, o in enumerate(b.bg_outputs)),
                                *(("g TSS/" + b.y[13].unit.split("/")[0], b.pars[p].unit) for p in (28, 29, 30, 155))],
    "combiner": lambda b: [(b.y[37].unit, "m3/d")],
}


@pytest.mark.parametrize("block", BLOCKS, ids=lambda b: b.name)
def test_units_are_related_as_the_equations_relate_them(block):
    b = layout.block(block.name)
    for derived, given in RELATIONS[block.name](b):
        if derived.startswith("1000 "):
            assert convert(1000.0, derived[5:], given) == 1.0, (derived, given)
        else:
            assert derived == given


# What an entry's meaning says it is fixes the kind of its unit.
MEANT = [(re.compile(r"^share of\b"), lambda u: u == "-"),
         (re.compile(r"\bconcentration\b|load\b.*, divided by the flow$"), lambda u: u.endswith("/m3")
          or u == "as given"),
         (re.compile(r"^(\w+ )?(in|out)?flow\b(?! (coefficient|concentration))"), lambda u: u == "m3/d"),
         (re.compile(r"\blevel\b(?!.*\bflow)"), lambda u: u == "m"),
         (re.compile(r"\bcopied\b"), lambda u: u == "as given")]  # whatever the caller's unit is


@pytest.mark.parametrize("block", BLOCKS, ids=lambda b: b.name)
def test_a_share_is_dimensionless_and_a_concentration_per_m3(block):
    seen = 0
    for name, vector in layout.block(block.name).vectors.items():
        for e in vector:
            for meaning, fits in MEANT:
                if meaning.search(e.meaning):
                    assert fits(e.unit), (name, e)
                    seen += 1
    assert seen
