#!/usr/bin/env bash
# Runs the Python tests on the free-threaded CPython 3.15 of
# scripts/free-threaded-python.sh against a wheel built for it with pip and
# the pinned tools of scripts/free-threaded-requirements.txt, installed alone
# into a fresh environment (build/free-threaded-tests/env) from whose folder
# the tests run. The GIL stays as the module's declaration leaves it, and the
# tests check that it is disabled.
#
#   scripts/free-threaded-tests.sh [PYTEST ARGS...]    (default: tests/python)
#
# The thread tests on the interpreter built with ThreadSanitizer:
# scripts/sanitize.sh free-threaded.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

ensure_tools313
ensure_tools315t
WORK="$ROOT/build/free-threaded-tests"
rm -rf "$WORK" && mkdir -p "$WORK/dist"

say "building the wheel for the free-threaded CPython 3.15 (output in $WORK/wheel.log)"
use_ccache
logged "$WORK/wheel.log" "building the wheel failed" \
    "$FT_VENV/bin/python" -m pip wheel --no-build-isolation --no-deps -w "$WORK/dist" .
WHEEL=$(ls "$WORK"/dist/*.whl)

say "installing $(basename "$WHEEL") into a fresh environment, $WORK/env"
"$FT_VENV/bin/python" -m venv --without-pip "$WORK/env"
"$FT_VENV/bin/python" -m pip --python "$WORK/env/bin/python" install -q --disable-pip-version-check \
    -r scripts/free-threaded-requirements.txt "$WHEEL" || die "could not install the wheel and the tools into $WORK/env"

[ $# -gt 0 ] || set -- "$ROOT/tests/python"
say "Python tests on the free-threaded CPython 3.15: $*"
cd "$WORK/env"
check_installed ./bin/python 'assert not sys._is_gil_enabled(), "the GIL is enabled"'
./bin/python -I -B -m pytest -q -p no:cacheprovider "$@"
