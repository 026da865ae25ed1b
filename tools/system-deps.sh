#!/usr/bin/env bash
# Makes sure the system libraries the build needs are present: the zlib
# headers (engine log compression) and, with --tests, GoogleTest for the
# engine's own tests. Installs them with apt-get when running as root;
# otherwise says what is missing.
set -eu
want_tests=0
[ "${1:-}" = "--tests" ] && want_tests=1

missing=()
[ -e /usr/include/zlib.h ] || missing+=(zlib1g-dev)
if [ "$want_tests" = 1 ]; then
  [ -e /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
fi
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
  echo "system-deps: installing ${missing[*]}" >&2
  apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
else
  echo "system-deps: please install: ${missing[*]} (for example: sudo apt-get install ${missing[*]})" >&2
  exit 1
fi
