#!/usr/bin/env bash
# Builds and installs veltrix-core for CPython 3.13, then runs the example.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_venv313
say "running examples/pipeline.py"
cd "$ROOT"
exec "$VENV/bin/python" examples/pipeline.py "$@"
