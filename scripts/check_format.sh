#!/usr/bin/env bash
# Formatting and lint: the C++ sources as .clang-format says (the SDK's own headers in include/
# aside), and the Python with ruff (format and check, configured in pyproject.toml). Prints what
# differs and fails; `clang-format -i FILE` and `ruff format . && ruff check --fix .` mend it.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
RUFF="${RUFF:-$ROOT/.venv/bin/ruff}"
failed=0
mapfile -t sources < <(git ls-files '*.cpp' '*.h' '*.hpp' | grep -v '^include/')
clang-format --dry-run --Werror "${sources[@]}" || failed=1
"$RUFF" format --check --quiet . || { "$RUFF" format --diff . || true; failed=1; }
"$RUFF" check --quiet . || failed=1
if ((failed)); then
  echo "check_format: FAILED" >&2
  exit 1
fi
echo "check_format: ${#sources[@]} C++ files and the Python formatted and clean"
