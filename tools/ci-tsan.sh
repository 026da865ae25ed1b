#!/usr/bin/env bash
# The engine's tests (engine/tests/*_gtest.cpp, GoogleTest) built with
# ThreadSanitizer, engine library included, in build/tsan. Any data race,
# lock-order inversion or use of a destroyed mutex fails the run.
#
#   tools/ci-tsan.sh            # configure, build, run
#   GTEST_FILTER='Rooms.*' tools/ci-tsan.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVEL_TSAN_BUILD:-$root/build/tsan}
cd "$root"

tools/system-deps.sh --tests

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
flags="-fsanitize=thread -fno-omit-frame-pointer"
cmake -S engine -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVEL_ENGINE_TESTS=ON \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build "$build" -j2

# halt_on_error: the first report fails the test program; second_deadlock_stack
# shows both stacks of a lock-order inversion.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 history_size=4 ${TSAN_OPTIONS:-}"
status=0
for test in "$build"/*_gtest; do
  # The DSP code runs on one thread: ThreadSanitizer has nothing to find
  # there, and slows its long signal checks tenfold.
  [ "$(basename "$test")" = audio_dsp_gtest ] && continue
  echo "== $(basename "$test") (ThreadSanitizer)"
  # A watchdog, not a time limit on the tests: a hang is a failure.
  timeout --signal=ABRT 600 "$test" --gtest_brief=1 --gtest_shuffle --gtest_repeat=${CORVEL_TSAN_REPEAT:-5} || status=$?
  [ "$status" = 0 ] || break
done
exit "$status"
