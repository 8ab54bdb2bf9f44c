#!/usr/bin/env bash
# Builds the sdist into folder $1 and checks that it carries the licence
# (scripts/check-licence.py). scripts/wheels.sh builds the wheels from it.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$1
mkdir -p "$out"
rm -f "$out"/kesra-*.tar.gz
.venv/bin/python -m build --sdist --no-isolation --outdir "$out" . >/dev/null
sdist=$(ls "$out"/kesra-*.tar.gz)
.venv/bin/python scripts/check-licence.py "$sdist"
echo "[wheels] built $sdist: licence file and License-Expression present" >&2
