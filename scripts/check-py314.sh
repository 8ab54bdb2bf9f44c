#!/usr/bin/env bash
# Compiles the binding sources against Python 3.14's headers as the free-threaded build
# (syntax only), so API drift is caught before a free-threaded 3.14 interpreter is at hand.
# The standard 3.14 build is compiled and tested for real (`make wheel-314`, `make test`).
set -euo pipefail
cd "$(dirname "$0")/.."
usr=$(dirname "$(dirname "$(bash scripts/install-py314.sh)")")
numpy_inc=$(.venv/bin/python -c 'import numpy; print(numpy.get_include())')
for src in src/binding/*.cpp; do
    g++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror -DPy_GIL_DISABLED=1 \
        -I"$usr/include/python3.14" -I"$usr/include/$(gcc -dumpmachine)/python3.14" -I"$usr/include" \
        -I"$numpy_inc" -Isrc "$src"
done
echo "== binding compiles against the 3.14t headers"
