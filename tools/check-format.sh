#!/usr/bin/env bash
# Checks every C++ file of the project against .clang-format, or rewrites
# them with --fix (make format). The files: corvel/*.cpp, engine/**/*.{h,cpp},
# include/**/*.h and bench/*.cpp.
#
#   tools/check-format.sh          # lists what differs, fails when anything does
#   tools/check-format.sh --fix    # formats the files in place
#
# Needs clang-format (tools/system-deps.sh --format installs it; CLANG_FORMAT
# names another binary).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
clang_format=${CLANG_FORMAT:-clang-format}
command -v "$clang_format" >/dev/null 2>&1 || {
  echo "check-format: $clang_format not found (tools/system-deps.sh --format installs it)" >&2
  exit 2
}

files=()
while IFS= read -r -d '' file; do files+=("$file"); done < <(
  find corvel bench -maxdepth 1 -name '*.cpp' -print0
  find engine \( -name '*.h' -o -name '*.cpp' \) -print0
  find include -name '*.h' -print0)
[ ${#files[@]} -gt 0 ] || { echo "check-format: no C++ files found" >&2; exit 2; }
mapfile -d '' -t files < <(printf '%s\0' "${files[@]}" | sort -z)

if [ "${1:-}" = "--fix" ]; then
  "$clang_format" -i --style=file "${files[@]}"
  echo "check-format: formatted ${#files[@]} files"
  exit 0
fi

bad=()
for file in "${files[@]}"; do
  "$clang_format" --style=file --dry-run --Werror "$file" >/dev/null 2>&1 || bad+=("$file")
done
if [ ${#bad[@]} -gt 0 ]; then
  echo "check-format: ${#bad[@]} of ${#files[@]} files differ from .clang-format (make format rewrites them):"
  printf '  %s\n' "${bad[@]}"
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
