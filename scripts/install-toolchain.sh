#!/usr/bin/env bash
# Installs what the build needs on a fresh Debian 12/13 machine, and reuses what is
# already there: system packages (the stock python3 included), a free-threaded CPython,
# the 3.14 headers used for the readiness check and the nanoflann header the benchmark
# compares against. Prints the interpreter's path last.
set -euo pipefail

PREFIX=${KESRA_PY_PREFIX:-/opt/python3.13t}
CACHE=${KESRA_CACHE:-/opt/kesra-toolchain}
mkdir -p "$CACHE"

log() { echo "[toolchain] $*" >&2; }

find_python() {
    for exe in python3.14t python3.13t "$PREFIX/bin/python3.13t"; do
        if command -v "$exe" >/dev/null 2>&1; then
            if "$exe" -c 'import sys; sys.exit(0 if sys._is_gil_enabled() is False else 1)' 2>/dev/null; then
                command -v "$exe"; return 0
            fi
        fi
    done
    return 1
}

apt_updated=0
apt_install() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ $apt_updated -eq 0 ]; then apt-get update -qq >&2; apt_updated=1; fi
    log "installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
}

mirror_uri() {
    grep -rhoE 'https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list /etc/apt/sources.list.d/ 2>/dev/null \
        | grep -v security | head -n 1 | tr -d ' '
}

# A binary entry for sid pinned at priority 1: packages are downloaded from it and
# unpacked into $CACHE, never installed or upgraded from it.
sid_entry() {
    local sid_list=/etc/apt/sources.list.d/kesra-sid.sources
    if [ ! -f "$sid_list" ]; then
        printf 'Types: deb\nURIs: %s\nSuites: sid\nComponents: main\nSigned-By: %s\n' \
            "$(mirror_uri)" /usr/share/keyrings/debian-archive-keyring.gpg > "$sid_list"
        printf 'Package: *\nPin: release n=sid\nPin-Priority: 1\n' > /etc/apt/preferences.d/kesra-sid-pin
    fi
}

# unpack_from_sid PACKAGE DIR: downloads PACKAGE's sid build and unpacks it into DIR.
sid_updated=0
unpack_from_sid() {
    sid_entry
    if [ $sid_updated -eq 0 ]; then apt-get update -qq >&2; apt_updated=1; sid_updated=1; fi
    local work
    work=$(mktemp -d)
    (cd "$work" && apt-get download "$1/sid" >&2 && mkdir -p "$2" && dpkg-deb -x "$1"_*.deb "$2")
    rm -rf "$work"
}

# Build tools, C++ test libraries and the sanitizer runtimes; the stock python3 with its
# headers and venv for the wheel test.
apt_install build-essential cmake ninja-build libgtest-dev pkg-config python3 python3-dev python3-venv

if ! PY=$(find_python); then
    log "building a free-threaded CPython 3.13 into $PREFIX"
    apt_install libssl-dev libffi-dev zlib1g-dev libbz2-dev liblzma-dev libsqlite3-dev \
        libreadline-dev uuid-dev xz-utils
    src_list=/etc/apt/sources.list.d/kesra-trixie-src.sources
    if [ ! -f "$src_list" ]; then
        printf 'Types: deb-src\nURIs: %s\nSuites: trixie\nComponents: main\nSigned-By: %s\n' \
            "$(mirror_uri)" /usr/share/keyrings/debian-archive-keyring.gpg > "$src_list"
    fi
    apt-get update -qq >&2; apt_updated=1
    work=$(mktemp -d)
    (cd "$work" && apt-get source --download-only python3.13/trixie >&2 \
        && tar xf python3.13_*.orig.tar.xz \
        && cd Python-3.13.*/ \
        && ./configure --disable-gil --prefix="$PREFIX" >/dev/null \
        && make -j"$(nproc)" >/dev/null 2>&1 \
        && make install >/dev/null 2>&1)
    rm -rf "$work"
    PY=$(find_python) || { log "free-threaded CPython build failed"; exit 1; }
fi

# Python 3.14 headers (unpacked, never installed) for the 3.14t readiness check.
HDR="$CACHE/py314"
if [ ! -f "$HDR/usr/include/python3.14/Python.h" ]; then
    log "fetching libpython3.14-dev headers"
    unpack_from_sid libpython3.14-dev "$HDR"
fi

# The newest nanoflann Debian ships (header only), for bench/nanoflann_peer.cpp.
NANOFLANN="$CACHE/nanoflann"
if [ ! -f "$NANOFLANN/usr/include/nanoflann.hpp" ]; then
    log "fetching libnanoflann-dev from sid"
    # Only the benchmark needs it: a failed download must not stop the build or the tests.
    unpack_from_sid libnanoflann-dev "$NANOFLANN" || log "libnanoflann-dev not fetched; the benchmark skips nanoflann"
fi

echo "$PY"
