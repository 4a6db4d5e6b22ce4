"""The storm event's catchment wired by hand, as scripts did before the model layer.

The same blocks and the same glue as the model of storm_event.py, written
out: each block over the whole series in one call of tarnlet.runs with NumPy
glue between the blocks (run_whole_series), or every block step by step, the
script owning the states and the clock (run_step_loop). storm_event.py
--check compares both with the model's compiled and reference runs, bit for
bit.
"""
from __future__ import annotations

import sys
import time

import numpy as np
from storm_event import (
    BACKGROUND,
    COMPONENTS,
    DAIRY,
    DRAINAGE,
    DT,
    FLUSHED,
    FRAC_PARS,
    FRACTIONS,
    Q_DRY,
    RUNOFF,
    SEWAGE,
    SEWER_PARS,
    SOIL_DRY,
    SOIL_LEVEL0,
    SOIL_PAR,
    SPARS,
    SSPARS,
    STREAM,
    Forcing,
    Trace,
    U,
    soil_input,
)

from tarnlet import runs
from tarnlet.brookvane import loamtank, sewer
from tarnlet.fenmoor import sedlift
from tarnlet.layout import LOAMTANK, SEDLIFT, SEWER
from tarnlet.sallowby import combiner, fractionation

FLUSH_OUT = slice(SEDLIFT.y.C_1, SEDLIFT.y.C_6 + 1)


def tss(c: np.ndarray) -> np.ndarray:
    """Suspended solids of sewer streams c (one per row), weighted as the
    storages weigh them, so that an inflow's TSS matches what it carries."""
    p = SEWER_PARS
    return (p[SEWER.pars.i_TSS_XI] * c[..., U.X_I] + p[SEWER.pars.i_TSS_XS] * c[..., U.X_S]
            + p[SEWER.pars.i_TSS_BM] * (c[..., U.X_H] + c[..., U.X_PAO] + c[..., U.X_AUT])
            + p[SEWER.pars.i_TSS_XPP] * c[..., U.X_PP] + p[SEWER.pars.i_TSS_XPHA] * c[..., U.X_PHA]
            + p[SEWER.pars.i_TSS_XMe] * (c[..., U.X_MeOH] + c[..., U.X_MeP]))


def flush_equilibrium(q: float, c: np.ndarray) -> np.ndarray:
    """Stored masses in balance with a steady flow q at the concentrations c."""
    cap, q_half, n, k = SSPARS
    wash = k * q**n / (q_half**n + q**n)
    x1 = q * c[0] / (wash + q * c[0] / cap)
    return sedlift.initialize_state(q * c * (1.0 - x1 / cap) / wash)


def mix(q1: np.ndarray, c1: np.ndarray, q2: np.ndarray, c2: np.ndarray, q3: np.ndarray,
        c3: np.ndarray) -> np.ndarray:
    """Three flows and their streams joined by flow weighting, for one step
    (scalar flows) or a series (one row per step); the total flow goes to Q."""
    total = q1 + q2 + q3
    u = (q1[..., None] * c1 + q2[..., None] * c2 + q3[..., None] * c3) / total[..., None]
    u[..., U.Q] = total
    return u


def sewer_inflow(q_sewage: np.ndarray, c_sewage: np.ndarray, y_soil: np.ndarray) -> np.ndarray:
    """Sewage plus the soil's runoff (its excess flow) and drainage water."""
    u = mix(q_sewage, c_sewage, y_soil[..., LOAMTANK.y.Q_excess], RUNOFF,
            y_soil[..., LOAMTANK.y.Q_drain], DRAINAGE)
    u[..., U.TSS] = tss(u)
    return u


def steady_storage(u: np.ndarray, spar: np.ndarray) -> np.ndarray:
    """State of a storage that has long carried the stream u: level where outflow = inflow."""
    h = spar[SEWER.spar.h0] + (u[U.Q] / spar[SEWER.spar.K]) ** (2.0 / 3.0)
    return sewer.initialize_state(np.append(u[COMPONENTS] * spar[SEWER.spar.A] * h, h))


def flush_input(y: np.ndarray) -> np.ndarray:
    """The first flush's input from a storage outflow: the flow, then the six concentrations."""
    return np.concatenate((y[..., [U.Q]], y[..., FLUSHED]), axis=-1)


def plant_inlet(y: np.ndarray, y_ff: np.ndarray) -> np.ndarray:
    """The chain outflow with the first-flush concentrations."""
    inlet = y.copy()
    inlet[..., FLUSHED] = y_ff[..., FLUSH_OUT]
    return inlet


def lumped_loads(c: np.ndarray, reference_flow: float) -> np.ndarray:
    """The 12 fractionation inputs of sewer streams c: five loads (g/d) in two
    contributions each, the reference flow and the flow."""
    q = c[..., U.Q]
    first = [c[..., U.S_F] + c[..., U.S_A], c[..., U.X_S], c[..., U.S_NH4], c[..., U.S_PO4], c[..., U.S_ALK]]
    second = [c[..., U.S_I], c[..., U.X_I] + c[..., U.X_H], c[..., U.S_NO3], c[..., U.X_PP], 0.0]
    return np.stack([q * load for load in first + second] + [np.full_like(q, reference_flow), q], axis=-1)


def stream56(values: np.ndarray, flow: np.ndarray, temperature: np.ndarray) -> np.ndarray:
    """Combiner streams from fractionation outputs, flows and temperatures."""
    return np.concatenate((values[..., :STREAM.Q], flow[..., None], values[..., STREAM.Q:],
                           temperature[..., None]), axis=-1)


# The dairy's 56-entry stream, as the combiner mixes it in every step.
INDUSTRY = stream56(fractionation.compute(lumped_loads(DAIRY, 500.0), FRAC_PARS, FRACTIONS, BACKGROUND),
                    DAIRY[U.Q], DAIRY[U.passthrough])


def initial_states(f: Forcing) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Steady states, as after a long dry spell."""
    soil = loamtank.initialize_state([SOIL_LEVEL0])
    u = sewer_inflow(f.q_sewage[0], f.c_sewage[0], SOIL_DRY)
    storages = np.array([steady_storage(u, spar) for spar in SPARS])
    flush = flush_equilibrium(Q_DRY, SEWAGE[FLUSHED])
    return soil, storages, flush


def run_whole_series(f: Forcing) -> Trace:
    """Block after block, each over the whole series in one call."""
    soil0, storages0, flush0 = initial_states(f)
    u_soil = soil_input(f)
    soil, y_soil = runs.loamtank_run(soil0, u_soil, SOIL_PAR, DT, states="last")
    u_in = sewer_inflow(f.q_sewage, f.c_sewage, y_soil)
    storages, y_sewer = runs.sewer_chain_run(storages0, u_in, SEWER_PARS, SPARS, DT, states="last")
    u_ff = flush_input(y_sewer[:, -1])
    flush, y_ff = runs.sedlift_run(flush0, u_ff, SSPARS, DT, states="last")
    inlet = plant_inlet(y_sewer[:, -1], y_ff)
    loads = lumped_loads(inlet, Q_DRY)
    values = fractionate_series(loads)
    town = stream56(values, inlet[:, U.Q], inlet[:, U.passthrough])
    plant = combine_series(town, INDUSTRY)
    return Trace(u_soil, y_soil, np.stack((soil0, soil[0])), u_in, y_sewer, np.stack((storages0, storages[0])),
                 u_ff, y_ff, np.stack((flush0, flush[0])), loads, values, town, np.tile(INDUSTRY, (len(town), 1)),
                 plant, inlet)


def fractionate_series(loads: np.ndarray) -> np.ndarray:
    if hasattr(runs, "fractionation_run"):
        return runs.fractionation_run(loads, FRAC_PARS, FRACTIONS, BACKGROUND)
    # Fallback for builds of tarnlet.runs without the stream blocks: a loop over the per-step function.
    return np.array([fractionation.compute(row, FRAC_PARS, FRACTIONS, BACKGROUND) for row in loads])


def combine_series(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """Streams a (one row per step) mixed with the one stream b."""
    if hasattr(runs, "combiner_run"):
        return runs.combiner_run(a, b)
    # Fallback for builds of tarnlet.runs without the stream blocks: a loop over the per-step function.
    return np.array([combiner.combine(row, b) for row in a])


def run_step_loop(f: Forcing, progress: bool = False) -> Trace:
    """The reference: every block, one step after another, the script owning the states."""
    n = len(f.t)
    soil, storages, flush = initial_states(f)
    storages = list(storages)
    tr = Trace(soil_input(f), np.empty((n, 4)), np.empty((2, 1)), np.empty((n, 27)), np.empty((n, 3, 27)),
               np.empty((2, 3, 24)), np.empty((n, 7)), np.empty((n, 13)), np.empty((2, 6)),
               np.empty((n, 12)), np.empty((n, 54)), np.empty((n, 56)), np.tile(INDUSTRY, (n, 1)),
               np.empty((n, 56)), np.empty((n, 27)))
    tr.x_soil[0], tr.x_sewer[0], tr.x_ff[0] = soil, storages, flush
    clock, shown = time.monotonic(), 0.0
    for k in range(n):
        tr.y_soil[k] = loamtank.outputs(soil, tr.u_soil[k], SOIL_PAR)
        soil = loamtank.euler_step(soil, tr.u_soil[k], SOIL_PAR, DT)
        u = tr.u_in[k] = sewer_inflow(f.q_sewage[k], f.c_sewage[k], tr.y_soil[k])
        for j, spar in enumerate(SPARS):  # each storage's outflow is the next one's inflow
            tr.y_sewer[k, j] = sewer.outputs(storages[j], u, SEWER_PARS, spar)
            storages[j] = sewer.euler_step(storages[j], u, SEWER_PARS, spar, DT)
            u = tr.y_sewer[k, j]
        tr.u_ff[k] = flush_input(u)
        tr.y_ff[k] = sedlift.outputs(flush, tr.u_ff[k], SSPARS)
        flush = sedlift.euler_step(flush, tr.u_ff[k], SSPARS, DT)
        inlet = tr.inlet[k] = plant_inlet(u, tr.y_ff[k])
        tr.loads[k] = lumped_loads(inlet, Q_DRY)
        tr.values[k] = fractionation.compute(tr.loads[k], FRAC_PARS, FRACTIONS, BACKGROUND)
        tr.town[k] = stream56(tr.values[k], inlet[U.Q], inlet[U.passthrough])
        tr.plant[k] = combiner.combine(tr.town[k], INDUSTRY)
        if progress and time.monotonic() - clock > max(2.0, shown + 0.5):  # runs over 2 s
            shown = time.monotonic() - clock
            print(f"\r  step loop: day {f.t[k]:5.2f} of {n * DT:.2f}", end="", file=sys.stderr)
    if shown:
        print(file=sys.stderr)
    tr.x_soil[1], tr.x_sewer[1], tr.x_ff[1] = soil, storages, flush
    return tr
