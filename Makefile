# Development entry points. Every target sets up what it needs: the free-threaded
# interpreter, .venv, and an incremental build of the package into it.
PY := .venv/bin/python
BUILD_FLAGS := -C cmake.define.KESRA_WERROR=ON
CORE_BUILD := build/core
JOBS := $(shell nproc)
# The machine's own python3 (3.11 on Debian 12, 3.13 on Debian 13): a standard build.
STOCK_PY ?= /usr/bin/python3
# CPython 3.14 from its private root (scripts/install-py314.sh).
PY314 = $(or $(KESRA_CACHE),/opt/kesra-toolchain)/py314/usr/bin/python3.14
# Runs a recipe as a timed stage (scripts/stage.sh); `make test` sums the stages up.
STAGE = @bash scripts/stage.sh $@

.PHONY: all venv build core-tests core-tests-asan core-tests-tsan core-tests-valgrind py314 check-314 pytest \
	sdist wheel wheel-ft wheel-stock wheel-314 test-wheel test-wheel-ft test-wheel-stock test-wheel-314 test test-sanitize \
	all-tests stress leaks demo bench bench-dask fuzz clean

all: build

venv:
	$(STAGE) bash scripts/make-venv.sh

build: venv
	$(STAGE) $(PY) -m pip install -q --no-build-isolation --no-deps $(BUILD_FLAGS) .

# C++ core tests: plain, AddressSanitizer + UndefinedBehaviorSanitizer, ThreadSanitizer.
core-tests: venv
	$(STAGE) bash scripts/core-tests.sh "$(CORE_BUILD)" ""

core-tests-asan: venv
	$(STAGE) bash scripts/core-tests.sh "$(CORE_BUILD)-asan" "address,undefined"

core-tests-tsan: venv
	$(STAGE) bash scripts/core-tests.sh "$(CORE_BUILD)-tsan" "thread"

# The plain core tests under valgrind's memcheck (leaks and invalid accesses).
core-tests-valgrind: venv
	@bash scripts/core-tests-valgrind.sh

# CPython 3.14 (standard build) in a private root, cached like the free-threaded one.
py314:
	$(STAGE) bash scripts/install-py314.sh

# The binding must also compile against the free-threaded 3.14 headers (no such
# interpreter exists here yet; the standard 3.14 build is compiled and run by wheel-314).
check-314: venv py314
	$(STAGE) bash scripts/check-py314.sh

pytest: build
	$(STAGE) $(PY) -m pytest -q

# An sdist, and from it a manylinux wheel for the free-threaded interpreter, the stock
# interpreter and CPython 3.14, into dist/.
sdist: venv
	$(STAGE) bash scripts/sdist.sh dist

wheel-ft: sdist
	$(STAGE) bash scripts/wheels.sh dist $(PY)

wheel-stock: sdist
	$(STAGE) bash scripts/wheels.sh dist $(STOCK_PY)

wheel-314: sdist py314
	$(STAGE) bash scripts/wheels.sh dist $(PY314)

wheel: wheel-ft wheel-stock wheel-314

# The pytest suite against each wheel: the free-threaded one installed into .venv in place
# of `make build`'s, the others into a fresh venv of their interpreter.
test-wheel-ft: wheel-ft
	$(STAGE) bash scripts/test-wheel.sh $(PY) dist

test-wheel-stock: wheel-stock
	$(STAGE) bash scripts/test-wheel.sh $(STOCK_PY) dist

test-wheel-314: wheel-314
	$(STAGE) bash scripts/test-wheel.sh $(PY314) dist

test-wheel: test-wheel-ft test-wheel-stock test-wheel-314

# Every test. Stages run two at a time (the machines have two cores, and much of a stage
# is one process: pip, venv set-up, the interpreter in pytest); each stage's output is
# printed whole when it ends, with its time, and a table of the times closes the run.
TEST_JOBS ?= 2
test:
	@mkdir -p build && rm -f build/stages.txt
	@start=$$(date +%s); $(MAKE) --no-print-directory -j$(TEST_JOBS) --output-sync=target TEST_LANES=1 all-tests; \
	    status=$$?; echo "== stages (wall seconds; two run at a time)"; \
	    awk '{ printf "   %-18s %6s  %s\n", $$1, $$2, $$3 }' build/stages.txt; \
	    echo "== make test: $$(( $$(date +%s) - start ))s, exit $$status"; exit $$status

all-tests: test-wheel-ft test-wheel-314 test-wheel-stock core-tests-asan core-tests-tsan core-tests check-314

# Under `make test`, two lanes: the core tests, which keep both cores compiling, beside the
# wheels and the pytest runs of the standard interpreters; then the free-threaded pytest
# run alone, as it slows down several times beside other work on two cores.
ifdef TEST_LANES
core-tests-tsan: | core-tests-asan
core-tests: | core-tests-tsan
check-314: | core-tests
wheel-314: | wheel-ft
wheel-stock: | test-wheel-314
test-wheel-ft: | check-314 test-wheel-stock
endif

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
	@$(PY) bench/bench_knn.py
	@$(PY) bench/bench_find_all.py
	@$(PY) bench/bench_normals.py
	@$(PY) bench/find_by_density.py
	@$(PY) bench/bench_overhead.py
	@$(PY) bench/bench_graph.py
	@$(PY) bench/bench_indices_by_field.py
	@$(PY) bench/bench_state.py
	@$(PY) bench/bench_clusters.py

# Dask: 1 against 2 worker processes on 10,000,000 queries (BENCH_DASK_ARGS=--help for options).
bench-dask: build
	@$(PY) bench/bench_dask.py $(BENCH_DASK_ARGS)

# Fuzzes the state decoder and queries on what it restores (clang, libFuzzer, ASan/UBSan).
FUZZ_SECONDS ?= 120
fuzz:
	@bash scripts/fuzz.sh $(FUZZ_SECONDS)

clean:
	rm -rf build
