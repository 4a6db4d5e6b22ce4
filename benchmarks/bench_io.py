"""Writing a year of one-minute steps: CSV, Parquet and the plant-influent file.

A result table of 525,600 rows (one year of one-minute steps, dated) by 30
float columns with units is written by tarnlet.io.write_csv (the exact
default), write_parquet and, for the plant, write_influent of a sewer
outflow (t, Q and the 18 ASM2d components). For comparison the same table
goes through pandas' to_csv once. Each write is timed as the best of
--repeats, the routes taking turns; the files are written into a temporary
folder and removed. Round trips are checked (bit for bit) on the way.

Targets on the project's CI machine kind: CSV at most 3 s, Parquet at most
0.5 s.

    python -P benchmarks/bench_io.py [--repeats 3] [--rows N] [--json FILE]
"""
import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).parent))
from benchjson import machine, write_json  # noqa: E402

from tarnlet import io  # noqa: E402
from tarnlet.layout import SEWER  # noqa: E402

ROWS = 365 * 1440
COLUMNS = 30


def year_table(rows: int) -> pd.DataFrame:
    """30 columns of realistic magnitudes: three storages' Q, TSS, h and seven components."""
    rng = np.random.default_rng(2024)
    t = np.arange(rows) / 1440.0
    names = ["Q", "TSS", "h", "S_F", "S_A", "S_NH4", "S_PO4", "X_I", "X_S", "X_H"]
    labels = [(storage, n) for storage in (1, 2, 3) for n in names]
    scale = {"Q": 4000.0, "TSS": 150.0, "h": 0.6, "S_F": 30.0, "S_A": 20.0, "S_NH4": 16.0, "S_PO4": 3.6,
             "X_I": 25.0, "X_S": 125.0, "X_H": 30.0}
    diurnal = 1.0 - 0.35 * np.cos(2 * np.pi * t - 0.8)
    values = np.column_stack([scale[n] * diurnal * (1.0 + 0.05 * rng.standard_normal(rows)) for _, n in labels])
    index = pd.date_range("2024-01-01", periods=rows, freq="min", name="time")
    df = pd.DataFrame(values, index=index, columns=pd.MultiIndex.from_tuples(labels))
    df.attrs = {"units": {c: SEWER.y.unit(c[1]) for c in labels}, "dt": 1 / 1440, "time_unit": "d"}
    return df


def outflow_table(rows: int) -> pd.DataFrame:
    rng = np.random.default_rng(7)
    y = np.abs(rng.normal(10.0, 3.0, size=(rows, len(SEWER.y))))
    df = SEWER.y.table(y, index=pd.Index(np.arange(rows) / 1440.0, name="t"))
    df.attrs = {"units": {n: SEWER.y.unit(n) for n in SEWER.y.names}, "dt": 1 / 1440, "time_unit": "d"}
    return df


def best(f, repeats: int) -> float:
    return min(timed(f)[0] for _ in range(repeats))


def timed(f) -> tuple[float, float]:
    """Wall and process CPU seconds of one call."""
    wall, cpu = time.perf_counter(), time.process_time()
    f()
    return time.perf_counter() - wall, time.process_time() - cpu


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--rows", type=int, default=ROWS, help="rows (default a year of minutes)")
    ap.add_argument("--json", type=Path, help="write the results to FILE")
    ap.add_argument("--no-pandas", action="store_true", help="skip the pandas to_csv comparison")
    args = ap.parse_args(argv)

    df = year_table(args.rows)
    outflow = outflow_table(args.rows)
    folder = Path(tempfile.mkdtemp(prefix="bench-io-"))
    csv, parquet, influent = folder / "year.csv", folder / "year.parquet", folder / "influent.csv"
    routes = {
        "csv_year_s": lambda: io.write_csv(df, csv, progress=False),
        "parquet_year_s": lambda: io.write_parquet(df, parquet),
        "influent_year_s": lambda: io.write_influent(outflow, influent, progress=False),
    }
    found = {k: [] for k in routes}
    try:
        for _ in range(args.repeats):  # the routes take turns
            for name, f in routes.items():
                found[name].append(timed(f))
        result = {k: min(v)[0] for k, v in found.items()}
        result |= {k.replace("_s", "_cpu_s"): min(v)[1] for k, v in found.items()}
        result["csv_read_s"] = best(lambda: io.read_csv(csv), 1)
        result["parquet_read_s"] = best(lambda: io.read_parquet(parquet), 1)
        result["csv_exact"] = bool(np.array_equal(io.read_csv(csv).to_numpy().view(np.int64),
                                                  df.to_numpy().view(np.int64)))
        result["parquet_exact"] = io.read_parquet(parquet).equals(df)
        result["csv_mb"] = round(csv.stat().st_size / 1e6, 1)
        result["parquet_mb"] = round(parquet.stat().st_size / 1e6, 1)
        result["influent_mb"] = round(influent.stat().st_size / 1e6, 1)
        if not args.no_pandas:
            result["pandas_to_csv_s"] = best(lambda: df.to_csv(folder / "pandas.csv"), 1)
    finally:
        for p in folder.iterdir():
            p.unlink()
        os.rmdir(folder)
    import pyarrow

    # (the interpreter, NumPy and the processor: benchjson's machine entry)
    result |= {"rows": args.rows, "columns": COLUMNS, "repeats": args.repeats, "pandas": pd.__version__,
               "pyarrow": pyarrow.__version__}
    targets = {"csv_year_s": 3.0, "parquet_year_s": 0.5}
    for key, value in {**machine(), **result}.items():
        mark = ""
        if key in targets:
            mark = "  (target <= {:.1f} s{})".format(targets[key], "" if value <= targets[key] else ": MISSED")
        print(f"{key:18} {value}{mark}")
    if args.json:
        write_json(args.json, result)
    return 0 if result["csv_exact"] and result["parquet_exact"] else 1


if __name__ == "__main__":
    sys.exit(main())
