#!/usr/bin/env bash
# Runs the Python tests on the free-threaded CPython 3.15 that
# scripts/free-threaded-python.sh builds, against the extension built for it
# as a user builds it: a wheel made with pip and scikit-build-core (without
# build isolation, from the pinned tools of
# scripts/free-threaded-requirements.txt), installed alone into a fresh
# environment (build/free-threaded/env), from whose folder the tests run, so
# that veltrix.core is the installed copy. The GIL is left as the module's
# declaration leaves it: the interpreter would enable it on importing a module
# that does not declare it can run without it, and the tests check that it is
# disabled.
#
#   scripts/free-threaded-tests.sh [PYTEST ARGS...]    (default: tests/python)
#
# The thread tests on the interpreter built with ThreadSanitizer:
# scripts/sanitize.sh free-threaded.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

ensure_build_tools
ensure_tools315t
WORK="$ROOT/build/free-threaded"
rm -rf "$WORK/dist" "$WORK/env"
mkdir -p "$WORK/dist"

say "building the wheel for the free-threaded CPython 3.15 (output in $WORK/wheel.log)"
command -v ccache >/dev/null 2>&1 && use_ccache
"$FT_VENV/bin/python" -m pip wheel --no-build-isolation --no-deps -w "$WORK/dist" . >"$WORK/wheel.log" 2>&1 \
    || { cat "$WORK/wheel.log"; die "building the wheel failed"; }
WHEEL=$(ls "$WORK"/dist/*.whl)

say "installing $(basename "$WHEEL") into a fresh environment, $WORK/env"
"$FT_VENV/bin/python" -m venv --without-pip "$WORK/env"
"$FT_VENV/bin/python" -m pip --python "$WORK/env/bin/python" install -q --disable-pip-version-check \
    -r scripts/free-threaded-requirements.txt "$WHEEL" || die "could not install the wheel and the tools into $WORK/env"

[ $# -gt 0 ] || set -- "$ROOT/tests/python"
say "Python tests on the free-threaded CPython 3.15: $*"
cd "$WORK/env"
./bin/python -I -c '
import sys, veltrix.core.veltrix_core as m
print("veltrix.core.veltrix_core:", m.__file__)
assert m.__file__.startswith(sys.prefix + "/lib/"), "not the installed copy"
assert not sys._is_gil_enabled(), "the GIL is enabled"'
./bin/python -I -B -m pytest -q -p no:cacheprovider "$@"
