#!/usr/bin/env bash
# Makes sure the system packages the build needs are present: the zlib
# headers (engine log compression); with --tests also GoogleTest for the
# engine's own tests and nlohmann-json for the test library libcorvel_probe.so
# (--probe: nlohmann-json alone); with --format also clang-format (tools/check-format.sh).
# Installs them with apt-get when running as root; otherwise says what is
# missing.
#
#   tools/system-deps.sh                    # the build's
#   tools/system-deps.sh --tests --format   # and the checks'
#   tools/system-deps.sh --probe            # and the test library's
set -eu
want_tests=0
want_probe=0
want_format=0
for arg in "$@"; do
  case "$arg" in
    --tests) want_tests=1; want_probe=1 ;;
    --probe) want_probe=1 ;;
    --format) want_format=1 ;;
    *) echo "system-deps: unknown option $arg" >&2; exit 2 ;;
  esac
done

missing=()
[ -e /usr/include/zlib.h ] || missing+=(zlib1g-dev)
if [ "$want_tests" = 1 ]; then
  [ -e /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
fi
if [ "$want_probe" = 1 ]; then
  [ -e /usr/include/nlohmann/json.hpp ] || missing+=(nlohmann-json3-dev)
fi
if [ "$want_format" = 1 ]; then
  command -v clang-format >/dev/null 2>&1 || missing+=(clang-format)
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
