#!/usr/bin/env bash
# Sets up CPython 3.14 (standard build) in a private root, $KESRA_CACHE/py314, and prints
# the path of its interpreter. Debian ships 3.14 only in sid, built against a newer C
# library than Debian 12's: the interpreter, the stdlib's libraries and sid's C library
# are unpacked (never installed), and bin/python3.14 is a wrapper that runs the real
# binary through the root's own loader. Its headers serve the wheel build and
# scripts/check-py314.sh. Reuses a complete root.
set -euo pipefail
source "$(dirname "$0")/debian-packages.sh"
CACHE=${KESRA_CACHE:-/opt/kesra-toolchain}
ROOT=$CACHE/py314
PACKAGES=(python3.14-minimal libpython3.14-minimal libpython3.14-stdlib libpython3.14-dev python3.14-dev
          libc6 libssl3t64 libexpat1 zlib1g libffi8 libzstd1 liblzma5 libbz2-1.0 libsqlite3-0 libuuid1
          libmpdec4 libncursesw6 libtinfo6 libreadline8t64 libcrypt1 python3-pip-whl)
stamp=$ROOT/.packages
python=$ROOT/usr/bin/python3.14

if [ "$(cat "$stamp" 2>/dev/null)" != "${PACKAGES[*]}" ]; then
    log "unpacking CPython 3.14 from sid into $ROOT"
    rm -rf "$ROOT"
    unpack_from_sid "$ROOT" "${PACKAGES[@]}"
    mv "$python" "$python.real"
    lib=$ROOT/usr/lib/$(uname -m)-linux-gnu
    loader=$(ls "$lib"/ld-linux*.so.*)
    # --argv0 "$0" makes sys.executable this wrapper (or a venv's link to it), so child
    # interpreters, pip's build environments included, start through the loader too.
    printf '#!/bin/sh\nexec %s --library-path %s --argv0 "$0" %s "$@"\n' \
        "$loader" "$lib" "$python.real" > "$python"
    chmod +x "$python"
    "$python" -c 'import ssl, sqlite3, ctypes, lzma, bz2, zlib, decimal, readline, json' ||
        { log "CPython 3.14 in $ROOT does not start"; exit 1; }
    # There is no ensurepip: pip goes into the root's dist-packages from its wheel, and
    # scripts/make-pip-venv.sh gives venvs of this interpreter pip from there.
    wheel=$(ls "$ROOT"/usr/share/python-wheels/pip-*.whl)
    "$python" "$wheel/pip" install -q --no-index --root-user-action=ignore --disable-pip-version-check \
        --target "$ROOT/usr/lib/python3/dist-packages" "$wheel" >&2
    echo "${PACKAGES[*]}" > "$stamp"
fi
echo "$python"
