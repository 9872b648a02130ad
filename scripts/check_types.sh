#!/usr/bin/env bash
# Type checks of the stubs, given an interpreter that imports _ostrel and has requirements-dev.txt
# ($PYTHON, or .venv/bin/python):
#  1. the _ostrel stub regenerated from the module equals binding/stubs/_ostrel.pyi, and ostrel/aio/events.py
#     regenerated from that stub equals the file;
#  2. mypy.stubtest finds both stubs consistent with the modules (binding/stubs/stubtest-allowlist.txt);
#  3. mypy --strict passes the package ostrel (its tests aside), the examples, the stub maker, the typed bot and
#     docs/typed-usage.md, and flags exactly
#     the lines marked "# expect:" in binding/tests/typed_wrong_override.py and ostrel/tests/typed_aio_bot.py;
#     pyright likewise for
#     the package, the bot, the page and the wrong overrides;
#  4. where the package is installed, mypy and pyright find its stubs with no configuration.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
PY="${PYTHON:-$ROOT/.venv/bin/python}"
export PYRIGHT_PYTHON_IGNORE_WARNINGS=1  # no look-up of newer pyright releases
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/stubs" "$WORK/probe" build
cp binding/stubs/_ostrel.pyi loopback/python/ostrel_loopback.pyi "$WORK/stubs/"
awk '/^```python$/ {on = 1; next} /^```$/ {on = 0} on' docs/typed-usage.md >"$WORK/typed_usage.py"
PACKAGE=(ostrel/*.py ostrel/aio/*.py ostrel/testing/*.py)
CHECKED=("${PACKAGE[@]}" examples/*.py binding/stubs/make_stubs.py scripts/make_event_types.py binding/tests/typed_bot.py
  "$WORK/typed_usage.py" binding/tests/typed_wrong_override.py ostrel/tests/typed_aio_bot.py)
PYRIGHT_CHECKED=("${PACKAGE[@]}" binding/tests/typed_bot.py "$WORK/typed_usage.py" binding/tests/typed_wrong_override.py
  ostrel/tests/typed_aio_bot.py)
failed=0

# expect_errors TOOL OUTPUT FILE...: each file's error lines in OUTPUT must be its "# expect:" lines,
# and OUTPUT may hold no error in any other file (the stubs included).
expect_errors() {
  local tool="$1" output="$2" mark file path want got counted=0
  [[ $tool == mypy ]] && mark=': error: ' || mark=' - error: '
  shift 2
  for file in "$@"; do
    path="$(cd "$(dirname "$file")" && pwd)/$(basename "$file")"
    want="$(grep -n '# expect:' "$file" | cut -d: -f1 | xargs || true)"
    got="$(grep -F "$path:" <<<"$output" | grep -F "$mark" | sed -n 's/^ *[^ ]*:\([0-9]*\):[0-9:]* *-* *error: .*/\1/p' |
      sort -nu | xargs || true)"
    counted=$((counted + $(grep -F "$path:" <<<"$output" | grep -cF "$mark" || true)))
    if [[ "$got" != "$want" ]]; then
      echo "check_types: $tool: $file: errors on lines [$got], expected [$want]" >&2
      failed=1
    fi
  done
  if [[ $(grep -cF "$mark" <<<"$output" || true) != "$counted" ]]; then
    echo "check_types: $tool reports errors in files it was not asked about" >&2
    failed=1
  fi
}

echo "== stub of _ostrel regenerated from the module"
"$PY" binding/stubs/make_stubs.py --check || failed=1

echo "== typed events of ostrel.aio regenerated from the stub"
"$PY" scripts/make_event_types.py --check || failed=1

echo "== stubtest"
(cd "$WORK" && MYPYPATH="$WORK/stubs" "$PY" -m mypy.stubtest _ostrel ostrel_loopback \
  --allowlist "$ROOT/binding/stubs/stubtest-allowlist.txt") || failed=1

echo "== mypy --strict"
out="$(MYPYPATH="$WORK/stubs" "$PY" -m mypy --strict --show-absolute-path --cache-dir build/mypy-cache "${CHECKED[@]}" \
  2>&1 || true)"
before=$failed
expect_errors mypy "$out" "${CHECKED[@]}"
[[ $failed == "$before" ]] && echo "as expected: $(tail -n 1 <<<"$out")" || echo "$out"

echo "== pyright"
printf '{"stubPath": "%s", "pythonVersion": "3.8", "typeCheckingMode": "standard"}\n' "$WORK/stubs" \
  >"$WORK/pyrightconfig.json"
out="$("$PY" -m pyright -p "$WORK/pyrightconfig.json" --pythonpath "$PY" "${PYRIGHT_CHECKED[@]}" 2>&1 || true)"
before=$failed
expect_errors pyright "$out" "${PYRIGHT_CHECKED[@]}"
[[ $failed == "$before" ]] && echo "as expected: $(tail -n 1 <<<"$out")" || echo "$out"

echo "== installed stubs found without configuration"
site="$("$PY" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')"
if [[ -f "$site/_ostrel-stubs/__init__.pyi" ]]; then
  if ! cmp -s "$site/_ostrel-stubs/__init__.pyi" binding/stubs/_ostrel.pyi ||
     ! cmp -s "$site/ostrel_loopback-stubs/__init__.pyi" loopback/python/ostrel_loopback.pyi; then
    echo "check_types: the stubs installed in $site differ from the source tree; reinstall" >&2
    failed=1
  fi
  # Only the stubs know these types, so each marked line is an error exactly when they are found.
  cat >"$WORK/probe/probe.py" <<'PROBE'
import _ostrel
import ostrel_loopback

value: int = _ostrel.VonuString("x").GetValue()  # expect: str | None
count: str = ostrel_loopback.live_instances()  # expect: int
PROBE
  # Empty configurations, so that no file found in a parent folder takes part.
  echo '{}' >"$WORK/probe/pyrightconfig.json"
  out="$(cd "$WORK/probe" && "$PY" -m mypy --config-file= --strict --show-absolute-path --no-incremental probe.py \
    2>&1 || true)"
  expect_errors mypy "$out" "$WORK/probe/probe.py"
  out="$(cd "$WORK/probe" && "$PY" -m pyright -p pyrightconfig.json --pythonpath "$PY" probe.py 2>&1 || true)"
  expect_errors pyright "$out" "$WORK/probe/probe.py"
else
  echo "(not installed for $PY: skipped)"
fi

if [[ $failed != 0 ]]; then
  echo "check_types: FAILED" >&2
  exit 1
fi
echo "check_types: all type checks passed"
