"""Fuzz targets of tidewell: every public call against a small store imported from
tests/data/tiny (`reliability.store`), the importer on mangled CSV files and the demo
builder included."""

import datetime
import os
import shutil
import tempfile
from pathlib import Path

import numpy as np
import pandas as pd
from hypothesis import strategies as st

import tidewell
from reliability import values as v
from reliability.runner import arity, make_call, target
from reliability.store import TINY, active
from vantelo.const import CovModel

TW_CODES = [
    "600001.XSHG",
    "600002.XSHG",
    "000010.XSHE",
    "000020.XSHE",
    "300030.XSHE",
    "990001.XSHG",
    "510001.XSHG",
    "600000.XSHG",
]
TW_INDEX = "990001.XSHG"

tw_codes = st.sampled_from(TW_CODES)
tw_ids = v.weighted(
    st.one_of(
        tw_codes,
        st.lists(tw_codes, max_size=6),
        st.lists(tw_codes, max_size=4).map(tuple),
        st.lists(tw_codes, max_size=4).map(iter),
        st.lists(tw_codes, max_size=3).map(lambda ids: pd.Index(ids)),
        st.builds(lambda: TW_CODES * 2000),  # a long request
    )
)
tw_dates = v.weighted(
    st.one_of(
        st.dates(datetime.date(2023, 12, 25), datetime.date(2024, 1, 20)),
        st.sampled_from(
            [
                "2024-01-05",
                "20240105",
                20240105,
                "2024-01-06",
                "2023-12-29",
                np.datetime64("2024-01-09"),
                pd.Timestamp("2024-01-10 15:00"),
                datetime.datetime(2024, 1, 11, 23, 59),
            ]
        ),
    )
)
tw_counts = v.weighted(st.integers(-10, 10), st.sampled_from([2**63, -(2**63), 1.0, True]))
tw_cov_models = v.weighted(st.sampled_from(["daily", "monthly", "quarterly"] + list(CovModel)))
tw_classifications = v.weighted(
    st.sampled_from(["sws", "citic", "sws_non_bank_split"] + list(v.IndustryClassification))
)
tw_types = v.weighted(st.sampled_from([None, "CS", "INDX", "ETF", "LOF"]))


def _tw_target(name, *arguments):
    function = getattr(tidewell, name)

    @target("tidewell." + name, env="store")
    def build(data):
        args = tuple(data.draw(a) for a in arguments)
        return make_call(data, function, *args)

    return build


for _name, _arguments in [
    ("instruments", (tw_ids,)),
    ("all_instruments", (tw_types, st.one_of(st.none(), tw_dates))),
    ("get_trading_dates", (tw_dates, tw_dates)),
    ("is_trading_date", (tw_dates,)),
    ("trading_date_offset", (tw_dates, tw_counts)),
    ("get_previous_trading_date", (tw_dates, tw_counts)),
    ("get_next_trading_date", (tw_dates, tw_counts)),
    ("get_price_change_rate", (tw_ids, tw_dates, tw_dates)),
    ("index_weights", (v.weighted(st.sampled_from([TW_INDEX, TW_CODES[0]])), tw_dates)),
    ("get_style_factor_names", ()),
    ("get_factor_names", ()),
    ("get_factor_exposure", (tw_ids, tw_dates)),
    ("get_factor_covariance", (tw_dates, tw_cov_models)),
    ("get_specific_risk", (tw_ids, tw_dates, tw_cov_models)),
    ("get_risk_model_history", (tw_dates, tw_dates, tw_cov_models)),
    ("industry_names", (tw_classifications,)),
    ("get_industry", (tw_ids, tw_dates, tw_classifications)),
    ("get_industry_history", (st.one_of(st.none(), tw_ids), tw_classifications)),
    ("get_prices", (tw_ids, tw_dates, tw_dates)),
    ("get_traded_value", (tw_ids, tw_dates, tw_dates)),
    ("get_trading_status", (tw_ids, tw_dates)),
    ("get_database_path", ()),
    ("demo_database_path", ()),
]:
    _tw_target(_name, *_arguments)


class HostilePath:
    """A path-like object whose __fspath__ raises."""

    def __fspath__(self):
        raise v.HostileError("__fspath__")


class IntPath:
    def __fspath__(self):
        return 42


# Destinations stay inside the scratch folder: relative names, never "..".
_relative = v.text.map(lambda t: "out_" + t.replace("/", "_").replace("\x00", "0")[:40])
paths = st.one_of(
    _relative,
    st.sampled_from(["", ".", "tiny.duckdb", "missing/deeper/x.duckdb", "\x00", "not_a_folder"]),
    st.builds(HostilePath),
    st.builds(IntPath),
    st.builds(lambda: Path("out_path.duckdb")),
    st.builds(lambda: b"out_bytes.duckdb"),
    v.anything,
)


IN_USE, FRESH = object(), object()  # stand-ins for the store in use and a new file


@target("tidewell.set_database", env="store")
def _set_database(data):
    path = data.draw(st.one_of(st.just(IN_USE), st.none(), paths))

    def call():
        try:
            return tidewell.set_database(active["db"] if path is IN_USE else path)
        finally:
            tidewell.set_database(active["db"])

    return call


def _refused_by_int(value):
    """`value` if int() refuses it, else a text it refuses (some hostile objects pass)."""
    try:
        int(value)
    except Exception:
        return value
    return "not a seed"


@target("tidewell.build_demo_database", weight=0.05, env="store")
def _build_demo_database(data):
    # A full build takes seconds, so the seed is always one that int() refuses
    # (and the call is never made without it): every call fails, before or after
    # the path is looked at.
    seed = data.draw(
        st.one_of(st.none(), st.sampled_from(["x", "", "1.5", [], {}]), v.hostile).map(
            _refused_by_int
        )
    )
    path = data.draw(paths)
    progress = data.draw(v.weighted(st.booleans()))
    given = (path, seed, progress)
    args, kwargs = arity(data, given, {}, shapes=("extra", "keyword"))
    thunk = lambda: tidewell.build_demo_database(*args, **kwargs)  # noqa: E731
    thunk.shaped = args is given
    return thunk


CSV_MUTATIONS = [
    "none",
    "empty",
    "header_only",
    "binary",
    "nul",
    "drop_column",
    "garbage_cell",
    "duplicate_row",
    "truncate",
    "huge",
    "nan",
    "crlf",
    "bom",
    "unbalanced_quote",
    "extra_column",
    "remove",
    "directory",
]


def _mutate_csv(path, kind, garbage):
    with open(path, encoding="utf-8", errors="surrogateescape") as fh:
        lines = fh.read().splitlines() or [""]
    header, rows = lines[0], lines[1:]
    if kind == "remove":
        os.remove(path)
        return
    if kind == "directory":
        os.remove(path)
        os.mkdir(path)
        return
    if kind == "binary":
        with open(path, "wb") as fh:
            fh.write(bytes(range(256)) * 4)
        return
    if kind == "empty":
        lines = []
    elif kind == "header_only":
        lines = [header]
    elif kind == "nul":
        lines = [header] + [r.replace(",", ",\x00", 1) for r in rows]
    elif kind == "drop_column":
        lines = [",".join(line.split(",")[1:]) for line in lines]
    elif kind == "garbage_cell" and rows:
        cells = rows[0].split(",")
        cells[-1] = garbage
        lines = [header, ",".join(cells)] + rows[1:]
    elif kind == "duplicate_row" and rows:
        lines = lines + rows[:1]
    elif kind == "truncate":
        text = "\n".join(lines)
        lines = [text[: len(text) // 2]]
    elif kind in ("huge", "nan") and rows:
        cells = rows[-1].split(",")
        cells[-1] = "1e400" if kind == "huge" else "nan"
        lines = lines[:-1] + [",".join(cells)]
    elif kind == "unbalanced_quote" and rows:
        lines = [header, '"' + rows[0]] + rows[1:]
    elif kind == "extra_column":
        lines = [header + ",extra"] + [r + ",1" for r in rows]
    newline = "\r\n" if kind == "crlf" else "\n"
    with open(path, "w", encoding="utf-8", errors="surrogateescape") as fh:
        fh.write(("\ufeff" if kind == "bom" else "") + newline.join(lines) + newline)


@target("tidewell.import_database", weight=0.05, env="store")
def _import_database(data):
    tables = sorted(p.name for p in TINY.iterdir())
    edits = data.draw(
        st.lists(
            st.tuples(
                st.sampled_from(tables),
                st.sampled_from(CSV_MUTATIONS),
                v.text.map(lambda t: t.replace("\n", " ")),
            ),
            max_size=2,
        )
    )
    source_kind = data.draw(st.sampled_from(["edited"] * 4 + ["missing", "drawn"]))
    source_value = data.draw(paths) if source_kind == "drawn" else None
    dest = data.draw(st.one_of(st.just(FRESH), st.just(IN_USE), paths))

    def call():
        workdir = active["dir"]
        source = tempfile.mkdtemp(prefix="source-", dir=workdir)
        try:
            for name in tables:
                shutil.copy(TINY / name, source)
            for name, kind, garbage in edits:
                if os.path.isfile(os.path.join(source, name)):
                    _mutate_csv(os.path.join(source, name), kind, garbage)
            src = {
                "edited": source,
                "missing": os.path.join(source, "nope"),
                "drawn": source_value,
            }[source_kind]
            if dest is FRESH:
                target_path = os.path.join(workdir, "fresh.duckdb")
            elif dest is IN_USE:
                target_path = active["db"]  # over the store in use: must stay readable
            else:
                target_path = dest
            return tidewell.import_database(src, target_path)
        finally:
            shutil.rmtree(source, ignore_errors=True)
            tidewell.set_database(active["db"])
            tidewell.instruments(TW_CODES[0])  # the store in use still answers

    return call


# Returns of 25 stocks over 70 days: just enough history for one model date.
_RM_DAYS = pd.bdate_range("2024-01-01", periods=70)
_RM_IDS = [f"S{i:02d}" for i in range(25)]
RM_MUTATIONS = [
    "none",
    "nan_column",
    "all_nan",
    "inf",
    "percent",
    "minus_one",
    "text_cell",
    "duplicate_date",
    "duplicate_column",
    "not_dates",
    "short",
    "empty",
    "constant",
]


def _rm_frame(seed, mutation):
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame(
        rng.normal(0.0, 0.02, (len(_RM_DAYS), len(_RM_IDS))), index=_RM_DAYS, columns=_RM_IDS
    )
    if mutation == "nan_column":
        frame.iloc[:, 3] = np.nan
    elif mutation == "all_nan":
        frame.iloc[:, :] = np.nan
    elif mutation == "inf":
        frame.iloc[5, 2] = np.inf
    elif mutation == "percent":
        frame = frame * 100
    elif mutation == "minus_one":
        frame.iloc[7, 1] = -1.0
    elif mutation == "text_cell":
        frame = frame.astype(object)
        frame.iloc[2, 2] = "x"
    elif mutation == "duplicate_date":
        frame.index = frame.index[:1].append(frame.index[:-1])
    elif mutation == "duplicate_column":
        frame.columns = [_RM_IDS[0]] + _RM_IDS[:-1]
    elif mutation == "not_dates":
        frame.index = [f"day {i}" for i in range(len(frame))]
    elif mutation == "short":
        frame = frame.iloc[:10]
    elif mutation == "empty":
        frame = frame.iloc[:0, :0]
    elif mutation == "constant":
        frame.iloc[:, :] = 0.001
    return frame


@target("tidewell.build_risk_model", weight=0.05, env="store")
def _build_risk_model(data):
    seed = data.draw(st.integers(0, 3))
    mutation = data.draw(st.sampled_from(RM_MUTATIONS))
    frame = _rm_frame(seed, mutation)
    returns = data.draw(v.weighted(st.just(frame), st.just(frame.to_numpy())))
    kwargs = {}
    if data.draw(st.booleans()):
        kwargs["industries"] = data.draw(
            v.weighted(st.just(pd.Series(["a", "b", "c", "d", "e"] * 5, index=_RM_IDS)))
        )
    if data.draw(st.booleans()):
        caps = np.exp(np.random.default_rng(seed).normal(22, 1, (len(_RM_DAYS), len(_RM_IDS))))
        kwargs["market_caps"] = data.draw(
            v.weighted(st.just(pd.DataFrame(caps, index=_RM_DAYS, columns=_RM_IDS)))
        )
    if data.draw(st.booleans()):
        kwargs["statistical_factors"] = data.draw(
            v.weighted(st.sampled_from(["auto", 0, 2]), st.sampled_from([-1, 1.5, "all"]))
        )
    if data.draw(st.booleans()):
        kwargs["half_lives"] = data.draw(
            v.weighted(st.just({"daily": 21}), st.just({"daily": -1}), st.just({"hourly": 5}))
        )
    return make_call(data, tidewell.build_risk_model, returns, **kwargs)
