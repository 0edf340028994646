"""Every Python example in the README and in docs/ runs as written.

The ```python blocks of one page run in order, in one process of their own (so a block
may use names an earlier block of the same page defined), against the demo market,
from a temporary working directory. A block that must not run (one that needs a
cluster, or shows a fragment) is preceded by the line `<!-- no-test -->`.

On Linux each page's process is forked from a warm interpreter that has imported
numpy, pandas, cvxpy, tidewell and the package and done nothing else: the imports
cost more than most pages' own work, and a page still starts from nothing of another
page. Elsewhere each page gets a fresh interpreter.

The error table of the guide lists every message of the compiled modules.
"""

import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGES = sorted([ROOT / "README.md", *(ROOT / "docs").rglob("*.md")])
BLOCK = re.compile(r"(<!-- no-test -->\s*\n)?```python[^\n]*\n(.*?)```", re.S)
TIMEOUT = 600

RUNNER = r"""
import os, runpy, signal, sys, traceback

import cvxpy, numpy, pandas, tidewell
import vantelo.benchmark, vantelo.constraints, vantelo.helper, vantelo.objective
import vantelo.optimize

LIMIT = int(sys.argv[1])


def run(folder):
    os.chdir(folder)
    sys.path.insert(0, folder)
    sys.argv = ["example.py"]
    signal.alarm(LIMIT)
    try:
        runpy.run_path("example.py", run_name="__main__")
    except SystemExit as stop:
        return stop.code if isinstance(stop.code, int) else int(stop.code is not None)
    except BaseException:
        traceback.print_exc()
        return 1
    return 0


print("ready", flush=True)
for line in sys.stdin:
    folder = line.rstrip("\n")
    pid = os.fork()
    if pid == 0:
        log = os.open(os.path.join(folder, "output.txt"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
        os.dup2(log, 1)
        os.dup2(log, 2)
        code = run(folder)
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(code)
    _, status = os.waitpid(pid, 0)
    code = os.WEXITSTATUS(status) if os.WIFEXITED(status) else 128 + os.WTERMSIG(status)
    print(code, flush=True)
"""


def runnable_blocks(page):
    return [m.group(2) for m in BLOCK.finditer(page.read_text(encoding="utf-8")) if not m.group(1)]


PAGES_WITH_CODE = [p for p in PAGES if runnable_blocks(p)]


@pytest.fixture(scope="module")
def run_page():
    """`run_page(folder)` runs folder/example.py; returns (exit code, its output)."""
    if not sys.platform.startswith("linux"):

        def fresh(folder):
            done = subprocess.run(
                [sys.executable, "example.py"],
                cwd=folder,
                capture_output=True,
                text=True,
                timeout=TIMEOUT,
            )
            return done.returncode, done.stdout + done.stderr

        yield fresh
        return

    runner = subprocess.Popen(
        [sys.executable, "-c", RUNNER, str(TIMEOUT)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    assert runner.stdout.readline() == "ready\n", "the example runner did not start"

    def forked(folder):
        runner.stdin.write(f"{folder}\n")
        runner.stdin.flush()
        code = int(runner.stdout.readline())
        return code, (folder / "output.txt").read_text(encoding="utf-8", errors="replace")

    yield forked
    runner.stdin.close()
    runner.wait(timeout=60)
    runner.stdout.close()


def test_block_pattern_honours_the_skip_marker():
    page = "```python\na = 1\n```\n<!-- no-test -->\n```python\nraise SystemExit(1)\n```\n"
    found = [m.group(2) for m in BLOCK.finditer(page) if not m.group(1)]
    assert found == ["a = 1\n"]


@pytest.mark.parametrize("script", ["raise ValueError('boom')", "import sys\nsys.exit(3)"])
def test_a_failing_page_is_reported(run_page, tmp_path, script):
    (tmp_path / "example.py").write_text(script, encoding="utf-8")
    code, output = run_page(tmp_path)
    assert code != 0
    assert "boom" in output or code == 3


def test_pages_do_not_share_state(run_page, tmp_path):
    first, second = tmp_path / "first", tmp_path / "second"
    for folder in (first, second):
        folder.mkdir()
    (first / "example.py").write_text("import tidewell\ntidewell.marker = 1\n", encoding="utf-8")
    (second / "example.py").write_text(
        "import tidewell\nassert not hasattr(tidewell, 'marker')\n", encoding="utf-8"
    )
    assert run_page(first)[0] == 0
    assert run_page(second) == (0, "")


@pytest.mark.parametrize("page", PAGES_WITH_CODE, ids=lambda p: str(p.relative_to(ROOT)))
def test_page_examples_run(page, tmp_path, run_page):
    script = "\n\n".join(runnable_blocks(page))
    (tmp_path / "example.py").write_text(script, encoding="utf-8")
    code, output = run_page(tmp_path)
    assert code == 0, f"{page.name} examples failed:\n{output[-4000:]}"


def message_templates():
    """The texts with Chinese in the C++ sources that are not docstrings: the messages
    of the package's errors and warnings (adjacent literals joined)."""
    import importlib
    import inspect

    docs = set()
    for name in ["optimize", "objective", "constraints", "benchmark", "helper"]:
        module = importlib.import_module(f"vantelo.{name}")
        for value in vars(module).values():
            members = [value, *vars(value).values()] if inspect.isclass(value) else [value]
            docs.update(getattr(m, "__doc__", None) or "" for m in members)
    literal = re.compile(r'"((?:[^"\\]|\\.)*)"')
    run = re.compile(r'(?:"(?:[^"\\]|\\.)*"\s*)+')
    found = set()
    for source in sorted((ROOT / "src" / "cpp").rglob("*.cpp")):
        code = re.sub(r'R"\((.*?)\)"', "", source.read_text(encoding="utf-8"), flags=re.S)
        for match in run.finditer(code):
            text = "".join(literal.findall(match.group(0)))
            text = text.replace("\\n", "\n").replace('\\"', '"')
            if re.search(r"[\u4e00-\u9fff]", text) and not any(text in d for d in docs):
                found.add(text)
    return sorted(found)


def test_the_error_table_lists_every_message():
    table = (ROOT / "docs" / "errors.md").read_text(encoding="utf-8")
    templates = message_templates()
    assert len(templates) > 40
    assert [t for t in templates if t not in table] == []


# Texts of the newer compiled modules that are not messages of an error or a warning:
# the lines of an InfeasibilityReport's text, a filter on cvxpy's own warning, and the
# tail of a long list inside a warning.
NOT_MESSAGES = {
    "Solution may be inaccurate",
    "Feasible: every limit can hold together.",
    "The diagnosis could not be made: {}",
    "Infeasible: {} {} must move for a solution to exist.",
    "Smallest set that cannot hold together (each one is needed): {}",
    "The hard constraints alone can hold: without the soft ones a solution exists.",
    "The hard constraints alone cannot hold.",
    "... and",
}


def english_templates():
    """The texts with a space in them in the sources of vantelo.diagnose, vantelo.trading
    and the cores of the report and the rebalance (adjacent literals joined, surrounding
    whitespace dropped), less their docstrings and NOT_MESSAGES: the messages they
    raise and warn with."""
    import importlib
    import inspect

    docs = set()
    for name in ["diagnose", "trading", "_report", "_rebalance"]:
        module = importlib.import_module(f"vantelo.{name}")
        docs.add(module.__doc__ or "")
        for value in vars(module).values():
            members = [value, *vars(value).values()] if inspect.isclass(value) else [value]
            docs.update(getattr(m, "__doc__", None) or "" for m in members)
    literal = re.compile(r'"((?:[^"\\]|\\.)*)"')
    run = re.compile(r'(?:"(?:[^"\\]|\\.)*"\s*)+')
    found = set()
    # A module split by concern is a folder of sources.
    for name in ["diagnose", "trading", "report", "rebalance"]:
        path = ROOT / "src" / "cpp" / name
        sources = sorted(path.glob("*.[ch]pp")) if path.is_dir() else [path.with_suffix(".cpp")]
        code = "\n".join(source.read_text(encoding="utf-8") for source in sources)
        code = re.sub(r'R"\((.*?)\)"', "", code, flags=re.S)
        code = re.sub(r"//[^\n]*", "", code)
        for match in run.finditer(code):
            text = "".join(literal.findall(match.group(0)))
            text = text.replace("\\n", "\n").replace('\\"', '"').strip()
            if " " in text and text not in NOT_MESSAGES and not any(text in d for d in docs):
                found.add(text)
    return sorted(found)


def test_the_error_table_lists_the_english_messages_of_the_newer_modules():
    table = (ROOT / "docs" / "errors.md").read_text(encoding="utf-8")
    templates = english_templates()
    assert len(templates) > 30
    assert "order_book_ids is empty" in templates
    assert [t for t in templates if t not in table] == []


def python_templates():
    """The messages report.py, cli.py, rebalancing (rebalance.py and the modules of its
    schedule, engines and results) and the backtest package raise: the
    text given to InvalidArgument, CliError, ImportError, RebalanceFailed, FileNotFoundError or a
    configuration's `error`, each f-string's fields written `{}` (`{!r}` where they
    are repr'd), and the messages they keep in module constants."""
    import ast

    def template(node):
        if isinstance(node, ast.Constant) and isinstance(node.value, str):
            return node.value
        if (
            isinstance(node, ast.Call)
            and isinstance(node.func, ast.Attribute)
            and node.func.attr == "format"
        ):
            return template(node.func.value)
        if isinstance(node, ast.JoinedStr):
            return "".join(
                part.value
                if isinstance(part, ast.Constant)
                else "{!r}"
                if part.conversion == ord("r")
                else "{}"
                for part in node.values
            )
        return None

    found = set()
    raising = {
        "InvalidArgument",
        "CliError",
        "ImportError",
        "RebalanceFailed",
        "FileNotFoundError",
        "error",
    }
    names = ["report.py", "_portfolio_report.py", "_html.py", "cli.py", "_cli_config.py"]
    names += ["_cli_files.py", "rebalance.py"]
    names += ["_schedule.py", "_engines.py", "_results.py"]
    names += [f"backtest/{p.name}" for p in sorted((ROOT / "src/vantelo/backtest").glob("*.py"))]
    for name in names:
        tree = ast.parse((ROOT / "src" / "vantelo" / name).read_text(encoding="utf-8"))
        for node in ast.walk(tree):
            if isinstance(node, ast.Assign) and isinstance(node.targets[0], ast.Name):
                if node.targets[0].id in ("WORKER_DIED", "SOFT_RETRY_WARNING"):
                    found.add(template(node.value))
            if not isinstance(node, ast.Call):
                continue
            function = node.func
            called = getattr(function, "attr", None) or getattr(function, "id", None)
            if called not in raising:
                continue
            # A configuration's error(path, message): the path is not text.
            for argument in node.args:
                text = template(argument)
                if text:
                    found.add(text)
    return sorted(found)


def test_the_error_table_lists_the_messages_of_the_report_rebalance_and_command_line():
    table = (ROOT / "docs" / "errors.md").read_text(encoding="utf-8")
    templates = python_templates()
    assert len(templates) > 50
    assert "{}: not valid TOML: {}" in templates
    assert "frequency: expected one of {}, got {!r}" in templates
    assert [t for t in templates if t not in table] == []
