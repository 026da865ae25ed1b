"""Replacing the engine: a second build of libcorvel.so, placed where the module
looks first, is the one the module loads and uses.

The module records its search path as DT_RPATH ``$ORIGIN:$ORIGIN/../corvel.libs``:
the folder of the module file first, then ``corvel.libs`` beside that folder,
both ahead of LD_LIBRARY_PATH. The test builds the engine a second time from
engine/ (the same sources and headers a production engine is built against),
copies the module next to it in a fresh folder, and runs a short call in a
new interpreter with LD_LIBRARY_PATH pointing at the first build.
"""

from __future__ import annotations

import ctypes
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import _corvel
from corvel._info import VERSION_SYMBOL, engine_version, loaded_engine_path

# A second build of the engine from scratch: the slow tier.
pytestmark = pytest.mark.slow

ROOT = Path(__file__).resolve().parent.parent
PACKAGE_PARENT = Path(__import__("corvel").__file__).resolve().parent.parent

CALL = textwrap.dedent("""
    import asyncio, sys
    sys.path.insert(0, sys.argv[1])
    sys.path.insert(1, sys.argv[2])
    import _corvel
    import corvel
    from corvel import aio, audio
    from corvel._info import VERSION_SYMBOL, engine_version, loaded_engine_path

    async def call():
        async with aio.Room(corvel.room_params(730001, "swap"), timeout=10) as room:
            await room.create_audio_channel(sample_rate=16000)
            room.send_audio(audio.make_frame(bytes(640), sample_rate=16000))

    asyncio.run(call())
    print("module", _corvel.__file__)
    print("engine", loaded_engine_path())
    print("version", corvel.engine_info().engine_version)
""")


MARKER = "second-build-for-the-swap-test"


def exports_version(library: str) -> bool:
    return hasattr(ctypes.CDLL(library), VERSION_SYMBOL)


@pytest.fixture(scope="module")
def second_engine(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, str]:
    """libcorvel.so built again from engine/, in a build folder of its own, and
    the version it reports. When the engine does not export a version, the
    build gets one linked in, so that the library in use can be told apart."""
    cmake, compiler = shutil.which("cmake"), shutil.which("cc") or shutil.which("gcc")
    if cmake is None or compiler is None:
        pytest.skip("cmake or a C compiler is not available")
    build = tmp_path_factory.mktemp("engine-build")
    extra = []
    first = loaded_engine_path()
    assert first is not None
    if not exports_version(first):
        marker = build / "version_marker.c"
        marker.write_text('__attribute__((visibility("default"))) const char* '
                          f'{VERSION_SYMBOL}(void) {{ return "{MARKER}"; }}\n')
        subprocess.run([compiler, "-fPIC", "-c", str(marker), "-o", str(build / "marker.o")],
                       check=True, timeout=120)
        extra = [f"-DCMAKE_SHARED_LINKER_FLAGS={build / 'marker.o'}"]
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    for command in ([cmake, "-S", str(ROOT / "engine"), "-B", str(build / "out"), *generator,
                     "-DCMAKE_BUILD_TYPE=Release", *extra],
                    [cmake, "--build", str(build / "out"), "-j2"]):
        result = subprocess.run(command, capture_output=True, text=True, timeout=900)
        assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    built = list((build / "out").rglob("libcorvel.so"))
    assert len(built) == 1
    # Built from the same sources, an engine with its own version reports the
    # version of the first build.
    return built[0], MARKER if extra else engine_version(first)


def run_call(module_dir: Path, library_path: Path) -> dict[str, str]:
    env = {**os.environ, "LD_LIBRARY_PATH": str(library_path)}
    env.pop("PYTHONPATH", None)
    result = subprocess.run(
        [sys.executable, "-c", CALL, str(module_dir), str(PACKAGE_PARENT)],
        capture_output=True, text=True, timeout=120, env=env)
    assert result.returncode == 0, result.stdout + result.stderr
    return dict(line.split(" ", 1) for line in result.stdout.splitlines())


@pytest.mark.parametrize("layout", ["beside-the-module", "corvel.libs"])
def test_module_loads_and_uses_the_engine_placed_first_on_its_path(
        tmp_path: Path, second_engine: tuple[Path, str], layout: str) -> None:
    library, version = second_engine
    module_dir = tmp_path / "site"
    module_dir.mkdir()
    module = module_dir / Path(_corvel.__file__).name
    shutil.copy(_corvel.__file__, module)
    engine_dir = module_dir if layout == "beside-the-module" else tmp_path / "corvel.libs"
    engine_dir.mkdir(exist_ok=True)
    shutil.copy(library, engine_dir / "libcorvel.so")

    first_engine = loaded_engine_path()
    assert first_engine is not None
    seen = run_call(module_dir, Path(first_engine).parent)

    assert Path(seen["module"]).resolve() == module.resolve()
    assert Path(seen["engine"]).resolve() == (engine_dir / "libcorvel.so").resolve()
    assert seen["version"] == version  # what python -m corvel prints as the engine version
