"""Every Python snippet of README.md and docs/*.md runs as written.

Each ```python block runs in its own interpreter, in a fresh temporary folder
(which is also TMPDIR), and must end by itself within LIMIT seconds with exit
status 0 and no error on standard error. The engine's log is copied to
standard error while it runs, so a callback that fails on an engine thread -
which changes no exit status - fails the snippet too.

A block that is a fragment on purpose (an ``except`` clause, a signature) is
preceded by the line ``<!-- fragment -->``, which renders as nothing, and is
not run.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
import textwrap
from collections.abc import Iterator
from pathlib import Path

import pytest

import _corvel
import corvel

ROOT = Path(__file__).resolve().parent.parent
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FRAGMENT = "<!-- fragment -->"
LIMIT = 15.0  # seconds; snippets are written to end within a few
FENCE = re.compile(r"^(?P<indent>\s*)```(?P<info>.*)$")
TROUBLE = re.compile(r"Traceback|Exception ignored|\w+Warning:| ERROR | FATAL ")

# Copies the engine log to standard error, then runs the snippet as a script.
RUNNER = ("import runpy, _corvel; _corvel.EnableConsoleLog(); "
          "runpy.run_path('snippet.py', run_name='__main__')")


def python_blocks(path: Path) -> Iterator[tuple[int, str, bool]]:
    """(line of the opening fence, code, is a fragment) for each python block."""
    lines = path.read_text(encoding="utf-8").splitlines()
    index = 0
    while index < len(lines):
        opening = FENCE.match(lines[index])
        if not opening:
            index += 1
            continue
        end = index + 1
        while end < len(lines) and lines[end].strip() != "```":
            end += 1
        if opening["info"].strip() == "python":
            fragment = index > 0 and lines[index - 1].strip() == FRAGMENT
            code = textwrap.dedent("\n".join(lines[index + 1:end]))
            yield index + 1, code, fragment
        index = end + 1


def snippets() -> Iterator[object]:
    for path in DOCUMENTS:
        for line, code, fragment in python_blocks(path):
            if not fragment:
                yield pytest.param(code, id=f"{path.relative_to(ROOT)}:{line}")


@pytest.mark.parametrize("code", list(snippets()))
def test_snippet_runs_as_written(code: str, tmp_path: Path) -> None:
    (tmp_path / "snippet.py").write_text(code, encoding="utf-8")
    package_dirs = {os.path.dirname(os.path.dirname(os.path.abspath(corvel.__file__))),
                    os.path.dirname(os.path.abspath(_corvel.__file__))}
    env = {**os.environ, "TMPDIR": str(tmp_path),
           "PYTHONPATH": os.pathsep.join(sorted(package_dirs))}
    try:
        child = subprocess.run([sys.executable, "-X", "dev", "-c", RUNNER], cwd=tmp_path,
                               env=env, capture_output=True, text=True, timeout=LIMIT)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the snippet did not end within {LIMIT:.0f} s:\n{code}")
    if child.returncode != 0 or TROUBLE.search(child.stderr):
        pytest.fail(f"exit status {child.returncode}\n--- stdout:\n{child.stdout}"
                    f"--- stderr:\n{child.stderr}--- snippet:\n{code}", pytrace=False)


def test_fragments_are_marked_only_before_python_blocks() -> None:
    """A marker elsewhere would silently keep nothing out - or the wrong block."""
    for path in DOCUMENTS:
        lines = path.read_text(encoding="utf-8").splitlines()
        for index, line in enumerate(lines[:-1]):
            if line.strip() == FRAGMENT:
                assert lines[index + 1].strip() == "```python", f"{path.name}:{index + 1}"
