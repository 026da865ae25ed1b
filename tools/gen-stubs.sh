#!/usr/bin/env bash
# Generates the typed stub of the extension module, _corvel.pyi, from the
# built module with pybind11-stubgen; tools/fix-stubs.py then turns the C++
# type names the signatures carry into Python names and describes the
# delegate's callbacks as an override receives them.
#
#   tools/gen-stubs.sh [OUTPUT_DIR]      default OUTPUT_DIR: stubs/
#
# The module is imported from PYTHONPATH (default: build/dev/lib, the tree
# `make dev` builds); PYTHON picks the interpreter (default: .venv/bin/python).
# tests/test_py_stubs.py runs this into a temporary folder and fails when the
# result differs from stubs/_corvel.pyi: rerun it after changing the module.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/stubs}
python=${PYTHON:-$root/.venv/bin/python}
export PYTHONPATH=${PYTHONPATH:-$root/build/dev/lib}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! "$python" -m pybind11_stubgen --print-invalid-expressions-as-is -o "$work" _corvel \
    >"$work/log" 2>&1; then
  cat "$work/log" >&2
  exit 1
fi

mkdir -p "$out"
"$python" "$root/tools/fix-stubs.py" "$work/_corvel.pyi" "$out/_corvel.pyi"
echo "wrote $out/_corvel.pyi"
