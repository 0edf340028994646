"""The command line: optimise from a TOML file, report on weights, check limits.

    vantelo optimize CONFIG.toml [-o weights.csv] [--report report.html]
    vantelo report WEIGHTS.csv --date D [--benchmark CODE] -o report.html
    vantelo check WEIGHTS.csv CONFIG.toml
    vantelo backtest CONFIG.toml -o report.html [--weights weights.csv]

For schedulers rather than notebooks: every error is one line on stderr and a
non-zero exit status (2), never a traceback; `check` exits with 1 when a limit is
violated. The configuration (see examples/demo.toml):

    date = "2025-06-30"           # or dates = ["2025-05-30", "2025-06-30"]
    benchmark = "990300.XSHG"     # optional
    cov_model = "daily"           # optional: daily, monthly, quarterly
    [pool]                        # one of: codes = [...], file = "pool.txt", index = "..."
    [objective]                   # name = "MinVariance", then its arguments
    [bnds]                        # "*" = [0, 0.05], "600000.XSHG" = [0.01, 0.1]
    [[constraints]]               # name = "TrackingErrorLimit", then its arguments
    [schedule]                    # backtest: start, end, frequency (D, W, M, Q),
                                  # returns_end; without it, the dates above
    [costs]                       # backtest: cost_bps, or CostModel arguments
                                  # (commission_bps, ...) and cost_penalty

Weight files are CSV with the columns order_book_id and weight, and a date column
when they hold several dates.
"""

import argparse
import importlib
import sys
import warnings

import pandas as pd

import vantelo.core
import vantelo.messages
import vantelo.optimize as optimize
import vantelo.report as report
from vantelo._cli_config import (
    LISTED,
    TOP_LEVEL_KEYS,
    CliError,
    _benchmark,
    _bnds,
    _Config,
    _constraints,
    _costs,
    _cov_model,
    _failure,
    _objective,
    _one_line,
    _Run,
    _schedule,
    _universe,
)
from vantelo._cli_files import (
    _report_path,
    _WeightFile,
    _writable,
    _write_report,
)
from vantelo.const import CovModel, IndustryClassification

__all__ = ["main"]


ERROR_STATUS = 2


VIOLATED_STATUS = 1


def _optimize(args):
    run = _Run(args.config)
    output = _WeightFile(args.output) if args.output else None
    if output:
        output.check_writable()
    reports = {}
    if args.report:
        reports = {d: _report_path(args.report, d, len(run.dates) > 1) for d in run.dates}
        for path in reports.values():
            _writable(path, "--report")
    results = {}
    for day in run.dates:
        pool = _cleaned_pool(run, day)
        try:
            weights = optimize.portfolio_optimize(
                pool,
                day,
                objective=run.objective,
                bnds=run.bnds,
                cons=run.constraints or None,
                benchmark=run.benchmark,
                cov_model=run.cov_model,
            )
        except optimize.OptimizationFailed as error:
            on = f"on {day}: " if len(run.dates) > 1 else ""
            raise CliError(on + _failure(error)) from None
        if isinstance(weights, dict):  # the one-stock shortcut
            weights = pd.Series(weights, dtype="float64")
        results[day] = weights.rename("weight")
    if output:
        output.write(results)
    else:
        _print_weights(results)
    for day, weights in results.items():
        if day in reports:
            _write_report(weights, day, run.benchmark, run.cov_model, reports[day])
    return 0


def _cleaned_pool(run, day):
    """The configuration's pool as the optimiser cleans it (with its warnings for the
    codes it drops), refused when nothing is left."""
    asked = run.pool(day)
    pool = optimize.ensure_order_book_ids(asked, day)
    if not pool:
        shown = ", ".join(asked[:LISTED]) + (
            f" ({len(asked)} in all)" if len(asked) > LISTED else ""
        )
        raise run.config.error(
            ("pool",),
            f"no stock of the pool is left on {day} once codes that are unknown, not stocks, "
            f"not yet listed or delisted are dropped: {shown}",
        )
    return pool


def _print_weights(results):
    for day, weights in results.items():
        if len(results) > 1:
            print(f"# {day}")
        print(weights.rename_axis("order_book_id").to_csv(header=True), end="")


def _weights_on(held, day, path):
    """The weights of ``day`` in a file read by `_WeightFile.read`; an undated file serves
    any day."""
    if None in held:
        return held[None]
    if day in held:
        return held[day]
    raise CliError(f"{path}: no weights dated {day} (dates: {sorted(held)})")


def _report(args):
    _writable(args.output, "-o")
    held = _WeightFile(args.weights).read()
    day = _parse_date(args.date, "--date")
    weights = _weights_on(held, day, args.weights)
    cov_model = _parse_enum(args.cov_model, CovModel, "--cov-model")
    classification = _parse_enum(args.classification, IndustryClassification, "--classification")
    _write_report(weights, day, args.benchmark, cov_model, args.output, classification)
    return 0


def _check(args):
    held = _WeightFile(args.weights).read()
    run = _Run(args.config)
    violated = False
    for day in run.dates:
        weights = _weights_on(held, day, args.weights)
        table = report.check_constraints(
            weights,
            day,
            bnds=run.bnds,
            cons=run.constraints or None,
            benchmark=run.benchmark,
            cov_model=run.cov_model,
        )
        print(f"# {day}")
        print(table.to_string(index=False) if len(table) else "(no limits)")
        # The solver holds a limit to its accuracy, not exactly: a portfolio the
        # optimiser returned may sit a hair past a binding limit, which is no breach.
        beyond = (
            table[table["violated"] & (table["slack"] < -args.tolerance)] if len(table) else table
        )
        if len(beyond):
            violated = True
            print(
                f"# past their bounds by more than {args.tolerance:g}: "
                + ", ".join(beyond["label"])
            )
    return VIOLATED_STATUS if violated else 0


def _backtest(args):
    config = _Config(args.config)
    config.unknown_keys(config.data, TOP_LEVEL_KEYS)
    # Outputs are checked before any work is done for them.
    _writable(args.output, "-o")
    weights_file = _WeightFile(args.weights) if args.weights else None
    if weights_file:
        _writable(args.weights, "--weights")
    dates, returns_end = _schedule(config)
    strategy = dict(
        universe=_universe(config),
        objective=_objective(config),
        bnds=_bnds(config),
        cons=_constraints(config) or None,
        benchmark=config.data.get("benchmark"),
        cov_model=_cov_model(config),
        trading=args.trading,
        **_costs(config),
    )
    if strategy["benchmark"] is not None:
        _benchmark(config)  # refused here, with the key and its line
    rebalance = importlib.import_module("vantelo.rebalance")
    result = rebalance.rebalance(
        dates,
        engine=args.engine,
        progress=False,
        on_error="record",
        end=returns_end,
        **strategy,
    )
    title = args.title or f"Backtest of {config.path.name}"
    try:
        result.to_html(args.output, title=title, risk_free=args.risk_free)
    except OSError as error:
        raise CliError(f"{args.output}: cannot write ({error.strerror})") from None
    if weights_file:
        weights_file.write(
            {
                pd.Timestamp(d).date(): row[row > 0].rename("weight")
                for d, row in result.weights.iterrows()
            }
        )
    measures = result.measures(args.risk_free)
    shown = measures.loc[
        [
            "annualised_return",
            "volatility",
            "sharpe_ratio",
            "max_drawdown",
            "active_return",
            "tracking_error",
            "information_ratio",
            "average_turnover",
            "cost_drag",
        ]
    ]
    shown = importlib.import_module("vantelo.backtest.report").measure_table(shown)
    print(shown.to_string())
    print(f"report: {args.output}", file=sys.stderr)
    failed = result.records.index[result.records["status"] == "failed"]
    if len(failed):
        print(
            f"vantelo: {len(failed)} of {len(dates)} dates failed: "
            + ", ".join(str(d) for d in failed[:5]),
            file=sys.stderr,
        )
        return VIOLATED_STATUS
    return 0


def _parse_date(text, option):
    try:
        return optimize.to_date(text)
    except Exception:
        raise CliError(f"{option}: {text!r} is not a date") from None


def _parse_enum(text, enum_type, option):
    try:
        return optimize.to_enum(text, enum_type)
    except Exception:
        choices = ", ".join(m.value for m in enum_type)
        raise CliError(f"{option}: {text!r} is not one of {choices}") from None


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise CliError(f"{self.prog}: {message}")


def _parser():
    parser = _Parser(
        prog="vantelo", description="Optimise portfolios, report on them, check their limits."
    )
    parser.add_argument(
        "--language",
        choices=["zh", "en"],
        help="the language of the optimiser's own messages: zh (the default) or en",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    run = commands.add_parser("optimize", help="optimise as a TOML configuration says")
    run.add_argument("config", metavar="CONFIG.toml")
    run.add_argument("-o", "--output", metavar="WEIGHTS.csv", help="write the weights here")
    run.add_argument("--report", metavar="REPORT.html", help="also write the HTML report")
    run.set_defaults(handler=_optimize)

    look = commands.add_parser("report", help="write the HTML report of a weights file")
    look.add_argument("weights", metavar="WEIGHTS.csv")
    look.add_argument("--date", required=True, help="the date of the report")
    look.add_argument("--benchmark", metavar="CODE", help="an index order_book_id")
    look.add_argument("--cov-model", default="daily", help="daily, monthly or quarterly")
    look.add_argument(
        "--classification", default="sws", help="industries: sws, citic or sws_non_bank_split"
    )
    look.add_argument("-o", "--output", required=True, metavar="REPORT.html")
    look.set_defaults(handler=_report)

    check = commands.add_parser(
        "check", help="check weights against a configuration's limits (exit 1 if violated)"
    )
    check.add_argument("weights", metavar="WEIGHTS.csv")
    check.add_argument("config", metavar="CONFIG.toml")
    check.add_argument(
        "--tolerance",
        type=float,
        default=vantelo.core.LIMIT_TOLERANCE,
        help="how far past a bound counts as a breach (default 1e-3, what the optimiser "
        "itself accepts)",
    )
    check.set_defaults(handler=_check)

    backtest = commands.add_parser(
        "backtest",
        help="rebalance over a schedule and write the backtest report (exit 1 if a date fails)",
    )
    backtest.add_argument("config", metavar="CONFIG.toml")
    backtest.add_argument("-o", "--output", required=True, metavar="REPORT.html")
    backtest.add_argument(
        "--weights", metavar="WEIGHTS.csv", help="also write each date's weights"
    )
    backtest.add_argument("--title", help="the report's heading")
    backtest.add_argument(
        "--risk-free", type=float, default=0.0, help="annual risk-free rate (default 0)"
    )
    backtest.add_argument(
        "--trading", action="store_true", help="apply each day's trading rules to the bounds"
    )
    backtest.add_argument(
        "--engine", default="processes", choices=("serial", "processes"), help="where dates run"
    )
    backtest.set_defaults(handler=_backtest)
    return parser


def _show_warning(message, category, filename, lineno, file=None, line=None):
    print(f"vantelo: warning: {' '.join(str(message).split())}", file=sys.stderr)


def main(argv=None):
    """Runs one command; returns the exit status (0, 1 for a violated limit, 2 for
    an error)."""
    try:
        with warnings.catch_warnings():
            # A warning is a line on stderr, never a reason to stop.
            warnings.simplefilter("default")
            warnings.showwarning = _show_warning
            args = _parser().parse_args(argv)
            if args.language is not None:
                vantelo.messages.set_language(args.language)
            return args.handler(args)
    except KeyboardInterrupt:
        print("vantelo: interrupted", file=sys.stderr)
        return 130
    except Exception as error:
        print(f"vantelo: error: {_one_line(error)}", file=sys.stderr)
        return ERROR_STATUS
