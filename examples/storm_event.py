"""A storm event on a small combined-sewer catchment, minute by minute.

Every block of tarnlet in one simulation that the script drives itself, the
way your own simulation would: it owns the state vectors and the clock, and
in every time step asks each block for its outflow (`outputs`) before
advancing it (`euler_step`).

    rain ---> soil reservoir (loamtank) ---> runoff + drainage water
    sewage + runoff + drainage ---> sewer storage 1 ---> 2 ---> 3 (sewer)
        ---> first flush (sedlift) ---> fractionation ---> combiner <--- industry

Units: time in days (one step is one minute), flows in m3/d, levels in m,
concentrations in g/m3 (alkalinity in mol/m3), stored masses in g.

    python -P examples/storm_event.py [--days 3] [--steps N] [--out DIR] [--no-plot]
"""
from __future__ import annotations

import argparse
import csv
import math
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from tarnlet.brookvane import loamtank, sewer
from tarnlet.fenmoor import sedlift
from tarnlet.sallowby import combiner, fractionation

DT = 1.0 / 1440.0  # one minute, in days

# ---- The sewer stream: 27 entries, shared by the input u and the output y.
S_O2, S_F, S_A, S_NH4, S_NO3, S_PO4, S_I, S_ALK, S_N2 = range(9)
X_I, X_S, X_H, X_PAO, X_PP, X_PHA, X_AUT, X_MEOH, X_MEP = range(9, 18)
TSS, Q, TEMP, LEVEL = 18, 19, 20, 26  # TSS is computed by the storage; TEMP passes through
# The five further components (21-25) serve here as tracers of where the
# water came from: 1 in their own water, 0 elsewhere. Their sum stays 1.
SEWAGE_WATER, RUNOFF_WATER, DRAINAGE_WATER = 21, 22, 23
COMPONENTS = [*range(18), *range(21, 26)]  # what a storage stores (x[0:23])


def stream(temperature: float, conc: dict[int, float]) -> np.ndarray:
    """A sewer stream vector (without flow) from {index: concentration}."""
    u = np.zeros(sewer.NINPUTS)
    u[TEMP] = temperature
    for i, c in conc.items():
        u[i] = c
    u[TSS] = 0.75 * (u[X_I] + u[X_S]) + 0.9 * u[X_H]  # for information: not read
    return u


# Typical municipal raw sewage (ASM2d influent), then two dilute waters.
SEWAGE = stream(16.0, {S_F: 30.0, S_A: 20.0, S_NH4: 16.0, S_PO4: 3.6, S_I: 30.0, S_ALK: 5.0,
                       X_I: 25.0, X_S: 125.0, X_H: 30.0, SEWAGE_WATER: 1.0})
RUNOFF = stream(12.0, {S_O2: 9.0, S_I: 5.0, S_ALK: 1.0, X_I: 40.0, X_S: 15.0, RUNOFF_WATER: 1.0})
DRAINAGE = stream(11.0, {S_O2: 2.0, S_ALK: 3.0, DRAINAGE_WATER: 1.0})

Q_DRY = 4000.0  # mean dry-weather flow (about 20 000 inhabitants)


def dry_weather(t: float) -> tuple[float, np.ndarray]:
    """Sewage flow and concentrations at time t (days): low at 4:00, peaks at 11:30 and 20:00."""
    w = 2.0 * math.pi * (t % 1.0)
    f = 1.0 - 0.35 * math.cos(w - 0.8) - 0.2 * math.cos(2.0 * w - 2.1)
    conc = SEWAGE.copy()
    conc[[S_F, S_A, S_NH4, S_PO4, S_I, X_I, X_S, X_H]] *= 0.8 + 0.2 * f  # loads vary more than flow
    return Q_DRY * f, conc


def mix(*parts: tuple[float, np.ndarray]) -> np.ndarray:
    """Join (flow, stream) parts by flow weighting; the total flow goes to u[Q]."""
    total = sum(q for q, _ in parts)
    u = np.sum([q * c for q, c in parts], axis=0) / total
    u[Q] = total
    return u


# ---- Rain on the soil reservoir (loamtank): x = [stored water depth, m].
RAIN_START = 1.0 + 14.0 / 24.0  # day 1, 14:00
RAIN_HOURS, RAIN_PEAK = 3.0, 10.0  # a 3-hour shower peaking at 10 mm/h
# par: upper level (recharge refused above), drainage threshold, area m2,
# infiltration capacity m/d, drainage coefficient, linear loss coefficient.
SOIL_PAR = np.array([0.10, 0.020, 1.2e5, 0.12, 15000.0, 5000.0])
SOIL_LEVEL0 = 0.0205


def rain(t: float, start: float) -> float:
    """Rain intensity in mm/h: one half-sine shower."""
    s = (t - start) * 24.0 / RAIN_HOURS
    return RAIN_PEAK * math.sin(math.pi * s) if 0.0 < s < 1.0 else 0.0


# Recharge from upslope (u[1]) that keeps the soil steady in dry weather.
SOIL_DRY = loamtank.outputs([SOIL_LEVEL0], [0.0, 0.0], SOIL_PAR)  # drainage, -, loss, level
RECHARGE = SOIL_DRY[0] + SOIL_DRY[2]

# ---- Three sewer storages (sewer): plan area m2, weir coefficient, threshold level m.
SEWER_PARS = np.zeros(25)
SEWER_PARS[19:25] = [0.75, 0.75, 0.90, 3.23, 0.60, 1.00]  # g TSS per g COD (ASM2d)
SPARS = [np.array([a, 11000.0, 0.10]) for a in (300.0, 400.0, 500.0)]


def steady_storage(u: np.ndarray, spar: np.ndarray) -> np.ndarray:
    """State of a storage that has long carried the stream u: level where outflow = inflow."""
    h = spar[2] + (u[Q] / spar[1]) ** (2.0 / 3.0)
    return sewer.initialize_state(np.append(u[COMPONENTS] * spar[0] * h, h))


# ---- First flush (sedlift) on six components; component 1 (TSS) fills the store.
FLUSHED = [TSS, X_I, X_S, X_H, S_NH4, S_PO4]
# capacity g TSS, half-saturation flow m3/d, exponent, wash-off rate 1/d
SSPARS = np.array([400e3, 10000.0, 6.0, 20.0])


def flush_equilibrium(q: float, c: np.ndarray) -> np.ndarray:
    """Stored masses in balance with a steady flow q at the concentrations c."""
    cap, q_half, n, k = SSPARS
    wash = k * q**n / (q_half**n + q**n)
    x1 = q * c[0] / (wash + q * c[0] / cap)
    return sedlift.initialize_state(q * c * (1.0 - x1 / cap) / wash)


# ---- Fractionation of the plant inlet into 54 model values, then mixing.
# Five kinds of load (g/d), two contributions each:
#   0 soluble COD (S_F + S_A, S_I)  -> outputs 1, 2 (shares) and 3 (storm reserve)
#   1 particulate COD (X_S, X_I + X_H) -> outputs 13, 14, 15
#   2 nitrogen (S_NH4, S_NO3) -> 4;  3 phosphorus (S_PO4, X_PP) -> 9;  4 alkalinity -> 11
# u[10] is the mean dry-weather flow: the flow above it carries 10 g/m3 of
# soluble COD that goes to output 3. Shares of one kind add up to 1, so the
# fractionation hands on every load it is given.
FRACTIONS = np.array([0.6, 0.4, 10.0, 1.0, 1.0, 1.0, 0.25, 0.60, 0.15])
FRAC_PARS = np.zeros(156)
FRAC_PARS[[28, 29, 30]] = [0.75, 0.75, 0.90]  # TSS per unit of outputs 13, 14 and 15
BACKGROUND = np.zeros(44)  # the 44 values not derived from loads: none in this scenario
LOAD_KINDS = [[1, 2, 3], [13, 14, 15], [4], [9], [11]]  # outputs of each kind


def lumped_loads(c: np.ndarray, reference_flow: float) -> np.ndarray:
    """The 12 fractionation inputs of a stream c: five loads (g/d) in two
    contributions each, the reference flow and the flow."""
    first = [c[S_F] + c[S_A], c[X_S], c[S_NH4], c[S_PO4], c[S_ALK]]
    second = [c[S_I], c[X_I] + c[X_H], c[S_NO3], c[X_PP], 0.0]
    return np.array([c[Q] * load for load in first + second] + [reference_flow, c[Q]])


def stream56(values: np.ndarray, flow: float, temperature: float) -> np.ndarray:
    """Combiner stream: fractionation outputs 0-36 at 0-36, the flow at 37,
    outputs 37-53 at 38-54 and the temperature at 55."""
    return np.concatenate((values[:37], [flow], values[37:], [temperature]))


# A constant industrial discharge (a dairy): 500 m3/d of strong, warm water.
_dairy = stream(25.0, {S_F: 1400.0, S_A: 300.0, S_I: 60.0, S_NH4: 20.0, S_PO4: 12.0,
                       S_ALK: 4.0, X_I: 40.0, X_S: 450.0, X_H: 60.0})
_dairy[Q] = 500.0
INDUSTRY = stream56(fractionation.compute(lumped_loads(_dairy, 500.0), FRAC_PARS, FRACTIONS,
                                          BACKGROUND), 500.0, 25.0)


class Balance:
    """Cumulative inflow and outflow of a block against the change of what it stores."""

    def __init__(self, storage: np.ndarray | float) -> None:
        self.start = np.asarray(storage, dtype=float)
        self.inflow = self.outflow = np.zeros_like(self.start)

    def add(self, inflow: object, outflow: object) -> None:
        """Add one step's flows (per day) of every balanced quantity."""
        self.inflow = self.inflow + DT * np.asarray(inflow)
        self.outflow = self.outflow + DT * np.asarray(outflow)

    def error(self, storage: np.ndarray | float) -> float:
        """Largest |end + outflow - start - inflow| / (start + inflow) over the quantities."""
        resid = np.abs(storage + self.outflow - self.start - self.inflow)
        scale = np.abs(self.start) + np.abs(self.inflow)
        return float(np.max(np.divide(resid, scale, out=np.zeros_like(resid), where=scale > 0)))


def stored(x: np.ndarray, spar: np.ndarray) -> np.ndarray:
    """What a sewer storage holds: 23 component masses and its water volume."""
    return np.append(x[:23], spar[0] * x[23])


def carried(c: np.ndarray) -> np.ndarray:
    """What a sewer stream carries per day: 23 component mass flows and its flow."""
    return c[Q] * np.append(c[COMPONENTS], 1.0)


@dataclass
class Run:
    t: np.ndarray  # time of each step, days
    series: dict[str, np.ndarray]  # COLUMNS, one value per step
    balances: dict[str, float]  # relative mass balance error of each block


# The recorded series: rain (mm/h), soil storage (mm), flows (m3/d) of sewage,
# runoff, drainage, sewer inflow and storage outflows, levels (m), TSS and NH4-N
# (g/m3) of the sewer inflow, of storage 3's outflow and after the first flush,
# the share of infiltration/inflow water in storage 3's outflow, and flow, TSS
# and temperature (C) after the industrial discharge has joined.
COLUMNS = ["rain_mm_h", "soil_mm", "q_sewage", "q_runoff", "q_drainage", "q_in",
           "q_1", "q_2", "q_3", "level_1", "level_2", "level_3", "tss_in", "tss_3", "tss_flush",
           "nh4_3", "ii_share_3", "q_plant", "tss_plant", "temp_plant"]


def simulate(days: float = 3.0, steps: int | None = None, rain_start: float | None = None,
             progress: bool = False) -> Run:
    """Run the scenario for `days` (or `steps` one-minute steps). The shower
    starts at `rain_start` (days); by default on day 1 at 14:00, or after a
    fifth of a run shorter than two days."""
    n = steps if steps is not None else round(days / DT)
    if rain_start is None:
        rain_start = RAIN_START if n * DT >= 2.0 else 0.2 * n * DT
    series = {name: np.empty(n) for name in COLUMNS}

    def record(k: int, **values: float) -> None:
        for name, value in values.items():
            series[name][k] = value

    # Initial states: steady, as after a long dry spell.
    soil = loamtank.initialize_state([SOIL_LEVEL0])
    u = mix(dry_weather(0.0), (SOIL_DRY[0], DRAINAGE))
    storages = [steady_storage(u, spar) for spar in SPARS]
    flush = flush_equilibrium(Q_DRY, SEWAGE[FLUSHED])
    bal = {"soil reservoir": Balance(soil[0] * SOIL_PAR[2]),
           **{f"sewer storage {j + 1}": Balance(stored(x, spar))
              for j, (x, spar) in enumerate(zip(storages, SPARS))},
           "first flush": Balance(flush), "fractionation": Balance(np.zeros(5)),
           "combiner": Balance(np.zeros(2))}
    clock, shown = time.monotonic(), 0.0

    for k in range(n):
        t = k * DT
        # Soil: rain beyond the infiltration capacity runs off at once (y[1]),
        # the stored water drains slowly (y[0]); both reach the sewer.
        u_soil = np.array([rain(t, rain_start) * 0.024 * SOIL_PAR[2], RECHARGE])  # mm/h to m/d
        y_soil = loamtank.outputs(soil, u_soil, SOIL_PAR)
        recharge = u_soil[1] if soil[0] < SOIL_PAR[0] else 0.0  # refused when saturated
        bal["soil reservoir"].add(u_soil[0] + recharge, y_soil[0] + y_soil[1] + y_soil[2])
        soil = loamtank.euler_step(soil, u_soil, SOIL_PAR, DT)

        q_sewage, c_sewage = dry_weather(t)
        u = u_in = mix((q_sewage, c_sewage), (y_soil[1], RUNOFF), (y_soil[0], DRAINAGE))

        # The chain: each storage's outflow is the next one's inflow (u[26] is not read).
        for j, spar in enumerate(SPARS):
            y = sewer.outputs(storages[j], u, SEWER_PARS, spar)
            bal[f"sewer storage {j + 1}"].add(carried(u), carried(y))
            storages[j] = sewer.euler_step(storages[j], u, SEWER_PARS, spar, DT)
            record(k, **{f"q_{j + 1}": y[Q], f"level_{j + 1}": y[LEVEL]})
            u = y

        # First flush: deposits build up in dry weather and leave with the storm.
        u_ff = np.concatenate(([y[Q]], y[FLUSHED]))
        y_ff = sedlift.outputs(flush, u_ff, SSPARS)
        bal["first flush"].add(y[Q] * u_ff[1:], y[Q] * y_ff[1:7])
        flush = sedlift.euler_step(flush, u_ff, SSPARS, DT)

        # The plant inlet: the chain outflow with the first-flush concentrations,
        # fractionated into model values and joined by the industrial discharge.
        inlet = y.copy()
        inlet[FLUSHED] = y_ff[1:7]
        loads = lumped_loads(inlet, Q_DRY)
        values = fractionation.compute(loads, FRAC_PARS, FRACTIONS, BACKGROUND)
        bal["fractionation"].add(loads[0:5] + loads[5:10],
                                 [inlet[Q] * values[i].sum() for i in LOAD_KINDS])
        town = stream56(values, inlet[Q], inlet[TEMP])
        plant = combiner.combine(town, INDUSTRY)
        qa, qb = town[37], INDUSTRY[37]
        bal["combiner"].add([qa + qb, qa * town[36] + qb * INDUSTRY[36]],
                            [plant[37], plant[37] * plant[36]])

        record(k, rain_mm_h=rain(t, rain_start), q_sewage=q_sewage, q_runoff=y_soil[1],
               q_drainage=y_soil[0], q_in=u_in[Q], soil_mm=1000.0 * y_soil[3],
               tss_in=u_in[TSS], tss_3=y[TSS], tss_flush=y_ff[1], nh4_3=y[S_NH4],
               ii_share_3=y[RUNOFF_WATER] + y[DRAINAGE_WATER],
               q_plant=plant[37], tss_plant=plant[36], temp_plant=plant[55])
        if progress and time.monotonic() - clock > max(2.0, shown + 0.5):  # runs over 2 s
            shown = time.monotonic() - clock
            print(f"\r  day {t:5.2f} of {n * DT:.2f}", end="", file=sys.stderr)
    if shown:
        print(file=sys.stderr)

    ends = {"soil reservoir": soil[0] * SOIL_PAR[2], "first flush": flush}
    for j, (x, spar) in enumerate(zip(storages, SPARS)):
        ends[f"sewer storage {j + 1}"] = stored(x, spar)
    balances = {name: b.error(ends.get(name, 0.0)) for name, b in bal.items()}
    return Run(np.arange(n) * DT, series, balances)


def clock_time(t: float) -> str:
    minutes = round(t * 1440.0)
    return f"day {minutes // 1440} {minutes % 1440 // 60:02d}:{minutes % 60:02d}"


def summary(run: Run) -> str:
    t, s = run.t, run.series
    k_in = int(np.argmax(s["q_in"]))
    rain_mm = s["rain_mm_h"].sum() * DT * 24.0
    lines = [f"{len(t)} one-minute steps ({len(t) * DT:.2f} days), rain {rain_mm:.1f} mm",
             "Peak flows (m3/d), their delay after the inflow peak, highest level:",
             f"  sewer inflow  {s['q_in'][k_in]:7.0f}  {clock_time(t[k_in])}"]
    for j in (1, 2, 3):
        k = int(np.argmax(s[f"q_{j}"]))
        lines.append(f"  storage {j}     {s[f'q_{j}'][k]:7.0f}  {clock_time(t[k])}  "
                     f"{(k - k_in) * DT * 1440:+4.0f} min  {s[f'level_{j}'].max():.2f} m")
    k = int(np.argmax(s["tss_flush"]))
    lines += [f"First flush: TSS {s['tss_flush'][k]:.0f} g/m3 at {clock_time(t[k])}, while "
              f"{s['tss_3'][k]:.0f} g/m3 flow in (highest inflow TSS {s['tss_3'].max():.0f} g/m3)",
              "Mass balance, |storage change + outflow - inflow| / (storage + inflow):"]
    what = {"soil reservoir": "water", "first flush": "6 components",
            "fractionation": "5 kinds of load", "combiner": "flow and TSS load"}
    for name, err in run.balances.items():
        lines.append(f"  {name:<16}{what.get(name, 'water, 23 components'):<22}{err:.1e}")
    return "\n".join(lines)


def write_csv(run: Run, path: Path) -> None:
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["time_d", *run.series])
        for k, t in enumerate(run.t):
            w.writerow([f"{t:.6f}", *(f"{v[k]:.6g}" for v in run.series.values())])


def plot(run: Run, path: Path) -> bool:
    try:
        import matplotlib
    except ImportError:
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    hours, s = run.t * 24.0, run.series
    fig, (ax1, ax2, ax3) = plt.subplots(3, 1, sharex=True, figsize=(10, 9))
    for key, label in [("q_in", "sewer inflow"), ("q_1", "storage 1"), ("q_2", "storage 2"),
                       ("q_3", "storage 3"), ("q_runoff", "runoff"), ("q_drainage", "drainage")]:
        ax1.plot(hours, s[key], label=label, ls="-" if key[2].isdigit() or key == "q_in" else "--")
    ax1.set_ylabel("flow (m3/d)")
    rain = ax1.twinx()  # rain hangs from the top
    rain.fill_between(hours, s["rain_mm_h"], color="tab:blue", alpha=0.2, lw=0, label="rain")
    rain.set_ylim(4.0 * max(1.0, s["rain_mm_h"].max()), 0.0)
    rain.set_ylabel("rain (mm/h)")
    for j in (1, 2, 3):
        ax2.plot(hours, s[f"level_{j}"], label=f"storage {j}")
    ax2.set_ylabel("sewer level (m)")
    soil = ax2.twinx()
    soil.plot(hours, s["soil_mm"], color="tab:brown", ls=":", label="soil storage")
    soil.set_ylabel("soil storage (mm)")
    for key, label in [("tss_in", "TSS sewer inflow"), ("tss_3", "TSS storage 3 outflow"),
                       ("tss_flush", "TSS after first flush"), ("tss_plant", "TSS with industry")]:
        ax3.plot(hours, s[key], label=label, lw=2.0 if key == "tss_flush" else 1.2)
    ax3.set_ylabel("TSS (g/m3)")
    nh4 = ax3.twinx()
    nh4.plot(hours, s["nh4_3"], color="tab:gray", ls=":", label="NH4-N storage 3 outflow")
    nh4.set_ylabel("NH4-N (g/m3)")
    ax3.set_xlabel("time (h)")
    ax3.set_xticks(np.arange(0.0, hours[-1] + 1.0, 6.0 if hours[-1] > 24 else 1.0))
    for ax, twin in ((ax1, rain), (ax2, soil), (ax3, nh4)):
        (h1, l1), (h2, l2) = ax.get_legend_handles_labels(), twin.get_legend_handles_labels()
        ax.legend(h1 + h2, l1 + l2, loc="upper left", fontsize=8, ncol=2)
        ax.grid(alpha=0.3)
    fig.suptitle("Storm event: soil reservoir, three sewer storages, first flush")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--days", type=float, default=3.0, help="simulated days (default 3)")
    ap.add_argument("--steps", type=int,
                    help="one-minute steps, overrides --days (runs under 2 days rain early)")
    ap.add_argument("--out", type=Path, default=Path("out"), help="output directory (./out)")
    ap.add_argument("--no-plot", action="store_true", help="skip the figure")
    args = ap.parse_args(argv)

    started = time.monotonic()
    run = simulate(args.days, args.steps, progress=True)
    print(summary(run))
    args.out.mkdir(parents=True, exist_ok=True)
    write_csv(run, args.out / "storm_event.csv")
    print(f"Wrote {args.out / 'storm_event.csv'}")
    if not args.no_plot:
        if plot(run, args.out / "storm_event.png"):
            print(f"Wrote {args.out / 'storm_event.png'}")
        else:
            print("matplotlib is not installed: no figure (pip install 'tarnlet[plot]')")
    print(f"Done in {time.monotonic() - started:.2f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
