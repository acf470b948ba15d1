#!/usr/bin/env bash
# Builds the blob fuzzer (the fuzz flavour of CMakePresets.json: clang,
# libFuzzer, ASan and UBSan) and runs it for SECONDS (default 60) from the
# seed blobs and the corpus in build/fuzz/corpus, which grows across runs.
# Crashing inputs land in build/fuzz/artifacts. Exits non-zero on any finding.
#
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

ensure_debs clang libclang-rt-14-dev
ensure_tools313
build_preset fuzz ""
OUT=build/fuzz
rm -rf "$OUT/seeds" && mkdir -p "$OUT/seeds" "$OUT/corpus" "$OUT/artifacts"
"$OUT/seed_blobs" "$OUT/seeds"

say "fuzzing for ${1:-60}s"
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} "$OUT/fuzz_blob" \
    -max_total_time="${1:-60}" -max_len=8192 -timeout=10 -malloc_limit_mb=256 -print_final_stats=1 \
    -print_funcs=0 -reload=0 -dict=fuzz/blob.dict -artifact_prefix="$OUT/artifacts/" "$OUT/corpus" "$OUT/seeds"
