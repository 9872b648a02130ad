#!/usr/bin/env bash
# The whole test run on a fresh machine: set-up, Python tests under 3.8 (the 3.9 import refusal
# included), the same tests under AddressSanitizer/UBSan, the loopback SDK's C++ tests under
# ThreadSanitizer and AddressSanitizer/UBSan, the type checks (scripts/check_types.sh), the
# x86_64 wheels tested as installed, one of them built against an SDK directory laid out the way
# a vendor SDK is (scripts/wheel.sh), and the aarch64 cross-build with its C++ tests under qemu
# and its wheel (scripts/arm64.sh).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
source "$ROOT/scripts/stage.sh"
stage "Set-up (scripts/bootstrap.sh)"
"$ROOT/scripts/bootstrap.sh"

VENV="$ROOT/.venv"
export PATH="$VENV/bin:$PATH"
JOBS="${JOBS:-2}"
PYBIND11_DIR="$(python -m pybind11 --cmakedir)"
configure() {  # configure BUILD_DIR [cmake options...]
  local dir="$1"; shift
  cmake -S "$ROOT" -B "$dir" -G Ninja -DPython_EXECUTABLE="$VENV/bin/python" -Dpybind11_DIR="$PYBIND11_DIR" "$@" >/dev/null
}

stage "Python tests (installed package)"
(cd "$ROOT" && python -m pytest -q -p no:cacheprovider binding/tests ostrel/tests)
stage "Type checks"
PYTHON="$VENV/bin/python" bash "$ROOT/scripts/check_types.sh"

stage "C++ tests under ThreadSanitizer"
configure build/tsan -DOSTREL_BUILD_MODULE=OFF -DOSTREL_BUILD_TESTS=ON -DOSTREL_SANITIZE=thread
ninja -C build/tsan -j "$JOBS"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --test-dir build/tsan --no-tests=error --output-on-failure -j "$JOBS"

stage "C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
configure build/asan -DOSTREL_BUILD_TESTS=ON -DOSTREL_SANITIZE=address,undefined
ninja -C build/asan -j "$JOBS"
ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
  ctest --test-dir build/asan --no-tests=error --output-on-failure -j "$JOBS"

stage "Python tests under AddressSanitizer and UndefinedBehaviorSanitizer"
LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" PYTHONMALLOC=malloc \
  ASAN_OPTIONS="detect_leaks=0" UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
  PYTHONPATH="$ROOT/build/asan/python" python -m pytest -q -p no:cacheprovider binding/tests ostrel/tests

stage "An SDK directory laid out as a vendor's"
configure build/sdk -DOSTREL_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=Release
ninja -C build/sdk -j "$JOBS"
rm -rf build/sdk-install
cmake --install build/sdk --component sdk --prefix build/sdk-install >/dev/null

# The wheels: the loopback one, and one built from the source distribution against the SDK
# directory above, each installed into a fresh environment and tested there.
stage ""
bash "$ROOT/scripts/wheel.sh"
bash "$ROOT/scripts/arm64.sh"
