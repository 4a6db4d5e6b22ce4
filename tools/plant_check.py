"""The plant check: the worked example's plant influent read by a real ASM2d
plant simulator (QSDsan) and run through a small plant.

1. The storm example (examples/storm_event.py) runs for one day; its plant
   inlet (the third sewer storage's outflow after the first flush) becomes a
   result table, and tarnlet.io.write_influent writes its dynamic-influent
   file in one call (with a one-hour closing ramp, so that QSDsan's periodic
   spline does not ring at the ends).
2. QSDsan reads it with DynamicInfluent. Checked: the table it holds is the
   file's, bit for bit, times and values (S_ALK in g C/m3 = the sewer's
   mol/m3 x 12.011); and its interpolant passes through every exported value
   (within 1e-9, relative to the column's largest value).
3. A small plant, an anoxic tank (1500 m3), an aerated tank (4500 m3, KLa
   240/d, DO saturation 8 g/m3) and an ideal clarifier returning its
   underflow (4000 m3/d) to the first tank, runs through the data's day
   (ASM2d, RK23). Checked: water leaves as it enters (the tanks keep their
   volume; the clarifier stores nothing), within 1e-4 of the inflow (the
   tanks' flows are solver states); COD
   balances within 0.2 % of the COD that entered, counting oxygen and nitrate
   as negative COD (the components' i_COD, which ASM2d's processes
   conserve): change in the tanks = COD in - COD out - oxygen transferred.
   The integrals are trapezoidal sums over the solver's output every minute,
   which limits the tolerance.

Exits 1 when a check fails. Run by tools/plant_check.sh in its own virtual
environment (.venv-plant).

    python -P tools/plant_check.py [--days 1] [--keep DIR]
"""
from __future__ import annotations

import argparse
import importlib.util
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

from tarnlet import io
from tarnlet.layout import SEWER

ROOT = Path(__file__).resolve().parent.parent
# The tanks' flows are states the solver integrates from the inflow's
# derivative, so water balances to the solver's accuracy, not to rounding.
WATER_TOLERANCE = 1e-4  # of the water that entered
COD_TOLERANCE = 2e-3  # of the COD that entered
SPLINE_TOLERANCE = 1e-9  # of a column's largest value


def load_example():
    spec = importlib.util.spec_from_file_location("storm_event", ROOT / "examples" / "storm_event.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules["storm_event"] = module
    spec.loader.exec_module(module)
    return module


def export(folder: Path, days: float) -> tuple[Path, pd.DataFrame, io.InfluentExport]:
    ex = load_example()
    run = ex.simulate(days)
    inlet = ex.influent(run)
    inlet.attrs = {"units": {n: SEWER.y.unit(n) for n in SEWER.y.names}, "dt": ex.DT, "time_unit": "d"}
    path = folder / "influent.csv"
    result = io.write_influent(inlet, path, close_ramp=1 / 24)  # the one call
    return path, inlet, result


def check_read(inf, path: Path, inlet: pd.DataFrame, result: io.InfluentExport) -> list[str]:
    failures = []
    held = inf._data
    written = pd.read_csv(path)
    if list(held.columns) != list(written.columns) or len(held) != len(written):
        failures.append(f"DynamicInfluent holds columns {list(held.columns)} x {len(held)} rows, the file "
                        f"{list(written.columns)} x {len(written)}")
        return failures
    for c in written.columns:
        a, b = held[c].to_numpy(np.float64), written[c].to_numpy(np.float64)
        if not np.array_equal(a.view(np.int64), b.view(np.int64)):
            failures.append(f"DynamicInfluent's {c} differs from the file's")
    n = len(inlet)
    expected = {"t": inlet.index.to_numpy() - inlet.index[0], "Q": inlet["Q"].to_numpy(),
                **{i: inlet[i].to_numpy() * (12.011 if i == "S_ALK" else 1.0) for i in io.ASM2D_IDS}}
    for c, v in expected.items():
        if not np.array_equal(written[c].to_numpy(np.float64)[:n], v):
            failures.append(f"the file's {c} is not the exported {c}")
    ids = list(inf.components.IDs) + ["Q"]
    t = written["t"].to_numpy()[:n]
    for c in written.columns[1:]:
        f = inf._interpolant[ids.index(c)]
        values = written[c].to_numpy()[:n]
        scale = max(np.abs(values).max(), 1e-300)
        worst = np.max(np.abs(f(t) - values)) / scale
        if worst > SPLINE_TOLERANCE:
            failures.append(f"the interpolant of {c} misses the exported values by {worst:.1e} (relative)")
    print(f"  read: {len(written.columns)} columns x {len(written)} rows ({n} of the data, {result.ramp_rows} of "
          f"the ramp), held bit for bit" + ("" if failures else "; the interpolant passes through every value"))
    return failures


def run_plant(path: Path, t_end: float):
    import qsdsan as qs
    from qsdsan import processes as pc
    from qsdsan import sanunits as su

    cmps = pc.create_asm2d_cmps()
    qs.set_thermo(cmps)
    asm = pc.ASM2d()
    aeration = pc.DiffusedAeration("aer", "S_O2", KLa=240.0, DOsat=8.0, V=4500.0)
    inf = su.DynamicInfluent("INF", outs=["influent"], data_file=str(path))
    ras = qs.WasteStream("RAS")
    a1 = su.CSTR("A1", ins=[inf - 0, ras], V_max=1500.0, aeration=None, suspended_growth_model=asm)
    a2 = su.CSTR("A2", ins=a1 - 0, V_max=4500.0, aeration=aeration, suspended_growth_model=asm)
    c1 = su.IdealClarifier("C1", ins=a2 - 0, outs=["effluent", ras], sludge_flow_rate=4000.0,
                           solids_removal_efficiency=0.995, isdynamic=True)
    sludge = dict(S_O2=1.0, S_NH4=3.0, S_NO3=5.0, S_PO4=4.0, S_F=5.0, S_A=2.0, S_I=30.0, S_ALK=60.0,
                  X_I=1500.0, X_S=100.0, X_H=2500.0, X_PAO=300.0, X_PP=60.0, X_PHA=10.0, X_AUT=150.0)
    for tank in (a1, a2):
        tank.set_init_conc(**sludge)
    system = qs.System("plant", path=(inf, a1, a2, c1), recycle=(ras,))
    system.set_dynamic_tracker(inf.outs[0], a1, a2, c1.outs[0])
    t_eval = np.linspace(0.0, t_end, int(round(t_end * 1440)) + 1)
    system.simulate(t_span=(0.0, t_end), t_eval=t_eval, method="RK23", state_reset_hook="reset_cache")
    return inf, a1, a2, c1, cmps, aeration, t_eval


def series(unit_or_stream, t_eval):
    """The tracked states (concentrations and flow, one row per output time) on t_eval."""
    scope = unit_or_stream.scope
    t = np.asarray(scope.time_series)
    record = np.asarray(scope.record)
    return np.column_stack([np.interp(t_eval, t, record[:, j]) for j in range(record.shape[1])])


def check_balances(inf, a1, a2, c1, cmps, t_eval) -> list[str]:
    failures = []
    i_cod = np.asarray(cmps.i_COD)
    inflow, eff = series(inf.outs[0], t_eval), series(c1.outs[0], t_eval)
    x1, x2 = series(a1, t_eval), series(a2, t_eval)
    q_in, q_out = inflow[:, -1], eff[:, -1]
    water_in, water_out = np.trapezoid(q_in, t_eval), np.trapezoid(q_out, t_eval)
    water = abs(water_in - water_out) / water_in
    cod_in = np.trapezoid(q_in * (inflow[:, :-1] @ i_cod), t_eval)
    cod_out = np.trapezoid(q_out * (eff[:, :-1] @ i_cod), t_eval)
    o2 = cmps.index("S_O2")
    transferred = np.trapezoid(240.0 * (8.0 - x2[:, o2]) * 4500.0, t_eval)
    stored = 1500.0 * (x1[:, :-1] @ i_cod) + 4500.0 * (x2[:, :-1] @ i_cod)
    change = stored[-1] - stored[0]
    cod = abs(change - (cod_in - cod_out - transferred)) / cod_in
    print(f"  water: {water_in:.1f} m3 in, {water_out:.1f} m3 out, off by {water:.1e} (tolerance "
          f"{WATER_TOLERANCE:.0e})")
    positive = np.where(i_cod > 0, i_cod, 0.0)
    plain_in = np.trapezoid(q_in * (inflow[:, :-1] @ positive), t_eval)
    plain_out = np.trapezoid(q_out * (eff[:, :-1] @ positive), t_eval)
    print(f"  COD (oxygen, nitrate and N2 counted as negative COD): {cod_in / 1e3:.1f} kg in, {cod_out / 1e3:.1f} kg "
          f"out, {transferred / 1e3:.1f} kg of oxygen transferred, {change / 1e3:+.1f} kg in the tanks; off by "
          f"{cod:.1e} of the inflow (tolerance {COD_TOLERANCE:.0e}); organic COD {plain_in / 1e3:.1f} kg in, "
          f"{plain_out / 1e3:.1f} kg out")
    if not water <= WATER_TOLERANCE:
        failures.append(f"water does not balance: {water:.1e} of the inflow")
    if not cod <= COD_TOLERANCE:
        failures.append(f"COD does not balance: {cod:.1e} of the inflow")
    return failures


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--days", type=float, default=1.0, help="days of the storm example to export (default 1)")
    ap.add_argument("--keep", type=Path, help="write the influent file into DIR and keep it")
    args = ap.parse_args(argv)
    started = time.monotonic()
    folder = args.keep or Path(tempfile.mkdtemp(prefix="plant-check-"))
    folder.mkdir(parents=True, exist_ok=True)
    path, inlet, result = export(folder, args.days)
    print(f"exported {path.name}: {result.rows} rows, columns {', '.join(result.columns)}; {result.note}")
    print("  first lines:\n    " + "\n    ".join(path.read_text().splitlines()[:3]))
    clock = time.monotonic()
    inf, a1, a2, c1, cmps, _, t_eval = run_plant(path, result.t_data_end)
    print(f"  plant: {len(t_eval)} output times over {result.t_data_end:.3f} d in {time.monotonic() - clock:.0f} s "
          "(with QSDsan's import)")
    failures = check_read(inf, path, inlet, result) + check_balances(inf, a1, a2, c1, cmps, t_eval)
    for f in failures:
        print(f"FAILED: {f}")
    print(f"plant check {'failed' if failures else 'passed'} in {time.monotonic() - started:.0f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
