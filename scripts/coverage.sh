#!/usr/bin/env bash
# Line and branch coverage of src/ by all the tests: builds the C++ tests and
# the extension with gcov instrumentation (the coverage flavour of
# CMakePresets.json, build/coverage), runs the C++ tests and the Python tests
# against that build, and prints the coverage per folder of src/ (gcovr). The
# scale tests run at reduced sizes.
#
#   scripts/coverage.sh [PYTEST ARGS...]     (default: tests/python)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

ensure_debs libgtest-dev
ensure_tools313
"$VENV/bin/python" -c 'import gcovr' 2>/dev/null || "$VENV/bin/python" -m pip install -q gcovr \
    || die "could not install gcovr"
DIR=build/coverage

say "building the C++ tests and the extension with coverage instrumentation"
build_preset coverage "$VENV/bin/python"
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

sums = collections.defaultdict(lambda: [0, 0, 0, 0])
for f in json.load(open(sys.argv[1]))["files"]:
    for key in ("/".join(f["filename"].split("/")[:2]), "all of src/"):
        for i, field in enumerate(("line_covered", "line_total", "branch_covered", "branch_total")):
            sums[key][i] += f[field]
print(f"{'folder':16} {'lines':>17} {'branches':>19}")
for folder in sorted(sums, key=lambda k: (k == "all of src/", k)):
    lc, lt, bc, bt = sums[folder]
    print(f"{folder:16} {lc:6}/{lt:<6} {100 * lc / lt:5.1f}% {bc:6}/{bt:<6} {100 * bc / max(bt, 1):5.1f}%")
PY
[ "$status" -eq 0 ] || die "some tests failed (exit status $status); the coverage above is of the run as it went"
