"""Every Python example in the README and in docs/ runs as written.

The ```python blocks of one page run in order, in one fresh interpreter (so a block
may use names an earlier block of the same page defined), against the demo market,
from a temporary working directory. A block that must not run (one that needs a
cluster, or shows a fragment) is preceded by the line `<!-- no-test -->`.
"""

import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGES = sorted([ROOT / "README.md", *(ROOT / "docs").rglob("*.md")])
BLOCK = re.compile(r"(<!-- no-test -->\s*\n)?```python[^\n]*\n(.*?)```", re.S)


def runnable_blocks(page):
    return [m.group(2) for m in BLOCK.finditer(page.read_text(encoding="utf-8")) if not m.group(1)]


PAGES_WITH_CODE = [p for p in PAGES if runnable_blocks(p)]


def test_block_pattern_honours_the_skip_marker():
    page = "```python\na = 1\n```\n<!-- no-test -->\n```python\nraise SystemExit(1)\n```\n"
    found = [m.group(2) for m in BLOCK.finditer(page) if not m.group(1)]
    assert found == ["a = 1\n"]


@pytest.mark.parametrize("page", PAGES_WITH_CODE, ids=lambda p: str(p.relative_to(ROOT)))
def test_page_examples_run(page, tmp_path):
    script = "\n\n".join(runnable_blocks(page))
    (tmp_path / "example.py").write_text(script, encoding="utf-8")
    done = subprocess.run(
        [sys.executable, "example.py"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert done.returncode == 0, f"{page.name} examples failed:\n{done.stderr[-4000:]}"
