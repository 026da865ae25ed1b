#!/usr/bin/env bash
# Makes sure what the tests against a Janus media server need is present:
# the janus server (the tests start their own), and the build's packages for
# engine/net (also tools/system-deps.sh's: the Opus codec, libcurl and
# nlohmann-json headers), with --tests GoogleTest for its tests, and with
# --browser Chromium and iproute2 (the browser check, tools/browser_check.py,
# drives headless Chromium in a network namespace). Installs them with
# apt-get when running as root; otherwise says what is missing.
set -eu
want_tests=0
want_browser=0
for arg in "$@"; do
  case "$arg" in
    --tests) want_tests=1 ;;
    --browser) want_browser=1 ;;
    *) echo "system-deps-janus: unknown option $arg" >&2; exit 2 ;;
  esac
done

# A Debian package counts as present when dpkg has it installed.
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q '^install ok installed'; }

missing=()
command -v janus >/dev/null 2>&1 || have janus || missing+=(janus)
[ -e /usr/include/opus/opus.h ] || missing+=(libopus-dev)
# Either libcurl flavour serves; the OpenSSL one is the default choice.
if [ ! -e /usr/include/x86_64-linux-gnu/curl/curl.h ] && [ ! -e /usr/include/curl/curl.h ] \
   && ! have libcurl4-openssl-dev && ! have libcurl4-gnutls-dev; then
  missing+=(libcurl4-openssl-dev)
fi
[ -e /usr/include/nlohmann/json.hpp ] || missing+=(nlohmann-json3-dev)
if [ "$want_tests" = 1 ]; then
  [ -e /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
fi
if [ "$want_browser" = 1 ]; then
  command -v chromium >/dev/null 2>&1 || have chromium || missing+=(chromium)
  command -v ip >/dev/null 2>&1 || missing+=(iproute2)
fi
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
  echo "system-deps-janus: installing ${missing[*]}" >&2
  # Another apt run may hold the lock for a while: wait for it, bounded.
  apt-get -o DPkg::Lock::Timeout=300 update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y -qq \
    --no-install-recommends "${missing[@]}" >/dev/null
else
  echo "system-deps-janus: please install: ${missing[*]} (for example: sudo apt-get install ${missing[*]})" >&2
  exit 1
fi
