"""The language of the messages: the switch, the catalogue against the sources and the
guide, and the compiled modules' errors and warnings in English."""

import pathlib
import re
import string
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from test_doc_examples import message_templates

import vantelo
import vantelo.optimize as optimize
from reliability.standins import DATE, FakeHelper
from vantelo.const import STYLE_FACTORS
from vantelo.constraints import StyleConstraint, TrackingErrorLimit
from vantelo.exception import InvalidArgument, OptimizerWarning
from vantelo.messages import CATALOGUE, translate
from vantelo.objective import MeanVariance

ROOT = pathlib.Path(__file__).resolve().parent.parent
CHINESE = re.compile(r"[\u4e00-\u9fff]")
POOL = ["000001.XSHE", "000002.XSHE", "600000.XSHG"]


@pytest.fixture(autouse=True)
def chinese_first():
    vantelo.set_language("zh")
    yield
    vantelo.set_language("zh")


def english(text):
    vantelo.set_language("en")
    try:
        return translate(text)
    finally:
        vantelo.set_language("zh")


def field_count(template):
    return sum(field is not None for _, field, _, _ in string.Formatter().parse(template))


# --- the switch ----------------------------------------------------------------------


def test_the_environment_is_not_read(monkeypatch):
    # The package reads no environment variable: a process starts in Chinese.
    monkeypatch.setenv("VANTELO_LANGUAGE", "en")
    script = "import vantelo; print(vantelo.get_language())"
    done = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120, check=True
    )
    assert done.stdout == "zh\n"


@pytest.mark.parametrize("language", ["fr", "EN", "english", None, 1])
def test_an_unknown_language_is_refused_and_changes_nothing(language):
    vantelo.set_language("en")
    with pytest.raises(InvalidArgument, match=r"^language: expected 'zh' or 'en', got "):
        vantelo.set_language(language)
    assert vantelo.get_language() == "en"


def test_the_workers_of_a_rebalance_speak_the_language_chosen():
    # A date that fails in a worker process says why in the caller's language.
    import tidewell
    from vantelo.rebalance import rebalance

    # Enough dates for more than one run, so that they go to the pool's workers.
    dates = tidewell.get_trading_dates("2024-03-01", "2024-03-29")[:12]
    vantelo.set_language("en")
    result = rebalance(
        dates,
        POOL,
        bnds={"*": (0, 0.2)},
        engine="processes",
        workers=2,
        progress=False,
        on_error="record",
    )
    messages = list(result.records["message"])
    assert all(
        m.startswith("InvalidArgument: the upper bounds sum to less than 1") for m in messages
    )
    assert not CHINESE.search(" ".join(messages))


# --- the catalogue -------------------------------------------------------------------


def test_every_chinese_message_of_the_sources_has_an_english_text():
    templates = message_templates()
    assert len(templates) > 40
    assert {t: english(t) for t in templates if CHINESE.search(english(t))} == {}


def test_every_entry_is_a_text_of_the_sources():
    sources = "".join(p.read_text(encoding="utf-8") for p in (ROOT / "src" / "cpp").rglob("*.cpp"))
    templates = set(message_templates())
    stale = [
        key
        for key in CATALOGUE
        if key not in templates and not (CHINESE.search(key) is None and f'"{key}"' in sources)
    ]
    assert stale == []


def test_english_texts_keep_every_value():
    assert {k: v for k, v in CATALOGUE.items() if field_count(k) != field_count(v)} == {}
    assert [v for v in CATALOGUE.values() if CHINESE.search(v)] == []


def cells(line):
    return [cell.strip() for cell in line.strip().strip("|").split(" | ")]


def guide_rows():
    """(header, row) of every table row of the error guide, cells stripped."""
    header = None
    for line in (ROOT / "docs" / "errors.md").read_text(encoding="utf-8").splitlines():
        if not line.startswith("|"):
            header = None
        elif header is None:
            header = cells(line)
        elif not line.startswith("|---"):
            yield header, cells(line)


def test_the_english_column_of_the_guide_is_what_the_switch_says():
    checked = 0
    for header, row in guide_rows():
        if not CHINESE.search(row[0]):
            # A message that is English already has nothing to translate.
            continue
        assert header[1] == "English", f"no English column for {row[0]}"
        quoted = re.fullmatch(r'"([^"]*)"', row[0])
        assert quoted, f"one message a row: {row[0]}"
        assert row[1] == f'"{english(quoted.group(1))}"'
        checked += 1
    assert checked > 70


def test_the_guide_lists_every_entry():
    guide = (ROOT / "docs" / "errors.md").read_text(encoding="utf-8")
    assert [key for key in CATALOGUE if CHINESE.search(key) and key not in guide] == []


@pytest.mark.parametrize(
    "text, expected",
    [
        # A message whose last value ends like a shorter template is read whole.
        (
            "7 个代码在合约数据中找不到，被剔除：a, b, c, d, e 等 7 个",
            "7 code(s) unknown to the instrument data were dropped: a, b, c, d, e (7 in all)",
        ),
        # Three values, each in its place.
        (
            "合约 * 的上限 0.1 小于下限 0.2",
            "the upper bound of * is below its lower bound: 0.1 < 0.2",
        ),
        # Nothing to match: a user's text, an English message, a Chinese text of no template.
        ("风格 size", "风格 size"),
        ("order_book_ids is empty", "order_book_ids is empty"),
        # A value holding braces goes in as it is.
        ("{}: 以下股票代码出现了不止一次：{'a': 1}", "{}: stocks listed more than once: {'a': 1}"),
    ],
)
def test_translation_of_texts(text, expected):
    assert english(text) == expected


@pytest.mark.parametrize("value", [float("inf"), ("a", "b"), None])
def test_what_is_no_text_passes_unchanged(value):
    # OptimizationFailed carries what the solve returned.
    vantelo.set_language("en")
    assert translate(value) is value


def test_a_long_list_is_translated_whole():
    codes = ", ".join(f"{i:06d}.XSHE" for i in range(20000))
    text = f"weights: 以下股票的值不是有限数（NaN 或 inf）：[{codes}]"
    assert (
        english(text)
        == f"weights: the values of these stocks are not finite (NaN or inf): [{codes}]"
    )


# --- the compiled modules in English -------------------------------------------------


def helper_with(edit):
    def make(pool, date, benchmark, model):
        made = FakeHelper(pool, factor_form=True)
        honest = made.get_cov_factor
        made.get_cov_factor = lambda: edit(*honest())
        return made

    return make


@pytest.mark.parametrize(
    "call, chinese, english_text",
    [
        # raise_invalid_argument
        (
            lambda: TrackingErrorLimit(0),
            "跟踪误差上限小于0：0.0",
            "the tracking error limit is below 0: 0.0",
        ),
        # raise_in_context, from a bound float() refuses
        (
            lambda: TrackingErrorLimit("abc"),
            "约束的上限或下限非法: TrackingErrorLimit:upper_limit = abc",
            "the bound is not a number: TrackingErrorLimit:upper_limit = abc",
        ),
        # A message with a suffix of its own
        (
            lambda: StyleConstraint("Size", upper_limit=0.1),
            "约束中指定的风格 Size 非法，应该从 {} 选取；最接近的风格：size",
            "invalid style Size in the constraint; choose from {}; the closest styles: size",
        ),
    ],
    ids=["plain", "in context", "with suffix"],
)
def test_constructors_raise_in_the_language_chosen(call, chinese, english_text):
    styles = str(list(STYLE_FACTORS)) if "{}" in chinese else ""
    for language, expected in [("zh", chinese), ("en", english_text), ("zh", chinese)]:
        vantelo.set_language(language)
        with pytest.raises(InvalidArgument) as caught:
            call()
        assert str(caught.value) == expected.replace("{}", styles)


@pytest.mark.parametrize(
    "helper, expected",
    [
        # "{}(): {}不是数值" with a phrase for its second value
        (
            helper_with(lambda root, specific: (np.full(root.shape, "x"), specific)),
            "get_cov_factor(): the factor loading matrix is not numeric",
        ),
        # "{}(): {}" around a check's own text
        (
            helper_with(lambda root, specific: (root, -specific)),
            "get_cov_factor(): a specific variance is negative",
        ),
    ],
    ids=["not numeric", "negative"],
)
def test_risk_data_errors_in_english(fake_market, monkeypatch, helper, expected):
    monkeypatch.setattr(optimize, "OptimizeHelper", helper)
    vantelo.set_language("en")
    with pytest.raises(InvalidArgument) as caught:
        optimize.portfolio_optimize(POOL, DATE)
    assert str(caught.value) == expected


def test_non_finite_values_in_english(fake_market):
    returns = pd.Series({"000001.XSHE": np.nan, "000002.XSHE": 0.1, "600000.XSHG": 0.2})
    vantelo.set_language("en")
    with pytest.raises(InvalidArgument) as caught:
        optimize.portfolio_optimize(POOL, DATE, objective=MeanVariance(expected_returns=returns))
    assert str(caught.value) == (
        "expected_returns: the values of these stocks of the pool are not finite (NaN or inf): "
        "['000001.XSHE']"
    )


def test_pool_cleaning_warns_in_english(fake_market):
    codes = ["600000.XSHG", "600000.XSHG", "600000", *[f"99000{i}.XSHG" for i in range(5)]]
    vantelo.set_language("en")
    with pytest.warns((UserWarning, OptimizerWarning)) as caught:
        optimize.ensure_order_book_ids(codes, DATE)
    assert [(w.category, str(w.message)) for w in caught] == [
        (UserWarning, "repeated order_book_id: 600000.XSHG, kept once"),
        (
            OptimizerWarning,
            "6 code(s) unknown to the instrument data were dropped: 600000, 990000.XSHG, "
            "990001.XSHG, 990002.XSHG, 990003.XSHG (6 in all); codes without an exchange "
            "suffix that the instrument data has: 600000 → 600000.XSHG",
        ),
    ]
    # Stack level 1 still points at the caller's line.
    assert {w.filename for w in caught} == {__file__}
