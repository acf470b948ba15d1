# Shared helpers for the project's scripts (sourced, not run).

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
CACHE="${VELTRIX_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/veltrix}"
JOBS="${VELTRIX_JOBS:-2}"

say() { printf '\n==> %s\n' "$*"; }
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

# Makes sure cmake and a C++ compiler are on the PATH.
ensure_build_tools() {
    command -v cmake >/dev/null 2>&1 || ensure_debs cmake
    command -v g++ >/dev/null 2>&1 || ensure_debs g++
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

# Creates (once) a 3.13 virtual environment with the build and test tools, and
# installs the project into it. Prints nothing; sets VENV.
ensure_venv313() {
    local py
    py="$(find_python313)"
    VENV="$CACHE/venv-3.13"
    if [ ! -x "$VENV/bin/python" ]; then
        say "creating a Python 3.13 environment in $VENV"
        "$py" -m venv "$VENV" || die "could not create a venv with $py"
    fi
    if ! "$VENV/bin/python" -c 'import scikit_build_core, pytest, cmake, ninja' 2>/dev/null; then
        "$VENV/bin/python" -m pip install -q --upgrade pip >/dev/null
        "$VENV/bin/python" -m pip install -q "scikit-build-core>=0.10" "pytest>=8" cmake ninja \
            || die "could not install the build tools into $VENV"
    fi
    say "building and installing veltrix-core into $VENV (pip install .)"
    (cd "$ROOT" && "$VENV/bin/python" -m pip install -q --no-build-isolation "$@" .) \
        || die "pip install . failed"
}
