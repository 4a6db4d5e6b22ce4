"""Random models of every node kind, for the property tests and the fuzz
target: each a feed-forward graph of sewer streams (sources, storages,
chains, first flushes, mixers, adapters with Linear maps, merges, splitters,
overflows, a delay), a soil reservoir's runoff, and a fractionation and
combiner at the end, all from one seed."""
from __future__ import annotations

import numpy as np

from tarnlet.layout import FRACTIONATION, LOAMTANK, SEDLIFT, SEWER
from tarnlet.model import Linear, Model

U = SEWER.u
COMPONENTS = ["TSS", "X_I", "X_S", "X_H", "S_NH4", "S_PO4"]


def stream_rows(rng: np.random.Generator, steps: int, special: bool) -> np.ndarray:
    rows = np.abs(rng.normal(20.0, 15.0, (steps, len(U))))
    rows[:, U.Q] = np.abs(rng.normal(4000.0, 1500.0, steps))
    if special and steps:
        rows[rng.integers(0, steps), U.Q] = 0.0  # no flow now and then
        # Not in the first row, which a steady start takes as its inflow.
        rows.flat[rng.integers(min(len(U), rows.size - 1), rows.size, 3)] = [np.nan, -1.0, 0.0]
    return rows


def random_model(seed: int, steps: int = 60, special: bool = False) -> Model:
    """A model with every kind of node, wired at random from `seed`."""
    rng = np.random.default_rng(seed)
    m = Model(dt=float(rng.choice([1 / 1440, 1 / 288])))
    streams = []  # addresses of nodes giving a sewer stream

    m.source("sewage", stream_rows(rng, steps, special), layout=U)
    streams.append("sewage")
    if rng.random() < 0.5:
        m.source("base", stream_rows(rng, 1, False)[0], layout=U)  # one vector for every step
        streams.append("base")
    rain = np.column_stack([np.where(rng.random(steps) < 0.3, rng.uniform(0, 5e4, steps), 0.0),
                            np.full(steps, rng.uniform(0, 3000.0))])
    m.source("rain", rain, layout=LOAMTANK.u)
    m.loamtank("soil", u="rain", x0=[rng.uniform(0.0, 0.05)],
               par=LOAMTANK.par.vector(h_max=0.1, h_drain=0.02, A=1.2e5, q_cap=0.12, k_drain=15000.0,
                                       k_lin=rng.uniform(100.0, 5000.0)))
    m.adapter("runoff", "soil", layout=U, entries={"Q": "Q_excess", "X_I": 40.0, "S_O2": 9.0}, fill=0.0)
    streams.append("runoff")
    pars = SEWER.pars.vector(i_TSS_XI=0.75, i_TSS_XS=0.75, i_TSS_BM=0.9, i_TSS_XPP=3.2, i_TSS_XPHA=0.6,
                             i_TSS_XMe=1.0)
    kinds = ["mixer", "sewer", "chain", "adapter", "splitter", "overflow", "sedlift", "merge", "delay"]
    for k in range(int(rng.integers(6, 11))):
        kind = str(rng.choice(kinds))
        name = f"{kind}{k}"
        pick = [str(s) for s in rng.choice(streams, size=min(len(streams), int(rng.integers(1, 4))), replace=False)]
        spar = SEWER.spar.vector(A=rng.uniform(100, 600), K=rng.uniform(5e3, 2e4), h0=rng.uniform(0, 0.2))
        if kind == "mixer":
            m.mixer(name, pick)
        elif kind == "sewer":
            m.sewer(name, u=pick[0], pars=pars, spar=spar,
                    x0="steady" if rng.random() < 0.7 else np.r_[np.ones(23), 0.3])
        elif kind == "chain":
            n = int(rng.integers(2, 4))
            m.sewer_chain(name, u=pick[0], pars=pars, spar=np.array([spar * [1 + j, 1, 1] for j in range(n)]))
        elif kind == "adapter":
            terms = [(float(rng.uniform(0.2, 2.0)), tuple(str(e) for e in rng.choice(U.names[:18], 2))),
                     (1.0, "X_S")]
            m.adapter(name, pick, layout=U, entries={"TSS": Linear(terms), "h": 0.0,
                                                     "passthrough": Linear.load("Q", "S_F")})
        elif kind == "splitter":
            share = float(rng.uniform(0.1, 0.9))
            m.splitter(name, pick[0], [share, 1.0 - share], names=["a", "b"])
            streams.append(f"{name}.b")
            name = f"{name}.a"
        elif kind == "overflow":
            m.overflow(name, pick[0], capacity=float(rng.uniform(1000.0, 6000.0)))
            streams.append(f"{name}.over")
            name = f"{name}.kept"
        elif kind == "sedlift":
            m.sedlift(name, u=pick[0], components=COMPONENTS,
                      sspars=SEDLIFT.sspars.vector(capacity=float(rng.choice([0.0, 4e5])), Q_half=1e4, n=6.0,
                                                   k_wash=20.0),
                      x0=np.abs(rng.normal(1e3, 500.0, 6)))
            m.merge(f"merged{k}", pick[0], name, replace=COMPONENTS)
            name = f"merged{k}"
        elif kind == "merge":
            m.merge(name, pick[0], pick[-1], replace=["S_NH4", "TSS"])
        else:
            m.delay(name, pick[0], initial=np.zeros(len(U)))
        streams.append(name)
    last = streams[-1]
    m.adapter("loads", last, layout=FRACTIONATION.u, entries={
        "L0_1": Linear.load("Q", "S_F", "S_A"), "L1_1": Linear.load("Q", "X_S"), "L2_1": Linear.load("Q", "S_NH4"),
        "L3_1": Linear.load("Q", "S_PO4"), "L4_1": Linear.load("Q", "S_ALK"), "L0_2": Linear.load("Q", "S_I"),
        "L1_2": Linear.load("Q", "X_I", "X_H"), "L2_2": Linear.load("Q", "S_NO3"), "L3_2": Linear.load("Q", "X_PP"),
        "L4_2": Linear([], scale="Q"), "Q_ref": 4000.0})
    pars156 = FRACTIONATION.pars.vector(i_TSS_13=0.75, i_TSS_14=0.75, i_TSS_15=0.9)
    fractions = FRACTIONATION.fractions.vector(f0_share_1=0.6, f0_share_2=0.4, c0_reserve=10.0, f2=1.0, f3=1.0,
                                               f4=1.0, f1_share_1=0.25, f1_share_2=0.6, f1_share_3=0.15)
    m.fractionation("values", u="loads", pars=pars156, fractions=fractions, bg_values=rng.uniform(0, 5, 44))
    names = [*FRACTIONATION.y.names[:37], "Q", *FRACTIONATION.y.names[37:], "T"]
    m.adapter("town", ["values", last], layout=names, entries={"T": 12.0})  # Q by name from `last`
    m.source("industry", np.r_[rng.uniform(0, 50, 37), 500.0, rng.uniform(0, 50, 18)], names=names)
    m.combiner("plant", stream_a="town", stream_b="industry", names=names)
    return m
