"""Importing a user's CSV/Parquet files: checks, error locations and atomic replacement."""

from __future__ import annotations

import csv
import os
import re
import shutil
import subprocess
import sys

import duckdb
import numpy as np
import pandas as pd
import pytest

import tidewell as tw

TINY = os.path.join(os.path.dirname(__file__), "data", "tiny")


@pytest.fixture
def src(tmp_path):
    folder = tmp_path / "src"
    shutil.copytree(TINY, folder)
    return folder


@pytest.fixture(autouse=True)
def reset_database(monkeypatch):
    monkeypatch.delenv("TIDEWELL_DB", raising=False)
    yield
    tw.set_database(None)


def read_rows(folder, table):
    with open(folder / f"{table}.csv", newline="") as fh:
        return list(csv.reader(fh))


def write_rows(folder, table, rows):
    with open(folder / f"{table}.csv", "w", newline="") as fh:
        csv.writer(fh).writerows(rows)


def set_cell(row, column, value):
    """Edit for ``edit_csv``: set ``column`` of data row ``row`` (1-based) to ``value``."""

    def edit(rows):
        rows[row][rows[0].index(column)] = value

    return edit


def edit_csv(folder, table, edit):
    rows = read_rows(folder, table)
    edit(rows)
    write_rows(folder, table, rows)


def drop_column(column):
    def edit(rows):
        j = rows[0].index(column)
        for r in rows:
            del r[j]

    return edit


def append_copy(row):
    return lambda rows: rows.append(list(rows[row]))


def drop_row(row):
    return lambda rows: rows.pop(row)


def covariance_entry(value):
    def edit(rows):
        for r in rows[1:]:
            if r[1] == "2024-01-10" and (r[2], r[3]) == ("beta", "book_to_price"):
                r[4] = value

    return edit


# --------------------------------------------------------------------------- good imports


def test_round_trip(src, tmp_path):
    dest = tw.import_database(src, tmp_path / "db.duckdb")
    tw.set_database(dest)
    beta, delta = tw.instruments(["600002.XSHG", "000020.XSHE"])
    assert beta == tw.Instrument(
        "600002.XSHG", "Beta Co", "CS", "XSHG", "2015-06-01", "2024-01-10"
    )
    assert delta.de_listed_date == "0000-00-00"
    prices = pd.read_csv(src / "price_changes.csv", dtype={"date": str})
    prices["date"] = pd.to_datetime(prices["date"], format="%Y%m%d")
    expected = prices.pivot(index="date", columns="order_book_id", values="change_rate")
    ids = list(expected.columns)
    got = tw.get_price_change_rate(ids, "2024-01-02", "2024-01-12")
    np.testing.assert_array_equal(got.values, expected[ids].values)
    assert tw.get_trading_dates("2024-01-02", "2024-01-12")[3] == pd.Timestamp("2024-01-08").date()

    w = tw.index_weights("990001.XSHG", "2024-01-08")
    assert w.to_dict() == {"000020.XSHE": 0.2, "600001.XSHG": 0.5, "600002.XSHG": 0.3}
    assert len(tw.index_weights("990001.XSHG", "2024-01-12")) == 2

    assert tw.industry_names("sws") == ["banks", "machinery", "media"]  # derived: sorted
    assert tw.get_industry(["000020.XSHE"], "2024-01-09").tolist() == ["machinery"]
    assert tw.get_industry(["000020.XSHE"], "2024-01-10").tolist() == ["media"]
    assert tw.get_industry(["000020.XSHE", "600001.XSHG"], "2024-01-10", "citic").to_dict() == {
        "600001.XSHG": "finance"
    }
    expo = tw.get_factor_exposure(["000020.XSHE", "600002.XSHG", "600001.XSHG"], "2024-01-11")
    assert list(expo.index) == ["000020.XSHE", "600001.XSHG"]  # 600002 has no row on 01-10
    assert expo.loc["000020.XSHE", ["banks", "machinery", "media"]].tolist() == [0, 0, 1]
    cov = pd.read_csv(src / "factor_covariance.csv")
    cov = cov[cov.date == "2024-01-02"].pivot(index="factor_1", columns="factor_2")["covariance"]
    got_cov = tw.get_factor_covariance("2024-01-09", "daily")
    np.testing.assert_array_equal(got_cov.values, cov.loc[got_cov.index, got_cov.columns].values)
    spec = tw.get_specific_risk(["000010.XSHE", "600001.XSHG"], "2024-01-12")
    assert spec.to_dict() == {"000010.XSHE": 0.012, "600001.XSHG": 0.01}
    with pytest.raises(tw.TidewellError, match="monthly"):
        tw.get_specific_risk(["600001.XSHG"], "2024-01-12", "monthly")


def test_parquet_files_and_industry_order(src, tmp_path):
    con = duckdb.connect()
    for table in ("price_changes", "trading_dates"):
        path = str(src / f"{table}.csv")
        con.execute(
            f"COPY (SELECT * FROM read_csv('{path}', header = true, types = {{'date': 'DATE'}}, "
            f"dateformat = '{'%Y%m%d' if table == 'price_changes' else '%Y-%m-%d'}')) "
            f"TO '{src / table}.parquet' (FORMAT PARQUET)"
        )
        os.remove(path)
    write_rows(
        src,
        "industries",
        [["classification", "position", "industry"], ["sws", "1", "media"],
         ["sws", "2", "banks"], ["sws", "3", "machinery"], ["citic", "1", "finance"],
         ["citic", "2", "industrials"]],
    )  # fmt: skip
    tw.set_database(tw.import_database(src, tmp_path / "db.duckdb"))
    assert tw.get_factor_names()[10:] == ["media", "banks", "machinery"]
    assert tw.get_price_change_rate("600001.XSHG", "2024-01-02", "2024-01-12").notna().all()


def test_cli(src, tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    dest = tmp_path / "cli.duckdb"
    cmd = [sys.executable, "-m", "tidewell", "import", str(src), str(dest)]
    ok = subprocess.run(cmd, env=env, capture_output=True, text=True, check=False)
    assert ok.returncode == 0, ok.stderr
    assert dest.is_file()
    os.remove(src / "trading_dates.csv")
    bad = subprocess.run(cmd, env=env, capture_output=True, text=True, check=False)
    assert bad.returncode == 1 and "trading_dates" in bad.stderr


# --------------------------------------------------------------------------- broken inputs


BROKEN = [
    ("instruments", drop_column("exchange"), ["header", "'exchange'", "missing column"]),
    ("instruments", set_cell(2, "symbol", " "), ["row 2", "'symbol'", "missing value"]),
    ("instruments", set_cell(3, "type", "XX"), ["row 3", "'type'", "must be one of", "'XX'"]),
    ("instruments", set_cell(1, "listed_date", "05/03/2024"), ["row 1", "'listed_date'",
                                                               "not a date"]),
    ("instruments", set_cell(2, "de_listed_date", "2015-05-01"), ["row 2", "'de_listed_date'"]),
    ("instruments", set_cell(2, "de_listed_date", "2015-06-01"), ["row 2", "'de_listed_date'",
                                                                  "after listed_date"]),
    ("trading_dates", set_cell(3, "date", "2024-02-30"), ["row 3", "'date'", "'2024-02-30'"]),
    ("trading_dates", set_cell(2, "date", "20240102"), ["row 2", "'date'", "duplicate key",
                                                         "first seen in row 1"]),
    ("price_changes", append_copy(4), ["row 43", "columns 'order_book_id', 'date'",
                                       "first seen in row 4"]),
    ("price_changes", set_cell(5, "change_rate", "inf"), ["row 5", "'change_rate'", "finite"]),
    ("price_changes", set_cell(6, "change_rate", "NaN"), ["row 6", "'change_rate'", "finite"]),
    ("price_changes", set_cell(7, "change_rate", "1,5"), ["row 7", "'change_rate'",
                                                          "not a number"]),
    ("price_changes", set_cell(8, "date", "20241301"), ["row 8", "'date'", "not a date"]),
    ("price_changes", set_cell(1, "order_book_id", "600009.XSHG"), ["row 1", "'order_book_id'",
                                                                     "unknown order_book_id"]),
    ("price_changes", set_cell(2, "date", "2024-01-05"), ["row 2", "'date'",
                                                          "not a trading date"]),
    ("index_weights", set_cell(5, "weight", "0.5"), ["row 4", "'weight'", "sum to 1.1"]),
    ("index_weights", set_cell(5, "weight", "0.2"), ["row 4", "'weight'", "sum to 0.8"]),
    ("index_weights", set_cell(1, "weight", "-0.5"), ["row 1", "'weight'", "negative"]),
    ("industry_classification", set_cell(9, "start_date", ""), ["row 9", "'start_date'",
                                                                "missing value"]),
    ("factor_exposures", set_cell(3, "industry", "banking"), ["row 3", "'industry'", "sws"]),
    ("factor_exposures", set_cell(4, "momentum", "-inf"), ["row 4", "'momentum'", "finite"]),
    ("factor_covariance", covariance_entry("0.5"), ["row 171", "'covariance'", "not symmetric"]),
    ("factor_covariance", drop_row(30), ["row 1", "'factor_1', 'factor_2'", "168 entries"]),
    ("factor_covariance", set_cell(1, "cov_model", "weekly"), ["row 1", "'cov_model'"]),
    ("specific_risk", set_cell(2, "specific_risk", "abc"), ["row 2", "'specific_risk'",
                                                            "not a number"]),
]  # fmt: skip


@pytest.mark.parametrize("table, edit, fragments", BROKEN)
def test_broken_files_name_file_row_and_column(src, tmp_path, table, edit, fragments):
    edit_csv(src, table, edit)
    with pytest.raises(tw.TidewellError) as info:
        tw.import_database(src, tmp_path / "db.duckdb")
    message = str(info.value)
    assert message.startswith(f"{table}.csv, ")
    for fragment in fragments:
        assert fragment in message, message
    assert os.listdir(tmp_path) == ["src"]  # nothing half-written left behind


def test_not_positive_definite_covariance(src, tmp_path):
    def negate_first_diagonal(rows):
        for r in rows[1:]:
            if r[1] == "2024-01-10" and r[2] == r[3] == "beta":
                r[4] = "-1e-4"

    edit_csv(src, "factor_covariance", negate_first_diagonal)
    with pytest.raises(tw.TidewellError, match=r"row 170, column 'covariance'.*positive definite"):
        tw.import_database(src, tmp_path / "db.duckdb")


def test_failed_import_leaves_destination_untouched(src, tmp_path):
    dest = tmp_path / "db.duckdb"
    tw.import_database(src, dest)
    before = dest.read_bytes()
    inode = os.stat(dest).st_ino
    edit_csv(src, "specific_risk", set_cell(7, "specific_risk", "nan"))
    with pytest.raises(tw.TidewellError, match="row 7"):
        tw.import_database(src, dest)
    assert dest.read_bytes() == before and os.stat(dest).st_ino == inode
    assert sorted(os.listdir(tmp_path)) == ["db.duckdb", "src"]


@pytest.mark.parametrize("missing", ["instruments", "trading_dates"])
def test_required_files(src, tmp_path, missing):
    os.remove(src / f"{missing}.csv")
    with pytest.raises(tw.TidewellError, match=f"required table '{missing}'"):
        tw.import_database(src, tmp_path / "db.duckdb")


def test_optional_tables_may_be_absent(src, tmp_path):
    for table in ("factor_exposures", "factor_covariance", "specific_risk", "index_weights"):
        os.remove(src / f"{table}.csv")
    tw.set_database(tw.import_database(src, tmp_path / "db.duckdb"))
    assert len(tw.instruments(["600001.XSHG"])) == 1
    with pytest.raises(tw.TidewellError, match="no factor exposures"):
        tw.get_factor_exposure(["600001.XSHG"], "2024-01-03")
    with pytest.raises(tw.TidewellError, match=re.escape("unknown index '990001.XSHG'")):
        tw.index_weights("990001.XSHG", "2024-01-03")


# --------------------------------------------------------------------------- what is read


@pytest.mark.parametrize("name", ["mkt[1]", "mkt*", "mkt?", "mkt{1}"])
def test_source_path_is_a_path_not_a_pattern(tmp_path, name):
    # A decoy that the name, read as a pattern, would match: other symbols, fewer rows.
    decoy = tmp_path / "mkt1"
    shutil.copytree(TINY, decoy)
    edit_csv(decoy, "instruments", set_cell(1, "symbol", "Decoy"))
    edit_csv(decoy, "price_changes", lambda rows: rows.pop())
    edit_csv(decoy, "specific_risk", lambda rows: rows.pop())
    source = tmp_path / name
    shutil.copytree(TINY, source)
    for folder in (decoy, source):  # the Parquet reader too
        con = duckdb.connect()
        con.execute(
            "COPY (SELECT * FROM read_csv(?, header = true)) TO '{}' (FORMAT PARQUET)".format(
                str(folder / "specific_risk.parquet").replace("'", "''")
            ),
            [str(folder / "specific_risk.csv")],
        )
        con.close()
        os.remove(folder / "specific_risk.csv")
    tw.set_database(tw.import_database(source, tmp_path / "db.duckdb"))
    assert tw.instruments("600001.XSHG").symbol == "Alpha Co"
    ids = [row[0] for row in read_rows(source, "instruments")[1:]]
    rates = tw.get_price_change_rate(ids, "2024-01-02", "2024-01-12")
    assert rates.notna().sum().sum() == len(read_rows(source, "price_changes")) - 1
    assert len(tw.get_specific_risk(ids, "2024-01-12")) == 3


@pytest.mark.parametrize("stranger, closest", [
    ("factor_exposure.csv", "factor_exposures.csv"),
    ("Instruments.parquet", "instruments.parquet"),
    ("notes.txt", None),
])  # fmt: skip
def test_unknown_file_is_an_error_naming_the_closest_table(src, tmp_path, stranger, closest):
    (src / stranger).write_text("date\n2024-01-02\n")
    (src / ".hidden").write_text("ignored")
    (src / "archive").mkdir()  # subfolders are not read either
    with pytest.raises(tw.TidewellError) as info:
        tw.import_database(src, tmp_path / "db.duckdb")
    message = str(info.value)
    assert repr(stranger) in message and "trading_dates, price_changes" in message
    if closest:
        assert f"did you mean {closest!r}" in message
    assert ".hidden" not in message and "archive" not in message
    assert os.listdir(tmp_path) == ["src"]


def test_a_folder_named_like_a_table_file_is_an_error(src, tmp_path):
    (src / "index_weights.csv").unlink()
    (src / "index_weights.csv").mkdir()
    with pytest.raises(tw.TidewellError, match=r"'index_weights\.csv' \(a folder"):
        tw.import_database(src, tmp_path / "db.duckdb")


def percent(rows):
    j = rows[0].index("change_rate")
    for r in rows[1:]:
        r[j] = repr(float(r[j]) * 100)


@pytest.mark.parametrize("edit, fragments", [
    (percent, ["column 'change_rate'", "median absolute change", "percent"]),
    (set_cell(3, "change_rate", "-1"), ["row 3", "'change_rate'", "-100 %", "percent"]),
    (set_cell(3, "change_rate", "-2.5"), ["row 3", "'-2.5'", "percent"]),
])  # fmt: skip
def test_change_rates_in_percent_are_refused(src, tmp_path, edit, fragments):
    edit_csv(src, "price_changes", edit)
    with pytest.raises(tw.TidewellError) as info:
        tw.import_database(src, tmp_path / "db.duckdb")
    for fragment in fragments:
        assert fragment in str(info.value), str(info.value)


def test_large_fractions_are_still_change_rates(src, tmp_path):
    edit_csv(src, "price_changes", set_cell(3, "change_rate", "-0.95"))  # a crash, not percent
    edit_csv(src, "price_changes", set_cell(4, "change_rate", "3.5"))  # a +350 % day
    tw.import_database(src, tmp_path / "db.duckdb")


def test_a_file_read_as_one_column_says_the_delimiter_looks_wrong(src, tmp_path):
    rows = read_rows(src, "price_changes")
    # Each line one quoted field, as some spreadsheet exports write a ;-separated file.
    (src / "price_changes.csv").write_text("".join(f'"{";".join(r)}"\n' for r in rows))
    with pytest.raises(tw.TidewellError) as info:
        tw.import_database(src, tmp_path / "db.duckdb")
    message = str(info.value)
    assert message.startswith("price_changes.csv, header")
    assert "'order_book_id;date;change_rate'" in message and "delimiter looks wrong" in message


# --------------------------------------------------------------------------- where it is written


def test_a_file_that_is_not_a_database_is_replaced_only_when_asked(src, tmp_path):
    notes = tmp_path / "notes.txt"
    notes.write_text("my notes")
    other = tmp_path / "other.duckdb"  # a database, but not tidewell's
    con = duckdb.connect(str(other))
    con.execute("CREATE TABLE t AS SELECT 1 AS x")
    con.close()
    for path in (notes, other):
        before = path.read_bytes()
        with pytest.raises(tw.TidewellError, match="not a tidewell database.*overwrite=True"):
            tw.import_database(src, path)
        assert path.read_bytes() == before
    tw.set_database(tw.import_database(src, notes, overwrite=True))
    assert tw.instruments("600001.XSHG") is not None
    empty = tmp_path / "empty.duckdb"  # as tempfile.mkstemp leaves it: nothing to lose
    empty.touch()
    tw.import_database(src, empty)
    tw.import_database(src, empty)  # a tidewell database is replaced without asking


@pytest.mark.parametrize("overwrite", [False, True])
@pytest.mark.parametrize("inside", ["instruments.csv", "new.duckdb", "sub/new.duckdb"])
def test_a_destination_inside_the_source_folder_is_refused(src, overwrite, inside):
    before = {p.name: p.read_bytes() for p in src.iterdir()}
    with pytest.raises(tw.TidewellError, match="inside the source folder"):
        tw.import_database(src, src / inside, overwrite=overwrite)
    assert {p.name: p.read_bytes() for p in src.iterdir()} == before


def test_a_symlinked_destination_replaces_the_file_it_points_to(src, tmp_path):
    real = tmp_path / "stores" / "real.duckdb"
    real.parent.mkdir()
    tw.import_database(TINY, real)
    link = tmp_path / "link.duckdb"
    link.symlink_to(real)
    edit_csv(src, "instruments", set_cell(1, "symbol", "Renamed"))
    assert tw.import_database(src, link) == str(link)
    assert link.is_symlink() and os.readlink(link) == str(real)
    tw.set_database(real)
    assert tw.instruments("600001.XSHG").symbol == "Renamed"
    assert sorted(os.listdir(real.parent)) == ["real.duckdb"]


def test_unwritable_destinations_are_named(src, tmp_path, read_only):
    locked = read_only(tmp_path / "locked")
    with pytest.raises(tw.TidewellError, match=r"cannot write the database .*locked/db\.duckdb"):
        tw.import_database(src, locked / "db.duckdb")
    (tmp_path / "plain.txt").write_text("a file, not a folder")
    for dest in ("plain.txt/db.duckdb", "plain.txt/sub/db.duckdb"):
        with pytest.raises(tw.TidewellError, match=r"plain\.txt' is a file, not a folder"):
            tw.import_database(src, tmp_path / dest)


# --------------------------------------------------------------------------- the command line


def run_cli(*args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    cmd = [sys.executable, "-m", "tidewell", *map(str, args)]
    return subprocess.run(cmd, env=env, capture_output=True, text=True, check=False)


def test_cli_ends_every_error_in_one_line(src, tmp_path):
    notes = tmp_path / "notes.txt"
    notes.write_text("my notes")
    (tmp_path / "plain.txt").write_text("a file, not a folder")
    damaged = src.parent / "damaged"
    shutil.copytree(src, damaged)
    (damaged / "trading_dates.csv").write_bytes(b"\xff\xfe\x00garbage\n\x00")
    cases = [
        (["import", src, notes], 1, "not a tidewell database"),
        (["import", src, src / "instruments.csv"], 1, "inside the source folder"),
        (["import", src, tmp_path / "plain.txt" / "x.duckdb"], 1, "cannot write"),
        (["import", damaged, tmp_path / "x.duckdb"], 1, "trading_dates.csv"),
        (["import", tmp_path / "nowhere", tmp_path / "x.duckdb"], 1, "does not exist"),
        (["demo", notes], 1, "not a tidewell database"),
        (["imprt", src], 2, "invalid choice"),
        (["import", src], 2, "required"),
    ]
    for args, status, fragment in cases:
        done = run_cli(*args)
        assert done.returncode == status, (args, done.stderr)
        assert done.stderr.count("\n") == 1 and done.stderr.startswith("tidewell: error: ")
        assert fragment in done.stderr, (args, done.stderr)
    assert notes.read_text() == "my notes"
    done = run_cli("import", src, notes, "--force")
    assert done.returncode == 0, done.stderr
    assert notes.read_bytes()[8:12] == b"DUCK"


# --------------------------------------------------------------------------- trading tables


@pytest.fixture
def trading_src(tmp_path):
    from conftest import trading_tables

    return trading_tables(tmp_path / "src")


def test_trading_tables_round_trip(trading_src, tmp_path):
    tw.set_database(tw.import_database(trading_src, tmp_path / "db.duckdb"))
    one = tw.get_prices("600003.XSHG", "2024-01-02", "2024-01-12")
    assert list(one.columns) == ["close", "limit_up", "limit_down", "suspended"]
    assert one.index.tolist() == list(pd.to_datetime(["2024-01-08", "2024-01-09"]))
    assert one.suspended.tolist() == [False, True]
    both = tw.get_prices(["000010.XSHE", "NOPE", "600004.XSHG"], "2024-01-08", "2024-01-08")
    assert both.index.get_level_values("order_book_id").tolist() == ["000010.XSHE", "600004.XSHG"]
    assert np.isnan(both.loc[("000010.XSHE", pd.Timestamp("2024-01-08")), "limit_up"])
    status = tw.get_trading_status(["600006.XSHG", "600001.XSHG", "000010.XSHE"], "2024-01-09")
    assert status.special_treatment.tolist() == [True, False, False]
    assert status.board.tolist()[:2] == ["main", "main"] and pd.isna(status.board.iloc[2])
    before = tw.get_trading_status(["600001.XSHG"], "2024-01-08")
    assert before.special_treatment.tolist() == [True]  # its period ends on 2024-01-09
    with pytest.raises(tw.TidewellError, match="not a trading date"):
        tw.get_trading_status(["600001.XSHG"], "2024-01-06")


def test_stores_without_trading_tables_say_so(src, tmp_path):
    tw.set_database(tw.import_database(src, tmp_path / "db.duckdb"))
    with pytest.raises(tw.TidewellError, match="no daily prices"):
        tw.get_trading_status(["600001.XSHG"], "2024-01-09")
    with pytest.raises(tw.TidewellError, match="no daily prices"):
        tw.get_prices(["600001.XSHG"], "2024-01-02", "2024-01-09")
    with pytest.raises(tw.TidewellError, match="no daily prices"):
        tw.get_traded_value(["600001.XSHG"], "2024-01-02", "2024-01-09")


def with_traded_values(values):
    """Edit for ``edit_csv``: a traded_value column, ``values`` by (code, date), else empty."""

    def edit(rows):
        rows[0].append("traded_value")
        for row in rows[1:]:
            row.append(values.get((row[0], row[1]), ""))

    return edit


def test_traded_values_round_trip_or_are_left_out(trading_src, tmp_path):
    codes, days = ["600003.XSHG", "NOPE", "600001.XSHG"], ("2024-01-08", "2024-01-09")
    tw.set_database(tw.import_database(trading_src, tmp_path / "without.duckdb"))
    left_out = tw.get_traded_value(codes, *days)
    assert list(left_out.columns) == codes and left_out.isna().all().all()

    given = {("600001.XSHG", days[0]): "1250000.5", ("600003.XSHG", days[1]): "0"}
    edit_csv(trading_src, "daily_prices", with_traded_values(given))
    tw.set_database(tw.import_database(trading_src, tmp_path / "with.duckdb"))
    values = tw.get_traded_value(codes, *days)
    assert values.index.tolist() == list(pd.to_datetime(days))
    assert values.loc[days[0], "600001.XSHG"] == 1250000.5
    assert values.loc[days[1], "600003.XSHG"] == 0.0  # suspended: nothing traded
    assert values.notna().sum().sum() == 2  # the cells left empty stay unknown

    edit_csv(trading_src, "daily_prices", set_cell(2, "traded_value", "-1"))
    with pytest.raises(tw.TidewellError, match="row 2.*'traded_value'.*negative"):
        tw.import_database(trading_src, tmp_path / "negative.duckdb")


def both(first, second):
    return lambda rows: (first(rows), second(rows))


BROKEN_TRADING = [
    ("daily_prices", set_cell(1, "close", "0"), ["row 1", "'close'", "positive"]),
    ("daily_prices", set_cell(2, "limit_down", "-1"), ["row 2", "'limit_down'", "positive"]),
    ("daily_prices", set_cell(3, "suspended", "2"), ["row 3", "'suspended'", "or 0"]),
    ("daily_prices", set_cell(3, "suspended", "yes"), ["row 3", "'suspended'", "not an integer"]),
    ("daily_prices", set_cell(4, "limit_down", "12"), ["row 4", "'limit_down'", "above limit_up"]),
    ("daily_prices", set_cell(1, "close", "11.5"), ["row 1", "'close'", "above the"]),
    ("daily_prices", set_cell(1, "close", "8.99"), ["row 1", "'close'", "below the"]),
    ("daily_prices", set_cell(2, "date", "2024-01-06"), ["row 2", "'date'", "not a trading date"]),
    ("daily_prices", set_cell(1, "order_book_id", "X"), ["row 1", "'order_book_id'", "unknown"]),
    ("daily_prices", append_copy(1), ["row 19", "columns 'order_book_id', 'date'", "duplicate"]),
    ("boards", set_cell(1, "board", "nasdaq"), ["row 1", "'board'", "main, chinext, star"]),
    ("special_treatment", set_cell(1, "end_date", "2024-01-09"), ["row 1", "'end_date'",
                                                                   "after start_date"]),
    ("special_treatment", both(set_cell(2, "order_book_id", "600006.XSHG"),
                               set_cell(2, "end_date", "2024-01-10")),
     ["row 1", "'start_date'", "overlap", "row 2"]),
    ("special_treatment", set_cell(1, "start_date", "someday"), ["row 1", "'start_date'",
                                                                  "not a date"]),
]  # fmt: skip


@pytest.mark.parametrize("table, edit, fragments", BROKEN_TRADING)
def test_broken_trading_files(trading_src, tmp_path, table, edit, fragments):
    edit_csv(trading_src, table, edit)
    with pytest.raises(tw.TidewellError) as info:
        tw.import_database(trading_src, tmp_path / "db.duckdb")
    message = str(info.value)
    assert message.startswith(f"{table}.csv, ")
    for fragment in fragments:
        assert fragment in message, message
