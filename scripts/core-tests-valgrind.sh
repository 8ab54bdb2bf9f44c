#!/usr/bin/env bash
# Runs the plain (optimised, uninstrumented) C++ core tests under valgrind's memcheck:
# a second opinion on leaks and invalid reads next to the ASan run, on the code as
# shipped. Installs valgrind from Debian when it is missing. Extra arguments go to the
# test binary (e.g. --gtest_filter=VoxelGrid*).
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v valgrind >/dev/null 2>&1; then
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends valgrind >/dev/null
fi
dir=build/core
export PATH="$PWD/.venv/bin:$PATH"
cmake -S . -B "$dir" -G Ninja -DKESRA_BUILD_EXTENSION=OFF -DKESRA_BUILD_TESTS=ON -DKESRA_WERROR=ON \
    -DKESRA_SANITIZE= -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$dir" -j"$(nproc)"
echo "== core tests under valgrind memcheck"
env -u KESRA_LEAK_PROBE valgrind -q --leak-check=full --show-leak-kinds=definite,indirect \
    --errors-for-leak-kinds=definite,indirect --error-exitcode=1 "$dir/kesra_core_tests" --gtest_brief=1 "$@"
