"""The typed stub of _corvel: it matches the built module, and the wheel ships it."""

from __future__ import annotations

import difflib
import os
import subprocess
import sys
from pathlib import Path

import pytest

import _corvel
import corvel

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "stubs" / "_corvel.pyi"


def normalised(text: str) -> list[str]:
    """Lines with runs of whitespace collapsed and blank lines dropped."""
    return [" ".join(line.split()) for line in text.splitlines() if line.strip()]


def test_stub_matches_a_fresh_generation_from_the_module(tmp_path: Path) -> None:
    try:
        import pybind11_stubgen  # noqa: F401
    except ImportError:
        if os.environ.get("CI"):
            pytest.fail("pybind11-stubgen is missing: pip install '.[test]'")
        pytest.skip("pybind11-stubgen is not installed")
    env = {**os.environ, "PYTHON": sys.executable,
           "PYTHONPATH": os.path.dirname(os.path.abspath(_corvel.__file__))}
    result = subprocess.run([str(ROOT / "tools" / "gen-stubs.sh"), str(tmp_path)],
                            capture_output=True, text=True, timeout=300, env=env)
    assert result.returncode == 0, result.stderr
    fresh = normalised((tmp_path / "_corvel.pyi").read_text())
    kept = normalised(STUB.read_text())
    diff = "\n".join(difflib.unified_diff(kept, fresh, "stubs/_corvel.pyi", "generated",
                                          lineterm="", n=1))
    assert fresh == kept, f"the stub is out of date; run tools/gen-stubs.sh\n{diff}"


def installed() -> bool:
    return "site-packages" in Path(corvel.__file__).parts


@pytest.mark.skipif(not installed(), reason="corvel runs from the source tree")
@pytest.mark.parametrize("shipped", ["_corvel.pyi", "_corvel-stubs/__init__.pyi"])
def test_wheel_ships_the_stub_beside_the_module(shipped: str) -> None:
    site = Path(_corvel.__file__).parent
    assert (site / shipped).read_text() == STUB.read_text()


@pytest.mark.skipif(not installed(), reason="corvel runs from the source tree")
def test_wheel_ships_the_typed_package() -> None:
    package = Path(corvel.__file__).parent
    assert package.parent == Path(_corvel.__file__).parent
    assert (package / "py.typed").exists()
    shipped = {p.name for p in package.glob("*.py")}
    assert shipped == {p.name for p in (ROOT / "corvel").glob("*.py")}
    assert not list(package.glob("*.cpp"))
