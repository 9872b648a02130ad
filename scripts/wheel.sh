#!/usr/bin/env bash
# x86_64 wheels, each tested as a user gets it: the package with the loopback SDK (built from the
# source tree) and the package built from the source distribution against an SDK directory laid
# out as a vendor's (OSTREL_SDK_DIR). Each wheel is repaired to its manylinux tag
# (scripts/repair_wheel.sh), installed into a fresh virtual environment and the Python tests run
# against it from outside the source tree. Wheels and the source distribution land in dist/.
# The loopback wheel is built in the build tree of scripts/bootstrap.sh's install of the package
# (build/<wheel tag>), so after that install nothing is compiled again; its environment also has
# numpy and uvloop, so that the tests that use them run against a wheel too. The vendor-layout
# SDK directory is installed from that same build tree.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
"$ROOT/scripts/bootstrap.sh" wheels
VENV="$ROOT/.venv"
export PATH="$VENV/bin:$PATH"
export CMAKE_BUILD_PARALLEL_LEVEL="${JOBS:-2}"
WORK="$ROOT/build/wheels"
DIST="$ROOT/dist"
SDK="$ROOT/build/sdk-install"  # the vendor-layout SDK directory
mkdir -p "$DIST"
source "$ROOT/scripts/stage.sh"

# test_wheel NAME WHEEL [REQUIREMENT...] [-- FILE...]: a fresh environment with the wheel, its
# test extra, the requirements given and the files given (put beside the installed module), and
# nothing else of ours.
test_wheel() {
  local name="$1" venv="$WORK/$1/venv" wheel="$2" here requirements=()
  shift 2
  while (($#)) && [[ $1 != -- ]]; do requirements+=("$1"); shift; done
  (($#)) && shift
  rm -rf "$venv"
  python -m venv "$venv"
  "$venv/bin/python" -m pip install -q "$wheel[test]" ${requirements[@]+"${requirements[@]}"} 2>&1 |
    { grep -v '^WARNING: Location' || true; } >&2
  if (($#)); then cp "$@" "$venv/lib/python3.8/site-packages/"; fi
  here="$(mktemp -d)"  # no source-tree module can shadow the installed ones from here
  (cd "$here" && "$venv/bin/python" - "$venv" <<'EOF'
import os, sys, _ostrel, ostrel, ostrel_loopback
for m in (_ostrel, ostrel, ostrel_loopback):
    assert m.__file__.startswith(sys.argv[1] + os.sep), f"{m.__name__} from {m.__file__}"
    print(m.__name__, "from", m.__file__)
EOF
  )
  (cd "$here" && "$venv/bin/python" -m pytest -q -ra -p no:cacheprovider --basetemp="$WORK/$name/tmp" \
    "$ROOT/binding/tests" "$ROOT/ostrel/tests")
  rm -rf "$here"
}

stage "Wheel with the loopback SDK"
rm -rf "$WORK/loopback" && mkdir -p "$WORK/loopback"
# pyproject.toml's build-dir, build/{wheel_tag}: the tag of a plain (not yet repaired) wheel here.
BUILT="build/cp38-cp38-$(python -c 'import sysconfig; print(sysconfig.get_platform().replace("-", "_").replace(".", "_"))')"
env -u OSTREL_SDK_DIR pip wheel -q --no-deps --no-build-isolation -w "$WORK/loopback/built" . \
  2>&1 | { grep -v '^WARNING: Location' || true; }
[[ -f "$BUILT/CMakeCache.txt" ]] || { echo "wheel.sh: the wheel was not built in $BUILT" >&2; exit 1; }
wheel="$(bash scripts/repair_wheel.sh "$WORK"/loopback/built/*.whl "$WORK/loopback/repaired" x86_64)"
cp "$wheel" "$DIST/"
test_wheel loopback "$wheel" $(grep -E '^(numpy|uvloop)\b' requirements-dev.txt)

stage "Source distribution, and a wheel of it against a vendor-layout SDK directory"
# The SDK as a vendor ships it (include/ and lib/), from the loopback wheel's build.
rm -rf "$SDK"
cmake --install "$BUILT" --component sdk --prefix "$SDK" >/dev/null
rm -rf "$WORK/vendor" "$DIST"/ostrel-*.tar.gz && mkdir -p "$WORK/vendor"
python -m build --sdist --no-isolation --outdir "$DIST" . >/dev/null
OSTREL_SDK_DIR="$SDK" pip wheel -q --no-deps --no-build-isolation -w "$WORK/vendor/built" "$DIST"/ostrel-*.tar.gz \
  2>&1 | { grep -v '^WARNING: Location' || true; }
wheel="$(bash scripts/repair_wheel.sh "$WORK"/vendor/built/*.whl "$WORK/vendor/repaired" x86_64)"
python -m zipfile -e "$wheel" "$WORK/vendor/unpacked"
# The same library: repair may have pointed its run path at the libraries it grafted, so the
# build ids are compared rather than the bytes.
build_id() { readelf -n "$1" | sed -n 's/.*Build ID: //p'; }
[[ -n "$(build_id "$SDK/lib/libostrel.so")" && "$(build_id "$SDK/lib/libostrel.so")" == "$(build_id "$WORK/vendor/unpacked/libostrel.so")" ]] \
  || { echo "wheel.sh: the wheel's SDK is not the vendor's" >&2; exit 1; }
# The vendor here is the loopback SDK built on its own, so the tests can still drive its rooms
# through the control module, which a vendor-SDK wheel does not carry.
test_wheel vendor "$wheel" -- loopback/python/ostrel_loopback.py
ls -l "$DIST"
stage ""
