"""Result tables to files and back, and influent files for plant simulators.

Tables follow tarnlet's result-table convention: a pandas DataFrame indexed
by time (float days named "t", or dates named "time"), columns named by entry
(or (node, entry) pairs), ``attrs["units"]`` by column, ``attrs["dt"]`` and
``attrs["time_unit"]``. Every function here also takes any object with a
``table()`` method returning one (a run's result).

- :func:`write_csv` / :func:`read_csv`: text with a header of names and units
  (``Q [m3/d]``) and ISO dates. By default every number is written as the
  shortest text that reads back to the same double, so the round trip is bit
  for bit; ``digits=k`` writes k significant digits (17 on request: the
  round trip is then exact too, only slower to write).
- :func:`write_parquet` / :func:`read_parquet`: Parquet (pyarrow), the units
  in each field's metadata; bit for bit.
- :func:`write_influent`: the dynamic-influent file of an ASM2d plant
  simulator (QSDsan's ``DynamicInfluent`` reads it): ``t`` in days, ``Q`` in
  m3/d, the ASM2d component IDs in mg/L, ``S_ALK`` in g C/m3 (or mol/m3 on
  request), and no other column. :func:`influent_table` gives the same table
  without writing it.

The first line of a CSV file written here is a comment that keeps what a
header cannot say (the exact column labels, the step, a time zone)::

    # tarnlet table: {"columns": ["Q", "TSS"], "index": "time", "dt": 0.000694..., ...}
    time,Q [m3/d],TSS [g TSS/m3]
    2024-05-01T00:00:00,4000.5,93.75

Other programs read it with ``pandas.read_csv(path, comment="#")`` or by
skipping one line; :func:`read_csv` also reads files without that line
(their units from ``name [unit]`` headers).

Writing is fast with pyarrow installed (``pip install 'tarnlet[io]'``): the
rows are formatted in chunks on two threads; without it, NumPy formatting is
used (about three times slower). Writes that take longer than 2 s show a
progress bar on standard error (``progress=`` turns it off or on, or takes a
callback).
"""
from __future__ import annotations

import json
import math
import os
import sys
import time
from collections.abc import Callable, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

from tarnlet import units as _units
from tarnlet._extras import need
from tarnlet._typing import Array

__all__ = ["write_csv", "read_csv", "write_parquet", "read_parquet", "influent_table", "write_influent",
           "InfluentExport", "ASM2D_IDS", "as_table"]

# The ASM2d state variables as plant simulators name them (QSDsan's
# create_asm2d_cmps() IDs without water); the sewer layout uses the same names.
ASM2D_IDS: tuple[str, ...] = ("S_O2", "S_F", "S_A", "S_NH4", "S_NO3", "S_PO4", "S_I", "S_ALK", "S_N2", "X_I",
                              "X_S", "X_H", "X_PAO", "X_PP", "X_PHA", "X_AUT", "X_MeOH", "X_MeP")
_MAGIC = "# tarnlet table: "
_CHUNK = 65536  # rows per formatted chunk
_SLOW = 2.0  # seconds after which a write shows its progress

Progress = bool | Callable[[int, int], Any] | None


def _exact_floats(pd: Any) -> dict[str, str]:
    """read_csv's options for exact floats: before pandas 3.1 the default parser
    may miss by an ulp and the round-trip one is exact; from 3.1 on the default
    is exact and the option is deprecated."""
    major, minor = (int(p) for p in pd.__version__.split(".")[:2])
    return {"float_precision": "round_trip"} if (major, minor) < (3, 1) else {}


def _pandas(what: str) -> Any:
    return need("pandas", f"tarnlet.io.{what}", "io")


def _pyarrow(what: str, required: bool = True) -> Any:
    try:
        import pyarrow  # type: ignore[import-untyped]
        import pyarrow.csv  # type: ignore[import-untyped]  # noqa: F401
    except ImportError:
        if required:
            raise ImportError(f"tarnlet.io.{what} needs pyarrow: pip install 'tarnlet[io]'") from None
        return None
    return pyarrow


def as_table(obj: Any, argument: str = "table") -> Any:
    """The result table of `obj`: a DataFrame itself, else ``obj.table()``.

    Raises
    ------
    TypeError
        For anything else.
    """
    pd = _pandas("as_table")
    if isinstance(obj, pd.DataFrame):
        return obj
    table = getattr(obj, "table", None)
    if callable(table):
        df = table()
        if isinstance(df, pd.DataFrame):
            return df
        raise TypeError(f"{argument}.table() returned {type(df).__name__}, not a pandas DataFrame")
    raise TypeError(f"{argument} must be a pandas DataFrame or a result with a .table() method, "
                    f"not {type(obj).__name__}")


# ---------------------------------------------------------------- labels and metadata


def _label_json(label: Any) -> Any:
    if isinstance(label, tuple):
        return [_label_json(x) for x in label]
    if isinstance(label, (bool, np.bool_)):
        return bool(label)
    if isinstance(label, (int, np.integer)):
        return int(label)
    if isinstance(label, (float, np.floating)):
        return float(label)
    if isinstance(label, str):
        return label
    raise TypeError(f"column label {label!r} ({type(label).__name__}) cannot be written: labels are str, "
                    "int, float or tuples of them")


def _label_from_json(x: Any) -> Any:
    return tuple(_label_from_json(v) for v in x) if isinstance(x, list) else x


def _flat(label: Any) -> str:
    return ":".join(map(str, label)) if isinstance(label, tuple) else str(label)


def _meta(df: Any) -> dict[str, Any]:
    pd = _pandas("write")
    index = df.index
    if isinstance(index, pd.DatetimeIndex):
        kind = "time"
        tz = None if index.tz is None else str(index.tz)
        resolution = index.unit
    elif pd.api.types.is_numeric_dtype(index.dtype):
        kind, tz, resolution = "t", None, None
    else:
        raise TypeError(f"the table's index must be dates or float times, not {type(index).__name__}")
    meta: dict[str, Any] = {"columns": [_label_json(c) for c in df.columns], "index": kind,
                            "index_name": index.name if isinstance(index.name, str) else None}
    if tz:
        meta["tz"] = tz
    if resolution:
        meta["resolution"] = resolution
    if isinstance(df.columns, pd.MultiIndex):
        meta["levels"] = [n if isinstance(n, str) else None for n in df.columns.names]
    for key in ("dt", "time_unit"):
        if key in df.attrs:
            value = df.attrs[key]
            meta[key] = float(value) if key == "dt" else str(value)
    return meta


def _units_of(df: Any) -> list[str]:
    found = df.attrs.get("units", {}) or {}
    return [str(found.get(c, "")) for c in df.columns]


def _check_table(df: Any, what: str) -> None:
    if not df.columns.is_unique:
        raise ValueError(f"{what}: the table's column labels repeat: {list(df.columns[df.columns.duplicated()])}")
    bad = [c for c in df.columns if df[c].dtype.kind not in "fiub"]
    if bad:
        raise TypeError(f"{what}: columns {bad} are not numbers; a result table holds float columns")


def _frame(pd: Any, columns: dict[Any, Array], labels: list[Any], index: Any, meta: Mapping[str, Any],
           units: Sequence[str]) -> Any:
    if labels and all(isinstance(c, tuple) for c in labels):
        cols = pd.MultiIndex.from_tuples(labels, names=meta.get("levels"))
    else:
        cols = pd.Index(labels, dtype=object)
    data = np.column_stack([columns[i] for i in range(len(labels))]) if labels else np.empty((len(index), 0))
    df = pd.DataFrame(data, index=index, columns=cols, copy=False)
    df.attrs["units"] = {c: u for c, u in zip(labels, units) if u}
    for key in ("dt", "time_unit"):
        if key in meta:
            df.attrs[key] = meta[key]
    return df


# ---------------------------------------------------------------- progress


class _Progress:
    """A bar on standard error once a write has taken `_SLOW` seconds, or a callback."""

    def __init__(self, progress: Progress, total: int, what: str) -> None:
        self.callback = progress if callable(progress) else None
        self.show = progress is not False and self.callback is None
        self.always = progress is True
        self.total, self.what = total, what
        self.started = time.monotonic()
        self.drawn = False

    def __call__(self, done: int) -> None:
        if self.callback is not None:
            self.callback(done, self.total)
            return
        if not self.show or (not self.always and time.monotonic() - self.started < _SLOW):
            return
        share = done / self.total if self.total else 1.0
        bar = "#" * int(30 * share)
        print(f"\r{self.what}: [{bar:<30}] {100 * share:3.0f}% ({done:,} of {self.total:,} rows)", end="",
              file=sys.stderr, flush=True)
        self.drawn = True

    def close(self) -> None:
        if self.drawn:
            print(file=sys.stderr)


# ---------------------------------------------------------------- CSV


def _date_strings(index: Any) -> Array:
    """ISO 8601 text of dates, to the finest unit they need (UTC with 'Z' for aware ones)."""
    values = index.tz_convert("UTC").tz_localize(None) if index.tz is not None else index
    v = values.values
    ns = v.astype("M8[ns]").astype(np.int64)
    unit = "s"
    for candidate, step in (("s", 10**9), ("ms", 10**6), ("us", 10**3), ("ns", 1)):
        if np.all(ns % step == 0):
            unit = candidate
            break
    text = np.datetime_as_string(v.astype(f"M8[{unit}]"), unit=unit)  # type: ignore[call-overload]
    stamps: Array = np.char.add(text, "Z") if index.tz is not None else text
    return stamps


def _header(names: Sequence[str], sep: str) -> str:
    quoted = []
    for n in names:
        if any(ch in n for ch in (sep, '"', "\n", "\r")):
            n = '"' + n.replace('"', '""') + '"'
        quoted.append(n)
    return sep.join(quoted) + "\n"


def _write_rows(f: Any, first: Array, values: Array, sep: str, digits: int | None,
                progress: _Progress, first_is_text: bool) -> None:
    """Rows of `first` (dates as text, or float times) and the float columns, in chunks."""
    n = len(values)
    pa = _pyarrow("write_csv", required=False) if digits is None else None
    if pa is not None:
        import pyarrow.csv as pacsv

        options = pacsv.WriteOptions(include_header=False, delimiter=sep, quoting_style="none")

        def chunk(start: int) -> bytes:
            stop = min(start + _CHUNK, n)
            arrays = [pa.array(first[start:stop])] + [pa.array(values[start:stop, j])
                                                      for j in range(values.shape[1])]
            table = pa.Table.from_arrays(arrays, names=[f"c{j}" for j in range(len(arrays))])
            sink = pa.BufferOutputStream()
            pacsv.write_csv(table, sink, options)
            data: bytes = sink.getvalue().to_pybytes()
            return data

        starts = list(range(0, n, _CHUNK))
        with ThreadPoolExecutor(max_workers=2) as pool:
            pending = [pool.submit(chunk, s) for s in starts[:4]]
            for k, s in enumerate(starts):
                f.write(pending[k].result())
                pending[k] = None  # type: ignore[call-overload]
                if k + 4 < len(starts):
                    pending.append(pool.submit(chunk, starts[k + 4]))
                progress(min(s + _CHUNK, n))
        return
    number = "%r" if digits is None else f"%.{digits}g"
    row = ("%s" if first_is_text else number) + "".join(sep + number for _ in range(values.shape[1])) + "\n"
    rows = 8192
    for start in range(0, n, rows):
        stop = min(start + rows, n)
        block = np.empty((stop - start, values.shape[1] + 1), dtype=object)
        block[:, 0] = first[start:stop] if first_is_text else first[start:stop].tolist()
        block[:, 1:] = values[start:stop].tolist() if digits is None else values[start:stop]
        f.write((row * (stop - start)) % tuple(block.ravel().tolist()))
        progress(stop)


def write_csv(table: Any, path: str | os.PathLike[str], *, digits: int | None = None, sep: str = ",",
              progress: Progress = None) -> Path:
    """Write a result table as CSV: a header of names and units, ISO dates.

    Parameters
    ----------
    table : DataFrame or result
        A result table (or an object with ``.table()``). Never changed.
    path : path-like
        The file to write (replaced).
    digits : int, optional
        Significant digits of each number (1-17). Default: the shortest text
        that reads back to the same double (exact).
    sep : str
        The field separator, one character.
    progress : bool or callable, optional
        None: a progress bar on standard error once the write takes 2 s;
        False: none; True: from the start; a callable: called with (rows
        written, rows) after each chunk.

    Returns
    -------
    pathlib.Path
        The path written.

    Raises
    ------
    TypeError
        A table that is not one (see :func:`as_table`), columns that are not numbers.
    ValueError
        Repeated column labels, a bad `digits` or `sep`.

    Examples
    --------
    >>> import pandas as pd, tempfile, pathlib
    >>> df = pd.DataFrame({"Q": [4000.5, 4100.25]}, index=pd.Index([0.0, 0.5], name="t"))
    >>> df.attrs["units"] = {"Q": "m3/d"}
    >>> path = write_csv(df, pathlib.Path(tempfile.mkdtemp()) / "q.csv")
    >>> print(path.read_text().splitlines()[1:])
    ['t [d],Q [m3/d]', '0,4000.5', '0.5,4100.25']
    """
    pd = _pandas("write_csv")
    df = as_table(table)
    _check_table(df, "write_csv()")
    if digits is not None and (not isinstance(digits, int) or isinstance(digits, bool) or not 1 <= digits <= 17):
        raise ValueError(f"digits must be an integer from 1 to 17 (or None: exact), not {digits!r}")
    if not isinstance(sep, str) or len(sep) != 1 or sep in '"\n\r.-+0123456789eE':
        raise ValueError(f"sep must be one character that cannot be part of a number, not {sep!r}")
    meta = _meta(df)
    units = _units_of(df)
    index_unit = meta.get("time_unit", "d") if meta["index"] == "t" else ""
    index_name = meta["index_name"] or meta["index"]
    names = [f"{index_name} [{index_unit}]" if index_unit else index_name]
    names += [f"{_flat(c)} [{u}]" if u else _flat(c) for c, u in zip(df.columns, units)]
    values = np.ascontiguousarray(df.to_numpy(dtype=np.float64))
    if isinstance(df.index, pd.DatetimeIndex):
        first, is_text = _date_strings(df.index), True
    else:
        first, is_text = np.asarray(df.index, dtype=np.float64), False
    path = Path(path)
    bar = _Progress(progress, len(df), f"write_csv {path.name}")
    try:
        with open(path, "w" if not _pyarrow_route(digits) else "wb") as f:
            head = _MAGIC + json.dumps(meta, separators=(", ", ": ")) + "\n" + _header(names, sep)
            f.write(head.encode() if "b" in f.mode else head)
            _write_rows(f, first, values, sep, digits, bar, is_text)
    finally:
        bar.close()
    return path


def _pyarrow_route(digits: int | None) -> bool:
    return digits is None and _pyarrow("write_csv", required=False) is not None


def _split_header(name: str) -> tuple[str, str]:
    name = name.strip()
    if name.endswith("]") and " [" in name:
        label, unit = name[:-1].rsplit(" [", 1)
        return label, unit
    return name, ""


def read_csv(path: str | os.PathLike[str], *, sep: str = ",") -> Any:
    """Read a CSV file written by :func:`write_csv` (or one with a time
    column first and ``name [unit]`` headers).

    Returns
    -------
    pandas.DataFrame
        The table as written: labels, index (dates, in their time zone, or
        float times), values (bit for bit when written exactly), units and
        ``attrs``.

    Raises
    ------
    ValueError
        A file whose header or rows do not fit.

    Examples
    --------
    >>> import pandas as pd, tempfile, pathlib
    >>> df = pd.DataFrame({("st1", "Q"): [1 / 3]}, index=pd.DatetimeIndex(["2024-05-01"], name="time"))
    >>> df.attrs["units"] = {("st1", "Q"): "m3/d"}
    >>> back = read_csv(write_csv(df, pathlib.Path(tempfile.mkdtemp()) / "q.csv"))
    >>> back.equals(df), back.attrs["units"]
    (True, {('st1', 'Q'): 'm3/d'})
    """
    pd = _pandas("read_csv")
    path = Path(path)
    with open(path, encoding="utf-8") as f:
        line = f.readline()
        meta = None
        skip = 0
        if line.startswith(_MAGIC):
            try:
                meta = json.loads(line[len(_MAGIC):])
            except json.JSONDecodeError as e:
                raise ValueError(f"{path}: the first line is not tarnlet's table comment: {e}") from None
            line = f.readline()
            skip = 1
    import csv

    header = next(csv.reader([line], delimiter=sep))
    if len(header) < 1:
        raise ValueError(f"{path}: no header line")
    pa = _pyarrow("read_csv", required=False)
    names = [f"c{j}" for j in range(len(header))]
    if pa is not None:
        import pyarrow.csv as pacsv

        types = {names[0]: pa.string()} | {n: pa.float64() for n in names[1:]}
        try:
            read = pacsv.read_csv(path, pacsv.ReadOptions(skip_rows=skip + 1, column_names=names),
                                  pacsv.ParseOptions(delimiter=sep),
                                  pacsv.ConvertOptions(column_types=types))
        except pa.ArrowInvalid as e:
            raise ValueError(f"{path}: {e}") from None
        first = read.column(0).to_numpy(zero_copy_only=False)
        columns = {j: read.column(j + 1).to_numpy() for j in range(len(names) - 1)}
    else:
        read = pd.read_csv(path, skiprows=skip + 1, header=None, names=names, sep=sep, **_exact_floats(pd),
                           dtype={n: (str if j == 0 else np.float64) for j, n in enumerate(names)})
        first = read[names[0]].to_numpy()
        columns = {j: read[names[j + 1]].to_numpy(dtype=np.float64) for j in range(len(names) - 1)}
    index_label, index_unit = _split_header(header[0])
    parsed = [_split_header(h) for h in header[1:]]
    units = [u for _, u in parsed]
    if meta is not None:
        labels = [_label_from_json(c) for c in meta["columns"]]
        if len(labels) != len(parsed):
            raise ValueError(f"{path}: the header has {len(parsed)} columns, its comment {len(labels)}")
        dates = meta["index"] == "time"
        index_name = meta.get("index_name") or meta["index"]
    else:
        labels = [label for label, _ in parsed]
        dates = not _is_float_text(first[:1])
        index_name = index_label
        meta = {"time_unit": index_unit} if index_unit else {}
    if dates:
        index = pd.DatetimeIndex(pd.to_datetime(first, format="ISO8601", utc=bool(meta.get("tz"))), name=index_name)
        if meta.get("tz"):
            index = index.tz_convert(meta["tz"])
        if meta.get("resolution") and index.unit != meta["resolution"]:
            index = index.as_unit(meta["resolution"])
    else:
        index = pd.Index(np.asarray(first, dtype=np.float64), name=index_name)
    return _frame(pd, columns, labels, index, meta, units)


def _is_float_text(first: Any) -> bool:
    try:
        float(first[0])
    except (ValueError, IndexError, TypeError):
        return False
    return True


# ---------------------------------------------------------------- Parquet


def write_parquet(table: Any, path: str | os.PathLike[str], *, compression: str | None = "snappy") -> Path:
    """Write a result table as Parquet, the units in each field's metadata.

    Each column is a float64 field named like its CSV header without the unit
    (``st1:Q``), with the metadata ``unit``; the schema's metadata ``tarnlet``
    holds the exact labels, the step and the time unit, so that
    :func:`read_parquet` gives the table back bit for bit.

    Parameters
    ----------
    table : DataFrame or result
    path : path-like
    compression : str or None
        A Parquet codec ("snappy", "zstd", ...) or None.

    Returns
    -------
    pathlib.Path

    Raises
    ------
    ImportError
        Without pyarrow: ``pip install 'tarnlet[io]'``.

    Examples
    --------
    >>> import pandas as pd, tempfile, pathlib
    >>> df = pd.DataFrame({"h": [0.1, 0.2]}, index=pd.Index([0.0, 1.0], name="t"))
    >>> df.attrs.update(units={"h": "m"}, dt=1.0, time_unit="d")
    >>> back = read_parquet(write_parquet(df, pathlib.Path(tempfile.mkdtemp()) / "h.parquet"))
    >>> back.equals(df), back.attrs
    (True, {'units': {'h': 'm'}, 'dt': 1.0, 'time_unit': 'd'})
    """
    pa = _pyarrow("write_parquet")
    import pyarrow.parquet as pq  # type: ignore[import-untyped]

    df = as_table(table)
    _check_table(df, "write_parquet()")
    meta = _meta(df)
    units = _units_of(df)
    index_name = meta["index_name"] or meta["index"]
    if meta["index"] == "time":
        first = pa.field(index_name, pa.timestamp(meta["resolution"], tz=meta.get("tz")))
        arrays = [pa.array(df.index, type=first.type)]
    else:
        first = pa.field(index_name, pa.float64(), metadata={"unit": meta.get("time_unit", "d")})
        arrays = [pa.array(np.asarray(df.index, np.float64))]
    fields = [first]
    values = df.to_numpy(dtype=np.float64)
    for j, (label, unit) in enumerate(zip(df.columns, units)):
        fields.append(pa.field(_flat(label), pa.float64(), metadata={"unit": unit} if unit else None))
        arrays.append(pa.array(values[:, j]))
    schema = pa.schema(fields, metadata={"tarnlet": json.dumps(meta)})
    out = pa.Table.from_arrays(arrays, schema=schema)
    path = Path(path)
    # Dictionary encoding gains nothing on measured floats and triples the time.
    pq.write_table(out, path, compression=compression, use_dictionary=False)
    return path


def read_parquet(path: str | os.PathLike[str]) -> Any:
    """Read a Parquet file written by :func:`write_parquet` (bit for bit).

    A Parquet file from elsewhere reads too: its first column is the time,
    the others float columns, their units from field metadata ``unit``.

    Raises
    ------
    ImportError
        Without pyarrow.
    """
    pd = _pandas("read_parquet")
    _pyarrow("read_parquet")
    import pyarrow.parquet as pq

    read = pq.read_table(Path(path))
    schema = read.schema
    raw = (schema.metadata or {}).get(b"tarnlet")
    meta = json.loads(raw) if raw else {}
    fields = list(schema)
    if not fields:
        raise ValueError(f"{path}: no columns")
    units = [(f.metadata or {}).get(b"unit", b"").decode() for f in fields[1:]]
    labels = [_label_from_json(c) for c in meta["columns"]] if meta else [f.name for f in fields[1:]]
    first = read.column(0)
    import pyarrow as pa

    if pa.types.is_timestamp(first.type):
        index = pd.DatetimeIndex(first.to_pandas(), name=meta.get("index_name") or fields[0].name)
        if meta.get("resolution") and index.unit != meta["resolution"]:
            index = index.as_unit(meta["resolution"])
        if not meta:
            meta = {"index": "time"}
    else:
        index = pd.Index(first.to_numpy().astype(np.float64), name=meta.get("index_name") or fields[0].name)
        if not meta:
            unit = (fields[0].metadata or {}).get(b"unit")
            meta = {"index": "t", **({"time_unit": unit.decode()} if unit else {})}
    columns = {j: read.column(j + 1).to_numpy() for j in range(len(fields) - 1)}
    return _frame(pd, columns, labels, index, meta, units)


# ---------------------------------------------------------------- plant influent


@dataclass
class InfluentExport:
    """What :func:`write_influent` wrote.

    ``periodic`` says whether the series' last row equals its first: a plant
    simulator that fits a periodic spline (QSDsan's default) reads a series
    that is not periodic as if it jumped back to its first values after its
    last time, and rings near both ends; ``close_ramp`` writes a ramp back to
    the first row instead (run the plant no longer than ``t_data_end``).
    """

    path: Path | None
    columns: list[str]
    rows: int
    t_data_end: float  # days: the last exported time of the data
    t_end: float  # days: the last time in the file (after a closing ramp)
    periodic: bool
    ramp_rows: int = 0
    converted: dict[str, tuple[str, str]] = field(default_factory=dict)  # column: (from, to)
    unchecked: list[str] = field(default_factory=list)  # written as given: no convertible unit
    left_out: list[str] = field(default_factory=list)  # columns of the source that are not plant IDs

    @property
    def note(self) -> str:
        if self.periodic:
            return "the series is periodic: its last row equals its first"
        return ("the series is not periodic (its last row differs from its first): a reader that fits a "
                f"periodic spline sees a jump after t = {self.t_end:g} d; use close_ramp= or a non-periodic "
                "interpolator")


def _select_node(df: Any, node: Any, what: str) -> tuple[Any, dict[str, str], Any]:
    """The flat table of one node, its units by entry name, and the node's label."""
    pd = _pandas(what)
    units = df.attrs.get("units", {}) or {}
    if isinstance(df.columns, pd.MultiIndex):
        nodes = list(dict.fromkeys(df.columns.get_level_values(0)))
        if node is None:
            if len(nodes) != 1:
                raise ValueError(f"{what}: the table has the nodes {nodes}: say which one is the plant inlet "
                                 "with node=")
            node = nodes[0]
        if node not in nodes:
            raise ValueError(f"{what}: node {node!r} is not in the table; its nodes are {nodes}")
        sub = df.xs(node, axis=1, level=0)
        return sub, {str(c): units.get((node, c), "") for c in sub.columns}, node
    if node is not None:
        raise ValueError(f"{what}: node={node!r} given, but the table's columns are entries of one node")
    return df, {str(c): units.get(c, "") for c in df.columns}, None


def influent_table(result: Any, *, node: Any = None, ids: Sequence[str] = ASM2D_IDS,
                   mapping: Mapping[str, str] | None = None, flow: str = "Q", alkalinity: str = "gC",
                   origin: Any = "start", assume_units: bool = True) -> tuple[Any, InfluentExport]:
    """The dynamic-influent table of a plant simulator from a result table.

    Parameters
    ----------
    result : DataFrame or result
        A result table; with (node, entry) columns, `node` picks the plant inlet.
    node : optional
        The node (or storage label) whose entries are the influent.
    ids : sequence of str
        The plant model's component IDs (default: ASM2d's). A column whose
        name is an ID is taken under that name.
    mapping : mapping, optional
        Further columns by the source's name: ``{source_name: plant_id}``
        (e.g. fractionation outputs under your names).
    flow : str
        The column of the flow.
    alkalinity : {"gC", "mol"}
        S_ALK in g C/m3 (QSDsan's ASM2d) or kept in mol/m3.
    origin : "start", float or date
        Time zero of ``t``: the first row (default), a number of days on the
        table's own axis, or a date.
    assume_units : bool
        For a table without units: take those of the sewer layout
        (``SEWER.y``). With False, such columns are written as they are.

    Returns
    -------
    (pandas.DataFrame, InfluentExport)
        Columns ``t`` (days), ``Q`` (m3/d) and the IDs found (mg/L; S_ALK
        per `alkalinity`), in the order of `ids`; and what was done.

    Raises
    ------
    ValueError
        No flow column, an ID taken twice, no component at all, a unit that
        cannot become the plant's, an unknown `alkalinity` or node.
    """
    from tarnlet.layout import SEWER

    pd = _pandas("influent_table")
    df = as_table(result, "result")
    if alkalinity not in ("gC", "mol"):
        raise ValueError(f"alkalinity must be 'gC' (g C/m3) or 'mol' (mol/m3), not {alkalinity!r}")
    flat, units, _ = _select_node(df, node, "influent_table()")
    mapping = dict(mapping or {})
    ids = list(ids)
    unknown = sorted(set(mapping.values()) - set(ids))
    if unknown:
        raise ValueError(f"influent_table(): mapping targets {unknown} are not plant IDs ({', '.join(ids)})")
    names = [str(c) for c in flat.columns]
    if flow not in names:
        raise ValueError(f"influent_table(): the table has no flow column {flow!r}"
                         + (f" for node {node!r}" if node is not None else "") + f"; its columns are {names}")
    source: dict[str, str] = {}
    for name in names:
        target = mapping.get(name, name if name in ids and name not in mapping.values() else None)
        if target is None or name == flow:
            continue
        if target in source:
            raise ValueError(f"influent_table(): plant ID {target!r} comes from both {source[target]!r} and "
                             f"{name!r}")
        source[target] = name
    if not source:
        raise ValueError(f"influent_table(): no column is a plant ID ({', '.join(ids)}) or mapped to one")
    left_out = [n for n in names if n != flow and n not in source.values()]
    export = InfluentExport(None, [], len(flat), 0.0, 0.0, False, left_out=left_out)

    def unit_of(name: str, default: str | None) -> str | None:
        u = units.get(name, "")
        if not u and assume_units and name in SEWER.y:
            return SEWER.y.unit(name)
        return u or default

    def column(name: str, target_unit: str) -> Array:
        values: Array = flat[name].to_numpy(dtype=np.float64)
        u = unit_of(name, None)
        if u is None or u == "as given":
            export.unchecked.append(name)
            return values.copy()
        try:
            out = _units.convert(values, u, target_unit)
        except _units.UnitError as e:
            raise ValueError(f"influent_table(): column {name!r} in {u!r} cannot be written in {target_unit!r}: "
                             f"{e}") from None
        f_from, f_to = _units.factor(u, target_unit)
        if f_from != f_to:
            export.converted[name] = (u, target_unit)
        return out

    index = flat.index
    if isinstance(index, pd.DatetimeIndex):
        zero = index[0] if isinstance(origin, str) and origin == "start" else pd.Timestamp(origin)
        t = np.asarray((index - zero) / pd.Timedelta(days=1), dtype=np.float64)
    else:
        if df.attrs.get("time_unit", "d") != "d":
            raise ValueError(f"influent_table(): the table's time unit is {df.attrs['time_unit']!r}; t is written "
                             "in days")
        raw = np.asarray(index, dtype=np.float64)
        t = raw - (raw[0] if isinstance(origin, str) and origin == "start" else float(origin))
    out = {"t": t, "Q": column(flow, "m3/d")}
    for target in ids:
        if target in source:
            unit = ("g C/m3" if alkalinity == "gC" else "mol/m3") if target == "S_ALK" else "mg/L"
            out[target] = column(source[target], unit)
    table = pd.DataFrame(out)
    export.columns = list(table.columns)
    export.t_data_end = export.t_end = float(t[-1]) if len(t) else 0.0
    export.periodic = bool(len(t)) and all(np.array_equal(v[:1], v[-1:]) for k, v in out.items() if k != "t")
    return table, export


def write_influent(result: Any, path: str | os.PathLike[str], *, node: Any = None,
                   ids: Sequence[str] = ASM2D_IDS, mapping: Mapping[str, str] | None = None, flow: str = "Q",
                   alkalinity: str = "gC", close_ramp: float | None = None, origin: Any = "start",
                   digits: int | None = None, progress: Progress = None) -> InfluentExport:
    """Write the dynamic-influent file of an ASM2d plant simulator.

    The file has one header line of column names and no other text: ``t``
    (days from `origin`), ``Q`` (m3/d) and the plant's component IDs found in
    the result (mg/L = g/m3; ``S_ALK`` in g C/m3, the sewer's mol/m3 times
    12.011, or mol/m3 with ``alkalinity="mol"``). Nothing else is written (no
    TSS, temperature, tracers or levels), so a reader that refuses unknown
    columns reads it. A ``.tsv`` or ``.txt`` path is written tab-separated.

    A measured or simulated series is not periodic: its last row differs from
    its first. A reader that fits a periodic spline (QSDsan's default
    ``DynamicInfluent``) then joins them with a jump after the last time and
    rings near both ends. ``close_ramp`` appends a linear ramp of that many
    days from the last row back to the first (the last row of the file equals
    the first exactly); run the plant no longer than the data's end
    (``InfluentExport.t_data_end``).

    Parameters
    ----------
    result : DataFrame or result
        A run's result or a result table (see :func:`influent_table` for
        `node`, `ids`, `mapping`, `flow`, `alkalinity` and `origin`).
    path : path-like
    close_ramp : float, optional
        Length of a closing ramp in days (at the table's step).
    digits : int, optional
        Significant digits; default exact (see :func:`write_csv`).
    progress : bool or callable, optional
        See :func:`write_csv`.

    Returns
    -------
    InfluentExport
        The columns, rows, times, whether the file is periodic and what was
        converted or left out.

    Raises
    ------
    ValueError
        See :func:`influent_table`; a close_ramp that is not a positive
        number of days.

    Examples
    --------
    >>> import pandas as pd, tempfile, pathlib
    >>> from tarnlet.layout import SEWER
    >>> y = [SEWER.y.vector(Q=4000.0, S_NH4=16.0, S_ALK=5.0, TSS=90.0, passthrough=15.0)] * 3
    >>> df = SEWER.y.table(y, index=pd.Index([0.0, 0.5, 1.0], name="t"))
    >>> path = pathlib.Path(tempfile.mkdtemp()) / "influent.csv"
    >>> export = write_influent(df, path)
    >>> print(path.read_text().splitlines()[0])
    t,Q,S_O2,S_F,S_A,S_NH4,S_NO3,S_PO4,S_I,S_ALK,S_N2,X_I,X_S,X_H,X_PAO,X_PP,X_PHA,X_AUT,X_MeOH,X_MeP
    >>> print(path.read_text().splitlines()[1])
    0,4000,0,0,0,16,0,0,0,60.05499999999999,0,0,0,0,0,0,0,0,0,0
    >>> export.left_out
    ['TSS', 'passthrough', 'extra_1', 'extra_2', 'extra_3', 'extra_4', 'extra_5', 'h']
    """
    pd = _pandas("write_influent")
    table, export = influent_table(result, node=node, ids=ids, mapping=mapping, flow=flow, alkalinity=alkalinity,
                                   origin=origin)
    if close_ramp is not None:
        if isinstance(close_ramp, bool) or not isinstance(close_ramp, (int, float)) or not (
                math.isfinite(close_ramp) and close_ramp > 0):
            raise ValueError(f"close_ramp must be a positive number of days, not {close_ramp!r}")
        if len(table) < 2:
            raise ValueError("close_ramp needs at least two rows to know the step")
        t = table["t"].to_numpy()
        step = float(t[-1] - t[-2])
        m = max(1, round(close_ramp / step))
        share = np.arange(1, m + 1) / m
        values = table.drop(columns="t").to_numpy()
        first, last = values[0], values[-1]
        ramp = last + share[:, None] * (first - last)
        ramp[-1] = first  # exactly the first row: the file is periodic
        extra = pd.DataFrame(ramp, columns=table.columns[1:])
        extra.insert(0, "t", t[-1] + share * close_ramp)
        table = pd.concat([table, extra], ignore_index=True)
        export.ramp_rows = m
        export.t_end = float(table["t"].iloc[-1])
        export.periodic = True
    path = Path(path)
    sep = "\t" if path.suffix.lower() in (".tsv", ".txt") else ","
    values = np.ascontiguousarray(table.drop(columns="t").to_numpy(dtype=np.float64))
    bar = _Progress(progress, len(table), f"write_influent {path.name}")
    try:
        with open(path, "wb" if _pyarrow_route(digits) else "w") as f:
            head = _header(list(table.columns), sep)
            f.write(head.encode() if "b" in f.mode else head)
            _write_rows(f, table["t"].to_numpy(dtype=np.float64), values, sep, digits, bar, False)
    finally:
        bar.close()
    export.path = path
    export.rows = len(table)
    return export
