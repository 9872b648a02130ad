#!/usr/bin/env bash
# 64-bit Arm: cross-builds the package's wheel (loopback SDK and module, against this machine's
# CPython 3.8 headers) together with the loopback SDK's C++ tests, runs those tests under
# qemu-aarch64 (plain, AddressSanitizer+UBSan, ThreadSanitizer), checks the built binaries and
# repairs the wheel to its manylinux tag (scripts/repair_wheel.sh); the wheel lands in dist/.
# No aarch64 Python is here, so the module's binary is checked, not imported.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
"$ROOT/scripts/bootstrap.sh" arm64
export PATH="$ROOT/.venv/bin:$PATH"
export CMAKE_BUILD_PARALLEL_LEVEL="${JOBS:-2}"
TOOLCHAIN="$ROOT/cmake/aarch64-linux-gnu.cmake"
WORK="$ROOT/build/arm64-wheel"
UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1"
mkdir -p "$ROOT/dist"
source "$ROOT/scripts/stage.sh"
configure() {  # configure BUILD_DIR [cmake options...]: the loopback SDK and its tests only
  local dir="$1"; shift
  cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DOSTREL_BUILD_MODULE=OFF \
    -DOSTREL_BUILD_TESTS=ON "$@" >/dev/null
}

stage "aarch64: wheel and C++ tests, tests under qemu-aarch64"
# One build serves both: the wheel's build directory also holds the tests.
rm -rf "$WORK" && mkdir -p "$WORK"
env -u OSTREL_SDK_DIR _PYTHON_HOST_PLATFORM=linux-aarch64 \
  pip wheel -q --no-deps --no-build-isolation -w "$WORK/built" \
  -C build-dir=build/arm64 -C cmake.define.CMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
  -C cmake.define.OSTREL_BUILD_TESTS=ON -C cmake.define.OSTREL_BUILD_MODULE=ON . 2>&1 | { grep -v '^WARNING: Location' || true; }
ctest --test-dir build/arm64 --no-tests=error --output-on-failure -LE whole-suite -j "$CMAKE_BUILD_PARALLEL_LEVEL"

stage "aarch64: binaries and manylinux wheel"
wheel="$(bash scripts/repair_wheel.sh "$WORK"/built/*.whl "$WORK/repaired" aarch64)"
cp "$wheel" "$ROOT/dist/"
echo "$(basename "$wheel") ($(stat -c %s "$wheel") bytes)"

# Each emulated sanitizer process starts slowly, so these runs take the suite in a few shards.
# LeakSanitizer cannot work under the emulator (it needs to stop the threads, as a tracer does).
stage "aarch64: C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer (qemu-aarch64)"
configure build/arm64-asan -DOSTREL_SANITIZE=address,undefined
ninja --quiet -C build/arm64-asan -j "$CMAKE_BUILD_PARALLEL_LEVEL"
ASAN_OPTIONS="detect_leaks=0" UBSAN_OPTIONS="$UBSAN_OPTIONS" \
  ctest --test-dir build/arm64-asan --no-tests=error --output-on-failure -L whole-suite -j "$CMAKE_BUILD_PARALLEL_LEVEL"

# ThreadSanitizer re-executes a program to turn address randomisation off; under the emulator,
# with no binfmt handler, that exec fails ("execve failed, errno 8"), so setarch -R turns it off
# beforehand for the emulated processes.
# ThreadSanitizer finds races between threads, and the media building blocks' tests (H.264,
# Opus, resampler, I420, PCM streams: media_*_test.cpp, pcm_stream_test.cpp) run on one thread,
# as those classes start none, so this run leaves them out (about a minute of emulated work);
# they run here plain and under ASan/UBSan above, and under ThreadSanitizer natively.
stage "aarch64: C++ tests under ThreadSanitizer (qemu-aarch64, no address randomisation)"
configure build/arm64-tsan -DOSTREL_SANITIZE=thread
ninja --quiet -C build/arm64-tsan -j "$CMAKE_BUILD_PARALLEL_LEVEL"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" GTEST_FILTER="-MediaH264.*:MediaOpus.*:MediaResampler.*:MediaI420.*:PcmStream.*" \
  setarch -R ctest --test-dir build/arm64-tsan --no-tests=error --output-on-failure -L whole-suite -j "$CMAKE_BUILD_PARALLEL_LEVEL"
stage ""
