#!/usr/bin/env bash
# Builds and runs the C++ core tests in folder $1 with sanitizers $2 (may be empty).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1
sanitize=$2
export PATH="$PWD/.venv/bin:$PATH"
# Sanitized builds at -O1 (with the sanitizers' -g): the level their documentation advises,
# and a third of -O2's compile time on the heaviest sources.
cmake -S . -B "$dir" -G Ninja -DKESRA_BUILD_EXTENSION=OFF -DKESRA_BUILD_TESTS=ON -DKESRA_WERROR=ON \
    -DKESRA_SANITIZE="$sanitize" -DCMAKE_BUILD_TYPE=$([ -n "$sanitize" ] && echo RelWithDebInfo || echo Release) \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -DNDEBUG" >/dev/null
cmake --build "$dir" -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1
echo "== core tests${sanitize:+ ($sanitize)}"
"$dir/kesra_core_tests" --gtest_brief=1
if [[ $sanitize == *address* ]]; then
    # The run above is only worth something if leak checking is live: a deliberate leak
    # must be reported.
    if KESRA_LEAK_PROBE=1 ASAN_OPTIONS=detect_leaks=1 "$dir/kesra_core_tests" --gtest_filter='LeakCheck.*' >"$dir/leak-probe.log" 2>&1 ||
        ! grep -q "LeakSanitizer: detected memory leaks" "$dir/leak-probe.log"; then
        echo "LeakSanitizer did not report a deliberate leak; see $dir/leak-probe.log" >&2
        exit 1
    fi
    echo "== LeakSanitizer is live (a deliberate leak was reported)"
fi
