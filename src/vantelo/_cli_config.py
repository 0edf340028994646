"""The command line's configuration: a TOML file read into the arguments of the
optimiser (pool, objective, bounds, constraints, benchmark, dates, schedule and costs),
every error naming the key and its line."""

import ast
import datetime
import importlib
import math
import pathlib
import re
import warnings

import tidewell
import vantelo.optimize as optimize
from vantelo.const import CovModel, IndustryClassification
from vantelo.exception import OptimizerWarning

try:
    import tomllib
except ImportError:  # Python < 3.11
    import tomli as tomllib


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


# A limit this large (or infinite) in a configuration can only mean "no limit".
NO_LIMIT = 1e15


# The constraint arguments that are limits, and the side each one bounds.
LIMIT_SIDES = {"lower_limit": "lower", "upper_limit": "upper"}

# The most conflicts and members of the smallest set an error line lists.
LISTED = 5


class CliError(Exception):
    """A mistake of the command line's user, reported as one line."""


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


def _one_line(error):
    text = " ".join(str(error).split())
    if isinstance(error, optimize.OptimizationFailed):
        return _failure(error)
    if isinstance(error, (optimize.InvalidArgument, tidewell.TidewellError, CliError)):
        return text or type(error).__name__
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


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
