#!/usr/bin/env bash
# Prints the path of a CPython 3.12 interpreter, looked for in this order:
#   1. $CORVEL_PYTHON (or $PYTHON), when set;
#   2. python3.12 on the PATH, when it runs;
#   3. a 3.12 installed by pyenv (not on the default PATH on every machine).
# Exits non-zero with a message when none is found.
set -u

is_312() {
  "$1" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 12) else 1)' >/dev/null 2>&1
}

for candidate in "${CORVEL_PYTHON:-}" "${PYTHON:-}"; do
  if [ -n "$candidate" ]; then
    if is_312 "$candidate"; then echo "$candidate"; exit 0; fi
    echo "find-python: '$candidate' is not a working Python 3.12" >&2
    exit 1
  fi
done

if command -v python3.12 >/dev/null 2>&1 && is_312 python3.12; then
  command -v python3.12
  exit 0
fi

pyenv_root="${PYENV_ROOT:-}"
if [ -z "$pyenv_root" ] && command -v pyenv >/dev/null 2>&1; then pyenv_root=$(pyenv root); fi
[ -n "$pyenv_root" ] || pyenv_root="$HOME/.pyenv"
for candidate in $(ls -d "$pyenv_root"/versions/3.12.*/bin/python3.12 2>/dev/null | sort -V -r); do
  if is_312 "$candidate"; then echo "$candidate"; exit 0; fi
done

echo "find-python: no Python 3.12 found. Install CPython 3.12 or point CORVEL_PYTHON at one," >&2
echo "             for example: make test CORVEL_PYTHON=/usr/bin/python3.12" >&2
exit 1
