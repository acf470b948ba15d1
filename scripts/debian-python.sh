#!/usr/bin/env bash
# Provides a CPython version that Debian ships only in unstable (3.14, 3.15)
# from Debian's unstable binary packages in a private prefix (never touching
# the system's dpkg database), and runs it.
#
# Usage:
#   scripts/debian-python.sh VERSION --ensure      install if missing, print the prefix
#   scripts/debian-python.sh VERSION --prefix      print the prefix (no install)
#   scripts/debian-python.sh VERSION --include     print the directory holding Python.h
#   scripts/debian-python.sh VERSION --cflags      print the -I flags for building extensions
#   scripts/debian-python.sh VERSION --ext-suffix  print the extension module suffix
#   scripts/debian-python.sh VERSION --python      print the launcher path (usable as
#                                                  sys.executable / in subprocesses)
#   scripts/debian-python.sh VERSION [ARGS...]     run pythonVERSION ARGS... (installs first)
#   scripts/debian-python.sh --help                this text
#
# VERSION is 3.14 or 3.15 (any 3.N that unstable ships works).
#
# Environment:
#   VELTRIX_CACHE          the project's cache directory; the prefix is its
#                          pythonVERSION folder (default cache:
#                          ${XDG_CACHE_HOME:-$HOME/.cache}/veltrix)
#   VELTRIX_DEBIAN_URI     archive URI to use instead of the one found in the
#                          machine's apt sources
#   VELTRIX_DEBIAN_KEYRING keyring for the unstable suite (default: the
#                          machine's debian-archive-keyring.gpg)
#
# Layout of the prefix:
#   <prefix>/usr/...                   the extracted .deb contents
#   <prefix>/usr/bin/pythonVERSION-run launcher: runs usr/bin/pythonVERSION
#                                      through the prefix's own dynamic loader,
#                                      with argv[0] set to the path it was
#                                      called by, so that sys.executable
#                                      re-invokes it and a virtual
#                                      environment's bin/python (a symlink to
#                                      it) finds its pyvenv.cfg
#   <prefix>/.complete                 marker + list of installed packages
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed -e '/^set -euo/d' -e 's/^# \{0,1\}//'
}

case "${1:-}" in
  -h | --help | "") usage; exit 0 ;;
esac
PYVER="$1"
shift
[[ "$PYVER" =~ ^3\.[0-9]+$ ]] || { echo "debian-python.sh: error: VERSION must look like 3.15, not '$PYVER'" >&2; exit 2; }

# Packages taken as-is; their library dependencies are added recursively.
SEED_PACKAGES=(
  "python$PYVER" "python$PYVER-minimal" "python$PYVER-dev"
  "libpython$PYVER" "libpython$PYVER-minimal" "libpython$PYVER-stdlib" "libpython$PYVER-dev"
  libc6 libgcc-s1 libstdc++6
)
# Library packages that are never needed in the prefix.
SKIP_PACKAGES=" libc-gconv-modules-extra libc-dev-bin libc6-dev "

die() { echo "debian-python.sh: error: $*" >&2; exit 1; }
note() { echo "debian-python.sh: $*" >&2; }

PREFIX="$CACHE/python$PYVER"
# The marker's first line: a prefix made by an earlier version of this
# script (another launcher) is installed again.
LAYOUT="layout 2"
LAUNCHER="$PREFIX/usr/bin/python$PYVER-run"

host_arch() {
  local a
  a=$(dpkg --print-architecture 2>/dev/null) || a=$(uname -m)
  case "$a" in
    amd64 | x86_64) ARCH=amd64 TRIPLET=x86_64-linux-gnu ;;
    arm64 | aarch64) ARCH=arm64 TRIPLET=aarch64-linux-gnu ;;
    *) die "unsupported architecture '$a' (supported: amd64, arm64)" ;;
  esac
}

# ---------------------------------------------------------------- apt sources

# Debian suite names (codenames and aliases) that identify the main archive.
is_debian_suite() {
  local s="${1%/}"
  case "$s" in *security*) return 1 ;; esac
  s="${s%-updates}"; s="${s%-backports}"; s="${s%-proposed-updates}"
  case "$s" in
    sid | unstable | testing | stable | oldstable | oldoldstable | experimental) return 0 ;;
    buzz | rex | bo | hamm | slink | potato | woody | sarge | etch | lenny) return 0 ;;
    squeeze | wheezy | jessie | stretch | buster | bullseye | bookworm) return 0 ;;
    trixie | forky | duke) return 0 ;;
  esac
  local codename=""
  codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}") || true
  [[ -n "$codename" && "$s" == "$codename" ]]
}

usable_uri() {
  case "$1" in
    *security*) return 1 ;;
    http://* | https://* | ftp://* | file:/*) return 0 ;;
  esac
  return 1
}

# Print "URI" pairs for every deb entry of the machine's apt sources, as
# "<uri> <suite>" lines, in the order apt reads them.
list_apt_entries() {
  local f
  local files=()
  [[ -f /etc/apt/sources.list ]] && files+=(/etc/apt/sources.list)
  for f in /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [[ -f "$f" ]] && files+=("$f")
  done
  for f in "${files[@]}"; do
    case "$f" in
      *.list)
        # one-line style: deb [opts] uri suite comps...
        sed -e 's/#.*//' "$f" | awk '
          $1 == "deb" {
            i = 2
            if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
            if (i + 1 <= NF) print $i, $(i + 1)
          }'
        ;;
      *.sources)
        # deb822 style: paragraphs of Types/URIs/Suites/Enabled fields
        awk '
          function flush() {
            if (types ~ /(^| )deb( |$)/ && enabled !~ /^(no|false|0)$/) {
              n = split(uris, U, " "); m = split(suites, S, " ")
              for (a = 1; a <= n; a++) for (b = 1; b <= m; b++) print U[a], S[b]
            }
            types = ""; uris = ""; suites = ""; enabled = ""; last = ""
          }
          /^[ \t]*#/ { next }
          /^[ \t]*$/ { flush(); next }
          /^[ \t]/ { if (last == "uris") uris = uris " " $0; else if (last == "suites") suites = suites " " $0; next }
          {
            key = tolower($0); sub(/:.*/, "", key)
            val = $0; sub(/^[^:]*:[ \t]*/, "", val)
            last = key
            if (key == "types") types = val
            else if (key == "uris") uris = val
            else if (key == "suites") suites = val
            else if (key == "enabled") enabled = tolower(val)
          }
          END { flush() }' "$f"
        ;;
    esac
  done
}

find_archive_uri() {
  if [[ -n "${VELTRIX_DEBIAN_URI:-}" ]]; then
    echo "${VELTRIX_DEBIAN_URI%/}"
    return
  fi
  local uri suite
  while read -r uri suite; do
    [[ -n "$uri" ]] || continue
    usable_uri "$uri" || continue
    is_debian_suite "$suite" || continue
    echo "${uri%/}"
    return
  done < <(list_apt_entries)
  die "no Debian archive found in /etc/apt/sources.list or /etc/apt/sources.list.d/ (set VELTRIX_DEBIAN_URI to the archive URI)"
}

# ---------------------------------------------------------------- install

APT_OPTS=()
apt_setup() {
  local aptdir="$1" uri="$2" keyring opts
  mkdir -p "$aptdir/lists/partial" "$aptdir/cache/archives/partial" "$aptdir/etc"
  : >"$aptdir/status"
  keyring="${VELTRIX_DEBIAN_KEYRING:-/usr/share/keyrings/debian-archive-keyring.gpg}"
  opts="arch=$ARCH"
  if [[ -r "$keyring" ]]; then
    opts="$opts signed-by=$keyring"
  else
    note "keyring $keyring not found; relying on apt's trusted keys"
  fi
  echo "deb [$opts] $uri unstable main" >"$aptdir/etc/sources.list"
  APT_OPTS=(
    -o "Dir::Etc::SourceList=$aptdir/etc/sources.list"
    -o "Dir::Etc::SourceParts=/dev/null"
    -o "Dir::Etc::Preferences=/dev/null"
    -o "Dir::Etc::PreferencesParts=/dev/null"
    -o "Dir::State::Lists=$aptdir/lists"
    -o "Dir::State::Status=$aptdir/status"
    -o "Dir::State::extended_states=$aptdir/extended_states"
    -o "Dir::Cache=$aptdir/cache"
    -o "Dir::Cache::pkgcache=pkgcache.bin"
    -o "Dir::Cache::srcpkgcache=srcpkgcache.bin"
    -o "APT::Architecture=$ARCH"
    -o "APT::Architectures=$ARCH"
    -o "Acquire::Languages=none"
    -o "APT::Get::List-Cleanup=false"
  )
  # As root apt drops to the _apt user, which cannot write into a private
  # (possibly 0700) cache directory; download as the invoking user instead.
  if [[ $EUID -eq 0 ]]; then
    APT_OPTS+=(-o "APT::Sandbox::User=root")
  fi
}

# For each given package that exists, print "<name> <dep> <dep>..." with the
# first alternative of its Pre-Depends/Depends, bare names only.
pkg_deps() {
  apt-cache "${APT_OPTS[@]}" show --no-all-versions "$@" 2>/dev/null | awk '
    function emit(   n, i, d, D, out) {
      if (pkg == "") return
      out = pkg
      n = split(deps, D, ",")
      for (i = 1; i <= n; i++) {
        d = D[i]
        sub(/\|.*/, "", d); gsub(/\([^)]*\)/, "", d); sub(/:any/, "", d); gsub(/[ \t]/, "", d)
        if (d != "") out = out " " d
      }
      print out
      pkg = ""; deps = ""
    }
    /^Package: / { pkg = $2 }
    /^(Pre-)?Depends: / { v = $0; sub(/^[^:]*: /, "", v); deps = deps "," v }
    /^$/ { emit() }
    END { emit() }'
}

# Seed packages plus the recursive closure of their library dependencies.
resolve_packages() {
  local -A seen=() found=()
  local level=("${SEED_PACKAGES[@]}") next=() out=()
  local p name deps d
  for p in "${level[@]}"; do seen[$p]=1; done
  while ((${#level[@]})); do
    next=()
    while read -r name deps; do
      [[ -z "${found[$name]:-}" ]] || continue
      found[$name]=1
      out+=("$name")
      for d in $deps; do
        case "$d" in lib* | zlib*) ;; *) continue ;; esac
        case "$d" in *-dev | *-bin | *-doc) continue ;; esac
        [[ "$SKIP_PACKAGES" != *" $d "* ]] || continue
        [[ -z "${seen[$d]:-}" ]] || continue
        seen[$d]=1
        next+=("$d")
      done
    done < <(pkg_deps "${level[@]}")
    level=("${next[@]}")
  done
  # Names without a real package (virtual ones) simply drop out; the seeds
  # must all be there.
  for p in "${SEED_PACKAGES[@]}"; do
    [[ -n "${found[$p]:-}" ]] || die "package '$p' not found in the unstable suite"
  done
  printf '%s\n' "${out[@]}"
}

# Turn absolute symlinks that point at files shipped inside the prefix into
# relative ones (e.g. usr/lib/python3.15/sitecustomize.py -> /etc/...).
fix_symlinks() {
  local root="$1" link target rel
  while IFS= read -r -d '' link; do
    target=$(readlink "$link")
    [[ "$target" == /* ]] || continue
    if [[ -e "$root$target" || -L "$root$target" ]]; then
      rel=$(realpath -s --relative-to="$(dirname "$link")" "$root$target")
      ln -sfn "$rel" "$link"
    fi
  done < <(find "$root" -type l -print0)
}

write_launcher() {
  local root="$1"
  cat >"$root/usr/bin/python$PYVER-run" <<EOF
#!/bin/sh
# Runs python$PYVER through the dynamic loader and libraries of this prefix.
bindir=\$(dirname "\$(readlink -f "\$0")")
libdir="\$bindir/../lib/$TRIPLET"
exec "\$libdir/$LOADER" --library-path "\$libdir" --argv0 "\$0" "\$bindir/python$PYVER" "\$@"
EOF
  chmod 0755 "$root/usr/bin/python$PYVER-run"
}

# Every shared library needed by the interpreter and its extension modules
# must resolve inside the prefix (else the host's older copy would be used).
check_libraries() {
  local root="$1" libdir f bad
  libdir="$root/usr/lib/$TRIPLET"
  bad=$(for f in "$root/usr/bin/python$PYVER" "$root/usr/lib/python$PYVER"/lib-dynload/*.so; do
    "$libdir/$LOADER" --library-path "$libdir" --list "$f" 2>&1 |
      awk -v root="$root/" '/=>/ && (index($3, root) != 1 || /not found/) { print $1 }'
  done | sort -u | tr '\n' ' ')
  [[ -z "$bad" ]] || die "libraries not provided by the downloaded packages: $bad"
}

# Fills STAGE/root with the prefix (scripts/common.sh ensure_prefix publishes
# it) and prints the rest of its marker.
do_install() {  # STAGE
  command -v apt-get >/dev/null || die "apt-get is required"
  command -v dpkg-deb >/dev/null || die "dpkg-deb is required"
  host_arch
  local stage="$1" uri log t0 pkgs debs d
  t0=$(date +%s)
  uri=$(find_archive_uri)
  log="$stage/install.log"
  note "installing CPython $PYVER from $uri (suite unstable) into $PREFIX"

  apt_setup "$stage/apt" "$uri"
  if ! apt-get "${APT_OPTS[@]}" update >"$log" 2>&1; then
    cat "$log" >&2
    die "apt-get update for the unstable suite failed (see output above)"
  fi
  if grep -qE '^(W|E): .*(NO_PUBKEY|GPG error|not signed|EXPKEYSIG)' "$log"; then
    cat "$log" >&2
    die "unstable's Release file could not be verified with the keyring (set VELTRIX_DEBIAN_KEYRING)"
  fi

  resolve_packages >"$stage/packages" || exit 1
  mapfile -t pkgs <"$stage/packages"
  ((${#pkgs[@]})) || die "could not resolve the package list"
  note "downloading ${#pkgs[@]} packages: ${pkgs[*]}"
  mkdir -p "$stage/debs"
  if ! (cd "$stage/debs" && apt-get "${APT_OPTS[@]}" download "${pkgs[@]}") >>"$log" 2>&1; then
    cat "$log" >&2
    die "apt-get download failed (see output above)"
  fi

  mkdir -p "$stage/root"
  shopt -s nullglob
  debs=("$stage"/debs/*.deb)
  shopt -u nullglob
  ((${#debs[@]} == ${#pkgs[@]})) || die "expected ${#pkgs[@]} .deb files, got ${#debs[@]}"
  for d in "${debs[@]}"; do
    dpkg-deb -x "$d" "$stage/root" || die "dpkg-deb -x failed for $d"
  done

  # Not needed to build or run extensions; saves space.
  rm -f "$stage/root/usr/lib/python$PYVER"/config-*/libpython*.a \
    "$stage/root/usr/lib/$TRIPLET"/libpython*.a

  fix_symlinks "$stage/root"
  # Debian's usr/include/python3.15/pyconfig.h only dispatches to
  # <TRIPLET/python3.15/pyconfig.h>, which the compiler would look up in the
  # host's /usr/include. Put the real one in place so that -I<include> alone
  # is enough.
  if [[ -f "$stage/root/usr/include/$TRIPLET/python$PYVER/pyconfig.h" ]]; then
    cp -f "$stage/root/usr/include/$TRIPLET/python$PYVER/pyconfig.h" \
      "$stage/root/usr/include/python$PYVER/pyconfig.h"
  fi
  LOADER=""
  for d in "$stage/root/usr/lib/$TRIPLET"/ld-linux*.so.* "$stage/root/lib/$TRIPLET"/ld-linux*.so.*; do
    [[ -e "$d" ]] && { LOADER=$(basename "$d"); break; }
  done
  [[ -n "$LOADER" ]] || die "no dynamic loader found in the extracted libc6"
  if [[ ! -e "$stage/root/usr/lib/$TRIPLET/$LOADER" ]]; then
    # old layout with /lib not merged into /usr/lib
    ln -s "../../../lib/$TRIPLET/$LOADER" "$stage/root/usr/lib/$TRIPLET/$LOADER"
  fi
  [[ -x "$stage/root/usr/bin/python$PYVER" ]] || die "usr/bin/python$PYVER missing after extraction"
  [[ -f "$stage/root/usr/include/python$PYVER/Python.h" ]] || die "Python.h missing after extraction"
  write_launcher "$stage/root"

  check_libraries "$stage/root"

  # Smoke test before publishing the prefix.
  if ! "$stage/root/usr/bin/python$PYVER-run" -c \
    "import sys, sysconfig, ssl, sqlite3, json, threading, ctypes, venv, zlib, hashlib, decimal; assert sys.version_info[:2] == (3, ${PYVER#3.})" \
    >>"$log" 2>&1; then
    cat "$log" >&2
    die "the extracted interpreter does not start (see output above)"
  fi

  echo "python$PYVER from $uri unstable, installed $(date -u +%Y-%m-%dT%H:%M:%SZ)"
  for d in "${debs[@]}"; do basename "$d" .deb; done
  note "done in $(($(date +%s) - t0))s"
}

ensure() { ensure_prefix "$PREFIX" "$LAYOUT" do_install; }

# ---------------------------------------------------------------- main

case "${1:-}" in
  --ensure)
    ensure
    echo "$PREFIX"
    ;;
  --prefix)
    echo "$PREFIX"
    ;;
  --include)
    ensure
    echo "$PREFIX/usr/include/python$PYVER"
    ;;
  --cflags)
    ensure
    echo "-I$PREFIX/usr/include/python$PYVER -I$PREFIX/usr/include"
    ;;
  --ext-suffix)
    ensure
    "$LAUNCHER" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))'
    ;;
  --python)
    ensure
    echo "$LAUNCHER"
    ;;
  -h | --help)
    usage
    ;;
  *)
    ensure
    exec "$LAUNCHER" "$@"
    ;;
esac
