#!/usr/bin/env bash
# The test command: installs what is missing, builds everything with
# AddressSanitizer and UndefinedBehaviorSanitizer, starts the local services
# the integration tests need (each scripts/services/*.sh), runs every test,
# and stops the services again, also when something fails.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

bash scripts/bootstrap.sh

BUILD=${KESTO_TEST_BUILD:-build-test}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTO_SANITIZE=ON -DKESTO_TESTS=ON >/dev/null
cmake --build "$BUILD" -j "$(nproc)"

STATE=$(mktemp -d /tmp/kesto-services.XXXXXX)
. scripts/lib/services.sh
trap 'stop_services "$STATE"; rm -rf "$STATE"' EXIT
# Every service the tests need; each prints the variables the tests read.
start_services "$STATE" scripts/services/*.sh

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# The shared corpus lies beside the repository, or beside the folder of its
# worktrees.
if [ -z "${KESTO_CORPUS:-}" ]; then
  KESTO_CORPUS=$ROOT/../shared/corpus
  [ -d "$KESTO_CORPUS" ] || [ ! -d "$ROOT/../../shared/corpus" ] || KESTO_CORPUS=$ROOT/../../shared/corpus
fi
export KESTO_CORPUS

# A short fuzz run, so that a fuzz target that no longer builds, or an input
# the seeds already reach that crashes, fails the tests too. It builds and
# runs on one core beside the tests, most of which wait on the services.
FUZZ_LOG=$STATE/fuzz.log
KESTO_CORPUS=$KESTO_CORPUS BUILD=${KESTO_FUZZ_BUILD:-build-fuzz} CMAKE_BUILD_PARALLEL_LEVEL=1 \
  bash fuzz/run.sh "${KESTO_FUZZ_SECONDS:-30}" >"$FUZZ_LOG" 2>&1 &
FUZZ_PID=$!
trap 'kill "$FUZZ_PID" 2>/dev/null || true; stop_services "$STATE"; rm -rf "$STATE"' EXIT

set +e
ctest --test-dir "$BUILD" --output-on-failure -j "$(nproc)" --timeout 600
TESTS_RC=$?
# The web page in Chromium against `kesto serve` (services of its own).
bash tests/web/run.sh "$BUILD/kesto" "$BUILD/web-test"
WEB_RC=$?
wait "$FUZZ_PID"
FUZZ_RC=$?
set -e
[ "$WEB_RC" -eq 0 ] && echo "web: passed (screenshots in $BUILD/web-test)" || echo "web: FAILED (exit $WEB_RC)" >&2
if [ "$FUZZ_RC" -eq 0 ]; then
  grep -E '^fuzz: ' "$FUZZ_LOG" || true
  echo "fuzz: passed"
else
  cat "$FUZZ_LOG"
  echo "fuzz: FAILED (exit $FUZZ_RC)" >&2
fi
[ "$TESTS_RC" -eq 0 ] && [ "$WEB_RC" -eq 0 ] && [ "$FUZZ_RC" -eq 0 ]
