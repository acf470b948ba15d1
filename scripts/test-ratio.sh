#!/usr/bin/env bash
# Prints the size of the tests against the size of the code they test:
# non-blank lines of tests/ and fuzz/ against src/ and python/.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

count() {  # non-blank lines of the tracked-or-present source files under the given folders
    find "$@" -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' \) \
        -not -path '*/__pycache__/*' -print0 | xargs -0 cat | grep -cv '^[[:space:]]*$'
}

for dir in tests/cpp tests/python fuzz src/graph src/optimizer src/saturation src/python python; do
    printf '%-16s %6d\n' "$dir" "$(count "$dir")"
done
tests=$(count tests fuzz)
code=$(count src python)
awk -v t="$tests" -v c="$code" 'BEGIN { printf "tests + fuzz: %d, src + python: %d, ratio %.2f\n", t, c, t / c }'
