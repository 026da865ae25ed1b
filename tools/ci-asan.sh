#!/usr/bin/env bash
# The engine and the module built with AddressSanitizer and
# UndefinedBehaviorSanitizer, installed into build/asan/site-packages (the same
# layout as a wheel install), and the pytest suite run against that build with
# the sanitizer runtime preloaded into the interpreter.
#
#   tools/ci-asan.sh                  # build + the default tier, then the slow Janus cases
#   tools/ci-asan.sh -k reliability   # extra arguments go to pytest
#
# Needs the project venv (.venv, made by `make install`/`make test`) or
# PYTHON=/path/to/python3.12 with pytest, hypothesis and numpy installed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-$root/.venv/bin/python}
build=$root/build/asan
site=$build/site-packages
cd "$root"

tools/system-deps.sh --probe

# A wheel build in build/asan (incremental on later runs), unpacked into
# $site: the module, the engine beside it, the corvel package and the stubs.
# -O1 -g1 (line tables only) keeps the reports exact and the build about half
# as long as -O2 -g.
rm -rf "$site"
"$python" -m pip --disable-pip-version-check -q install --no-deps --upgrade --target "$site" \
  -C build-dir="$build/wheel" \
  -C cmake.build-type=RelWithDebInfo \
  -C cmake.define.CORVEL_SANITIZE=address,undefined \
  -C cmake.define.CORVEL_PROBE=ON \
  -C cmake.define.CMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" \
  -C cmake.define.CMAKE_CXX_FLAGS="-fno-sanitize-recover=undefined" \
  .

libasan=$(g++ -print-file-name=libasan.so)
libstdcxx=$(g++ -print-file-name=libstdc++.so)
[ -e "$libasan" ] || { echo "ci-asan: libasan.so not found (gcc -print-file-name)" >&2; exit 1; }

# LD_PRELOAD: the ASan runtime must be the first library in the process (the
# interpreter is not built with it), and libstdc++ must be there when it
# starts: it intercepts __cxa_throw, and finds nothing to forward to when the
# C++ runtime only arrives later with the module (the first C++ exception then
# aborts the process).
# detect_leaks=0: CPython keeps many allocations alive until the process ends
# (interned strings, static types, module state) and LeakSanitizer would
# report each; leaks are measured by tests/test_reliability_leaks.py and by
# valgrind instead (see the README).
# PYTHONMALLOC=malloc: Python objects come from malloc, so ASan sees
# overruns of bytes objects and frees of live objects too.
# UBSAN halt_on_error: undefined behaviour fails the run instead of printing.
export LD_PRELOAD="$libasan:$libstdcxx${LD_PRELOAD:+:$LD_PRELOAD}"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_invalid_pointer_pairs=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export PYTHONMALLOC=malloc
export PYTHONPATH="$site"
# The tests' inspection library, built with the wheel (sanitized too) and
# left out of it.
export CORVEL_PROBE_LIBRARY="$build/wheel/lib/libcorvel_probe.so"
export CORVEL_SANITIZED=address
# Every fuzzed callable still runs, with fewer examples: an interpreter under
# ASan starts and generates values several times slower.
export CORVEL_FUZZ_EXAMPLES=${CORVEL_FUZZ_EXAMPLES:-4}

cd tests
# The default tier: the slow one holds the engine-swap rebuild (a second,
# unsanitized engine built from scratch to check packaging), the benchmark
# smoke run (timings), the full leak counts (resident memory means nothing
# under ASan) and the long fuzzing and exit matrices.
"$python" -m pytest -x -q -p no:cacheprovider -m "not slow" "$@"
# With no arguments, the Janus rooms' slow cases too (reconnection, video,
# Opus both ways): the engine's network threads run there, and a use after
# free in its reconnection was found this way.
if [ $# -eq 0 ]; then
  "$python" -m pytest -x -q -p no:cacheprovider -m slow test_janus_rooms.py
fi
