#!/usr/bin/env bash
# Installs CPython VERSION (3.14 or 3.15), which Debian ships only in
# unstable, from Debian unstable's binary packages into a private prefix,
# <cache>/pythonVERSION (cache: VELTRIX_CACHE, default ~/.cache/veltrix),
# once, without touching the system's dpkg database, and prints
#
#   scripts/debian-python.sh VERSION --python    the interpreter (its launcher)
#   scripts/debian-python.sh VERSION --include   the directory holding Python.h
#   scripts/debian-python.sh --help              this text
#
# apt fetches the packages by name from the Debian archive of the machine's
# apt sources and verifies them as it verifies any. The prefix holds them
# with the libraries they need, the C library and its loader included; the
# launcher usr/bin/pythonVERSION-run runs the interpreter through that loader
# with argv[0] set to its own path, so that sys.executable re-invokes it and a
# virtual environment's bin/python (a symlink to it) finds its pyvenv.cfg.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

case "${1:-}" in -h | --help | "") usage; exit 0 ;; esac
PYVER="$1" OPTION="${2:-}"
[[ "$PYVER" =~ ^3\.1[45]$ ]] || die "VERSION is 3.14 or 3.15, not '$PYVER'"
[[ "$OPTION" =~ ^--(python|include)$ ]] || die "unknown option '$OPTION' (see --help)"
PREFIX="$CACHE/python$PYVER"
LAYOUT="layout 2"  # the marker's first line: another layout is installed again
SEEDS=("python$PYVER" "python$PYVER-minimal" "python$PYVER-dev" "libpython$PYVER"
       "libpython$PYVER-minimal" "libpython$PYVER-stdlib" "libpython$PYVER-dev" libc6 libgcc-s1 libstdc++6)

# Fills STAGE/root with the prefix (ensure_prefix publishes it) and prints
# the rest of its marker.
install_python() {  # STAGE
    local stage="$1" uri arch triplet apt pkgs deb loader root="$1/root" t0=$SECONDS
    arch=$(dpkg --print-architecture) triplet=$(gcc -dumpmachine)
    uri=$(apt-get indextargets --format '$(REPO_URI) $(LABEL)' | awk '$2 == "Debian" { print $1; exit }')
    [ -n "$uri" ] || die "no Debian archive in the machine's apt sources"
    note "installing CPython $PYVER from $uri (suite unstable) into $PREFIX"
    mkdir -p "$stage/apt/lists/partial" "$stage/apt/cache/archives/partial" "$stage/debs" "$root"
    : >"$stage/apt/status"
    echo "deb [arch=$arch signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri unstable main" >"$stage/apt/sources.list"
    apt=(-o "Dir::Etc::SourceList=$stage/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
         -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts=/dev/null
         -o "Dir::State::Lists=$stage/apt/lists" -o "Dir::State::Status=$stage/apt/status"
         -o "Dir::Cache=$stage/apt/cache" -o "APT::Architectures=$arch" -o Acquire::Languages=none
         -o APT::Sandbox::User=root -o APT::Install-Recommends=false)
    logged "$stage/apt.log" "apt-get update for the unstable suite failed" apt-get "${apt[@]}" update
    # The seeds and the libraries of their dependency closure as apt resolves
    # it; no development files but the seeds' own.
    mapfile -t pkgs < <(apt-get "${apt[@]}" install --print-uris -qq "${SEEDS[@]}" 2>>"$stage/apt.log" |
        awk '{ sub(/_.*/, "", $2); print $2 }' | grep -Ex "python$PYVER.*|libpython$PYVER.*|(lib|zlib).*" |
        grep -Exv "(.*-(dev|bin|doc)|libc-gconv-modules-extra)" ; printf '%s\n' "${SEEDS[@]}" | grep -- -dev)
    [ ${#pkgs[@]} -gt ${#SEEDS[@]} ] || die "could not resolve the packages (see $stage/apt.log)"
    note "downloading ${#pkgs[@]} packages: ${pkgs[*]}"
    (cd "$stage/debs" && logged "$stage/apt.log" "apt-get download failed" apt-get "${apt[@]}" download "${pkgs[@]}")
    for deb in "$stage"/debs/*.deb; do dpkg-deb -x "$deb" "$root" || die "dpkg-deb -x failed for $deb"; done
    rm -f "$root/usr/lib/python$PYVER"/config-*/libpython*.a "$root/usr/lib/$triplet"/libpython*.a
    # Absolute symlinks to files inside the prefix become relative ones.
    find "$root" -type l -lname '/*' -print0 | while IFS= read -r -d '' link; do
        target=$(readlink "$link")
        [ ! -e "$root$target" ] || ln -sfn "$(realpath -s --relative-to="$(dirname "$link")" "$root$target")" "$link"
    done
    # Debian's pyconfig.h only dispatches to <TRIPLET/pythonVERSION/pyconfig.h>,
    # which the compiler would look up in the host's /usr/include: put the real
    # one in its place, so that -I<include> alone is enough.
    cp -f "$root/usr/include/$triplet/python$PYVER/pyconfig.h" "$root/usr/include/python$PYVER/pyconfig.h"
    loader=$(cd "$root/usr/lib/$triplet" && ls ld-linux*.so.* | head -n1)
    [ -n "$loader" ] || die "no dynamic loader in the unpacked libc6"
    cat >"$root/usr/bin/python$PYVER-run" <<LAUNCHER
#!/bin/sh
# Runs python$PYVER through the dynamic loader and libraries of this prefix.
bindir=\$(dirname "\$(readlink -f "\$0")")
libdir="\$bindir/../lib/$triplet"
exec "\$libdir/$loader" --library-path "\$libdir" --argv0 "\$0" "\$bindir/python$PYVER" "\$@"
LAUNCHER
    chmod 0755 "$root/usr/bin/python$PYVER-run"
    # Every library the interpreter and its extension modules need resolves
    # inside the prefix (the host's older copies would not do).
    bad=$(for f in "$root/usr/bin/python$PYVER" "$root/usr/lib/python$PYVER"/lib-dynload/*.so; do
        "$root/usr/lib/$triplet/$loader" --library-path "$root/usr/lib/$triplet" --list "$f" 2>&1
    done | awk -v root="$root/" '/=>/ && (index($3, root) != 1 || /not found/) { print $1 }' | sort -u | tr '\n' ' ')
    [ -z "$bad" ] || die "libraries not provided by the packages: $bad"
    logged "$stage/apt.log" "the unpacked interpreter does not start" "$root/usr/bin/python$PYVER-run" -c \
        "import sys, sysconfig, ssl, sqlite3, json, threading, ctypes, venv, zlib, hashlib, decimal
assert sys.version_info[:2] == (3, ${PYVER#3.})"
    echo "python$PYVER from $uri unstable, installed $(date -u +%Y-%m-%dT%H:%M:%SZ)"
    for deb in "$stage"/debs/*.deb; do basename "$deb" .deb; done
    note "done in $((SECONDS - t0))s"
}

prefix_complete "$PREFIX" "$LAYOUT" || ensure_prefix "$PREFIX" "$LAYOUT" install_python
case "$OPTION" in
    --python) echo "$PREFIX/usr/bin/python$PYVER-run" ;;
    --include) echo "$PREFIX/usr/include/python$PYVER" ;;
esac
