#!/usr/bin/env bash
# Creates .venv with the free-threaded interpreter and installs the build and test
# tools; reuses an existing venv whose requirements have not changed.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=$(bash scripts/install-toolchain.sh)
stamp=.venv/.requirements-stamp
want=$(cat requirements-dev.txt requirements-test.txt; echo "$PY")
# The optional point-file libraries (the package's `io` extra) and mypy for the typing
# test. laszip has no free-threaded wheel and is built from source (about a minute);
# mypy and its compiled helpers are taken as wheels only, which selects a release whose
# dependencies do not need a Rust build. The `dask` extra's msgpack, pyyaml and tornado
# have no free-threaded wheels either and build from source with gcc (seconds each).
extras=(plyfile "laspy[laszip]>=2.4" mypy "dask[array]>=2026.1" "distributed>=2026.1")
extras_stamp=.venv/.extras-stamp
if ! [ -x .venv/bin/python ] || ! [ -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
    rm -rf .venv
    "$PY" -m venv .venv
    .venv/bin/python -m pip install -q --upgrade pip
    # Binary wheels only: a source build of numpy or scipy takes many minutes on two cores.
    .venv/bin/python -m pip install -q --prefer-binary --only-binary=numpy,scipy -r requirements-dev.txt
    echo "$want" > "$stamp"
fi
if ! [ -f "$extras_stamp" ] || [ "$(cat "$extras_stamp")" != "${extras[*]}" ]; then
    CMAKE_BUILD_PARALLEL_LEVEL=$(nproc) .venv/bin/python -m pip install -q --prefer-binary \
        --only-binary=numpy,scipy,mypy,ast-serialize,librt "${extras[@]}"
    echo "${extras[*]}" > "$extras_stamp"
fi
