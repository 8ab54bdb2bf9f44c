# Development entry points. Every target sets up what it needs: the free-threaded
# interpreter, .venv, and an incremental build of the package into it.
PY := .venv/bin/python
BUILD_FLAGS := -C cmake.define.KESRA_WERROR=ON
CORE_BUILD := build/core
JOBS := $(shell nproc)
# The machine's own python3 (3.11 on Debian 12, 3.13 on Debian 13): a standard build.
STOCK_PY ?= /usr/bin/python3

.PHONY: all venv build core-tests core-tests-asan core-tests-tsan core-tests-valgrind check-314 pytest \
	wheel test-wheel test test-sanitize stress leaks demo bench bench-dask fuzz clean

all: build

venv:
	@bash scripts/make-venv.sh

build: venv
	@$(PY) -m pip install -q --no-build-isolation --no-deps $(BUILD_FLAGS) .

# C++ core tests: plain, AddressSanitizer + UndefinedBehaviorSanitizer, ThreadSanitizer.
core-tests: venv
	@bash scripts/core-tests.sh "$(CORE_BUILD)" ""

core-tests-asan: venv
	@bash scripts/core-tests.sh "$(CORE_BUILD)-asan" "address,undefined"

core-tests-tsan: venv
	@bash scripts/core-tests.sh "$(CORE_BUILD)-tsan" "thread"

# The plain core tests under valgrind's memcheck (leaks and invalid accesses).
core-tests-valgrind: venv
	@bash scripts/core-tests-valgrind.sh

# The binding must also compile against the 3.14 headers, standard and free-threaded.
check-314: venv
	@bash scripts/check-py314.sh

pytest: build
	@$(PY) -m pytest -q

# An sdist, and from it a manylinux wheel for the free-threaded and the stock interpreter,
# into dist/.
wheel: venv
	@bash scripts/wheels.sh dist $(PY) $(STOCK_PY)

# The pytest suite on the stock interpreter, against its wheel installed in a fresh venv.
test-wheel: wheel
	@bash scripts/test-wheel.sh $(STOCK_PY) dist

test: build core-tests core-tests-asan core-tests-tsan check-314 pytest test-wheel

# The whole pytest suite against an ASan + UBSan build of the extension, kept apart from
# the install in .venv. Not part of `make test`: it rebuilds the extension instrumented.
test-sanitize: venv
	@bash scripts/test-sanitize.sh

# Concurrency stress: 8 threads on shared engines of every method for STRESS_SECONDS.
STRESS_SECONDS ?= 60
stress: build
	@$(PY) tests/stress/stress.py --seconds $(STRESS_SECONDS)

# Resident memory over 100,000 calls of every entry point, failing paths included.
leaks: build
	@$(PY) tests/python/test_leaks.py --calls 100000

demo: build
	@$(PY) -m kesra demo

bench: build
	@$(PY) bench/bench_queries.py
	@$(PY) bench/bench_find_all.py
	@$(PY) bench/find_by_density.py
	@$(PY) bench/bench_overhead.py
	@$(PY) bench/bench_graph.py
	@$(PY) bench/bench_indices_by_field.py
	@$(PY) bench/bench_state.py

# Dask: 1 against 2 worker processes on 10,000,000 queries (BENCH_DASK_ARGS=--help for options).
bench-dask: build
	@$(PY) bench/bench_dask.py $(BENCH_DASK_ARGS)

# Fuzzes the state decoder and queries on what it restores (clang, libFuzzer, ASan/UBSan).
FUZZ_SECONDS ?= 120
fuzz:
	@bash scripts/fuzz.sh $(FUZZ_SECONDS)

clean:
	rm -rf build
