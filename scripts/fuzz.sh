#!/usr/bin/env bash
# Builds and runs the blob fuzzer with libFuzzer, ASan and UBSan.
#
#   scripts/fuzz.sh [SECONDS]        (default 60; FUZZ_TIME works too)
#
# Environment: CXX (default clang++-14, else clang++), FUZZ_OUT (default
# build/fuzz). The corpus in $FUZZ_OUT/corpus grows across runs; crashing
# inputs land in $FUZZ_OUT/artifacts. Exits non-zero on any finding.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-${FUZZ_TIME:-60}}
out=${FUZZ_OUT:-$root/build/fuzz}
if [[ -z "${CXX:-}" ]]; then
    if command -v clang++-14 >/dev/null; then CXX=clang++-14; else CXX=clang++; fi
fi

mkdir -p "$out/obj" "$out/seeds" "$out/corpus" "$out/artifacts"

common=(-std=c++20 -O1 -g -fno-omit-frame-pointer -I"$root/src"
        -fsanitize=address,undefined -fno-sanitize-recover=undefined)

# The core library's sources (graph, optimizer, saturation); each object is
# rebuilt when its source or any core header is newer.
objs=()
for src in "$root"/src/graph/*.cpp "$root"/src/optimizer/*.cpp "$root"/src/saturation/*.cpp; do
    dir=$(basename "$(dirname "$src")")
    obj="$out/obj/$dir-$(basename "${src%.cpp}").o"
    if [[ ! -f "$obj" || "$src" -nt "$obj" || -n "$(find "$root/src/graph" "$root/src/optimizer" "$root/src/saturation" -name '*.hpp' -newer "$obj")" ]]; then
        echo "compiling $dir/$(basename "$src")"
        "$CXX" "${common[@]}" -fsanitize=fuzzer-no-link -c "$src" -o "$obj"
    fi
    objs+=("$obj")
done

echo "linking fuzz_blob and seed_blobs"
"$CXX" "${common[@]}" -fsanitize=fuzzer "$root/fuzz/fuzz_blob.cpp" "${objs[@]}" -o "$out/fuzz_blob" -lpthread -lcrypto
"$CXX" "${common[@]}" -fsanitize=fuzzer-no-link "$root/fuzz/seed_blobs.cpp" "${objs[@]}" -o "$out/seed_blobs" -lpthread -lcrypto

rm -f "$out"/seeds/*
"$out/seed_blobs" "$out/seeds"

cat > "$out/blob.dict" <<'DICT'
"VIR1"
"\x00\x00\x00\x00"
"\xff\xff\xff\xff"
"op|"
"red|"
"%25"
"%3B"
"%3D"
"%7C"
"=i"
"=f"
"=s"
"=btrue"
DICT

echo "fuzzing for ${seconds}s"
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
"$out/fuzz_blob" \
    -max_total_time="$seconds" \
    -max_len=8192 \
    -timeout=10 \
    -malloc_limit_mb=256 \
    -print_final_stats=1 \
    -print_funcs=0 \
    -reload=0 \
    -dict="$out/blob.dict" \
    -artifact_prefix="$out/artifacts/" \
    "$out/corpus" "$out/seeds"
