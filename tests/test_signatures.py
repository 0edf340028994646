"""inspect.signature works on every public compiled function, method and class, agrees
with the stubs, and leaves the docstrings as they were written."""

import ast
import importlib
import inspect
import pathlib
import re

import pytest

STUBS = pathlib.Path(__file__).resolve().parent.parent / "src" / "vantelo"
# Every compiled module the build makes (the `foreach` list of CMakeLists.txt), so a
# module added later is checked without being listed here.
_BUILD = (STUBS.parent.parent / "CMakeLists.txt").read_text(encoding="utf-8")
MODULES = re.search(r"foreach\(module ([^)]*)\)", _BUILD).group(1).split()
KINDS = {
    "posonlyargs": inspect.Parameter.POSITIONAL_ONLY,
    "args": inspect.Parameter.POSITIONAL_OR_KEYWORD,
    "kwonlyargs": inspect.Parameter.KEYWORD_ONLY,
}
NO_DEFAULT = object()


def stub_parameters(function):
    """[(name, kind, default)] of a stub's def; default is NO_DEFAULT, a literal, or
    Ellipsis for an expression (an enumeration member, a module constant)."""
    arguments = function.args
    positional = [(a, "posonlyargs") for a in arguments.posonlyargs]
    positional += [(a, "args") for a in arguments.args]
    defaults = [NO_DEFAULT] * (len(positional) - len(arguments.defaults)) + list(
        arguments.defaults
    )
    pairs = [(a, kind, d) for (a, kind), d in zip(positional, defaults)]
    pairs += [(a, "kwonlyargs", d) for a, d in zip(arguments.kwonlyargs, arguments.kw_defaults)]
    result = []
    for argument, kind, default in pairs:
        if default is not NO_DEFAULT and default is not None:
            try:
                default = ast.literal_eval(default)
            except ValueError:
                default = Ellipsis
        elif default is None:
            default = NO_DEFAULT
        result.append((argument.arg, KINDS[kind], default))
    return result


def is_property(function):
    return any(isinstance(d, ast.Name) and d.id == "property" for d in function.decorator_list)


def is_typing_only(node):
    """A stub class that only describes a shape (a TypedDict, a Protocol): no runtime name."""
    return any(isinstance(b, ast.Name) and b.id in ("TypedDict", "Protocol") for b in node.bases)


def stub_callables(module_name):
    """(qualified name, stub parameters) of every function, method and class of a stub."""
    tree = ast.parse((STUBS / f"{module_name}.pyi").read_text(encoding="utf-8"))
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, stub_parameters(node)
        elif isinstance(node, ast.ClassDef) and not is_typing_only(node):
            init = []
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and not is_property(item):
                    parameters = stub_parameters(item)
                    yield f"{node.name}.{item.name}", parameters
                    if item.name == "__init__":
                        init = parameters[1:]
            yield node.name, init


def resolve(module, qualified):
    value = module
    for part in qualified.split("."):
        value = getattr(value, part)
    return value


CASES = [
    pytest.param(name, qualified, parameters, id=f"{name}.{qualified}")
    for name in MODULES
    for qualified, parameters in stub_callables(name)
]


@pytest.mark.parametrize(("module_name", "qualified", "expected"), CASES)
def test_signature_matches_the_stub(module_name, qualified, expected):
    module = importlib.import_module(f"vantelo.{module_name}")
    signature = inspect.signature(resolve(module, qualified))
    found = [
        (p.name, p.kind, NO_DEFAULT if p.default is inspect.Parameter.empty else p.default)
        for p in signature.parameters.values()
    ]
    assert found == expected


@pytest.mark.parametrize("module_name", MODULES)
def test_every_public_compiled_name_has_a_stub(module_name):
    module = importlib.import_module(f"vantelo.{module_name}")
    in_stub = {qualified for qualified, _ in stub_callables(module_name)}
    own = [
        name
        for name, value in vars(module).items()
        if not name.startswith("_")
        and (inspect.isclass(value) or inspect.isbuiltin(value))
        and getattr(value, "__module__", None) == module.__name__
    ]
    assert own, "no compiled names found"
    assert sorted(set(own) - in_stub) == []


def compiled_callables():
    for module_name in MODULES:
        module = importlib.import_module(f"vantelo.{module_name}")
        for qualified, _ in stub_callables(module_name):
            yield qualified, resolve(module, qualified)


def test_docstrings_carry_no_signature_line():
    for qualified, value in compiled_callables():
        doc = value.__doc__
        if doc is None:
            continue
        assert "\n--\n\n" not in doc, qualified
        assert not doc.startswith(qualified.split(".")[-1] + "("), qualified


def test_docstrings_are_the_written_texts():
    from vantelo.benchmark import IndexBenchmark, OptimizeBenchmark
    from vantelo.constraints import TrackingErrorLimit, get_deviation_value
    from vantelo.objective import MinVariance
    from vantelo.optimize import portfolio_optimize

    assert TrackingErrorLimit.__doc__ == (
        "\n    追踪误差约束。基准为优化时指定的基准。\n\n"
        "    :param upper_limit: 追踪误差上界\n    :param hard: 软约束/硬约束\n    "
    )
    assert MinVariance.__doc__ == "风险最小化"
    assert OptimizeBenchmark.get_weight.__doc__.startswith("\n        获取 date 日期的持仓权重。")
    assert portfolio_optimize.__doc__.startswith("\n    组合优化。\n")
    for undocumented in (
        IndexBenchmark,
        IndexBenchmark.__init__,
        TrackingErrorLimit.__init__,
        TrackingErrorLimit.to_constraints,
        get_deviation_value,
    ):
        assert undocumented.__doc__ is None


def test_bound_methods_drop_self():
    from vantelo.constraints import StyleConstraint

    bound = StyleConstraint("size", upper_limit=1.0).to_constraints
    assert list(inspect.signature(bound).parameters) == ["g", "zeta", "helper"]


def test_subclasses_get_their_own_or_the_inherited_signature():
    from vantelo.benchmark import IndexBenchmark
    from vantelo.objective import MeanVariance

    class Inherits(MeanVariance):
        """A docstring of its own."""

    class Overrides(IndexBenchmark):
        def __init__(self, code, scale=1.0):
            super().__init__(code)

    assert str(inspect.signature(Inherits)) == (
        "(expected_returns=None, window=252, risk_aversion_coefficient=1)"
    )
    assert str(inspect.signature(Overrides)) == "(code, scale=1.0)"
    assert Inherits.__doc__ == "A docstring of its own."


def test_the_signature_binds_like_the_function():
    from vantelo.optimize import ensure_date_str, portfolio_optimize

    signature = inspect.signature(portfolio_optimize)
    bound = signature.bind(["000001.XSHE"], "2025-06-30", cons=[])
    assert set(bound.arguments) == {"order_book_ids", "date", "cons"}
    with pytest.raises(TypeError):
        inspect.signature(ensure_date_str).bind(date="2025-06-30")
    with pytest.raises(TypeError):
        ensure_date_str(date="2025-06-30")
