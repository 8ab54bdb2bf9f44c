#!/usr/bin/env bash
# Creates .venv with the free-threaded interpreter and installs the build and test
# tools; reuses an existing venv whose requirements have not changed.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=$(bash scripts/install-toolchain.sh)
stamp=.venv/.requirements-stamp
want=$(cat requirements-dev.txt; echo "$PY")
if [ -x .venv/bin/python ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
    exit 0
fi
rm -rf .venv
"$PY" -m venv .venv
.venv/bin/python -m pip install -q --upgrade pip
# Binary wheels only: a source build of numpy or scipy takes many minutes on two cores.
.venv/bin/python -m pip install -q --prefer-binary --only-binary=numpy,scipy -r requirements-dev.txt
echo "$want" > "$stamp"
