#!/usr/bin/env bash
# Creates build/open3d-venv, a venv of the stock /usr/bin/python3 with Open3D 0.20,
# pykdtree and NumPy as binary wheels, for the Open3D and pykdtree benchmark peers
# (neither has a free-threaded wheel); reuses it while its stamp matches. Open3D's
# library links Debian's libusb: installed with apt as root, else unpacked into the venv
# (bench/open3d_runner.py puts it on LD_LIBRARY_PATH). Prints the venv's python path last. Never touches .venv.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/debian-packages.sh

PY=${KESRA_OPEN3D_PYTHON:-/usr/bin/python3}
VENV=build/open3d-venv
REQUIREMENTS=("open3d==0.20.*" numpy pykdtree)
LIBUSB=libusb-1.0-0

if ! dpkg-query -W -f='${Status}' "$LIBUSB" 2>/dev/null | grep -q 'install ok installed' \
        && ! [ -d "$VENV/libusb" ]; then
    if [ "$(id -u)" -eq 0 ]; then
        apt_install "$LIBUSB"
    else
        log "unpacking $LIBUSB into $VENV/libusb (not root)"
        work=$(mktemp -d)
        (cd "$work" && apt-get download -qq "$LIBUSB" >&2)
        mkdir -p "$VENV/libusb"
        dpkg-deb -x "$work"/*.deb "$VENV/libusb"
        rm -rf "$work"
    fi
fi

stamp=$VENV/.requirements-stamp
want="$("$PY" -c 'import sys; print(sys.version)') ${REQUIREMENTS[*]}"
if ! [ -x "$VENV/bin/python" ] || ! [ -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
    if ! "$PY" -c 'import ensurepip' 2>/dev/null && [ "$(id -u)" -eq 0 ]; then
        apt_install python3-venv
    fi
    keep=$(mktemp -d)
    [ -d "$VENV/libusb" ] && mv "$VENV/libusb" "$keep/"
    bash scripts/make-pip-venv.sh "$PY" "$VENV" >&2
    [ -d "$keep/libusb" ] && mv "$keep/libusb" "$VENV/"
    rmdir "$keep" 2>/dev/null || rm -rf "$keep"
    log "installing ${REQUIREMENTS[*]} into $VENV (a 400 MB wheel)"
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >&2
    # Binary wheels only: Open3D from source takes hours, and so would its dependencies.
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: \
        "${REQUIREMENTS[@]}" >&2
    echo "$want" > "$stamp"
fi
echo "$PWD/$VENV/bin/python"
