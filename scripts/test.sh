#!/usr/bin/env bash
# The whole test run on a fresh machine: set-up and the formatting check, then four lanes side by side, each printed
# when it ends (its stages' start and end lines also as they happen, marked with the lane):
#   tsan     the C++ tests (the loopback SDK's and the binding's) under ThreadSanitizer
#   asan     the C++ tests under AddressSanitizer/UBSan, then the Python tests against that build
#   wheels   the type checks (scripts/check_types.sh), and the x86_64 wheels tested as installed:
#            the loopback one with the Python tests (3.8, the 3.9 import refusal included), and
#            one built from the source distribution against an SDK directory laid out the way a
#            vendor SDK is (scripts/wheel.sh)
#   arm64    the aarch64 cross-build with its C++ tests under qemu, plain, under ASan/UBSan and
#            under ThreadSanitizer, and its wheel (scripts/arm64.sh)
# The lanes share the two processors: much of each lane's time is spent waiting (emulated and
# sanitized test processes that sleep, Python tests that wait for their subprograms), and
# another lane's build fills it. Every lane runs to its end; the run fails if one failed.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
source "$ROOT/scripts/stage.sh"
LOGS="$ROOT/build/test-logs"
rm -rf "$LOGS" && mkdir -p "$LOGS"
{
  stage "Set-up (scripts/bootstrap.sh)"
  "$ROOT/scripts/bootstrap.sh" tests cxx-tests wheels arm64
  stage "Formatting and lint (scripts/check_format.sh)"
  bash "$ROOT/scripts/check_format.sh"
  stage ""
} 2>&1 | tee "$LOGS/setup.log"

VENV="$ROOT/.venv"
export PATH="$VENV/bin:$PATH"
export JOBS="${JOBS:-2}"
PYBIND11_DIR="$(python -m pybind11 --cmakedir)"
configure() {  # configure BUILD_DIR [cmake options...]
  local dir="$1"; shift
  cmake -S "$ROOT" -B "$dir" -G Ninja -DPython_EXECUTABLE="$VENV/bin/python" -Dpybind11_DIR="$PYBIND11_DIR" "$@" >/dev/null
}

tsan() {
  stage "C++ tests under ThreadSanitizer"
  configure build/tsan -DOSTREL_BUILD_MODULE=OFF -DOSTREL_BUILD_TESTS=ON -DOSTREL_SANITIZE=thread
  ninja -C build/tsan -j "$JOBS"
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --test-dir build/tsan --no-tests=error --output-on-failure -j "$JOBS"
  stage ""
}

asan() {
  stage "C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
  configure build/asan -DOSTREL_BUILD_TESTS=ON -DOSTREL_SANITIZE=address,undefined
  ninja -C build/asan -j "$JOBS"
  ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
    ctest --test-dir build/asan --no-tests=error --output-on-failure -j "$JOBS"

  stage "Python tests under AddressSanitizer and UndefinedBehaviorSanitizer"
  LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0" UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
    PYTHONPATH="$ROOT/build/asan/python" python -m pytest -q -p no:cacheprovider binding/tests ostrel/tests
  stage ""
}

wheels() {
  stage "Type checks"
  PYTHON="$VENV/bin/python" bash "$ROOT/scripts/check_types.sh"
  stage ""
  bash "$ROOT/scripts/wheel.sh"
}

# Each lane is a job of its own (a process group, ended with the run), its output in a log.
exec 3>&1
declare -A lane_name=()
lane() {  # lane NAME COMMAND...
  set -m
  ( STAGE=""; export STAGE_LANE="$1"; shift; "$@" ) >"$LOGS/$1.log" 2>&1 </dev/null &
  set +m
  lane_name[$!]="$1"
  echo "[$1] started (log: build/test-logs/$1.log)"
}
end_lanes() {
  local pid
  for pid in "${!lane_name[@]}"; do kill -TERM -- "-$pid" 2>/dev/null || true; done
}
trap end_lanes EXIT

lane tsan tsan
lane asan asan
lane wheels wheels
lane arm64 bash "$ROOT/scripts/arm64.sh"

failed=()
while ((${#lane_name[@]})); do
  status=0
  wait -n -p done "${!lane_name[@]}" || status=$?
  name="${lane_name[$done]}"
  unset "lane_name[$done]"
  echo
  echo "======== lane $name: $( ((status == 0)) && echo passed || echo "FAILED (exit status $status)"); its log:"
  cat "$LOGS/$name.log"
  ((status == 0)) || failed+=("$name")
done

echo
echo "======== stage times (wall, and processor time)"
grep -h '^-- ' "$LOGS/setup.log" "$LOGS/tsan.log" "$LOGS/asan.log" "$LOGS/wheels.log" "$LOGS/arm64.log"
read -r -a self </proc/$$/stat
echo "-- whole run: $SECONDS s (CPU $(((self[13] + self[14] + self[15] + self[16]) / $(getconf CLK_TCK))) s)"
if ((${#failed[@]})); then
  echo "test.sh: FAILED lanes: ${failed[*]}" >&2
  exit 1
fi
echo "test.sh: all lanes passed"
