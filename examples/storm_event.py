"""A storm event on a small combined-sewer catchment, minute by minute.

Every block of tarnlet in one model of the catchment (tarnlet.model), named
nodes connected by name:

    rain ---> soil reservoir (loamtank) ---> runoff + drainage water
    sewage + runoff + drainage ---> sewer storage 1 ---> 2 ---> 3 (sewer)
        ---> first flush (sedlift) ---> fractionation ---> combiner <--- dairy

The model runs in one call of compiled code over the whole series (the
default), or step by step in Python over the blocks' module functions, its
reference (--reference). The same catchment wired by hand, as scripts did
before the model layer, lives in storm_event_handwired.py: each block over
the whole series with NumPy glue between the blocks, and a step loop that
owns the states and the clock.

--check runs the model both ways and the hand-wired catchment both ways,
checks that every state and output agrees bit for bit, and reports the
speeds.

Units: time in days since the start of the run (one step is one minute;
"day 1 15:31" is t = 1.647 d), flows in m3/d, levels in m, concentrations in
g/m3 (alkalinity in mol/m3), stored masses in g.

    python -P examples/storm_event.py [--days 3] [--steps N] [--out DIR] [--no-plot]
                                      [--reference | --check] [--influent FILE]
"""
from __future__ import annotations

import argparse
import csv
import sys
import time
from dataclasses import dataclass, fields
from pathlib import Path
from typing import Any

import numpy as np

from tarnlet.brookvane import loamtank
from tarnlet.layout import FRACTIONATION, LOAMTANK, SEDLIFT, SEWER, STREAM
from tarnlet.model import Linear, Model

DT = 1.0 / 1440.0  # one minute, in days
U, Y = SEWER.u, SEWER.y  # the sewer stream: 27 entries, one layout for inflow and outflow
FR = FRACTIONATION.y

# The five further components (extra_1 to extra_5) serve here as tracers of
# where the water came from: 1 in their own water, 0 elsewhere.
SEWAGE_WATER, RUNOFF_WATER, DRAINAGE_WATER = U.extra_1, U.extra_2, U.extra_3
COMPONENTS = [*range(U.S_O2, U.X_MeP + 1), *range(U.extra_1, U.extra_5 + 1)]  # stored: x[0:23]

# %%
# The sewage and the sewer
# ------------------------
# Three storages in series, their suspended solids weighted from the particulate
# components as ASM2d does, and the waters that reach them: sewage with a
# daily cycle, runoff and drainage from the soil.

# ---- Three sewer storages: TSS per unit of the particulate components (ASM2d),
# plan area m2, weir coefficient, threshold level m.
SEWER_PARS = SEWER.pars.vector(i_TSS_XI=0.75, i_TSS_XS=0.75, i_TSS_BM=0.90, i_TSS_XPP=3.23,
                               i_TSS_XPHA=0.60, i_TSS_XMe=1.00)
SPARS = np.array([SEWER.spar.vector(A=a, K=11000.0, h0=0.10) for a in (300.0, 400.0, 500.0)])
# Suspended solids of a sewer stream, weighted as the storages weigh them.
P = SEWER.pars
TSS = Linear([(SEWER_PARS[P.i_TSS_XI], "X_I"), (SEWER_PARS[P.i_TSS_XS], "X_S"),
              (SEWER_PARS[P.i_TSS_BM], ("X_H", "X_PAO", "X_AUT")), (SEWER_PARS[P.i_TSS_XPP], "X_PP"),
              (SEWER_PARS[P.i_TSS_XPHA], "X_PHA"), (SEWER_PARS[P.i_TSS_XMe], ("X_MeOH", "X_MeP"))])


def tss(c: np.ndarray) -> np.ndarray:
    """TSS of sewer streams c (one per row), as the Linear TSS computes it."""
    return TSS.evaluate({name: c[..., U.index(name)] for name in TSS.names})


def stream(temperature: float, **conc: float) -> np.ndarray:
    """A sewer stream (without flow) from its concentrations by name."""
    u = U.vector(passthrough=temperature, **conc)  # the pass-through entry carries the temperature
    u[U.TSS] = tss(u)
    return u


# Typical municipal raw sewage (ASM2d influent), then two dilute waters.
SEWAGE = stream(16.0, S_F=30.0, S_A=20.0, S_NH4=16.0, S_PO4=3.6, S_I=30.0, S_ALK=5.0,
                X_I=25.0, X_S=125.0, X_H=30.0, extra_1=1.0)
RUNOFF = stream(12.0, S_O2=9.0, S_I=5.0, S_ALK=1.0, X_I=40.0, X_S=15.0, extra_2=1.0)
DRAINAGE = stream(11.0, S_O2=2.0, S_ALK=3.0, extra_3=1.0)
VARYING = [U.S_F, U.S_A, U.S_NH4, U.S_PO4, U.S_I, U.X_I, U.X_S, U.X_H]  # loads vary more than flow
Q_DRY = 4000.0  # mean dry-weather flow, m3/d (about 20 000 inhabitants)


def dry_weather(t: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Sewage flows and streams (one row per time, days): low at 4:00, peaks at 11:30 and 20:00."""
    w = 2.0 * np.pi * (t % 1.0)
    f = 1.0 - 0.35 * np.cos(w - 0.8) - 0.2 * np.cos(2.0 * w - 2.1)
    conc = np.tile(SEWAGE, (len(t), 1))
    conc[:, VARYING] *= (0.8 + 0.2 * f)[:, np.newaxis]
    conc[:, U.TSS] = tss(conc)  # the particulates changed: so did their suspended solids
    return Q_DRY * f, conc


# %%
# Rain on the soil
# ----------------
# A three-hour shower on the soil reservoir; an upslope recharge keeps the
# soil steady in dry weather.

# ---- Rain on the soil reservoir: its state is the stored water depth (m).
RAIN_START = 1.0 + 14.0 / 24.0  # day 1 14:00
RAIN_HOURS, RAIN_PEAK = 3.0, 10.0  # a 3-hour shower peaking at 10 mm/h
SOIL_PAR = LOAMTANK.par.vector(h_max=0.10, h_drain=0.020, A=1.2e5, q_cap=0.12, k_drain=15000.0,
                               k_lin=5000.0)
SOIL_LEVEL0 = 0.0205
MM_H = 0.024  # m/d per mm/h


def rain(t: np.ndarray, start: float) -> np.ndarray:
    """Rain intensity in mm/h: one half-sine shower."""
    s = (t - start) * 24.0 / RAIN_HOURS
    return np.where((s > 0.0) & (s < 1.0), RAIN_PEAK * np.sin(np.pi * np.clip(s, 0.0, 1.0)), 0.0)


# Recharge from upslope (the secondary inflow) that keeps the soil steady in dry weather.
SOIL_DRY = loamtank.outputs([SOIL_LEVEL0], [0.0, 0.0], SOIL_PAR)
RECHARGE = SOIL_DRY[LOAMTANK.y.Q_drain] + SOIL_DRY[LOAMTANK.y.Q_lin]

# %%
# The first flush
# ---------------
# Six components of the last storage's outflow pass the first flush; its
# store of suspended solids fills in dry weather and washes out with the flow.

# ---- First flush on six components; component 1 (TSS) fills the store.
FLUSHED = [U.TSS, U.X_I, U.X_S, U.X_H, U.S_NH4, U.S_PO4]
SSPARS = SEDLIFT.sspars.vector(capacity=400e3, Q_half=10000.0, n=6.0, k_wash=20.0)
FLUSH_OUT = slice(SEDLIFT.y.C_1, SEDLIFT.y.C_6 + 1)

# %%
# Fractionation and the plant stream
# ----------------------------------
# The plant inlet's loads become the 54 model values of an ASM2d-N2O influent,
# named here by the fractionation's own output names, in the 56-entry stream
# the combiner mixes with a dairy's discharge.

# ---- Fractionation of the plant inlet into 54 model values, then mixing.
# Five kinds of load (g/d), two contributions each:
#   0 soluble COD (S_F + S_A, S_I)  -> L0_share_1, L0_share_2 and L0_reserve
#   1 particulate COD (X_S, X_I + X_H) -> L1_share_1 to L1_share_3
#   2 nitrogen (S_NH4, S_NO3);  3 phosphorus (S_PO4, X_PP);  4 alkalinity
# Q_ref is the mean dry-weather flow: the flow above it carries 10 g/m3 of
# soluble COD reserved for L0_reserve. Shares of one kind add up to 1, so the
# fractionation hands on every load it is given.
FRACTIONS = FRACTIONATION.fractions.vector(f0_share_1=0.6, f0_share_2=0.4, c0_reserve=10.0, f2=1.0,
                                           f3=1.0, f4=1.0, f1_share_1=0.25, f1_share_2=0.60,
                                           f1_share_3=0.15)
FRAC_PARS = FRACTIONATION.pars.vector(i_TSS_13=0.75, i_TSS_14=0.75, i_TSS_15=0.90)
BACKGROUND = np.zeros(44)  # the 44 values not derived from loads: none in this scenario
LOAD_KINDS = [[FR.L0_share_1, FR.L0_share_2, FR.L0_reserve], [FR.L1_share_1, FR.L1_share_2, FR.L1_share_3],
              [FR.L2_share], [FR.L3_share], [FR.L4_share]]
# The combiner stream of this model: the 54 fractionation outputs by name,
# the flow Q at STREAM.Q (37), so TSS keeps index 36, and the temperature T
# last, at 55.
PLANT = [*FR.names[:STREAM.Q], "Q", *FR.names[STREAM.Q:], "T"]
PLANT_TSS, PLANT_TEMP = FR.TSS, STREAM.c_55
# A constant industrial discharge (a dairy): 500 m3/d of strong, warm water.
DAIRY = stream(25.0, S_F=1400.0, S_A=300.0, S_I=60.0, S_NH4=20.0, S_PO4=12.0, S_ALK=4.0,
               X_I=40.0, X_S=450.0, X_H=60.0)
DAIRY[U.Q] = 500.0


@dataclass
class Forcing:
    t: np.ndarray  # time of each step, days
    rain: np.ndarray  # mm/h
    q_sewage: np.ndarray  # m3/d
    c_sewage: np.ndarray  # (n, 27)
    rain_start: float


def forcing(n: int, rain_start: float | None) -> Forcing:
    """The weather and the sewage of n steps: computed once, for every way of running."""
    t = np.arange(n) * DT
    if rain_start is None:  # day 1 14:00, or after a fifth of a run shorter than two days
        rain_start = RAIN_START if n * DT >= 2.0 else 0.2 * n * DT
    q_sewage, c_sewage = dry_weather(t)
    return Forcing(t, rain(t, rain_start), q_sewage, c_sewage, rain_start)


def soil_input(f: Forcing) -> np.ndarray:
    return np.column_stack((f.rain * (MM_H * SOIL_PAR[LOAMTANK.par.A]), np.full(len(f.t), RECHARGE)))


def flush_equilibrium(q: float, c: np.ndarray) -> np.ndarray:
    """Stored masses in balance with a steady flow q at the concentrations c."""
    from tarnlet.model import steady

    return steady.sedlift(np.r_[q, c], SSPARS)


# %%
# The model
# ---------
# Every node by name, connected by name: sources, the soil reservoir, the
# adapters that make streams of its flows, a mixer, the chain of storages,
# the first flush and what it hands on, and the two fractionations feeding the
# combiner. ``m.check()`` finds every problem before anything runs;
# ``m.run()`` runs it in one compiled call.

# ---- The model: every node by name, connected by name -----------------------------------------
def fractionate(m: Model, name: str, inlet: str, q_ref: float) -> None:
    """A sewer stream's loads (g/d), their 54 model values and the 56-entry
    plant stream: nodes <name>_loads, <name>_values and <name>."""
    def load(*entries: str) -> Linear:
        return Linear.load("Q", *entries)
    m.adapter(f"{name}_loads", inlet, layout=FRACTIONATION.u, entries={
        "L0_1": load("S_F", "S_A"), "L1_1": load("X_S"), "L2_1": load("S_NH4"), "L3_1": load("S_PO4"),
        "L4_1": load("S_ALK"), "L0_2": load("S_I"), "L1_2": load("X_I", "X_H"), "L2_2": load("S_NO3"),
        "L3_2": load("X_PP"), "L4_2": load(), "Q_ref": q_ref})
    m.fractionation(f"{name}_values", u=f"{name}_loads", pars=FRAC_PARS, fractions=FRACTIONS,
                    bg_values=BACKGROUND)
    m.adapter(name, [f"{name}_values", inlet], layout=PLANT, entries={"Q": f"{inlet}.Q", "T": f"{inlet}.passthrough"})


def build(f: Forcing) -> Model:
    """The catchment as a model, started steady after a long dry spell."""
    m = Model(dt=DT, name="storm event")
    m.source("soil_in", soil_input(f), layout=LOAMTANK.u)
    m.loamtank("soil", u="soil_in", par=SOIL_PAR, x0=[SOIL_LEVEL0])
    sewage = f.c_sewage.copy()
    sewage[:, U.Q] = f.q_sewage
    m.source("sewage", sewage, layout=U)
    for water, flow, c in (("runoff", "Q_excess", RUNOFF), ("drainage", "Q_drain", DRAINAGE)):
        m.adapter(water, "soil", layout=U, entries={**dict(zip(U.names, c)), "Q": flow})
    m.mixer("mixed", ["sewage", "runoff", "drainage"])
    m.adapter("inflow", "mixed", layout=U, entries={"TSS": TSS})  # the particulates changed: so did TSS
    m.sewer_chain("chain", u="inflow", pars=SEWER_PARS, spar=SPARS)  # steady from the first inflow
    flushed = [U.names[i] for i in FLUSHED]
    m.sedlift("flush", u="chain", sspars=SSPARS, components=flushed,
              x0=flush_equilibrium(Q_DRY, SEWAGE[FLUSHED]))
    m.merge("inlet", "chain", "flush", replace=flushed)  # the washed-out concentrations replace the inflow's
    fractionate(m, "town", "inlet", Q_DRY)
    m.source("dairy", DAIRY, layout=U)
    fractionate(m, "industry", "dairy", 500.0)
    m.combiner("plant", stream_a="town", stream_b="industry", names=PLANT)
    return m


# %%
# What a run records
# ------------------
# The records of a run, taken apart into one array per block's inputs,
# outputs and states: the trace the checks and the figure read, and that
# ``--check`` compares between the ways of running.

# ---- What a run gives: every block's inputs, outputs and states, step by step.
@dataclass
class Trace:
    """Everything the blocks took and gave, one row per step; of the states
    the initial and the final one (every output depends on the states of its
    step, so the outputs show the states of every step)."""

    u_soil: np.ndarray  # (n, 2)
    y_soil: np.ndarray  # (n, 4)
    x_soil: np.ndarray  # (2, 1) initial and final state
    u_in: np.ndarray  # (n, 27) the inflow of storage 1
    y_sewer: np.ndarray  # (n, 3, 27) outflow of each storage
    x_sewer: np.ndarray  # (2, 3, 24)
    u_ff: np.ndarray  # (n, 7)
    y_ff: np.ndarray  # (n, 13)
    x_ff: np.ndarray  # (2, 6)
    loads: np.ndarray  # (n, 12)
    values: np.ndarray  # (n, 54)
    town: np.ndarray  # (n, 56)
    industry: np.ndarray  # (n, 56)
    plant: np.ndarray  # (n, 56)
    inlet: np.ndarray  # (n, 27) the plant inlet: storage 3's outflow after the first flush


# The records that make a trace: the address of each field's vector.
TRACED = {"u_soil": "soil.u", "y_soil": "soil", "u_in": "inflow", "u_ff": "flush.u", "y_ff": "flush",
          "loads": "town_loads", "values": "town_values", "town": "town", "industry": "industry",
          "plant": "plant", "inlet": "inlet", **{f"y_sewer{j}": f"chain[{j}]" for j in (1, 2, 3)}}


def run_model(f: Forcing, reference: bool = False, progress: bool = False) -> Trace:
    """The model over the forcing, compiled (or its reference), as a trace."""
    m = build(f)
    x0 = m.steady_state()
    result = (m.reference_run if reference else m.run)(record=list(TRACED.values()), progress=progress)
    columns = [label for label, _ in result.columns]
    got = {key: result.y[:, [k for k, c in enumerate(columns) if c == label.split(".y")[0]]]
           for key, label in TRACED.items()}
    end = result.final
    return Trace(got["u_soil"], got["y_soil"], np.stack((x0["soil"], end["soil"])), got["u_in"],
                 np.stack([got[f"y_sewer{j}"] for j in (1, 2, 3)], axis=1), np.stack((x0["chain"], end["chain"])),
                 got["u_ff"], got["y_ff"], np.stack((x0["flush"], end["flush"])), got["loads"], got["values"],
                 got["town"], got["industry"], got["plant"], got["inlet"])


def identical(a: Trace, b: Trace) -> list[str]:
    """The names of the arrays in which two traces differ in any bit."""
    return [fl.name for fl in fields(Trace)
            if not np.array_equal(getattr(a, fl.name), getattr(b, fl.name), equal_nan=True)]


# %%
# What the run shows
# ------------------
# The series of the CSV, every block's mass balance, and the check that no
# mixed storage concentrates what it carries.

# ---- What the run shows: series, mass balances, the mixing check.
# Recorded series: name -> (unit, meaning). The CSV column is "<name>_<unit>".
COLUMNS = {
    "rain": ("mm_h", "rain intensity"), "soil": ("mm", "soil storage"),
    "q_sewage": ("m3_d", "sewage flow"), "q_runoff": ("m3_d", "runoff (soil excess flow)"),
    "q_drainage": ("m3_d", "soil drainage"), "q_in": ("m3_d", "sewer inflow"),
    **{f"q_{j}": ("m3_d", f"storage {j} outflow") for j in (1, 2, 3)},
    **{f"level_{j}": ("m", f"storage {j} level") for j in (1, 2, 3)},
    "tss_in": ("g_m3", "TSS of the sewer inflow"),
    **{f"tss_{j}": ("g_m3", f"TSS of storage {j}'s outflow") for j in (1, 2, 3)},
    "tss_flush": ("g_m3", "TSS after the first flush"), "nh4_3": ("gN_m3", "NH4-N of storage 3's outflow"),
    "ii_share_3": ("frac", "share of runoff and drainage water in storage 3's outflow"),
    "q_plant": ("m3_d", "plant inflow (with industry)"), "tss_plant": ("g_m3", "plant inflow TSS"),
    "temp_plant": ("degC", "plant inflow temperature"),
}


def series(f: Forcing, tr: Trace) -> dict[str, np.ndarray]:
    y = tr.y_sewer
    out = {"rain": f.rain, "soil": 1000.0 * tr.y_soil[:, LOAMTANK.y.h], "q_sewage": f.q_sewage,
           "q_runoff": tr.y_soil[:, LOAMTANK.y.Q_excess], "q_drainage": tr.y_soil[:, LOAMTANK.y.Q_drain],
           "q_in": tr.u_in[:, U.Q], "tss_in": tr.u_in[:, U.TSS]}
    for j in (1, 2, 3):
        out |= {f"q_{j}": y[:, j - 1, Y.Q], f"level_{j}": y[:, j - 1, Y.h], f"tss_{j}": y[:, j - 1, Y.TSS]}
    out |= {"tss_flush": tr.y_ff[:, SEDLIFT.y.C_1], "nh4_3": y[:, 2, Y.S_NH4],
            "ii_share_3": y[:, 2, RUNOFF_WATER] + y[:, 2, DRAINAGE_WATER],
            "q_plant": tr.plant[:, STREAM.Q], "tss_plant": tr.plant[:, PLANT_TSS],
            "temp_plant": tr.plant[:, PLANT_TEMP]}
    return {name: out[name] for name in COLUMNS}


def relative_error(start: np.ndarray, inflow: np.ndarray, outflow: np.ndarray, end: np.ndarray) -> float:
    """Largest |end + outflow - start - inflow| / (|start| + |inflow|) over the quantities."""
    resid = np.abs(end + outflow - start - inflow)
    scale = np.abs(start) + np.abs(inflow)
    return float(np.max(np.divide(resid, scale, out=np.zeros_like(resid), where=scale > 0)))


def balances(tr: Trace) -> dict[str, tuple[str, float]]:
    """Each block's relative mass balance error over the run, and what it balances."""
    def total(rate: np.ndarray) -> np.ndarray:  # rates per day, one row per step
        return DT * np.sum(rate, axis=0)

    out = {}
    soil_h = tr.x_soil[:, 0]  # initial and final level
    level = tr.y_soil[:, LOAMTANK.y.h]  # the level at the start of each step
    accepted = np.where(level < SOIL_PAR[LOAMTANK.par.h_max], tr.u_soil[:, 1], 0.0)
    area = SOIL_PAR[LOAMTANK.par.A]
    out["soil reservoir"] = ("water", relative_error(
        area * soil_h[0], total(tr.u_soil[:, 0] + accepted), total(tr.y_soil[:, :3].sum(axis=1)),
        area * soil_h[-1]))
    for j in range(3):
        u = tr.u_in if j == 0 else tr.y_sewer[:, j - 1]
        y = tr.y_sewer[:, j]
        stored = np.append(tr.x_sewer[:, j, :23], SPARS[j, SEWER.spar.A] * tr.x_sewer[:, j, 23:], axis=1)
        carried = [np.append(c[:, [U.Q]] * c[:, COMPONENTS], c[:, [U.Q]], axis=1) for c in (u, y)]
        out[f"sewer storage {j + 1}"] = ("water, 23 components", relative_error(
            stored[0], total(carried[0]), total(carried[1]), stored[-1]))
    q = tr.u_ff[:, [SEDLIFT.u.Q]]
    out["first flush"] = ("6 components", relative_error(
        tr.x_ff[0], total(q * tr.u_ff[:, 1:]), total(q * tr.y_ff[:, FLUSH_OUT]), tr.x_ff[-1]))
    given = tr.loads[:, 0:5] + tr.loads[:, 5:10]
    handed_on = np.column_stack([tr.town[:, STREAM.Q] * tr.values[:, kind].sum(axis=1) for kind in LOAD_KINDS])
    out["fractionation"] = ("5 kinds of load", relative_error(0.0, total(given), total(handed_on), 0.0))
    qa, qb = tr.town[:, STREAM.Q], tr.industry[:, STREAM.Q]
    mixed_in = np.column_stack((qa + qb, qa * tr.town[:, PLANT_TSS] + qb * tr.industry[:, PLANT_TSS]))
    mixed_out = np.column_stack((tr.plant[:, STREAM.Q], tr.plant[:, STREAM.Q] * tr.plant[:, PLANT_TSS]))
    out["combiner"] = ("flow and TSS load", relative_error(0.0, total(mixed_in), total(mixed_out), 0.0))
    return out


def mixing_excess(tr: Trace) -> list[float]:
    """Per storage: how far the highest outflow concentration of any component
    (and TSS) lies above the highest inflow concentration it received,
    relative to it. A mixed storage without reactions cannot exceed it: <= 0
    up to rounding."""
    carried = [*COMPONENTS, U.TSS]
    excess = []
    for j in range(3):
        u = tr.u_in if j == 0 else tr.y_sewer[:, j - 1]
        top_in, top_out = u[:, carried].max(axis=0), tr.y_sewer[:, j, carried].max(axis=0)
        scale = np.where(top_in > 0.0, top_in, 1.0)
        excess.append(float(np.max((top_out - top_in) / scale)))
    return excess


@dataclass
class Run:
    t: np.ndarray  # time of each step, days since the start
    rain_start: float  # days
    series: dict[str, np.ndarray]  # COLUMNS, one value per step
    balances: dict[str, tuple[str, float]]  # relative mass balance error of each block
    mixing_excess: list[float]  # per sewer storage, see mixing_excess()
    seconds: dict[str, float]  # time taken by each way of running
    trace: Trace


METHODS = ("model", "reference", "whole", "loop")  # the model compiled and stepped, the hand-wired two


def simulate(days: float = 3.0, steps: int | None = None, rain_start: float | None = None,
             method: str = "model", progress: bool = False) -> Run:
    """Run the scenario for `days` (or `steps` one-minute steps): the model
    compiled ("model"), its reference step loop ("reference"), the hand-wired
    catchment as whole series ("whole") or as a step loop ("loop"), or all
    of them, checked bit-identical ("check"). The shower starts at
    `rain_start` (days); by default on day 1 at 14:00, or after a fifth of a
    run shorter than two days."""
    f = forcing(steps if steps is not None else round(days / DT), rain_start)
    seconds, traces = {}, {}
    for name in (METHODS if method == "check" else [method]):
        started = time.perf_counter()
        if name in ("model", "reference"):
            traces[name] = run_model(f, reference=name == "reference", progress=progress)
        else:
            sys.path.insert(0, str(Path(__file__).resolve().parent))  # (python -P leaves this folder out)
            import storm_event_handwired as handwired  # the catchment wired by hand, beside this file

            traces[name] = handwired.run_whole_series(f) if name == "whole" else handwired.run_step_loop(f, progress)
        seconds[name] = time.perf_counter() - started
    if method == "check":
        for name in METHODS[1:]:
            differ = identical(traces["model"], traces[name])
            if differ:
                raise AssertionError(f"the model's compiled run and {name} differ in {', '.join(differ)}")
    tr = traces["model" if method == "check" else method]
    return Run(f.t, f.rain_start, series(f, tr), balances(tr), mixing_excess(tr), seconds, tr)


def influent(run: Run) -> Any:
    """The plant inlet as a result table: a column per entry with its unit,
    indexed by time in days (what tarnlet.io writes for a plant)."""
    import pandas as pd

    return Y.table(run.trace.inlet, index=pd.Index(run.t, name="t"))


def clock_time(t: float) -> str:
    """Time t (days since the start) as "day D hh:mm"."""
    minutes = round(t * 1440.0)
    return f"day {minutes // 1440} {minutes % 1440 // 60:02d}:{minutes % 60:02d}"


def summary(run: Run) -> str:
    t, s = run.t, run.series
    k_in = int(np.argmax(s["q_in"]))
    rain_mm = s["rain"].sum() * DT * 24.0
    lines = [f"{len(t)} one-minute steps ({len(t) * DT:.2f} days), rain {rain_mm:.1f} mm from "
             f"{clock_time(run.rain_start)}; times are days since the start, day D hh:mm",
             "Peak flows (m3/d), their time and delay after the inflow peak, highest level:",
             f"  sewer inflow  {s['q_in'][k_in]:7.0f}  {clock_time(t[k_in])}"]
    for j in (1, 2, 3):
        k = int(np.argmax(s[f"q_{j}"]))
        lines.append(f"  storage {j}     {s[f'q_{j}'][k]:7.0f}  {clock_time(t[k])}  "
                     f"{(k - k_in) * DT * 1440:+4.0f} min  {s[f'level_{j}'].max():.2f} m")
    k = int(np.argmax(s["tss_flush"]))
    lines += [f"First flush: TSS {s['tss_flush'][k]:.0f} g/m3 at {clock_time(t[k])}, while "
              f"{s['tss_3'][k]:.0f} g/m3 flow in (highest inflow TSS {s['tss_3'].max():.0f} g/m3)",
              f"Sewer inflow TSS {s['tss_in'].min():.0f} to {s['tss_in'].max():.0f} g/m3; "
              f"storage 3 outflow TSS {s['tss_3'].min():.0f} to {s['tss_3'].max():.0f} g/m3"]
    worst = max(run.mixing_excess)
    verdict = "passed" if worst <= 1e-12 else "FAILED"
    lines.append(f"Mixing check {verdict}: no storage's outflow concentration exceeds the highest "
                 f"inflow concentration it received (largest excess {worst:+.1e}, relative)")
    lines.append("Mass balance, |storage change + outflow - inflow| / (storage + inflow):")
    for name, (what, err) in run.balances.items():
        lines.append(f"  {name:<16}{what:<22}{err:.1e}")
    if len(run.seconds) > 1:
        per_step = 1e6 / len(t)
        names = {"model": "model (compiled)", "reference": "its reference loop", "whole": "hand-wired whole series",
                 "loop": "hand-wired step loop"}
        lines.append("Every way agrees bit for bit: "
                     + ", ".join(f"{names[k]} {v:.3f} s ({v * per_step:.2f} us/step)" for k, v in run.seconds.items()))
    return "\n".join(lines)


def write_csv(run: Run, path: Path) -> None:
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["time_d", *(f"{name}_{unit}" for name, (unit, _) in COLUMNS.items())])
        for k, t in enumerate(run.t):
            w.writerow([f"{t:.6f}", *(f"{run.series[name][k]:.6g}" for name in COLUMNS)])


# %%
# The figure
# ----------
# Flows with the rain, levels, suspended solids over the run and zoomed on
# the event, and the mass balances: one colour per storage in every panel.

# ---- The figure: one colour per storage in every panel.
COLOURS = {"inflow": "black", 1: "tab:blue", 2: "tab:orange", 3: "tab:green", "flush": "tab:red",
           "plant": "tab:purple", "runoff": "tab:olive", "drainage": "tab:brown", "soil": "tab:brown",
           "rain": "tab:cyan"}


def plot(run: Run, path: Path) -> bool:
    try:
        import matplotlib
    except ImportError:
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter, MultipleLocator

    fig = plt.figure(figsize=(14, 10.5))
    grid = fig.add_gridspec(3, 2, width_ratios=(2.0, 1.0), hspace=0.32, wspace=0.3,
                            left=0.06, right=0.95, top=0.86, bottom=0.07)
    full = [fig.add_subplot(grid[0, 0])]
    full += [fig.add_subplot(grid[i, 0], sharex=full[0]) for i in (1, 2)]
    zoom = [fig.add_subplot(grid[0, 1])]
    zoom.append(fig.add_subplot(grid[1, 1], sharex=zoom[0]))
    balance_ax = fig.add_subplot(grid[2, 1])

    t, s = run.t, run.series
    twins = [flow_panel(ax, t, s) for ax in (full[0], zoom[0])]
    twins.append(levels_panel(full[1], t, s))
    for ax in (full[2], zoom[1]):
        tss_panel(ax, t, s)
    balances_panel(balance_ax, run.balances)

    span = t[-1] + DT
    major = 0.5 if span > 2.0 else max(1.0, round(span * 24.0 / 6.0)) / 24.0
    full[0].xaxis.set_major_locator(MultipleLocator(major))
    full[0].set_xlim(t[0], t[-1])
    start, end = event_window(run)
    zoom[0].set_xlim(start, end)
    zoom[0].xaxis.set_major_locator(MultipleLocator(max(1.0, round((end - start) * 24.0 / 4.0)) / 24.0))
    for ax, data_range in ((zoom[0], ("q_in", "q_1", "q_2", "q_3")),
                           (zoom[1], ("tss_in", "tss_1", "tss_2", "tss_3", "tss_flush", "tss_plant"))):
        ax.set_ylim(*padded_range(s, data_range, (t >= start) & (t <= end)))
        ax.set_facecolor("#f7f7f7")
    label_time = FuncFormatter(lambda x, _: "\n".join(clock_time(x).rsplit(" ", 1)))
    for ax in (*full, *zoom):
        ax.xaxis.set_major_formatter(label_time)
        ax.grid(alpha=0.3)
    for ax in (full[0], full[1], zoom[0]):
        ax.tick_params(labelbottom=False)
    full[2].set_xlabel("time since the start (day D, hh:mm)")
    same_day = clock_time(start)[:-6] == clock_time(end)[:-6]
    window = f"{clock_time(start)} to {clock_time(end)[-5:] if same_day else clock_time(end)}"
    for ax, title in ((full[0], "Flows over the whole run"), (full[1], "Levels"),
                      (full[2], "Suspended solids (TSS)"), (zoom[0], f"Flows, zoomed on the event ({window})"),
                      (zoom[1], f"TSS, zoomed on the event ({window})"),
                      (balance_ax, "Mass balance of each block over the run")):
        ax.set_title(title, fontsize=10, loc="left")

    handles, labels = legend_entries([*full, *twins])
    fig.legend(handles, labels, loc="upper center", ncol=6, fontsize=9, frameon=False,
               bbox_to_anchor=(0.5, 0.955))
    fig.suptitle("Storm event: rain on the soil reservoir, three sewer storages, first flush, "
                 "fractionation and industrial discharge", fontsize=12, y=0.99)
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


def flow_panel(ax, t: np.ndarray, s: dict[str, np.ndarray]):
    """Flows, with the rain hanging from the top on a second axis (returned)."""
    ax.plot(t, s["q_in"], color=COLOURS["inflow"], lw=1.0, label="sewer inflow")
    for j in (1, 2, 3):
        ax.plot(t, s[f"q_{j}"], color=COLOURS[j], label=f"storage {j}")
    ax.plot(t, s["q_runoff"], color=COLOURS["runoff"], ls="--", label="runoff")
    ax.plot(t, s["q_drainage"], color=COLOURS["drainage"], ls="--", label="soil drainage")
    ax.set_ylabel("flow (m3/d)")
    rain_ax = ax.twinx()  # rain hangs from the top
    rain_ax.fill_between(t, s["rain"], color=COLOURS["rain"], alpha=0.25, lw=0, label="rain (right axis)")
    rain_ax.set_ylim(4.0 * max(1.0, s["rain"].max()), 0.0)
    rain_ax.set_ylabel("rain (mm/h)")
    return rain_ax


def levels_panel(ax, t: np.ndarray, s: dict[str, np.ndarray]):
    """Sewer levels, with the soil storage on a second axis (returned)."""
    for j in (1, 2, 3):
        ax.plot(t, s[f"level_{j}"], color=COLOURS[j])
    ax.set_ylabel("sewer level (m)")
    soil_ax = ax.twinx()
    soil_ax.plot(t, s["soil"], color=COLOURS["soil"], ls=":", lw=1.5, label="soil storage (right axis)")
    soil_ax.set_ylabel("soil storage (mm)")
    return soil_ax


def tss_panel(ax, t: np.ndarray, s: dict[str, np.ndarray]) -> None:
    ax.plot(t, s["tss_in"], color=COLOURS["inflow"], lw=1.0)
    for j in (1, 2, 3):
        ax.plot(t, s[f"tss_{j}"], color=COLOURS[j])
    ax.plot(t, s["tss_flush"], color=COLOURS["flush"], lw=2.0, label="after the first flush")
    ax.plot(t, s["tss_plant"], color=COLOURS["plant"], lw=1.0, ls="-.", label="plant inflow, with industry")
    ax.set_ylabel("TSS (g/m3)")


def balances_panel(ax, found: dict[str, tuple[str, float]]) -> None:
    names = list(found)
    errors = [max(err, 1e-17) for _, err in found.values()]  # an exact balance is drawn at 1e-17
    colours = [COLOURS[int(n[-1])] if n.startswith("sewer") else "tab:gray" for n in names]
    bars = ax.barh(range(len(names)), errors, color=colours)
    ax.set_xscale("log")
    ax.set_xlim(1e-17, 1e-6)
    ax.set_yticks(range(len(names)), [n.replace("sewer ", "") for n in names], fontsize=8)
    ax.invert_yaxis()
    for bar, (_, err) in zip(bars, found.values()):
        ax.text(bar.get_width() * 1.5, bar.get_y() + bar.get_height() / 2, f"{err:.0e}" if err else "exact",
                va="center", fontsize=8)
    ax.axvline(1e-9, color="tab:red", lw=0.8, ls="--")
    ax.text(1.2e-9, len(names) - 0.6, "test limit 1e-9", color="tab:red", fontsize=8)
    ax.set_xlabel("|storage change + outflow - inflow| / (storage + inflow)\n"
                  "water and every component; fractionation: loads; combiner: flow, TSS", fontsize=8)
    ax.grid(alpha=0.3, axis="x")


def event_window(run: Run) -> tuple[float, float]:
    """From an hour before the rain to five hours after it ended (within the run)."""
    start = max(run.t[0], run.rain_start - 1.0 / 24.0)
    end = min(run.t[-1], run.rain_start + (RAIN_HOURS + 5.0) / 24.0)
    return start, end


def padded_range(s: dict[str, np.ndarray], keys: tuple[str, ...], where: np.ndarray) -> tuple[float, float]:
    low = min(s[k][where].min() for k in keys)
    high = max(s[k][where].max() for k in keys)
    pad = 0.05 * (high - low) or 1.0
    return low - pad, high + pad


def legend_entries(axes: list) -> tuple[list, list[str]]:
    """Every labelled curve once, in the order drawn."""
    seen: dict[str, object] = {}
    for ax in axes:
        for handle, label in zip(*ax.get_legend_handles_labels()):
            seen.setdefault(label, handle)
    return list(seen.values()), list(seen)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--days", type=float, default=3.0, help="simulated days (default 3)")
    ap.add_argument("--steps", type=int,
                    help="one-minute steps, overrides --days (runs under 2 days rain early)")
    ap.add_argument("--out", type=Path, default=Path("out"), help="output directory (./out)")
    ap.add_argument("--no-plot", action="store_true", help="skip the figure")
    ap.add_argument("--influent", type=Path, metavar="FILE",
                    help="also write the plant inlet as a plant simulator's influent file (needs pandas)")
    how = ap.add_mutually_exclusive_group()
    how.add_argument("--reference", dest="method", action="store_const", const="reference",
                     help="the model step by step in Python over the blocks' functions (its reference)")
    how.add_argument("--whole-series", dest="method", action="store_const", const="whole",
                     help="the catchment wired by hand: each block over the whole series, NumPy glue between")
    how.add_argument("--step-loop", dest="method", action="store_const", const="loop",
                     help="the catchment wired by hand, every block step by step")
    how.add_argument("--check", dest="method", action="store_const", const="check",
                     help="run every way, check them bit-identical and report the speeds")
    ap.set_defaults(method="model")
    args = ap.parse_args(argv)

    started = time.monotonic()
    run = simulate(args.days, args.steps, method=args.method, progress=True)
    print(summary(run))
    args.out.mkdir(parents=True, exist_ok=True)
    write_csv(run, args.out / "storm_event.csv")
    print(f"Wrote {args.out / 'storm_event.csv'}")
    if not args.no_plot:
        if plot(run, args.out / "storm_event.png"):
            print(f"Wrote {args.out / 'storm_event.png'}")
        else:
            print("matplotlib is not installed: no figure (pip install 'tarnlet[plot]')")
    if args.influent:
        from tarnlet import io

        # One file a plant simulator reads: t in days, Q in m3/d, the ASM2d
        # components in mg/L; a closing hour makes the series periodic.
        export = io.write_influent(influent(run), args.influent, close_ramp=1 / 24)
        print(f"Wrote {args.influent}: plant influent, {export.rows} rows, {len(export.columns)} columns")
    print(f"Done in {time.monotonic() - started:.2f} s")
    return 0 if max(run.mixing_excess) <= 1e-12 else 1


if __name__ == "__main__":
    sys.exit(main())
