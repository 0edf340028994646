"""The command line: configurations, weight files, the check's exit status, and
errors as one line on stderr (never a traceback)."""

import subprocess
import sys
import textwrap

import pandas as pd
import pytest
from conftest import DATE

import vantelo.constraints as vc
import vantelo.optimize as optimize
import vantelo.report as report
from vantelo import cli
from vantelo.const import CovModel, IndustryClassification
from vantelo.objective import MeanVariance

POOL = ["000001.XSHE", "000002.XSHE", "600000.XSHG", "600001.XSHG", "600002.XSHG"]

CONFIG = """\
date = "2024-06-28"
cov_model = "monthly"

[pool]
codes = ["000001.XSHE", "000002.XSHE", "600000.XSHG", "600001.XSHG", "600002.XSHG"]

[objective]
name = "MinVariance"

[bnds]
"*" = [0.0, 0.4]
"600000.XSHG" = [0.1, 0.3]

[[constraints]]
name = "IndustryConstraint"
industries = "A"
upper_limit = 1.0
classification = "citic"
"""


def run(capsys, *argv):
    status = cli.main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


def write(tmp_path, text, name="config.toml"):
    path = tmp_path / name
    path.write_text(textwrap.dedent(text), encoding="utf-8")
    return path


def test_optimize_writes_weights_within_the_bounds(fake_market, tmp_path, capsys):
    config = write(tmp_path, CONFIG)
    output = tmp_path / "weights.csv"
    status, out, err = run(capsys, "optimize", str(config), "-o", str(output))
    assert (status, err) == (0, "")
    weights = pd.read_csv(output).set_index("order_book_id")["weight"]
    assert list(weights.index) == POOL
    assert weights.sum() == pytest.approx(1.0)
    assert weights.max() <= 0.4 + 1e-3
    assert 0.1 - 1e-3 <= weights["600000.XSHG"] <= 0.3 + 1e-3
    (call,) = fake_market.helper_calls
    assert call[1] == DATE and call[3] is CovModel.FACTOR_MODEL_MONTHLY


def test_optimize_several_dates_and_a_pool_file(fake_market, tmp_path, capsys, monkeypatch):
    (tmp_path / "pool.txt").write_text("# the pool\n" + "\n".join(POOL[:3]) + "\n")
    config = write(
        tmp_path,
        """\
        dates = ["2024-06-27", 2024-06-28]
        [pool]
        file = "pool.txt"
        [objective]
        name = "MeanVariance"
        expected_returns = { "000001.XSHE" = 0.1, "000002.XSHE" = 0.05, "600000.XSHG" = 0.02 }
        """,
    )
    seen = []
    solve = optimize.portfolio_optimize

    def spy(pool, date, **kwargs):
        seen.append((pool, date, kwargs["objective"]))
        return solve(pool, date, **kwargs)

    monkeypatch.setattr(optimize, "portfolio_optimize", spy)
    status, out, err = run(capsys, "optimize", str(config))
    assert (status, err) == (0, "")
    assert [s[1].isoformat() for s in seen] == ["2024-06-27", "2024-06-28"]
    assert all(s[0] == POOL[:3] and isinstance(s[2], MeanVariance) for s in seen)
    assert out.count("order_book_id,weight") == 2 and "# 2024-06-28" in out


def bad(text):
    return textwrap.dedent(text)


# Each: a configuration, the line and the key its error must name.
BAD_CONFIGS = {
    "unknown top-level key": (
        'date = "2024-06-28"\ncolour = "red"\n[pool]\ncodes = ["000001.XSHE"]\n',
        2,
        "colour: unknown key",
    ),
    "no date": ('[pool]\ncodes = ["000001.XSHE"]\n', None, "give `date` or `dates`"),
    "bad date": ('date = "someday"\n[pool]\ncodes = ["000001.XSHE"]\n', 1, "'someday' is not"),
    "bad cov_model": (
        'date = "2024-06-28"\ncov_model = "hourly"\n[pool]\ncodes = ["000001.XSHE"]\n',
        2,
        "cov_model: 'hourly' is not one of",
    ),
    "unknown pool key": ('date = "2024-06-28"\n[pool]\nticker = "x"\n', 3, "pool.ticker"),
    "two pools": (
        'date = "2024-06-28"\n[pool]\ncodes = ["a"]\nindex = "b"\n',
        2,
        "give one of codes",
    ),
    "unknown objective": (
        'date = "2024-06-28"\n[pool]\ncodes = ["a"]\n[objective]\nname = "MaxFun"\n',
        5,
        "objective.name: 'MaxFun' is not a known name",
    ),
    "objective without name": (
        'date = "2024-06-28"\n[pool]\ncodes = ["a"]\n[objective]\nwindow = 3\n',
        4,
        "no `name` key",
    ),
    "unknown objective argument": (
        'date = "2024-06-28"\n[pool]\ncodes = ["a"]\n[objective]\nname = "MeanVariance"\n'
        "risk_aversion = 2\n",
        6,
        "MeanVariance has no argument 'risk_aversion'",
    ),
    "bad bound pair": (
        'date = "2024-06-28"\n[pool]\ncodes = ["a"]\n[bnds]\n"*" = [0, 0.1]\n"b" = 0.5\n',
        6,
        "bnds.b: expected [lower, upper]",
    ),
    "constraint the class refuses": (
        'date = "2024-06-28"\n[pool]\ncodes = ["a"]\n\n[[constraints]]\nname = "TurnoverLimit"\n'
        "current_holding = {a = 1}\nupper_limit = 0.1\n"
        '\n[[constraints]]\nname = "TrackingErrorLimit"\nhard = false\nupper_limit = "x"\n',
        13,
        "constraints[2].upper_limit: TrackingErrorLimit:",
    ),
    "missing constraint argument": (
        'date = "2024-06-28"\n[pool]\ncodes = ["a"]\n\n[[constraints]]\nname = "TurnoverLimit"\n'
        "current_holding = {a = 1}\n",
        5,
        "constraints[1]: TurnoverLimit needs the argument(s) upper_limit",
    ),
    "unknown constraint argument": (
        'date = "2024-06-28"\n[pool]\ncodes = ["a"]\n[[constraints]]\n'
        'name = "StyleConstraint"\nstyle = "size"\n',
        6,
        "StyleConstraint has no argument 'style'",
    ),
    "bad classification": (
        'date = "2024-06-28"\n[pool]\ncodes = ["a"]\n[[constraints]]\n'
        'name = "IndustryConstraint"\nindustries = "A"\nclassification = "gics"\n',
        7,
        "classification: 'gics' is not one of",
    ),
    "not TOML": ("date = \n", None, "not valid TOML: Invalid value (at line 1"),
}


@pytest.mark.parametrize("name", BAD_CONFIGS)
def test_configuration_errors_name_the_key_and_line(name, tmp_path, capsys):
    text, line, message = BAD_CONFIGS[name]
    config = write(tmp_path, text)
    status, out, err = run(capsys, "optimize", str(config))
    assert status == 2
    assert out == ""
    assert err.count("\n") == 1 and err.startswith("vantelo: error: ")
    where = f"{config}:{line}: " if line else f"{config}: "
    assert where in err
    assert message in err


@pytest.mark.parametrize(
    "argv, message",
    [
        ([], "the following arguments are required: COMMAND"),
        (["optimize"], "CONFIG.toml"),
        (["optimize", "missing.toml"], "missing.toml: cannot read the configuration"),
        (
            ["report", "missing.csv", "--date", "2024-06-28", "-o", "r.html"],
            "missing.csv: no such file",
        ),
        (["report", "{csv}", "--date", "not a date", "-o", "r.html"], "--date: 'not a date'"),
        (
            ["report", "{csv}", "--date", "2024-06-28", "--cov-model", "x", "-o", "r.html"],
            "--cov-model: 'x' is not one of",
        ),
        (
            ["report", "{csv}", "--date", "2024-06-28", "--classification", "gics", "-o", "r"],
            "--classification: 'gics' is not one of sws, citic",
        ),
        (["report", "{bad_csv}", "--date", "2024-06-28", "-o", "r.html"], "no column weight"),
        (
            ["report", "{text_csv}", "--date", "2024-06-28", "-o", "r.html"],
            ":3: weight is not a number: 'lots'",
        ),
        (
            ["report", "{dated_csv}", "--date", "2024-06-28", "-o", "r.html"],
            "no weights dated 2024-06-28",
        ),
    ],
)
def test_command_line_errors_are_one_line(argv, message, tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "w.csv").write_text("order_book_id,weight\n000001.XSHE,1\n")
    (tmp_path / "bad.csv").write_text("order_book_id,wt\n000001.XSHE,1\n")
    (tmp_path / "text.csv").write_text("order_book_id,weight\na,0.5\nb,lots\n")
    (tmp_path / "dated.csv").write_text("date,order_book_id,weight\n2024-06-27,000001.XSHE,1\n")
    files = {
        "csv": "w.csv",
        "bad_csv": "bad.csv",
        "text_csv": "text.csv",
        "dated_csv": "dated.csv",
    }
    argv = [a.format(**files) for a in argv]
    status, out, err = run(capsys, *argv)
    assert status == 2
    assert err.count("\n") == 1 and err.startswith("vantelo: error: ")
    assert message in err


def test_unexpected_failures_are_one_line_too(fake_market, tmp_path, capsys, monkeypatch):
    def explode(*args, **kwargs):
        raise RuntimeError("disk on fire\nsecond line")

    monkeypatch.setattr(optimize, "portfolio_optimize", explode)
    status, out, err = run(capsys, "optimize", str(write(tmp_path, CONFIG)))
    assert (status, err) == (2, "vantelo: error: RuntimeError: disk on fire second line\n")


def fake_check(violated):
    calls = []

    def check(weights, date, bnds=None, cons=None, benchmark=None, cov_model=None):
        calls.append((weights, date, bnds, cons, benchmark, cov_model))
        return pd.DataFrame(
            {
                "label": ["weight 600000.XSHG", "industry A"],
                "value": [0.3, 0.7],
                "lower": [0.1, None],
                "upper": [0.3, 0.6 if violated else 1.0],
                "slack": [0.0, -0.1 if violated else 0.3],
                "binding": [True, False],
                "violated": [False, violated],
            }
        )

    return check, calls


@pytest.mark.parametrize("violated, status", [(False, 0), (True, 1)])
def test_check_prints_the_table_and_exits_1_on_a_violation(
    violated, status, tmp_path, capsys, monkeypatch
):
    check, calls = fake_check(violated)
    monkeypatch.setattr(report, "check_constraints", check)
    weights = tmp_path / "w.csv"
    weights.write_text("order_book_id,weight\n000001.XSHE,0.7\n600000.XSHG,0.3\n")
    code, out, err = run(capsys, "check", str(weights), str(write(tmp_path, CONFIG)))
    assert (code, err) == (status, "")
    assert "weight 600000.XSHG" in out and "industry A" in out and "violated" in out
    ((held, date, bnds, cons, benchmark, cov_model),) = calls
    assert held.to_dict() == {"000001.XSHE": 0.7, "600000.XSHG": 0.3}
    assert date == DATE
    assert bnds == {"*": (0.0, 0.4), "600000.XSHG": (0.1, 0.3)}
    (constraint,) = cons
    assert isinstance(constraint, vc.IndustryConstraint)
    assert constraint.classification is IndustryClassification.CITIC
    assert benchmark is None and cov_model is CovModel.FACTOR_MODEL_MONTHLY


@pytest.mark.parametrize(
    "slack, options, status",
    [(-1e-6, [], 0), (-1e-6, ["--tolerance", "1e-7"], 1), (-0.1, ["--tolerance", "0.5"], 0)],
)
def test_check_forgives_a_breach_within_the_tolerance(
    slack, options, status, tmp_path, capsys, monkeypatch
):
    check, _ = fake_check(True)

    def slightly(*args, **kwargs):
        table = check(*args, **kwargs)
        table.loc[1, "slack"] = slack
        return table

    monkeypatch.setattr(report, "check_constraints", slightly)
    weights = tmp_path / "w.csv"
    weights.write_text("order_book_id,weight\n000001.XSHE,0.7\n600000.XSHG,0.3\n")
    code, out, _ = run(capsys, "check", str(weights), str(write(tmp_path, CONFIG)), *options)
    assert code == status
    assert ("past their bounds" in out) == bool(status)


def test_check_fails_a_short_position_against_a_lower_bound_of_zero(fake_market, tmp_path, capsys):
    config = write(
        tmp_path,
        """\
        date = "2024-06-28"
        [pool]
        codes = ["000001.XSHE", "000002.XSHE", "600000.XSHG"]
        [bnds]
        "*" = [0.0, 0.6]
        """,
    )
    weights = tmp_path / "w.csv"
    weights.write_text(
        "order_book_id,weight\n000001.XSHE,-0.1\n000002.XSHE,0.55\n600000.XSHG,0.55\n"
    )
    code, out, err = run(capsys, "check", str(weights), str(config))
    assert (code, err) == (1, "")
    last = out.splitlines()[-1]
    assert last == "# past their bounds by more than 0.0001: bnds 000001.XSHE lower"


def test_check_reads_the_dated_rows(fake_market, tmp_path, capsys, monkeypatch):
    check, calls = fake_check(False)
    monkeypatch.setattr(report, "check_constraints", check)
    weights = tmp_path / "w.csv"
    weights.write_text(
        "date,order_book_id,weight\n2024-06-27,000001.XSHE,1\n"
        "2024-06-28,000002.XSHE,0.4\n2024-06-28,600000.XSHG,0.6\n"
    )
    code, out, err = run(capsys, "check", str(weights), str(write(tmp_path, CONFIG)))
    assert code == 0
    assert calls[0][0].to_dict() == {"000002.XSHE": 0.4, "600000.XSHG": 0.6}


def test_the_installed_command_on_the_demo_market(tmp_path):
    """End to end through `python -m vantelo`: optimise, write weights and report."""
    pytest.importorskip("matplotlib")
    config = write(
        tmp_path,
        """\
        date = "2025-06-30"
        benchmark = "990300.XSHG"
        [pool]
        index = "990300.XSHG"
        [bnds]
        "*" = [0, 0.05]
        """,
    )
    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "vantelo",
            "optimize",
            str(config),
            "-o",
            "w.csv",
            "--report",
            "r.html",
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    weights = pd.read_csv(tmp_path / "w.csv")
    assert len(weights) == 300 and weights["weight"].sum() == pytest.approx(1.0)
    assert (tmp_path / "r.html").read_text(encoding="utf-8").count("data:image/png") == 4
    for benchmark, status in (("990500.XSHG", 0), ("990301.XSHG", 2)):
        command = "report w.csv --date 2025-06-30 --classification citic -o r2.html"
        done = subprocess.run(
            [sys.executable, "-m", "vantelo", *command.split(), "--benchmark", benchmark],
            cwd=tmp_path,
            capture_output=True,
            text=True,
            timeout=300,
        )
        assert done.returncode == status, done.stderr
        assert "Traceback" not in done.stderr
    assert done.stderr.count("\n") == 1 and "990301.XSHG" in done.stderr
    page = (tmp_path / "r2.html").read_text(encoding="utf-8")
    assert "against 990500.XSHG" in page and "industries citic" in page
    # The check, end to end: the optimiser's own weights meet the configuration's
    # limits; a tighter cap on each stock than the weights hold is reported violated.
    check = [sys.executable, "-m", "vantelo", "check", "w.csv", str(config)]
    done = subprocess.run(check, cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "full investment" in done.stdout
    tighter = config.read_text(encoding="utf-8").replace("[0, 0.05]", "[0, 0.004]")
    (tmp_path / "tight.toml").write_text(tighter, encoding="utf-8")
    check[-1] = str(tmp_path / "tight.toml")
    done = subprocess.run(check, cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert done.returncode == 1, done.stdout + done.stderr
    assert "True" in done.stdout and "Traceback" not in done.stderr


# --------------------------------------------------------------------------- weight files

# Each: the rows under the header "order_book_id,weight", and what the error says.
BAD_WEIGHT_FILES = {
    "empty code": ("000001.XSHE,0.5\n,0.5\n", "w.csv:3: order_book_id is empty"),
    "unknown code": ("000001.XSHE,0.5\n999999.XSHG,0.5\n", "w.csv:3: unknown order_book_id"),
    "extra field": (
        "000001.XSHE,0.5,0.5\n000002.XSHE,0.5\n",
        "w.csv:2: 3 fields where the header has 2 (order_book_id, weight): 000001.XSHE,0.5,0.5",
    ),
    "missing field": ("000001.XSHE\n", "w.csv:2: 1 fields where the header has 2"),
    "listed twice": (
        "000001.XSHE,0.5\n000001.XSHE,0.5\n",
        "w.csv: stocks listed more than once: 000001.XSHE",
    ),
    "not a number": ("000001.XSHE,half\n", "w.csv:2: weight is not a number: 'half'"),
    "not finite": ("000001.XSHE,nan\n", "w.csv: not a finite number (NaN or inf) for"),
    "in percent": (
        "000001.XSHE,60\n000002.XSHE,40\n",
        "w.csv: the weights sum to 100, more than 1; they look like percent",
    ),
}


@pytest.mark.parametrize("command", ["report", "check"])
@pytest.mark.parametrize("name", BAD_WEIGHT_FILES)
def test_every_command_reads_weight_files_one_way(
    name, command, fake_market, tmp_path, capsys, monkeypatch
):
    rows, message = BAD_WEIGHT_FILES[name]
    monkeypatch.chdir(tmp_path)
    (tmp_path / "w.csv").write_text("order_book_id,weight\n" + rows)
    config = write(tmp_path, CONFIG)
    argv = {
        "report": ["report", "w.csv", "--date", "2024-06-28", "-o", "r.html"],
        "check": ["check", "w.csv", str(config)],
    }[command]
    status, out, err = run(capsys, *argv)
    assert (status, out) == (2, "")
    assert err.count("\n") == 1 and err.startswith("vantelo: error: ")
    assert message in err


def test_weights_short_of_1_warn_once_naming_the_cash(fake_market, tmp_path, capsys):
    rows = "".join(f"{code},0.12\n" for code in POOL)
    (tmp_path / "w.csv").write_text("order_book_id,weight\n" + rows)
    code, out, err = run(capsys, "check", str(tmp_path / "w.csv"), str(write(tmp_path, CONFIG)))
    assert code == 1, err  # full investment is a limit the weights miss
    assert err == (
        "vantelo: warning: weights: the weights sum to 0.6, less than 1: "
        "the remaining 40.00% is read as cash\n"
    )


def test_optimize_writes_what_check_reads(fake_market, tmp_path, capsys):
    config = write(tmp_path, CONFIG)
    output = tmp_path / "weights.csv"
    assert run(capsys, "optimize", str(config), "-o", str(output))[0] == 0
    (held,) = cli._WeightFile(output).read().values()
    solved = optimize.portfolio_optimize(POOL, DATE, bnds={"*": (0, 0.4)})
    assert list(held.index) == POOL and held.sum() == pytest.approx(1.0)
    assert held.to_numpy() == pytest.approx(solved.to_numpy(), abs=1e-3)


# --------------------------------------------------------------------------- failures explained

INFEASIBLE = """\
date = "2024-06-28"
[pool]
codes = ["000001.XSHE", "000002.XSHE", "600000.XSHG", "600001.XSHG", "600002.XSHG"]
[bnds]
"*" = [0.0, 0.3]
[[constraints]]
name = "IndustryConstraint"
industries = "A"
upper_limit = 0.5
"""


def test_an_infeasible_problem_is_explained(fake_market, tmp_path, capsys):
    status, out, err = run(capsys, "optimize", str(write(tmp_path, INFEASIBLE)))
    assert status == 2 and err.count("\n") == 1
    assert "solver result" not in err
    assert "no portfolio meets every limit: 1 limit must move: " in err
    # Every stock is of industry A: at most half in it leaves half the portfolio nowhere.
    assert "IndustryConstraint A upper from 0.5 to 1 (by 0.5)" in err
    assert "The smallest set that cannot hold together: " in err
    assert "full investment" in err.split("smallest set")[1]


def test_a_failure_without_a_diagnosis_says_what_the_solver_returned(
    fake_market, tmp_path, capsys, monkeypatch
):
    def fail(*args, **kwargs):
        raise optimize.OptimizationFailed("inf")

    monkeypatch.setattr(optimize, "portfolio_optimize", fail)
    status, out, err = run(capsys, "optimize", str(write(tmp_path, CONFIG)))
    assert (status, err) == (2, "vantelo: error: the optimisation failed (solver result: inf)\n")


def test_an_empty_pool_is_said_in_english(fake_market, tmp_path, capsys):
    config = write(tmp_path, CONFIG.replace('"600002.XSHG"]', '"600002.XSHG"]\n').replace(
        'codes = ["000001.XSHE", "000002.XSHE", "600000.XSHG", "600001.XSHG", "600002.XSHG"]',
        'codes = ["999998.XSHG", "999999.XSHG"]',
    ))  # fmt: skip
    status, out, err = run(capsys, "optimize", str(config))
    assert status == 2
    assert err.splitlines()[-1] == (
        f"vantelo: error: {config}:4: pool: no stock of the pool is left on 2024-06-28 once codes "
        "that are unknown, not stocks, not yet listed or delisted are dropped: "
        "999998.XSHG, 999999.XSHG"
    )


@pytest.mark.parametrize(
    "argv, message",
    [
        (["optimize", "{config}", "-o", "/nonexistent/dir/w.csv"],
         "-o: cannot write '/nonexistent/dir/w.csv': the folder '/nonexistent/dir' does not"),
        (["optimize", "{config}", "-o", "{folder}"], "-o: '{folder}' is a folder"),
        (["optimize", "{config}", "--report", "/nonexistent/r.html"], "--report: cannot write"),
        (["report", "{weights}", "--date", "2024-06-28", "-o", "{folder}"],
         "-o: '{folder}' is a folder"),
    ],
)  # fmt: skip
def test_outputs_that_cannot_be_written_are_refused_before_any_work(
    argv, message, fake_market, tmp_path, capsys
):
    (tmp_path / "w.csv").write_text("order_book_id,weight\n000001.XSHE,1\n")
    names = {"config": write(tmp_path, CONFIG), "folder": tmp_path, "weights": tmp_path / "w.csv"}
    status, out, err = run(capsys, *[a.format(**names) for a in argv])
    assert status == 2 and err.count("\n") == 1
    assert message.format(**names) in err
    assert fake_market.helper_calls == []  # nothing solved or reported first


def test_infinite_and_huge_limits_set_none(fake_market, tmp_path, capsys, monkeypatch):
    # TOML reads 1e400 as infinity.
    config = write(tmp_path, CONFIG.replace('"*" = [0.0, 0.4]', '"*" = [-1e400, 1e308]') + (
        '\n[[constraints]]\nname = "TrackingErrorLimit"\nupper_limit = 1e400\n'
        '\n[[constraints]]\nname = "StyleConstraint"\nstyles = "size"\n'
        "lower_limit = -1e300\nupper_limit = 2.0\n"
    ))  # fmt: skip
    seen = []
    solve = optimize.portfolio_optimize

    def spy(pool, date, **kwargs):
        seen.append(kwargs)
        return solve(pool, date, **kwargs)

    monkeypatch.setattr(optimize, "portfolio_optimize", spy)
    status, out, err = run(capsys, "optimize", str(config))
    assert status == 0, err
    assert err == (
        f"vantelo: warning: {config}:20: constraints[2]: TrackingErrorLimit with upper_limit "
        "beyond 1e+15 sets no limit; it is left out\n"
    )
    ((kwargs),) = seen
    assert kwargs["bnds"]["*"] == (0.0, 1.0)
    industry, style = kwargs["cons"]
    assert isinstance(style, vc.StyleConstraint)
    assert isinstance(industry, vc.IndustryConstraint)


@pytest.mark.parametrize(
    "limits, line, message",
    [
        ('"*" = [1e400, 1.0]', 11, "bnds.*: a lower limit of inf can never hold"),
        ('"*" = [0.0, -1e308]', 11, "bnds.*: an upper limit of -1e+308 can never hold"),
        ('"*" = [nan, 1.0]', 11, "bnds.*: the lower limit is NaN, which is no limit at all"),
    ],
)
def test_limits_that_can_never_hold_name_the_key(limits, line, message, tmp_path, capsys):
    config = write(tmp_path, CONFIG.replace('"*" = [0.0, 0.4]', limits))
    status, out, err = run(capsys, "optimize", str(config))
    assert status == 2
    assert err == f"vantelo: error: {config}:{line}: {message}\n"
