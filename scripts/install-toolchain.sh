#!/usr/bin/env bash
# Installs what the build needs on a fresh Debian 12/13 machine, and reuses what is
# already there: system packages (the stock python3 included), a free-threaded CPython
# and the nanoflann header the benchmark compares against. Prints the interpreter's path
# last. CPython 3.14 comes from scripts/install-py314.sh.
set -euo pipefail

PREFIX=${KESRA_PY_PREFIX:-/opt/python3.13t}
CACHE=${KESRA_CACHE:-/opt/kesra-toolchain}
mkdir -p "$CACHE"

source "$(dirname "$0")/debian-packages.sh"

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
    apt_updated=0; apt_update
    work=$(mktemp -d)
    (cd "$work" && locked_apt apt-get source --download-only python3.13/trixie >&2 \
        && tar xf python3.13_*.orig.tar.xz \
        && cd Python-3.13.*/ \
        && ./configure --disable-gil --disable-test-modules --prefix="$PREFIX" >/dev/null \
        && make -j"$(nproc)" >/dev/null 2>&1 \
        && make install >/dev/null 2>&1)
    rm -rf "$work"
    PY=$(find_python) || { log "free-threaded CPython build failed"; exit 1; }
fi

# The newest nanoflann Debian ships (header only), for bench/nanoflann_peer.cpp.
NANOFLANN="$CACHE/nanoflann"
if [ ! -f "$NANOFLANN/usr/include/nanoflann.hpp" ]; then
    log "fetching libnanoflann-dev from sid"
    # Only the benchmark needs it: a failed download must not stop the build or the tests.
    unpack_from_sid "$NANOFLANN" libnanoflann-dev || log "libnanoflann-dev not fetched; the benchmark skips nanoflann"
fi

echo "$PY"
