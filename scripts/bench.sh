#!/usr/bin/env bash
# Builds the module and the C++ benchmark programs (the bench flavour of
# CMakePresets.json, Release, build/bench), and the module for the
# free-threaded CPython 3.15 of scripts/free-threaded-python.sh (which builds
# the interpreter on first use) in build/bench-free-threaded, then runs every
# benchmark: bench/run.py prints one table and writes it as JSON. The
# free_threaded figure runs on that interpreter, the others on CPython 3.13.
#
#   scripts/bench.sh [run.py options...]    e.g. --sizes 10000,100000 --runs 3
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

ensure_tools313
PY="$(find_python313)"
FT_PY="$(scripts/free-threaded-python.sh plain)"
say "building the module and the benchmark programs in build/bench, the module for 3.15t in build/bench-free-threaded"
build_preset bench "$PY"
build_preset bench-free-threaded "$FT_PY"

# Private package directories: the Python package with the fresh extension.
stage_site build/bench-free-threaded
FT_SITE="$SITE"
stage_site build/bench
cp build/bench/argfloor*.so "$SITE/"  # the benchmark's argument-handling floor

say "running the benchmarks (load average: $(cut -d' ' -f1-3 /proc/loadavg))"
PYTHONPATH="$SITE" "$PY" bench/run.py --bench-bin build/bench --free-threaded "$FT_PY" "$FT_SITE" "$@"
