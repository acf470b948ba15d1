#!/usr/bin/env bash
# Line and branch coverage of src/ by all the tests: builds the C++ tests and
# the extension with gcov instrumentation (build/coverage), runs the C++
# tests and the Python tests against that build, and prints the coverage per
# folder of src/ (gcovr). The scale tests run at reduced sizes.
#
#   scripts/coverage.sh [PYTEST ARGS...]     (default: tests/python)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

# The 3.13 environment with the build and test tools (sets VENV).
ensure_tools313
"$VENV/bin/python" -c 'import gcovr' 2>/dev/null || "$VENV/bin/python" -m pip install -q gcovr \
    || die "could not install gcovr"
ensure_debs libgtest-dev
CMAKE="$VENV/bin/cmake"
DIR=build/coverage

say "building the C++ tests and the extension with coverage instrumentation"
"$CMAKE" -S . -B "$DIR" -DVELTRIX_TESTS=ON -DVELTRIX_PYTHON=ON -DVELTRIX_WERROR=OFF \
    -DCMAKE_BUILD_TYPE=Coverage -DCMAKE_CXX_FLAGS_COVERAGE="-O1 --coverage" \
    -DCMAKE_EXE_LINKER_FLAGS_COVERAGE=--coverage -DCMAKE_MODULE_LINKER_FLAGS_COVERAGE=--coverage \
    -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
"$CMAKE" --build "$DIR" -j"$JOBS" --target veltrix_tests veltrix_core
find "$DIR" -name '*.gcda' -delete

stage_site "$DIR"

# A failing test does not stop the report; the exit status says so.
status=0
say "C++ tests"
"$DIR/veltrix_tests" --gtest_brief=1 || status=$?
say "Python tests"
[ $# -gt 0 ] || set -- tests/python
VELTRIX_SANITIZED=1 PYTHONPATH="$SITE" "$VENV/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=$?

say "coverage of src/ (lines, branches)"
"$VENV/bin/python" -m gcovr --root . --filter 'src/' --object-directory "$DIR" \
    --exclude-throw-branches --exclude-unreachable-branches --json-summary "$DIR/summary.json" \
    --gcov-ignore-parse-errors negative_hits.warn_once_per_file --gcov-ignore-errors no_working_dir_found >/dev/null
"$VENV/bin/python" - "$DIR/summary.json" <<'PY'
import collections, json, sys

files = json.load(open(sys.argv[1]))["files"]
sums = collections.defaultdict(lambda: [0, 0, 0, 0])
for f in files:
    folder = "/".join(f["filename"].split("/")[:2])
    for key in (folder, "all of src/"):
        s = sums[key]
        s[0] += f["line_covered"]; s[1] += f["line_total"]
        s[2] += f["branch_covered"]; s[3] += f["branch_total"]
print(f"{'folder':16} {'lines':>17} {'branches':>19}")
for folder in sorted(sums, key=lambda k: (k == "all of src/", k)):
    lc, lt, bc, bt = sums[folder]
    print(f"{folder:16} {lc:6}/{lt:<6} {100 * lc / lt:5.1f}% {bc:6}/{bt:<6} {100 * bc / max(bt, 1):5.1f}%")
PY
[ "$status" -eq 0 ] || die "some tests failed (exit status $status); the coverage above is of the run as it went"
