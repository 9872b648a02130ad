#!/usr/bin/env bash
# The main job on a fresh machine: set-up (only what the demo needs), then a call between two
# participants on the loopback SDK.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$ROOT/scripts/bootstrap.sh" demo
cd "$ROOT"
exec "$ROOT/.venv/bin/python" examples/demo_call.py "$@"
