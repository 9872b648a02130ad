#!/usr/bin/env bash
# The main job on a fresh machine: set-up, then a call between two participants on the loopback SDK.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$ROOT/scripts/bootstrap.sh"
cd "$ROOT"
exec "$ROOT/.venv/bin/python" examples/demo_call.py "$@"
