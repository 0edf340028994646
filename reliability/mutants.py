"""Mutation run: plants plausible faults one at a time and checks the tests notice.

Each mutant names a file, a snippet that occurs exactly once in it, what replaces it,
what fault that is, and the tests that should catch it (a few files, so that one
mutant runs in a minute or two). For each mutant the runner writes the fault, rebuilds
the compiled modules when the file is C++, runs its tests and restores the file
whatever happens; at the end it rebuilds once more if any C++ file was touched and
checks that the tree is as it was (`git diff --quiet` on the mutated files).

    .venv/bin/python -m reliability.mutants            # every mutant
    .venv/bin/python -m reliability.mutants -k drift   # those whose name holds "drift"
    .venv/bin/python -m reliability.mutants --list     # the table of mutants, no run

It takes most of an hour on two cores (the C++ mutants each cost a rebuild), so it is
no part of `make test`; `tests/test_reliability.py` checks that every snippet still
occurs exactly once, so that the list follows the code.
"""

from __future__ import annotations

import argparse
import dataclasses
import datetime
import os
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON = sys.executable

RB = "tests/test_rebalance.py"
BT = "tests/test_backtest.py"
RP = "tests/test_report.py"
TR = "tests/test_trading.py"
DG = "tests/test_diagnose.py"
CL = "tests/test_cli.py"
DR = "tests/test_direct.py"


@dataclasses.dataclass(frozen=True)
class Mutant:
    name: str
    path: str
    original: str
    replacement: str
    description: str
    tests: tuple

    @property
    def compiled(self) -> bool:
        return self.path.endswith((".cpp", ".hpp"))


def _m(name, path, original, replacement, description, *tests):
    return Mutant(name, path, original, replacement, description, tests)


MUTANTS = (
    # -- rebalancing ----------------------------------------------------------
    _m(
        "active-sign",
        "src/vantelo/_results.py",
        'table["active"] = table["portfolio"] - table["benchmark"]',
        'table["active"] = table["benchmark"] - table["portfolio"]',
        "the active return's sign flipped",
        RB + "::test_benchmark_and_active_returns_follow_the_index_by_day",
        BT,
    ),
    _m(
        "benchmark-day-off",
        "src/vantelo/_results.py",
        'table["benchmark"] = bench[1:]',
        'table["benchmark"] = bench[:-1]',
        "the benchmark's returns one day off",
        RB + "::test_benchmark_and_active_returns_follow_the_index_by_day",
        BT,
    ),
    _m(
        "off-calendar-date",
        "src/vantelo/_results.py",
        'np.datetime64(d, "D"), side="right") - 1',
        'np.datetime64(d, "D"), side="right")',
        "a date off the calendar counts from the trading day after it",
        RB,
    ),
    _m(
        "drift-consecutive-days",
        "src/vantelo/_schedule.py",
        "    if after > end:\n        return holding",
        "    if after >= end:\n        return holding",
        "no drift between consecutive trading days",
        RB,
    ),
    _m(
        "turnover-limit-from-cash",
        "src/vantelo/_schedule.py",
        "if holding is None or holding.empty:\n                        continue",
        "if holding is None:\n                        continue",
        "a turnover limit applied while building the portfolio from cash",
        RB,
    ),
    _m(
        "turnover-limit-not-drifted",
        "src/vantelo/_schedule.py",
        "if type(constraint) is TurnoverLimit:",
        "if type(constraint) is None:",
        "a static turnover limit measured against its own holding, not the drifted one",
        RB,
    ),
    _m(
        "soft-dropped-as-ok",
        "src/vantelo/_schedule.py",
        'record["status"] = result.status',
        'record["status"] = "ok"',
        "'soft constraints dropped' recorded as 'ok'",
        RB,
    ),
    _m(
        "quarter-key",
        "src/vantelo/_schedule.py",
        '"Q": lambda day: (day.year, (day.month - 1) // 3),',
        '"Q": lambda day: (day.year, day.month // 3),',
        "quarters that end a month early",
        RB + "::test_rebalance_dates_end_each_period",
    ),
    _m(
        "retry-drift-dropped",
        "src/vantelo/_engines.py",
        "holding = _drift_holding(holding, previous, date)",
        "holding = holding",
        "no drift over a date whose worker died (the retry path)",
        RB + "::test_a_date_whose_worker_died_still_drifts_the_holding",
    ),
    _m(
        "ship-store-skipped",
        "src/vantelo/_engines.py",
        '        _ship_store(client, tasks[0]["store"])',
        "        pass",
        "the store never shipped to Dask workers",
        RB + "::test_dask_workers_that_cannot_see_the_store_get_a_copy",
    ),
    _m(
        "ship-store-wrong-workers",
        "src/vantelo/_engines.py",
        "for worker, visible in seen.items() if not visible]",
        "for worker, visible in seen.items() if visible]",
        "the store shipped to the workers that can see it, not to those that cannot",
        RB + "::test_dask_workers_that_cannot_see_the_store_get_a_copy",
    ),
    _m(
        "run-drops-a-date",
        "src/vantelo/_engines.py",
        "dates=list(dates[i : i + length]),",
        "dates=list(dates[i : i + length - 1]),",
        "each run of independent dates loses its last date",
        RB + "::test_processes_and_many_strategies_match_serial",
    ),
    _m(
        "industry-reclassified-late",
        "src/vantelo/_schedule_reads.py",
        "min(offset, self._span - 1)",
        "min(offset - 1, self._span - 1)",
        "a reclassification read a day late from the shared reads",
        RB + "::test_schedule_reads_answer_as_the_store_does",
        RB + "::test_schedule_reads_on_the_days_of_reclassifications",
    ),
    # -- backtest ---------------------------------------------------------------
    _m(
        "stamp-duty-on-buys",
        "src/vantelo/backtest/costs.py",
        "return ((datetime.date.min, 0.0, rate),)",
        "return ((datetime.date.min, rate, rate),)",
        "a stamp duty given in basis points charged on buys too",
        BT,
    ),
    _m(
        "rate-in-force-a-day-late",
        "src/vantelo/backtest/costs.py",
        "bisect.bisect_right(starts, day) - 1",
        "bisect.bisect_left(starts, day) - 1",
        "a new rate in force from the day after it takes effect",
        BT,
    ),
    _m(
        "traded-value-look-ahead",
        "src/vantelo/backtest/costs.py",
        'np.datetime64(day, "D"), side="left"))',
        'np.datetime64(day, "D"), side="right"))',
        "the traded-value average takes in the day itself",
        BT,
    ),
    _m(
        "returns-end-a-day-early",
        "src/vantelo/backtest/path.py",
        "return min(last + max(gap, 1), len(days) - 1)",
        "return min(last + max(gap, 1) - 1, len(days) - 1)",
        "the returns stop a day before the last holding period ends",
        BT,
    ),
    _m(
        "flat-cost-units",
        "src/vantelo/backtest/path.py",
        "cost_bps * 1e-4, terms",
        "cost_bps * 1e-3, terms",
        "cost_bps read as tenths of a percent",
        RB + "::test_chained_holdings_turnover_and_returns_by_hand",
        BT,
    ),
    _m(
        "rolling-annualisation",
        "src/vantelo/backtest/performance.py",
        "tracking = active.rolling(window).std() * np.sqrt(TRADING_DAYS)",
        "tracking = active.rolling(window).std() * np.sqrt(243)",
        "the rolling tracking error annualised over 243 days",
        BT,
    ),
    _m(
        "cost-drag-sign",
        "src/vantelo/backtest/performance.py",
        """values["cost_drag"] = _rebalance.annual_return(
            gross.to_numpy(dtype=float)
        ) - _rebalance.annual_return(portfolio)""",
        """values["cost_drag"] = _rebalance.annual_return(
            portfolio
        ) - _rebalance.annual_return(gross.to_numpy(dtype=float))""",
        "the cost drag's sign flipped",
        BT,
    ),
    _m(
        "turnover-counts-failed-dates",
        "src/vantelo/backtest/performance.py",
        'traded = records.loc[records["status"] != "failed", "turnover"]',
        'traded = records.loc[records["status"] != "", "turnover"]',
        "the average turnover counts the dates that failed",
        BT,
    ),
    # -- report -----------------------------------------------------------------
    _m(
        "cutoff-strict",
        "src/vantelo/report.py",
        "cleaned = series.where(series >= cutoff, 0.0)",
        "cleaned = series.where(series > cutoff, 0.0)",
        "clean_weights drops a weight right at the cut-off",
        RP,
    ),
    _m(
        "report-active-weights",
        "src/vantelo/report.py",
        "active_weights = (held - bench).to_numpy()",
        "active_weights = (held + bench).to_numpy()",
        "the report's tracking error with the benchmark added",
        RP,
    ),
    _m(
        "active-share-factor",
        "src/vantelo/report.py",
        'rows["active_share"] = 0.5 * float(',
        'rows["active_share"] = float(',
        "the active share without its half",
        RP,
    ),
    _m(
        "html-top-stocks",
        "src/vantelo/_portfolio_report.py",
        'stocks["contribution"].abs().sort_values(ascending=False)',
        'stocks["contribution"].abs().sort_values(ascending=True)',
        "the HTML report lists the smallest risk contributions, not the largest",
        RP,
    ),
    # -- command line -------------------------------------------------------------
    _m(
        "check-tolerance-ignored",
        "src/vantelo/cli.py",
        '(table["slack"] < -args.tolerance)',
        '(table["slack"] < 0)',
        "check fails a breach within its tolerance",
        CL,
    ),
    _m(
        "limit-side",
        "src/vantelo/_cli_config.py",
        'if (value > 0) == (side == "upper"):',
        'if (value < 0) == (side == "upper"):',
        "an infinite limit read on the wrong side",
        CL,
    ),
    _m(
        "weights-file-date-column",
        "src/vantelo/_cli_files.py",
        "[str(day)] * (len(results) > 1) + [code, repr(float(weight))]",
        "[str(day)] * (len(results) > 0) + [code, repr(float(weight))]",
        "a weights file of one date written with a date column its header lacks",
        CL,
    ),
    # -- compiled -----------------------------------------------------------------
    _m(
        "cpp-turnover-factor",
        "src/cpp/rebalance/drift.cpp",
        "    return 0.5 * changed;",
        "    return changed;",
        "turnover as the whole sum of the weight changes, not half of it",
        RB + "::test_drift_and_turnover_by_hand",
        RB + "::test_chained_holdings_turnover_and_returns_by_hand",
    ),
    _m(
        "cpp-stamp-duty-on-buys",
        "src/cpp/rebalance/path.cpp",
        "(value > 0.0 ? terms.stamp_buy : terms.stamp_sell)",
        "(value > 0.0 ? terms.stamp_sell : terms.stamp_buy)",
        "stamp duty charged on buys at the rate of sales (and the other way round)",
        BT,
    ),
    _m(
        "cpp-min-commission",
        "src/cpp/rebalance/path.cpp",
        "std::max(terms.commission * amount, terms.minimum)",
        "terms.commission * amount",
        "the minimum commission ignored",
        BT,
    ),
    _m(
        "cpp-annualisation",
        "src/cpp/rebalance/statistics.cpp",
        "return sample_std(returns) * std::sqrt(static_cast<double>(kTradingDaysPerYear));",
        "return sample_std(returns) * std::sqrt(243.0);",
        "volatility annualised over 243 days",
        RB + "::test_summary_against_pandas",
        BT,
    ),
    _m(
        "cpp-drawdown-peak",
        "src/cpp/rebalance/statistics.cpp",
        "worst.peak = peak_day;",
        "worst.peak = static_cast<long>(t);",
        "the drawdown's peak dated at its trough",
        BT,
    ),
    _m(
        "cpp-ex-ante-tracking-error",
        "src/cpp/common/risk.cpp",
        "risk_model_of(helper, Universe::Union), held - benchmark)",
        "risk_model_of(helper, Universe::Union), held + benchmark)",
        "the ex-ante tracking error with the benchmark added",
        RB + "::test_ex_ante_risk_of_each_date_against_the_factor_model",
    ),
    _m(
        "cpp-limit-up-bought",
        "src/cpp/trading/orders.cpp",
        "const bool can_buy = !frozen && !(flags[i] & kLimitUp);",
        "const bool can_buy = !frozen;",
        "orders buy a stock closed at limit-up",
        TR,
    ),
    _m(
        "cpp-check-violated",
        "src/cpp/common/limit_table.cpp",
        "violated(i) = gap < -kLimitTolerance;",
        "violated(i) = gap < kLimitTolerance;",
        "the check flags a limit met with no room as violated",
        DG,
    ),
    _m(
        "cpp-soft-turnover-out-of-reach",
        "src/cpp/common/direct.cpp",
        "if (traded - 2.0 * term.upper > kLimitTolerance) {",
        "if (traded - term.upper > kLimitTolerance) {",
        "a soft turnover limit within reach of the bounds dropped before any solve",
        DR,
    ),
    _m(
        "rates-a-day-late",
        "src/vantelo/_schedule.py",
        'np.datetime64(start, "D"), side="left")',
        'np.datetime64(start, "D"), side="right")',
        "a chained run's drift starts a day after the holding was set",
        RB,
    ),
)


def check(mutants=MUTANTS, root=ROOT):
    """What is wrong with the list: a file missing, or a snippet that is not there
    exactly once (the mutant would plant nothing, or in the wrong place)."""
    problems = []
    names = set()
    for mutant in mutants:
        if mutant.name in names:
            problems.append(f"{mutant.name}: the name is used twice")
        names.add(mutant.name)
        path = os.path.join(root, mutant.path)
        if not os.path.isfile(path):
            problems.append(f"{mutant.name}: no file {mutant.path}")
            continue
        with open(path, encoding="utf-8") as fh:
            count = fh.read().count(mutant.original)
        if count != 1:
            problems.append(f"{mutant.name}: the snippet occurs {count} times in {mutant.path}")
        if mutant.original == mutant.replacement:
            problems.append(f"{mutant.name}: the replacement changes nothing")
        for selection in mutant.tests:
            if not os.path.isfile(os.path.join(root, selection.split("::")[0])):
                problems.append(f"{mutant.name}: no test file {selection}")
    return problems


def _rebuild():
    """The compiled modules rebuilt (incrementally) into the editable install."""
    started = time.perf_counter()
    done = subprocess.run(
        ["make", "install", "PIP_FLAGS=-q"], cwd=ROOT, capture_output=True, text=True
    )
    if done.returncode != 0:
        return False, done.stdout[-2000:] + done.stderr[-2000:], time.perf_counter() - started
    return True, "", time.perf_counter() - started


def _first_failure(output):
    for line in output.splitlines():
        if line.startswith(("FAILED ", "ERROR ")):
            return line.split(" ", 1)[1].split(" - ")[0]
    return ""


def run_one(mutant, timeout):
    """(outcome, the test that caught it, seconds): outcome is caught, missed, or
    build-error (a C++ mutant that does not compile, which no test needs to catch)."""
    path = os.path.join(ROOT, mutant.path)
    with open(path, encoding="utf-8") as fh:
        source = fh.read()
    if source.count(mutant.original) != 1:
        raise SystemExit(f"{mutant.name}: the snippet is not in {mutant.path} exactly once")
    started = time.perf_counter()
    try:
        with open(path, "w", encoding="utf-8") as fh:
            fh.write(source.replace(mutant.original, mutant.replacement))
        if mutant.compiled:
            built, output, _ = _rebuild()
            if not built:
                return (
                    "build-error",
                    output.strip().splitlines()[-1:],
                    time.perf_counter() - started,
                )
        command = [
            PYTHON,
            "-m",
            "pytest",
            "-x",
            "-q",
            "-p",
            "no:cacheprovider",
            "-p",
            "no:randomly",
        ]
        try:
            done = subprocess.run(
                command + list(mutant.tests),
                cwd=ROOT,
                capture_output=True,
                text=True,
                timeout=timeout,
            )
        except subprocess.TimeoutExpired:
            # A fault that hangs the tests is noticed: CI's time limit stops it.
            return "caught", "(timed out)", time.perf_counter() - started
        if done.returncode == 0:
            return "missed", "", time.perf_counter() - started
        if done.returncode in (1,):
            return "caught", _first_failure(done.stdout), time.perf_counter() - started
        # 2-5: pytest could not run the selection; say so rather than count it.
        return "error", done.stdout[-500:], time.perf_counter() - started
    finally:
        with open(path, "w", encoding="utf-8") as fh:
            fh.write(source)


def _table(rows):
    lines = ["| mutant | module | fault | outcome | caught by | s |", "|---|---|---|---|---|---|"]
    for mutant, outcome, test, seconds in rows:
        lines.append(
            f"| {mutant.name} | {mutant.path} | {mutant.description} | {outcome} | "
            f"{test or ''} | {seconds:.0f} |"
        )
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-k", default="", help="run the mutants whose name contains this")
    parser.add_argument("--list", action="store_true", help="print the mutants and stop")
    parser.add_argument("--timeout", type=float, default=600, help="seconds per mutant's tests")
    args = parser.parse_args(argv)
    problems = check()
    if problems:
        print("\n".join(problems), file=sys.stderr)
        return 2
    chosen = [m for m in MUTANTS if args.k in m.name]
    if args.list:
        for m in chosen:
            print(f"{m.name:32} {m.path:36} {m.description}")
        return 0
    paths = sorted({m.path for m in chosen})
    clean = subprocess.run(["git", "diff", "--quiet", "--"] + paths, cwd=ROOT)
    if clean.returncode != 0:
        print("the files to mutate have changes of their own; commit them first", file=sys.stderr)
        return 2
    print(f"{len(chosen)} mutants, {datetime.date.today()}", flush=True)
    rows = []
    # Whether the installed modules were built from a mutated C++ file: the next
    # mutant's own rebuild (a C++ one) or a rebuild before it (a Python one) undoes it.
    stale = False
    try:
        for mutant in chosen:
            if stale and not mutant.compiled:
                _rebuild()
            outcome, test, seconds = run_one(mutant, args.timeout)
            stale = mutant.compiled
            rows.append((mutant, outcome, test, seconds))
            print(f"{outcome:12} {seconds:6.0f} s  {mutant.name}  {test}", flush=True)
    finally:
        if stale:
            built, output, _ = _rebuild()
            if not built:
                print("the final rebuild failed:\n" + output, file=sys.stderr)
    restored = subprocess.run(["git", "diff", "--quiet", "--"] + paths, cwd=ROOT)
    if restored.returncode != 0:
        print("a mutated file was not restored: see git diff", file=sys.stderr)
        return 2
    print()
    print(_table(rows))
    counted = [r for r in rows if r[1] in ("caught", "missed")]
    caught = sum(r[1] == "caught" for r in counted)
    if counted:
        print(f"\nscore: {caught}/{len(counted)} caught ({100 * caught / len(counted):.0f}%)")
    errors = [r[0].name for r in rows if r[1] not in ("caught", "missed")]
    if errors:
        print("not counted (build or collection errors): " + ", ".join(errors))
    return 0


if __name__ == "__main__":
    sys.exit(main())
