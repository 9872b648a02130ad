#!/usr/bin/env bash
# Prepares this machine for the jobs named, installing only what they need and only what is
# missing: with everything present it prints nothing and runs neither apt-get nor pip.
#
#   scripts/bootstrap.sh [SET...]     (no set: demo)
#
#   demo       the compiler, pkg-config and the media libraries; a Python 3.8 virtual environment
#              in .venv with the build tools (requirements-build.txt); the package (module,
#              loopback SDK, ostrel_loopback) built and installed into it
#   tests      demo, with the test, type-check and lint tools (requirements-dev.txt), nodejs, which
#              pyright runs on, and clang-format
#   cxx-tests  GoogleTest, for the C++ tests, and the build tools
#   wheels     patchelf and the wheel tools (requirements-dev.txt), for scripts/wheel.sh
#   arm64      the aarch64 cross compiler, qemu-user and the arm64 copies of the libraries, with
#              the wheel tools, for scripts/arm64.sh
#   bench      Google Benchmark and the profiler (requirements-dev.txt), for bench/
#
# The package is installed again when one of its sources is newer than the last install, the
# requirements again when their files change. Safe to run again; later runs only rebuild what
# changed.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

MEDIA=(g++ pkg-config zlib1g-dev libspeexdsp-dev libopus-dev libopenh264-dev libyuv-dev)
packages=() requirements=build install=""
(($#)) || set -- demo
for set in "$@"; do
  case "$set" in
    demo) packages+=("${MEDIA[@]}") install=1 ;;
    tests) packages+=("${MEDIA[@]}" nodejs clang-format) requirements=dev install=1 ;;
    cxx-tests) packages+=("${MEDIA[@]}" libgtest-dev) ;;
    wheels) packages+=("${MEDIA[@]}" patchelf) requirements=dev ;;
    arm64) packages+=(pkg-config patchelf g++-aarch64-linux-gnu qemu-user libgtest-dev:arm64 zlib1g-dev:arm64
                      libspeexdsp-dev:arm64 libopus-dev:arm64 libopenh264-dev:arm64 libyuv-dev:arm64)
           requirements=dev ;;
    bench) packages+=("${MEDIA[@]}" libbenchmark-dev) requirements=dev ;;
    *) echo "bootstrap: unknown set '$set' (demo, tests, cxx-tests, wheels, arm64, bench)" >&2; exit 2 ;;
  esac
done

# System packages. A name without an architecture means this machine's: with the arm64 copy of a
# library installed too, dpkg finds a bare name ambiguous, so each is asked for as NAME:ARCH
# (a package for all architectures answers as NAME:all).
native="$(dpkg --print-architecture)"
installed=" $({ dpkg-query -W -f='${Package}:${Architecture}=${db:Status-Abbrev}\n' "${packages[@]%%:*}" 2>/dev/null || true; } |
  sed -n 's/=ii *$//p' | tr '\n' ' ') "
missing=()
for package in "${packages[@]}"; do
  [[ $package == *:* ]] || package="$package:$native"
  if [[ $installed != *" $package "* && $installed != *" ${package%%:*}:all "* && " ${missing[*]-} " != *" $package "* ]]; then
    missing+=("$package")
  fi
done

# The virtual environment, and the requirements, installed again when their files change (the
# dev set includes the build set). pip 23.1 or newer, for the dev set's scripts (-C); the demo
# builds with the pip that comes with the interpreter.
python_environment() {
  if [[ -z "${PYTHON:-}" ]]; then
    PYTHON="$(ls -d /root/.pyenv/versions/3.8.*/bin/python3.8 2>/dev/null | sort -V | tail -n 1 || true)"
    [[ -n "$PYTHON" ]] || PYTHON="$(command -v python3.8 || true)"
  fi
  if [[ ! -x .venv/bin/python ]] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 8)' 2>/dev/null; then
    [[ -x "$PYTHON" ]] || { echo "bootstrap: no CPython 3.8 found; set PYTHON" >&2; exit 1; }
    rm -rf .venv
    "$PYTHON" -m venv .venv
  fi
  if [[ "$(cat .venv/.bootstrap-dev 2>/dev/null)" != "$(digest requirements-build.txt requirements-dev.txt)" ]]; then
    if [[ $requirements == dev ]]; then
      .venv/bin/python -m pip install -q --upgrade pip >/dev/null
      .venv/bin/python -m pip install -q -r requirements-dev.txt
      digest requirements-build.txt requirements-dev.txt >.venv/.bootstrap-dev
    elif [[ "$(cat .venv/.bootstrap-build 2>/dev/null)" != "$(digest requirements-build.txt)" ]]; then
      .venv/bin/python -m pip install -q -r requirements-build.txt
      digest requirements-build.txt >.venv/.bootstrap-build
    fi
  fi
}
digest() { cat "$@" | sha256sum | cut -d' ' -f1; }

if ((${#missing[@]})); then
  # apt-get and pip mostly wait for downloads, so the virtual environment is made meanwhile.
  python_environment &
  python_job=$!
  SUDO=""
  [[ $(id -u) -ne 0 ]] && SUDO="sudo"
  echo "bootstrap: installing ${missing[*]}" >&2
  if [[ " ${missing[*]}" == *:arm64* ]] && ! dpkg --print-foreign-architectures | grep -x arm64 >/dev/null; then
    $SUDO dpkg --add-architecture arm64
  fi
  $SUDO apt-get update -qq
  # The emulator is called by name, never through binfmt, so qemu-user's recommended
  # qemu-user-binfmt is not needed; nothing else here recommends anything.
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  wait "$python_job"
else
  python_environment
fi

# The package, installed again when a file it is made from is newer than the last install.
stamp=.venv/.bootstrap-package
if [[ -n $install ]]; then
  # The requirements' stamps are among the files: new build tools build the package again.
  if [[ ! -f $stamp ]] || ! ls -d .venv/lib/python3.8/site-packages/ostrel-*.dist-info >/dev/null 2>&1 ||
     [[ -n "$(find pyproject.toml README.md CMakeLists.txt cmake include tables binding loopback ostrel .venv/.bootstrap-* \
                -name __pycache__ -prune -o -newer "$stamp" -print -quit)" ]]; then
    rm -f "$stamp"
    touch "$stamp.new"  # what changes during the build is seen by the next run
    .venv/bin/python -m pip install -q --no-build-isolation .
    mv "$stamp.new" "$stamp"
  fi
fi
