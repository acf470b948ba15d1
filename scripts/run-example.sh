#!/usr/bin/env bash
# Builds and installs veltrix-core for CPython 3.13, then runs the example.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"
ensure_tools313
say "building and installing veltrix-core into $VENV (pip install .)"
"$VENV/bin/python" -m pip install -q --no-build-isolation . || die "pip install . failed"
say "running examples/pipeline.py"
exec "$VENV/bin/python" examples/pipeline.py "$@"
