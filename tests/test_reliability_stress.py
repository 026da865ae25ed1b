"""The stress tool's watchdog: a run that hangs is reported with every stack
and fails, rather than hanging CI (tools/stress.py; CI runs the tool itself)."""

from __future__ import annotations

import os
import subprocess
import sys

import pytest

import _corvel

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


# The run and the grace the watchdog allows, in seconds: it waits them out.
@pytest.mark.parametrize("seconds, grace", [
    pytest.param(0.5, 0.5, id="short"),
    pytest.param(2, 3, id="longer", marks=pytest.mark.slow),
])
def test_a_hung_run_is_reported_with_its_stacks_and_fails(seconds, grace):
    env = dict(os.environ, CORVEL_STRESS_HANG="1", CORVEL_STRESS_NO_GDB="1")
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(os.path.abspath(_corvel.__file__))]
        + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    # A callback that never returns, waited for without limit: the run must
    # end by the watchdog seconds + grace in (plus the stack dumps).
    result = subprocess.run(
        [sys.executable, os.path.join(ROOT, "tools", "stress.py"), "--seconds", str(seconds),
         "--grace", str(grace), "--threads", "2"],
        capture_output=True, text=True, timeout=300, env=env)
    assert result.returncode == 1, result.stdout + result.stderr
    assert f"HANG: still running {grace} s after its {seconds} s" in result.stderr
    # Python stacks of every thread, the stuck callback among them.
    assert "in OnError" in result.stderr and "in worker" in result.stderr, result.stderr
