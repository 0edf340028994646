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
import ast
import csv
import datetime
import importlib
import math
import pathlib
import re
import sys
import warnings

import pandas as pd

import tidewell
import vantelo.core
import vantelo.messages
import vantelo.optimize as optimize
import vantelo.report as report
from vantelo import _report as report_core
from vantelo.const import CovModel, IndustryClassification
from vantelo.exception import OptimizerWarning

try:
    import tomllib
except ImportError:  # Python < 3.11
    import tomli as tomllib

__all__ = ["main"]

ERROR_STATUS = 2
VIOLATED_STATUS = 1

TOP_LEVEL_KEYS = (
    "date",
    "dates",
    "benchmark",
    "cov_model",
    "pool",
    "objective",
    "bnds",
    "constraints",
    "schedule",
    "costs",
)
POOL_KEYS = ("codes", "file", "index")
SCHEDULE_KEYS = ("start", "end", "frequency", "returns_end")
# The columns of a weights file; `date` only when it holds several dates.
WEIGHT_COLUMNS = ("order_book_id", "weight")
# A limit this large (or infinite) in a configuration can only mean "no limit".
NO_LIMIT = 1e15
# The constraint arguments that are limits, and the side each one bounds.
LIMIT_SIDES = {"lower_limit": "lower", "upper_limit": "upper"}
# The most conflicts and members of the smallest set an error line lists.
LISTED = 5


class CliError(Exception):
    """A mistake of the command line's user, reported as one line."""


# ---------------------------------------------------------------------------
# Where a key sits in the TOML text
# ---------------------------------------------------------------------------

_ARRAY_HEADER = re.compile(r"^\s*\[\[\s*([^\]]+?)\s*\]\]")
_TABLE_HEADER = re.compile(r"^\s*\[\s*([^\]]+?)\s*\]")
_KEY = re.compile(r"""^\s*(?:"([^"]*)"|'([^']*)'|([A-Za-z0-9_.*-]+))\s*=""")


class _Lines:
    """Finds the line of a key: the TOML reader gives values, not positions."""

    def __init__(self, text):
        self._keys = {}  # (section..., key) -> line number
        self._sections = {}  # section -> line number of its header
        section = ()
        counts = {}
        for number, line in enumerate(text.splitlines(), start=1):
            header = _ARRAY_HEADER.match(line)
            if header:
                name = header.group(1).strip().strip('"')
                counts[name] = counts.get(name, -1) + 1
                section = (name, counts[name])
                self._sections.setdefault(section, number)
                continue
            header = _TABLE_HEADER.match(line)
            if header:
                section = (header.group(1).strip().strip('"'),)
                self._sections.setdefault(section, number)
                continue
            key = _KEY.match(line)
            if key:
                name = next(g for g in key.groups() if g is not None)
                self._keys.setdefault(section + (name,), number)
                if not section:
                    self._sections.setdefault((name,), number)

    def of(self, *path):
        """The line of `path` (section parts, then the key), else of its section."""
        while path:
            if path in self._keys:
                return self._keys[path]
            if path in self._sections:
                return self._sections[path]
            path = path[:-1]
        return None


class _Config:
    """A parsed configuration file, with errors that name the key and its line."""

    def __init__(self, path):
        self.path = pathlib.Path(path)
        try:
            text = self.path.read_text(encoding="utf-8")
        except OSError as error:
            raise CliError(f"{path}: cannot read the configuration ({error.strerror})") from None
        except UnicodeDecodeError:
            raise CliError(f"{path}: not UTF-8 text") from None
        try:
            self.data = tomllib.loads(text)
        except tomllib.TOMLDecodeError as error:
            raise CliError(f"{path}: not valid TOML: {error}") from None
        self.lines = _Lines(text)

    def where(self, path):
        """ "file:line: key" of a key (its section's line when it has none)."""
        line = self.lines.of(*path)
        place = f"{self.path}:{line}" if line else f"{self.path}"
        return f"{place}: {_key_name(path)}"

    def error(self, path, message):
        return CliError(f"{self.where(path)}: {message}")

    def unknown_keys(self, table, allowed, path=()):
        for key in table:
            if key not in allowed:
                raise self.error(
                    path + (key,), f"unknown key; expected one of {', '.join(allowed)}"
                )


def _key_name(path):
    parts = []
    for part in path:
        if isinstance(part, int):
            parts[-1] += f"[{part + 1}]"
        else:
            parts.append(str(part))
    return ".".join(parts) if parts else "configuration"


# ---------------------------------------------------------------------------
# Reading a configuration
# ---------------------------------------------------------------------------


def _stub_parameters(module, name):
    """The parameter names of `module.name` (a compiled class or function) as its
    stub declares them, or None when the stub cannot be read: the compiled
    functions carry no signature the interpreter can inspect."""
    package = pathlib.Path(importlib.import_module("vantelo").__file__).parent
    stub = package / (module.rsplit(".", 1)[-1] + ".pyi")
    try:
        tree = ast.parse(stub.read_text(encoding="utf-8"))
    except (OSError, SyntaxError, ValueError):
        return None
    for node in tree.body:
        function = None
        if isinstance(node, ast.FunctionDef) and node.name == name:
            function = node
        elif isinstance(node, ast.ClassDef) and node.name == name:
            function = next(
                (f for f in node.body if isinstance(f, ast.FunctionDef) and f.name == "__init__"),
                None,
            )
            if function is None:
                return [], []
        if function is not None:
            positional = [a.arg for a in function.args.args]
            required = positional[: len(positional) - len(function.args.defaults)]
            names = positional + [a.arg for a in function.args.kwonlyargs]
            return [n for n in names if n != "self"], [n for n in required if n != "self"]
    return None


def _is_a(value, base):
    return isinstance(value, type) and issubclass(value, base)


def _build(config, path, table, module, base, functions=()):
    """The object a [objective] or [[constraints]] table describes: `name` picks
    the class of `module`, the other keys are its arguments."""
    if not isinstance(table, dict):
        raise config.error(path, "expected a table with a `name` key and the arguments")
    if "name" not in table:
        raise config.error(path, "no `name` key: which class is it?")
    name = table["name"]
    target = (
        getattr(importlib.import_module(module), name, None) if isinstance(name, str) else None
    )
    if not (_is_a(target, base) and target is not base) and name not in functions:
        raise config.error(path + ("name",), f"{name!r} is not a known name in {module}")
    arguments = {k: v for k, v in table.items() if k != "name"}
    no_limit = []
    for key, side in LIMIT_SIDES.items():
        value = arguments.get(key)
        if isinstance(value, float) and _limit(config, path + (key,), side, value) is None:
            del arguments[key]
            no_limit.append(key)
    parameters = _stub_parameters(module, name)
    if parameters is not None:
        allowed, required = parameters
        for key in arguments:
            if key not in allowed:
                raise config.error(
                    path + (key,),
                    f"{name} has no argument {key!r}; it takes {', '.join(allowed) or 'none'}",
                )
        missing = [k for k in required if k not in arguments]
        if missing and set(missing) <= set(no_limit):
            return _no_limit(config, path, name, no_limit)
        if missing:
            raise config.error(path, f"{name} needs the argument(s) {', '.join(missing)}")
    if no_limit and not any(k in arguments for k in LIMIT_SIDES):
        return _no_limit(config, path, name, no_limit)
    if "classification" in arguments:
        arguments["classification"] = _enum(
            config,
            path + ("classification",),
            arguments["classification"],
            IndustryClassification,
        )
    try:
        return target(**arguments)
    except Exception as error:
        message = _one_line(error)
        # The class's message names the argument it refused; point at its line.
        named = [k for k in arguments if re.search(rf"\b{re.escape(k)}\b", message)]
        where = path + (named[0],) if len(named) == 1 else path
        raise config.error(where, f"{name}: {message}") from None


def _no_limit(config, path, name, keys):
    """A constraint whose every limit is infinite or huge limits nothing: it is left
    out, with a warning naming it."""
    warnings.warn(
        f"{config.where(path)}: {name} with {' and '.join(keys)} beyond {NO_LIMIT:g} sets no "
        "limit; it is left out",
        OptimizerWarning,
        stacklevel=2,
    )
    return []


def _enum(config, path, value, enum_type):
    try:
        return optimize.to_enum(value, enum_type)
    except Exception:
        choices = ", ".join(repr(m.value) for m in enum_type)
        raise config.error(path, f"{value!r} is not one of {choices}") from None


def _dates(config):
    data = config.data
    if ("date" in data) == ("dates" in data):
        raise config.error((), "give `date` or `dates` (one of the two)")
    key = "date" if "date" in data else "dates"
    values = data[key] if key == "dates" else [data[key]]
    if not isinstance(values, list) or not values:
        raise config.error((key,), "expected a non-empty list of dates")
    dates = []
    for value in values:
        try:
            if isinstance(value, datetime.datetime):
                value = value.date()
            day = value if isinstance(value, datetime.date) else optimize.to_date(str(value))
        except Exception:
            raise config.error((key,), f"{value!r} is not a date") from None
        dates.append(day)
    return dates


def _benchmark(config):
    value = config.data.get("benchmark")
    if value is None:
        return None
    if not isinstance(value, str):
        raise config.error(("benchmark",), f"expected an index order_book_id, got {value!r}")
    try:
        return optimize.IndexBenchmark(value)
    except Exception as error:
        raise config.error(("benchmark",), _one_line(error)) from None


def _cov_model(config):
    if "cov_model" not in config.data:
        return CovModel.FACTOR_MODEL_DAILY
    return _enum(config, ("cov_model",), config.data["cov_model"], CovModel)


def _bnds(config):
    table = config.data.get("bnds")
    if table is None:
        return None
    if not isinstance(table, dict):
        raise config.error(("bnds",), "expected a table of order_book_id = [lower, upper]")
    bnds = {}
    for code, pair in table.items():
        if (
            not isinstance(pair, list)
            or len(pair) != 2
            or not all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in pair)
        ):
            raise config.error(("bnds", code), f"expected [lower, upper] numbers, got {pair!r}")
        # A weight lies in [0, 1]: a side past that by a huge or infinite amount sets none.
        lower = _limit(config, ("bnds", code), "lower", float(pair[0]))
        upper = _limit(config, ("bnds", code), "upper", float(pair[1]))
        bnds[code] = (0.0 if lower is None else lower, 1.0 if upper is None else upper)
    return bnds


def _limit(config, path, side, value):
    """A limit read from a configuration: a side infinite or beyond NO_LIMIT in the
    direction it bounds means no limit (None); NaN, or such a side in the other
    direction (a lower limit of inf, which nothing meets), is refused naming the key."""
    if math.isnan(value):
        raise config.error(path, f"the {side} limit is NaN, which is no limit at all")
    if abs(value) < NO_LIMIT:
        return value
    if (value > 0) == (side == "upper"):
        return None
    if side == "upper":
        raise config.error(path, f"an upper limit of {value:g} can never hold")
    raise config.error(path, f"a lower limit of {value:g} can never hold")


def _constraints(config):
    tables = config.data.get("constraints", [])
    if not isinstance(tables, list):
        raise config.error(("constraints",), "expected [[constraints]] tables")
    base = importlib.import_module("vantelo.constraints").OptimizationConstraint
    built = []
    for i, table in enumerate(tables):
        made = _build(
            config,
            ("constraints", i),
            table,
            "vantelo.constraints",
            base,
            functions=("wildcard_style_constraint",),
        )
        built.extend(made if isinstance(made, (list, tuple)) else [made])
    return built


def _objective(config):
    table = config.data.get("objective")
    if table is None:
        return optimize.DEFAULT_OBJECTIVE
    base = importlib.import_module("vantelo.objective").OptimizationObjective
    return _build(config, ("objective",), table, "vantelo.objective", base)


def _pool(config, day):
    table = config.data.get("pool")
    if not isinstance(table, dict):
        raise config.error(("pool",), "expected a [pool] table with codes, file or index")
    config.unknown_keys(table, POOL_KEYS, ("pool",))
    given = [k for k in POOL_KEYS if k in table]
    if len(given) != 1:
        raise config.error(("pool",), "give one of codes, file or index")
    key = given[0]
    value = table[key]
    if key == "codes":
        if not isinstance(value, list) or not all(isinstance(c, str) for c in value):
            raise config.error(("pool", key), "expected a list of order_book_ids")
        return value
    if not isinstance(value, str):
        raise config.error(("pool", key), f"expected text, got {value!r}")
    if key == "index":
        try:
            return list(tidewell.index_weights(value, day).index)
        except Exception as error:
            raise config.error(("pool", key), _one_line(error)) from None
    file = config.path.parent / value
    try:
        codes = [line.split(",")[0].strip() for line in file.read_text("utf-8").splitlines()]
    except (OSError, UnicodeDecodeError) as error:
        raise config.error(("pool", key), f"cannot read {file}: {error}") from None
    codes = [c for c in codes if c and not c.startswith("#") and c != "order_book_id"]
    if not codes:
        raise config.error(("pool", key), f"{file} lists no order_book_id")
    return codes


class _Run:
    """Everything a configuration asks for, checked before anything is solved."""

    def __init__(self, path):
        config = _Config(path)
        config.unknown_keys(config.data, TOP_LEVEL_KEYS)
        self.config = config
        self.dates = _dates(config)
        self.benchmark = _benchmark(config)
        self.cov_model = _cov_model(config)
        self.objective = _objective(config)
        self.bnds = _bnds(config)
        self.constraints = _constraints(config)

    def pool(self, day):
        return _pool(self.config, day)


# ---------------------------------------------------------------------------
# Weight files
# ---------------------------------------------------------------------------


class _WeightFile:
    """A weights CSV: the columns order_book_id and weight, and date when it holds
    several dates. Every command reads and writes one through this class, with one set
    of checks, each error naming the file and the row."""

    def __init__(self, path):
        self.path = path

    def check_writable(self):
        """Refuses a path no file can be written to, before any work is done for it."""
        _writable(self.path, "-o")

    def write(self, results):
        """Writes {date: weights}; with several dates, a date column first."""
        rows = [
            [str(day)] * (len(results) > 1) + [code, repr(float(weight))]
            for day, weights in results.items()
            for code, weight in weights.items()
        ]
        header = ["date"] * (len(results) > 1) + list(WEIGHT_COLUMNS)
        try:
            with open(self.path, "w", newline="", encoding="utf-8") as handle:
                csv.writer(handle).writerows([header, *rows])
        except OSError as error:
            raise CliError(f"{self.path}: cannot write ({_reason(error)})") from None

    def read(self):
        """{date or None: weights Series}: every row checked, the codes known to the
        store, each date's weights read as every portfolio handed in is read."""
        rows, columns = self._rows()
        by_day = {}
        for line, row in rows:
            code = row[columns["order_book_id"]].strip()
            if not code:
                raise CliError(f"{self.path}:{line}: order_book_id is empty")
            text = row[columns["weight"]].strip()
            try:
                weight = float(text)
            except ValueError:
                raise CliError(f"{self.path}:{line}: weight is not a number: {text!r}") from None
            day = None
            if "date" in columns:
                value = row[columns["date"]].strip()
                try:
                    day = optimize.to_date(value)
                except Exception:
                    raise CliError(
                        f"{self.path}:{line}: {value!r} in column date is not a date"
                    ) from None
            by_day.setdefault(day, []).append((line, code, weight))
        if not by_day:
            raise CliError(f"{self.path}: no weights")
        self._refuse_unknown(by_day)
        result = {}
        for day in sorted(by_day, key=lambda d: (d is not None, d)):
            entries = by_day[day]
            series = pd.Series(
                [w for _, _, w in entries],
                index=pd.Index([c for _, c, _ in entries], name="order_book_id"),
                name="weight",
                dtype="float64",
            )
            name = f"{self.path}" if day is None else f"{self.path} ({day})"
            # The sum is the reader's to refuse (naming the file), the report's and the
            # check's to warn about, once.
            try:
                result[day] = report_core.read_weights(series, name, True, False)
            except optimize.InvalidArgument as error:
                raise CliError(str(error)) from None
        return result

    def _rows(self):
        try:
            with open(self.path, newline="", encoding="utf-8-sig") as handle:
                reader = csv.reader(handle)
                table = [(reader.line_num, row) for row in reader if row]
        except FileNotFoundError:
            raise CliError(f"{self.path}: no such file") from None
        except OSError as error:
            raise CliError(f"{self.path}: cannot read ({_reason(error)})") from None
        except UnicodeDecodeError:
            raise CliError(f"{self.path}: not UTF-8 text") from None
        except csv.Error as error:
            raise CliError(f"{self.path}: not a readable CSV file ({error})") from None
        if not table:
            raise CliError(f"{self.path}: empty file")
        header = [name.strip() for name in table[0][1]]
        missing = [c for c in WEIGHT_COLUMNS if c not in header]
        if missing:
            raise CliError(f"{self.path}: no column {' or '.join(missing)} (columns: {header})")
        columns = {
            name: header.index(name) for name in (*WEIGHT_COLUMNS, "date") if name in header
        }
        for line, row in table[1:]:
            if len(row) != len(header):
                raise CliError(
                    f"{self.path}:{line}: {len(row)} fields where the header has "
                    f"{len(header)} ({', '.join(header)}): {','.join(row)}"
                )
        return table[1:], columns

    def _refuse_unknown(self, by_day):
        codes = list(dict.fromkeys(c for entries in by_day.values() for _, c, _ in entries))
        known = {record.order_book_id for record in tidewell.instruments(codes)}
        for entries in by_day.values():
            for line, code, _ in entries:
                if code not in known:
                    raise CliError(f"{self.path}:{line}: unknown order_book_id {code!r}")


def _reason(error):
    return error.strerror or str(error)


def _writable(path, option):
    """Refuses an output path no file can be written to, naming the option."""
    try:
        report.writable_path(path)
    except optimize.InvalidArgument as error:
        raise CliError(f"{option}: {str(error).split(': ', 1)[-1]}") from None


def _report_path(path, day, several):
    path = pathlib.Path(path)
    return path.with_name(f"{path.stem}-{day}{path.suffix}") if several else path


def _write_report(
    weights, day, benchmark, cov_model, path, classification=IndustryClassification.SWS
):
    result = report.portfolio_report(
        weights, day, benchmark=benchmark, cov_model=cov_model, classification=classification
    )
    result.to_html(path)
    print(f"report: {path}", file=sys.stderr)


# ---------------------------------------------------------------------------
# Commands
# ---------------------------------------------------------------------------


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


def _failure(error):
    """An OptimizationFailed in one line: with its diagnosis, the limits that must
    move, by how much, and the smallest set of limits that cannot hold together."""
    diagnosis = getattr(error, "diagnosis", None)
    if diagnosis is None:
        return f"the optimisation failed (solver result: {' '.join(str(error).split())})"
    conflicts = diagnosis.conflicts
    moves = [
        f"{row.label} from {row.limit:g} to {row.attainable:g} (by {row.relaxation:g})"
        for row in conflicts.head(LISTED).itertuples()
    ]
    if len(conflicts) > LISTED:
        moves.append(f"... {len(conflicts) - LISTED} more")
    smallest = list(diagnosis.minimal_set)
    members = "; ".join(smallest[:LISTED])
    if len(smallest) > LISTED:
        members += f"; ... ({len(smallest)} in all)"
    count = len(conflicts)
    text = f"no portfolio meets every limit: {count} limit{'s' if count != 1 else ''} must move: "
    text += "; ".join(moves)
    if smallest:
        text += f". The smallest set that cannot hold together: {members}"
    if not diagnosis.hard_only_feasible:
        text += ". The hard constraints alone cannot hold"
    return text


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


# ---------------------------------------------------------------------------
# Backtests: the configuration of `optimize` over a schedule of dates
# ---------------------------------------------------------------------------


def _config_date(config, path, value):
    try:
        if isinstance(value, datetime.datetime):
            value = value.date()
        return value if isinstance(value, datetime.date) else optimize.to_date(str(value))
    except Exception:
        raise config.error(path, f"{value!r} is not a date") from None


def _schedule(config):
    """The rebalance dates and the end of the returns (None: the default)."""
    rebalance = importlib.import_module("vantelo.rebalance")
    table = config.data.get("schedule")
    if table is None:
        return _dates(config), None
    if not isinstance(table, dict):
        raise config.error(("schedule",), "expected a [schedule] table")
    config.unknown_keys(table, SCHEDULE_KEYS, ("schedule",))
    missing = [k for k in ("start", "end") if k not in table]
    if missing:
        raise config.error(("schedule",), f"needs {' and '.join(missing)}")
    start = _config_date(config, ("schedule", "start"), table["start"])
    end = _config_date(config, ("schedule", "end"), table["end"])
    frequency = table.get("frequency", "M")
    try:
        dates = rebalance.rebalance_dates(start, end, frequency)
    except optimize.InvalidArgument as error:
        raise config.error(("schedule", "frequency"), _one_line(error)) from None
    if not dates:
        raise config.error(("schedule",), f"no rebalance date ends a period from {start} to {end}")
    returns_end = table.get("returns_end")
    if returns_end is not None:
        returns_end = _config_date(config, ("schedule", "returns_end"), returns_end)
    return dates, returns_end


def _universe(config):
    """The pool of each date: an index's constituents on the date, or fixed codes."""
    table = config.data.get("pool")
    if isinstance(table, dict) and isinstance(table.get("index"), str) and len(table) == 1:
        return table["index"]
    return _pool(config, None)


def _costs(config):
    """The strategy's cost keywords of `rebalance`: cost_bps, costs, cost_penalty."""
    table = config.data.get("costs")
    if table is None:
        return {}
    if not isinstance(table, dict):
        raise config.error(("costs",), "expected a [costs] table")
    arguments = dict(table)
    if "cost_bps" in arguments:
        value = arguments.pop("cost_bps")
        if arguments:
            raise config.error(
                ("costs", "cost_bps"), "cost_bps is the flat rate alone; give it or a cost model"
            )
        return {"cost_bps": value}
    penalty = arguments.pop("cost_penalty", 0.0)
    backtest = importlib.import_module("vantelo.backtest")
    try:
        model = backtest.CostModel(**arguments)
    except TypeError as error:
        raise config.error(("costs",), f"CostModel: {_one_line(error)}") from None
    except optimize.InvalidArgument as error:
        message = _one_line(error)
        named = [k for k in arguments if message.startswith(k)]
        raise config.error(("costs",) + tuple(named[:1]), message) from None
    return {"costs": model, "cost_penalty": penalty}


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


# ---------------------------------------------------------------------------
# Entry point
# ---------------------------------------------------------------------------


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


def _one_line(error):
    text = " ".join(str(error).split())
    if isinstance(error, optimize.OptimizationFailed):
        return _failure(error)
    if isinstance(error, (optimize.InvalidArgument, tidewell.TidewellError, CliError)):
        return text or type(error).__name__
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


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
