#!/usr/bin/env bash
# Prepares a fresh machine: system packages, a Python 3.8 virtual environment in .venv with the
# build and test tools, and the package itself (module, loopback SDK, ostrel_loopback) installed
# into it. Safe to run again; later runs only rebuild what changed.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

PACKAGES=(g++ pkg-config binutils zlib1g-dev libspeexdsp-dev libopus-dev libopenh264-dev libyuv-dev libgtest-dev
  libbenchmark-dev nodejs patchelf
  # The 64-bit Arm cross-build (scripts/arm64.sh): cross compiler, the target's libraries, the emulator.
  g++-aarch64-linux-gnu qemu-user libgtest-dev:arm64 zlib1g-dev:arm64 libspeexdsp-dev:arm64 libopus-dev:arm64
  libopenh264-dev:arm64 libyuv-dev:arm64)
missing=()
for package in "${PACKAGES[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
  SUDO=""
  [[ $(id -u) -ne 0 ]] && SUDO="sudo"
  echo "bootstrap: installing ${missing[*]}" >&2
  if [[ " ${missing[*]}" == *:arm64* ]] && ! dpkg --print-foreign-architectures | grep -x arm64 >/dev/null; then
    $SUDO dpkg --add-architecture arm64
  fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [[ -z "${PYTHON:-}" ]]; then
  PYTHON="$(ls -d /root/.pyenv/versions/3.8.*/bin/python3.8 2>/dev/null | sort -V | tail -n 1 || true)"
  [[ -n "$PYTHON" ]] || PYTHON="$(command -v python3.8 || true)"
fi
[[ -x "$PYTHON" ]] || { echo "bootstrap: no CPython 3.8 found; set PYTHON" >&2; exit 1; }

if [[ ! -x .venv/bin/python ]] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 8)' 2>/dev/null; then
  rm -rf .venv
  "$PYTHON" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip >/dev/null
.venv/bin/python -m pip install -q -r requirements-dev.txt
.venv/bin/python -m pip install -q --no-build-isolation .
