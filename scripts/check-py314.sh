#!/usr/bin/env bash
# Compiles the binding sources against Python 3.14's headers (syntax only), as the
# standard and as the free-threaded build, so API drift is caught before a 3.14
# interpreter is at hand.
set -euo pipefail
cd "$(dirname "$0")/.."
hdr=${KESRA_CACHE:-/opt/kesra-toolchain}/py314
numpy_inc=$(.venv/bin/python -c 'import numpy; print(numpy.get_include())')
for gil_disabled in "" -DPy_GIL_DISABLED=1; do
    for src in src/binding/*.cpp; do
        g++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror $gil_disabled \
            -I"$hdr/usr/include/python3.14" -I"$hdr/usr/include/$(gcc -dumpmachine)/python3.14" -I"$hdr/usr/include" \
            -I"$numpy_inc" -Isrc "$src"
    done
done
echo "== binding compiles against the 3.14 and 3.14t headers"
