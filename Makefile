# Entry points. `make test` is what CI runs.
BUILD      ?= build
JOBS       ?= $(shell nproc)
CMAKE_GEN  := -G Ninja

.PHONY: all deps build test fuzz tsan tsan-build stress crash bench demo clean install-app

all: build

deps:
	bash scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DJORVU_SANITIZE=ON
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 300

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz $(CMAKE_GEN) -DJORVU_FUZZ=ON -DJORVU_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS)
	bash scripts/run-fuzz build-fuzz/bin $(or $(FUZZ_SECONDS),60)

tsan-build: deps
	cmake -S . -B build-tsan $(CMAKE_GEN) -DJORVU_TSAN=ON
	cmake --build build-tsan -j $(JOBS)

tsan: tsan-build
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS) -L tsan

# `make test` (or `make tsan`) STRESS_RUNS times beside twice as many busy
# loops as CPUs; see scripts/stress.
stress:
	STRESS_RUNS=$(or $(STRESS_RUNS),5) STRESS_TARGET=$(or $(STRESS_TARGET),test) BUILD=$(BUILD) bash scripts/stress

# Seeded random kill trials of the patch engine: 4 shards x CRASH_TRIALS
# (default 100) trials from CRASH_SEED (default: drawn and printed); see
# scripts/crash. `make test` runs 4 x 6 of them.
crash: build
	CRASH_TRIALS=$(or $(CRASH_TRIALS),100) CRASH_SEED=$(CRASH_SEED) bash scripts/crash $(BUILD)/bin

bench:
	bash scripts/install-deps bench
	cmake -S . -B build-bench $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DJORVU_TESTS=OFF
	cmake --build build-bench -j $(JOBS)
	bash scripts/bench build-bench/bin

# The whole system in build/demo (see the README).
demo: deps
	BUILD=$(BUILD) bash scripts/demo

# Installs the launcher for the user who runs it, in $XDG_DATA_HOME/jorvuvorn
# (see the README); no root needed.
install-app: deps
	bash scripts/install-app

clean:
	rm -rf build build-fuzz build-tsan build-bench build-app
