#!/usr/bin/env bash
# make-pip-venv.sh INTERPRETER DIR: a fresh venv in DIR with pip, also for interpreters
# without ensurepip (the private 3.14 root): pip then comes from the interpreter's own.
set -euo pipefail
rm -rf "$2"
if "$1" -c 'import ensurepip' 2>/dev/null; then
    "$1" -m venv "$2"
else
    "$1" -m venv --without-pip "$2"
    "$1" -m pip --python "$2/bin/python" install -q --disable-pip-version-check pip
fi
