"""What the shipped engine library exports: the engine's interface and nothing
the tests need from inside it.

libcorvel.so exports the public classes of include/ (corvel::vora,
corvel::live), three status functions the Python package reads, the two
delivery functions the module looks up weakly (engine/corvel_delivery.h), and
the one hook (engine/corvel_hook.h); everything used only by tests (inspection,
operation records, JSON, callback injection) lives in libcorvel_probe.so.
"""

import os
import re
import shutil
import subprocess

import pytest

import engine_probe

ENGINE_C_FUNCTIONS = {
    "corvel_engine_version",
    "corvel_last_refusal",
    "corvel_dropped_callbacks",
    "corvel_engine_hook",
    "corvel_delivery_listen",
    "corvel_delivery_thread",
}

pytestmark = pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm (binutils)")


def _symbols(path: str, demangle: bool = False) -> list[tuple[str, str]]:
    """(type letter, name) of every dynamic symbol the library defines."""
    args = ["nm", "-D", "--defined-only"] + (["-C"] if demangle else []) + [path]
    out = subprocess.run(args, check=True, capture_output=True, text=True).stdout
    symbols = []
    for line in out.splitlines():
        parts = line.split(maxsplit=2)
        if len(parts) == 3:
            symbols.append((parts[1], parts[2]))
    return symbols


@pytest.fixture(scope="module")
def engine_library() -> str:
    return engine_probe.library_path()


def test_the_engine_exports_exactly_its_c_functions(engine_library):
    c_names = {name for _, name in _symbols(engine_library) if not name.startswith("_Z")}
    assert c_names == ENGINE_C_FUNCTIONS


def test_the_engine_exports_no_internal_class_or_function(engine_library):
    # Weak instantiations of std templates over engine types (a thread's
    # state object) come with std's default visibility; anything defined in
    # the engine itself is either public interface or hidden.
    owned = re.compile(r"^(?:(?:vtable|typeinfo|typeinfo name|VTT) for )?corvel::(\w+)::")
    namespaces = set()
    for _, name in _symbols(engine_library, demangle=True):
        match = owned.match(name)
        if match:
            namespaces.add(match.group(1))
    assert namespaces <= {"vora", "live"}
    assert "vora" in namespaces and "live" in namespaces


def test_the_engine_carries_no_test_instrumentation(engine_library):
    leaked = [name for _, name in _symbols(engine_library, demangle=True)
              if re.search(r"inspect|json|record|fnv|hex|inject", name, re.IGNORECASE)
              and not name.startswith("std::")]
    assert leaked == []


def test_the_inspection_interface_lives_in_the_probe_library(engine_library):
    probe = engine_probe.probe_library_path()
    assert os.path.realpath(probe) != os.path.realpath(engine_library)
    exported = {name for _, name in _symbols(probe) if name.startswith("corvel_inspect_")}
    used = {name for name in dir(engine_probe.library()) if name.startswith("corvel_inspect_")}
    # Every function the tests bind is exported by the probe, none by the engine.
    assert used and used <= exported
    engine_names = {name for _, name in _symbols(engine_library)}
    assert not exported & engine_names
    # The probe hooks into the engine rather than carrying one of its own.
    assert "corvel_engine_hook" not in {name for _, name in _symbols(probe)}
