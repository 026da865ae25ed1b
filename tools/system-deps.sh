#!/usr/bin/env bash
# Makes sure the system packages the build needs are present: the zlib
# headers (engine log compression), and for rooms on a Janus media server
# (engine/net, part of every build) the Opus codec, libcurl and nlohmann-json
# (which the test library libcorvel_probe.so uses too); with --tests also
# GoogleTest for the engine's own tests; with --format also clang-format
# (tools/check-format.sh). The Janus server itself, needed only by the tests
# that start one, is tools/system-deps-janus.sh's.
# Installs them with apt-get when running as root; otherwise says what is
# missing.
#
#   tools/system-deps.sh                    # the build's
#   tools/system-deps.sh --tests --format   # and the checks'
#   tools/system-deps.sh --probe            # and the test library's (same as the build's)
set -eu
want_tests=0
want_format=0
for arg in "$@"; do
  case "$arg" in
    --tests) want_tests=1 ;;
    --probe) ;;  # nlohmann-json: the build needs it anyway
    --format) want_format=1 ;;
    *) echo "system-deps: unknown option $arg" >&2; exit 2 ;;
  esac
done

# A Debian package counts as present when dpkg has it installed.
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q '^install ok installed'; }

missing=()
[ -e /usr/include/zlib.h ] || missing+=(zlib1g-dev)
[ -e /usr/include/opus/opus.h ] || missing+=(libopus-dev)
# Either libcurl flavour serves; the OpenSSL one is the default choice.
if [ ! -e /usr/include/x86_64-linux-gnu/curl/curl.h ] && [ ! -e /usr/include/curl/curl.h ] \
   && ! have libcurl4-openssl-dev && ! have libcurl4-gnutls-dev; then
  missing+=(libcurl4-openssl-dev)
fi
# The build's and (--probe) the test library's.
[ -e /usr/include/nlohmann/json.hpp ] || missing+=(nlohmann-json3-dev)
if [ "$want_tests" = 1 ]; then
  [ -e /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
fi
if [ "$want_format" = 1 ]; then
  command -v clang-format >/dev/null 2>&1 || missing+=(clang-format)
fi
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
  echo "system-deps: installing ${missing[*]}" >&2
  # Another apt run may hold the lock for a while: wait for it, bounded.
  apt-get -o DPkg::Lock::Timeout=300 update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y -qq \
    --no-install-recommends "${missing[@]}" >/dev/null
else
  echo "system-deps: please install: ${missing[*]} (for example: sudo apt-get install ${missing[*]})" >&2
  exit 1
fi
