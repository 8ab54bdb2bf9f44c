#!/usr/bin/env bash
# Builds the extension (core included) with AddressSanitizer + UndefinedBehaviorSanitizer
# into build/sanitize-site, apart from the normal install in .venv, and runs the pytest
# suite against it with the sanitizer runtimes preloaded into the uninstrumented
# interpreter. Extra arguments go to pytest. Any sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
site=build/sanitize-site
PY=.venv/bin/python

# The static core and the binding are built with the flags; the old module is replaced.
rm -rf "$site"
"$PY" -m pip install -q --no-build-isolation --no-deps --target "$site" \
    -C build-dir=build/sanitize-ext -C cmake.build-type=RelWithDebInfo \
    -C cmake.define.KESRA_SANITIZE=address,undefined -C cmake.define.KESRA_WERROR=ON .

runtime() { local f; f=$(gcc -print-file-name="$1"); [ -f "$f" ] || { echo "no $1 for gcc" >&2; exit 1; }; echo "$f"; }
export LD_PRELOAD="$(runtime libasan.so):$(runtime libubsan.so)"
# The interpreter is not instrumented, so its own allocations would swamp leak reports;
# leaks are covered by the LeakSanitizer core tests and tests/python/test_leaks.py.
# A failed allocation returns null (and so raises MemoryError) as it does without ASan.
export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export PYTHONPATH="$PWD/$site${PYTHONPATH:+:$PYTHONPATH}"
# Child interpreters started by the tests inherit all of the above.
module=$("$PY" -c 'import kesra._kesra as m; print(m.__file__)')
echo "== sanitized module: $module"
case $module in "$PWD/$site/"*) ;; *) echo "the tests would not load the sanitized build" >&2; exit 1 ;; esac
nm -D "$module" | grep __asan_report >/dev/null || { echo "$module is not instrumented" >&2; exit 1; }
start=$SECONDS
# Sanitizer reports are written to file descriptor 2 and end the process, so pytest must
# not capture that descriptor. The address-space cap of the deselected test cannot hold
# ASan's shadow memory; the same huge sizes are covered by test_extreme_inputs.py.
"$PY" -m pytest -q -p no:cacheprovider --capture=sys \
    --deselect tests/python/test_errors.py::test_huge_sizes_raise_instead_of_crashing "$@"
echo "== pytest under ASan/UBSan took $((SECONDS - start))s"
