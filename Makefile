# Development entry points. Every target sets up what it needs: the free-threaded
# interpreter, .venv, and an incremental build of the package into it.
PY := .venv/bin/python
BUILD_FLAGS := -C cmake.define.KESRA_WERROR=ON
CORE_BUILD := build/core
JOBS := $(shell nproc)

.PHONY: all venv build core-tests core-tests-asan core-tests-tsan check-314t pytest test demo bench fuzz clean

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

# The binding must also compile against the 3.14 free-threaded headers.
check-314t: venv
	@bash scripts/check-py314t.sh

pytest: build
	@$(PY) -m pytest -q

test: build core-tests core-tests-asan core-tests-tsan check-314t pytest

demo: build
	@$(PY) -m kesra demo

bench: build
	@$(PY) bench/bench_queries.py
	@$(PY) bench/bench_graph.py
	@$(PY) bench/bench_indices_by_field.py
	@$(PY) bench/bench_state.py

# Fuzzes the state decoder and queries on what it restores (clang, libFuzzer, ASan/UBSan).
FUZZ_SECONDS ?= 120
fuzz:
	@bash scripts/fuzz.sh $(FUZZ_SECONDS)

clean:
	rm -rf build
