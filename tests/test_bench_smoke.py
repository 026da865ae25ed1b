"""Smoke run of the benchmark suite (bench/run.py --quick).

Only that every section runs to the end and reports every figure; no time is
checked. Skipped when no C++ compiler is there for the native baselines.
"""

import json
import os
import shutil
import subprocess
import sys

import pytest

import _corvel

# A build of the native baselines and every section: the slow tier.
pytestmark = pytest.mark.slow

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODULE_DIR = os.path.dirname(os.path.abspath(_corvel.__file__))


@pytest.mark.skipif(shutil.which(os.environ.get("CXX", "c++")) is None, reason="no C++ compiler")
def test_quick_benchmark_run_reports_every_section(tmp_path):
    out = tmp_path / "results"
    proc = subprocess.run(
        [sys.executable, os.path.join(ROOT, "bench", "run.py"), "--quick",
         "--module-dir", MODULE_DIR, "--out", str(out)],
        capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    results = json.loads((out / "results.json").read_text())
    sections = results["sections"]
    assert set(sections) == {"callbacks", "calls", "payload", "payload_tuned", "e2e",
                             "e2e_pinned", "janus", "browser"}
    for name, section in sections.items():
        assert "error" not in section, (name, section)
    assert len(sections["callbacks"]["rows"]) == 6
    assert all(r["dropped"] == 0 for r in sections["callbacks"]["rows"])
    assert len(sections["calls"]["rows"]) == 5
    ages = sections["calls"]["young_old"]
    assert [a["in_room"] for a in ages] == [True, False]
    assert all(a["young_ns"] > 0 and a["old_ns"] > 0 and a["ratio"] > 0 for a in ages)
    try:
        import pybind11  # noqa: F401  (the pybind11 floor is measured when its headers are there)
    except ImportError:
        pass
    else:
        assert all(r["pybind11_ns"] is not None for r in sections["calls"]["rows"])
    assert len(sections["payload"]["rows"]) == 5
    e2e = sections["e2e"]
    if "skipped" not in e2e:
        assert [r["main"] for r in e2e["latency"]] == [
            "idle", "busy", "binding sends, C++ delegate receives", "native baseline"]
        assert [s["parties"] for s in e2e["scale"]] == [2, 2, 8, 8, 32, 32]
        pinned = sections["e2e_pinned"]
        assert len(pinned["cpus"]) == 1
        assert [s["parties"] for s in pinned["scale"]] == [32, 32]
    if "skipped" not in sections["janus"]:
        assert [r["parties"] for r in sections["janus"]["rows"]] == [2, 8]
    if "skipped" not in sections["browser"]:
        assert [r["problems"] for r in sections["browser"]["rows"]] == [[]]
    markdown = (out / "results.md").read_text()
    for title in ("Headline", "Callback delivery", "Calls into the engine", "Payload transfer"):
        assert title in markdown
