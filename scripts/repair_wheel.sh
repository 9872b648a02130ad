#!/usr/bin/env bash
# Turns a freshly built wheel into a manylinux one and checks it: auditwheel names the manylinux
# tag the wheel's binaries allow (show), repairs the wheel to that tag (repair), and accepts the
# repaired wheel's tag; the module and SDK inside pass scripts/check_binaries.py, so the
# module's RUNPATH is the one it was built with and libostrel.so lies beside it. If repair
# grafted libraries into ostrel.libs/, it rewrote the module's run path too, which
# scripts/restore_runpath.py undoes. Prints the repaired wheel's path.
# usage: repair_wheel.sh WHEEL OUT_DIR ARCH
set -euo pipefail
wheel="$1" out="$2" arch="$3"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
auditwheel() {  # with the target's policies when it is not this machine's architecture
  if [[ "$arch" == "$(uname -m)" ]]; then command auditwheel "$@"; else python "$here/auditwheel_arch.py" "$arch" "$@"; fi
}
# The tag the symbol versions allow ("constrains"), which repair reaches by grafting what else
# is needed; without that line, the tag the wheel is consistent with as it stands.
tag_of() {
  auditwheel show "$1" | tr '\n' ' ' | grep -o -e 'constrains the platform tag to "[^"]*"' \
    -e 'following platform tag: "[^"]*"' | sort | head -n 1 | cut -d'"' -f2
}

plat="$(tag_of "$wheel")"
if [[ "$plat" != manylinux_*_"$arch" ]]; then
  auditwheel show "$wheel" >&2; echo "repair_wheel: $wheel allows no manylinux tag" >&2; exit 1
fi
rm -rf "$out" && mkdir -p "$out"
auditwheel repair --plat "$plat" -w "$out" "$wheel" >/dev/null 2>&1 \
  || { auditwheel repair --plat "$plat" -w "$out" "$wheel"; exit 1; }
repaired="$(ls "$out"/*-"$plat".whl)"
# grep reads the whole listing (no -q): an early exit would break the pipe under pipefail.
if python -m zipfile -l "$repaired" | grep '^ostrel\.libs/' >/dev/null; then
  python "$here/restore_runpath.py" "$wheel" "$repaired"
fi
[[ "$(tag_of "$repaired")" == "$plat" ]] || { echo "repair_wheel: auditwheel refuses $repaired" >&2; exit 1; }

unpacked="$out/unpacked"
python -m zipfile -e "$repaired" "$unpacked"
python "$here/check_binaries.py" --machine "$arch" "$unpacked" >&2
rm -rf "$unpacked"
echo "$repaired"
