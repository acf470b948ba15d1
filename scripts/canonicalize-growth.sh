#!/usr/bin/env bash
# The growth in canonicalize's cost per node from 10^4 to 10^6 nodes, as the
# median over several separate runs of bench_canonicalize. Each run is its
# own process, so every 10^4 measurement starts from the same state; a single
# run moves by several percent with the machine's load.
#
#   scripts/canonicalize-growth.sh [runs] [bench_canonicalize arguments...]
#
# The default arguments time the generated graphs of 10^4 and 10^6 nodes
# (7 calls each, median); two blob files compare recorded workloads instead.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

RUNS="${1:-9}"; shift || true
[ $# -gt 0 ] || set -- 7 10000 1000000

ensure_tools313
say "building the bench flavour in build/bench"
build_preset bench "$(find_python313)"

say "$RUNS runs of bench_canonicalize $*"
# Each run prints its growth and, beside it, the growth of the memory
# baseline timed in the same run: when the host's memory is busy, both rise.
RESULTS=$(for _ in $(seq "$RUNS"); do
    build/bench/bench_canonicalize "$@" | awk '
        /^baseline:/ { b = $NF; sub("x", "", b) }
        /^cpu per-node growth/ { g = $NF; sub("x", "", g) }
        END { print g, b }'
done)
echo "$RESULTS" | sort -n | awk '{ printf "growth %s (memory baseline %s)\n", $1, $2 }'
median() { sort -n | awk '{ v[NR] = $1 } END { printf "%.2f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
printf 'median growth over %d runs: %sx (memory baseline: %sx)\n' "$RUNS" \
    "$(echo "$RESULTS" | cut -d' ' -f1 | median)" "$(echo "$RESULTS" | cut -d' ' -f2 | median)"
