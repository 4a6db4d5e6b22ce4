"""tarnlet.io: CSV and Parquet round trips (bit for bit, or to the printed
digits), the header and its units, and the plant-influent file: one call for
the worked example, its columns, units and closing ramp."""
import doctest
import importlib.util
import pathlib
import sys

import numpy as np
import pytest

pd = pytest.importorskip("pandas")

from tarnlet import dryweather, forcing, io, units  # noqa: E402
from tarnlet.layout import FRACTIONATION, SEWER  # noqa: E402

Y = SEWER.y
DT = 1 / 1440


@pytest.mark.parametrize("module", [units, forcing, dryweather, io])
def test_the_docstring_examples_run(module):
    pytest.importorskip("pyarrow")
    assert doctest.testmod(module, optionflags=doctest.ELLIPSIS).failed == 0


def awkward_table(rows=500, dates=True, multi=True):
    rng = np.random.default_rng(3)
    values = rng.normal(size=(rows, 6)) * 10.0 ** rng.integers(-300, 300, size=(rows, 6))
    values[:6, 0] = [np.nan, np.inf, -np.inf, -0.0, 5e-324, 1 / 3]
    index = (pd.date_range("2024-05-01", periods=rows, freq="min", name="time") if dates
             else pd.Index(np.arange(rows) * DT, name="t"))
    labels = [(s, e) for s in (1, 2) for e in ("Q", "TSS", "h")] if multi else ["Q", "TSS", "h", "a,b", "c", "d"]
    df = pd.DataFrame(values, index=index,
                      columns=pd.MultiIndex.from_tuples(labels) if multi else pd.Index(labels, dtype=object))
    df.attrs = {"units": {c: ("m3/d" if "Q" in c else "g TSS/m3") for c in df.columns}, "dt": DT, "time_unit": "d"}
    return df


def same_bits(a, b):
    return (a.shape == b.shape and np.array_equal(a.to_numpy().view(np.int64), b.to_numpy().view(np.int64))
            and a.index.equals(b.index) and a.index.dtype == b.index.dtype and a.columns.equals(b.columns)
            and list(a.columns) == list(b.columns) and a.attrs == b.attrs and a.index.name == b.index.name)


def read_plain(path, **options):
    """pandas.read_csv as another program calls it, with exact floats: the
    default parser is exact from pandas 3.1 on, before it the round-trip one."""
    if tuple(int(p) for p in pd.__version__.split(".")[:2]) < (3, 1):
        options["float_precision"] = "round_trip"
    return pd.read_csv(path, **options)


@pytest.fixture(params=["pyarrow", "numpy"])
def route(request, monkeypatch):
    """Both writers: pyarrow's, and NumPy formatting as without pyarrow."""
    if request.param == "pyarrow":
        pytest.importorskip("pyarrow")
    else:
        real = io._pyarrow
        monkeypatch.setattr(io, "_pyarrow", lambda what, required=True: real(what) if required else None)
    return request.param


@pytest.mark.parametrize("dates, multi", [(True, True), (False, False), ("Europe/Berlin", True)])
def test_csv_round_trips_bit_for_bit(tmp_path, route, dates, multi):
    df = awkward_table(dates=bool(dates), multi=multi)
    if isinstance(dates, str):
        df.index = df.index.tz_localize(dates)
    back = io.read_csv(io.write_csv(df, tmp_path / "t.csv"))
    assert same_bits(back, df)
    assert same_bits(io.read_csv(io.write_csv(df, tmp_path / "t17.csv", digits=17)), df)


def test_csv_with_fewer_digits_round_trips_to_the_printed_precision(tmp_path):
    df = awkward_table()
    back = io.read_csv(io.write_csv(df, tmp_path / "t.csv", digits=6))
    a, b = back.to_numpy(), df.to_numpy()
    assert np.allclose(a, b, rtol=5e-6, atol=0, equal_nan=True) and not np.array_equal(a, b, equal_nan=True)


def test_the_header_has_names_units_and_iso_dates_and_other_readers_read_it(tmp_path):
    df = awkward_table(rows=8)
    path = io.write_csv(df, tmp_path / "t.csv")
    lines = path.read_text().splitlines()
    assert lines[0].startswith("# tarnlet table: {")
    assert lines[1] == "time,1:Q [m3/d],1:TSS [g TSS/m3],1:h [g TSS/m3],2:Q [m3/d],2:TSS [g TSS/m3],2:h [g TSS/m3]"
    assert lines[2].startswith("2024-05-01T00:00:00,") and lines[3].startswith("2024-05-01T00:01:00,")
    plain = read_plain(path, comment="#", index_col=0)
    assert list(plain.columns)[0] == "1:Q [m3/d]" and np.array_equal(plain.to_numpy(), df.to_numpy(), equal_nan=True)
    # A file from elsewhere: no comment line, units in the header.
    other = tmp_path / "other.csv"
    other.write_text("t [d],Q [m3/d],note\n0.0,1.5,2\n0.5,2.5,3\n")
    back = io.read_csv(other)
    assert back.index.tolist() == [0.0, 0.5] and back.attrs == {"units": {"Q": "m3/d"}, "time_unit": "d"}
    assert back["note"].tolist() == [2.0, 3.0]


def test_parquet_round_trips_bit_for_bit_with_units_in_the_schema(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    for df in (awkward_table(), awkward_table(dates=False, multi=False)):
        path = io.write_parquet(df, tmp_path / "t.parquet")
        assert same_bits(io.read_parquet(path), df)
        schema = pq.read_schema(path)
        assert [f.metadata[b"unit"].decode() for f in list(schema)[1:]] == [df.attrs["units"][c] for c in df.columns]
    assert schema.field("Q").metadata == {b"unit": b"m3/d"}


def test_a_result_object_is_taken_through_its_table_and_progress_is_reported(tmp_path):
    df = awkward_table(rows=200_000, multi=False)

    class Result:
        def table(self):
            return df

    seen = []
    io.write_csv(Result(), tmp_path / "r.csv", progress=lambda done, total: seen.append((done, total)))
    assert seen[-1] == (200_000, 200_000) and len(seen) >= 2 and seen == sorted(seen)
    assert same_bits(io.read_csv(tmp_path / "r.csv"), df)


@pytest.mark.parametrize("table, kwargs, error, message", [
    ([1, 2], {}, TypeError, "table must be a pandas DataFrame or a result with a .table"),
    (pd.DataFrame({"a": [1.0]}), {"digits": 0}, ValueError, "digits must be an integer from 1 to 17"),
    (pd.DataFrame({"a": [1.0]}), {"sep": "."}, ValueError, "sep must be one character"),
    (pd.DataFrame([[1.0, 2.0]], columns=["a", "a"]), {}, ValueError, "column labels repeat"),
    (pd.DataFrame({"a": ["x"]}), {}, TypeError, r"columns \['a'\] are not numbers"),
    (pd.DataFrame({"a": [1.0]}, index=["x"]), {}, TypeError, "index must be dates or float times"),
])
def test_write_csv_refuses_what_is_not_a_result_table(tmp_path, table, kwargs, error, message):
    with pytest.raises(error, match=message):
        io.write_csv(table, tmp_path / "x.csv", **kwargs)


# ---------------------------------------------------------------- plant influent


@pytest.fixture(scope="module")
def example():
    path = pathlib.Path(__file__).resolve().parent.parent / "examples" / "storm_event.py"
    spec = importlib.util.spec_from_file_location("storm_event", path)
    module = importlib.util.module_from_spec(spec)
    sys.modules["storm_event"] = module
    spec.loader.exec_module(module)
    yield module
    sys.modules.pop("storm_event", None)


@pytest.fixture(scope="module")
def chain(example):
    """The worked example's three storages and its plant inlet as result tables."""
    run = example.simulate(steps=300)
    tr = run.trace
    index = pd.Index(run.t, name="t")
    inlet = example.influent(run)
    inlet.attrs = {"units": {n: Y.unit(n) for n in Y.names}, "dt": DT, "time_unit": "d"}
    cols = pd.MultiIndex.from_tuples([(j + 1, n) for j in range(3) for n in Y.names])
    storages = pd.DataFrame(tr.y_sewer.reshape(len(run.t), -1), index=index, columns=cols)
    storages.attrs = {"units": {c: Y.unit(c[1]) for c in cols}, "dt": DT, "time_unit": "d"}
    return inlet, storages


def test_the_worked_example_writes_its_plant_influent_in_one_call(tmp_path, chain):
    inlet, _ = chain
    export = io.write_influent(inlet, tmp_path / "influent.csv")
    read = read_plain(tmp_path / "influent.csv")  # as the plant simulator reads it
    assert list(read.columns) == ["t", "Q", *io.ASM2D_IDS] == export.columns
    assert np.array_equal(read["t"], inlet.index - inlet.index[0]) and np.array_equal(read["Q"], inlet["Q"])
    for name in io.ASM2D_IDS:
        expected = inlet[name] * 12.011 if name == "S_ALK" else inlet[name]
        assert np.array_equal(read[name], expected), name
    assert export.left_out == ["TSS", "passthrough", "extra_1", "extra_2", "extra_3", "extra_4", "extra_5", "h"]
    assert export.converted == {"S_ALK": ("mol/m3", "g C/m3")} and export.rows == 300 and not export.periodic
    assert "not periodic" in export.note and export.t_end == pytest.approx(299 * DT)


def test_alkalinity_kept_a_closing_ramp_and_a_tab_separated_file(tmp_path, chain):
    inlet, _ = chain
    export = io.write_influent(inlet, tmp_path / "influent.tsv", alkalinity="mol", close_ramp=1 / 24)
    read = read_plain(tmp_path / "influent.tsv", sep="\t")
    assert np.array_equal(read["S_ALK"][:300], inlet["S_ALK"])
    assert export.ramp_rows == 60 and len(read) == 360 and export.periodic and "is periodic" in export.note
    assert read.iloc[-1].drop("t").equals(read.iloc[0].drop("t"))  # closes exactly on the first row
    assert export.t_end == pytest.approx(299 * DT + 1 / 24) and export.t_data_end == pytest.approx(299 * DT)
    ramp = read["Q"].to_numpy()[299:]
    assert np.all(np.diff(ramp) * (ramp[-1] - ramp[0]) >= 0)  # monotone from the last value to the first


def test_a_chain_result_takes_its_node_and_units_are_converted(tmp_path, chain):
    _, storages = chain
    with pytest.raises(ValueError, match=r"the table has the nodes \[1, 2, 3\]: say which one"):
        io.write_influent(storages, tmp_path / "x.csv")
    with pytest.raises(ValueError, match=r"node 4 is not in the table; its nodes are \[1, 2, 3\]"):
        io.write_influent(storages, tmp_path / "x.csv", node=4)
    table, _ = io.influent_table(storages, node=3)
    assert np.array_equal(table["Q"], storages[(3, "Q")])
    in_litres = storages.copy()
    in_litres[(3, "Q")] = storages[(3, "Q")] / 86.4
    in_litres.attrs = {**storages.attrs, "units": {**storages.attrs["units"], (3, "Q"): "L/s"}}
    table, export = io.influent_table(in_litres, node=3, origin=-1.0)
    assert np.allclose(table["Q"], storages[(3, "Q")], rtol=1e-15) and export.converted["Q"] == ("L/s", "m3/d")
    assert table["t"].iloc[0] == 1.0
    wrong = storages.copy()
    wrong.attrs = {**storages.attrs, "units": {**storages.attrs["units"], (3, "S_NH4"): "mol/m3"}}
    with pytest.raises(ValueError, match=r"column 'S_NH4' in 'mol/m3' cannot be written in 'mg/L'"):
        io.influent_table(wrong, node=3)


def test_fractionation_values_under_their_names_go_to_the_plant_ids(tmp_path):
    # The 54 outputs under names a user gave them: some are plant IDs, some mapped, the rest left out.
    names = list(FRACTIONATION.y.names)
    names[1], names[2], names[13] = "S_F", "S_A", "X_S"
    values = np.arange(2 * 54, dtype=float).reshape(2, 54)
    df = pd.DataFrame(values, columns=names, index=pd.Index([0.0, DT], name="t"))
    df["Q"] = [4000.0, 4100.0]
    df.attrs["units"] = {n: FRACTIONATION.y.unit(i) for i, n in enumerate(names)} | {"Q": "m3/d"}
    export = io.write_influent(df, tmp_path / "f.csv", mapping={"L1_share_3": "X_I", "L0_reserve": "S_I"})
    read = read_plain(tmp_path / "f.csv")
    assert list(read.columns) == ["t", "Q", "S_F", "S_A", "S_I", "X_I", "X_S"]
    assert read["X_I"].tolist() == [15.0, 69.0] and read["X_S"].tolist() == [13.0, 67.0]
    assert "bg_0" in export.left_out and "TSS" in export.left_out
    with pytest.raises(ValueError, match=r"mapping targets \['T'\] are not plant IDs"):
        io.influent_table(df, mapping={"bg_0": "T"})
    with pytest.raises(ValueError, match="plant ID 'S_I' comes from both 'L0_reserve' and 'L1_share_3'"):
        io.influent_table(df, mapping={"L0_reserve": "S_I", "L1_share_3": "S_I"})


@pytest.mark.parametrize("kwargs, message", [
    ({"flow": "flow"}, r"the table has no flow column 'flow'"),
    ({"alkalinity": "CaCO3"}, "alkalinity must be 'gC'"),
    ({"close_ramp": -1.0}, "close_ramp must be a positive number of days"),
    ({"node": 1}, "node=1 given, but the table's columns are entries of one node"),
    ({"ids": ["S_XYZ"]}, "no column is a plant ID"),
])
def test_write_influent_refuses_bad_arguments(tmp_path, chain, kwargs, message):
    with pytest.raises(ValueError, match=message):
        io.write_influent(chain[0], tmp_path / "x.csv", **kwargs)
