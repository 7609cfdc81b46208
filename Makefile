# The two everyday commands: `make demo` and `make test`. Each installs the
# Debian packages it needs before it configures and builds.
JOBS ?= $(shell nproc)
BUILD_DEPS := cmake g++ make ninja-build libcli11-dev nlohmann-json3-dev
TEST_DEPS  := $(BUILD_DEPS) libgtest-dev libgmock-dev tshark
BENCH_DEPS := $(BUILD_DEPS) libbenchmark-dev valgrind
COVERAGE_DEPS := $(TEST_DEPS) gcovr
# libFuzzer's runtime comes with clang's compiler-rt package on Debian.
FUZZ_DEPS  := $(BUILD_DEPS) clang-14 libclang-rt-14-dev
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := receiver client regfile hartctl hartip

.PHONY: demo test bench coverage soak fuzz fuzz-merge deps-build deps-test deps-bench deps-fuzz deps-coverage release asan fuzz-build clean

deps-build:
	@scripts/ensure-deps.sh $(BUILD_DEPS)
deps-test:
	@scripts/ensure-deps.sh $(TEST_DEPS)
deps-bench:
	@scripts/ensure-deps.sh $(BENCH_DEPS) libgtest-dev
deps-fuzz:
	@scripts/ensure-deps.sh $(FUZZ_DEPS)
deps-coverage:
	@scripts/ensure-deps.sh $(COVERAGE_DEPS)

# Optimised build for the demo, the tools and the benchmarks.
release: deps-bench
	@cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DHART_BUILD_TESTS=OFF >/dev/null
	@cmake --build build/release -j $(JOBS)

# Tests run with AddressSanitizer and UndefinedBehaviorSanitizer.
asan: deps-test
	@cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHART_SANITIZE=ON -DHART_BUILD_BENCH=OFF >/dev/null
	@cmake --build build/asan -j $(JOBS)

demo: release
	@build/release/tools/hartdemo
	@echo; echo '$$ hartctl --sim --sim-devices 3 identify'; build/release/tools/hartctl --sim --sim-devices 3 identify
	@echo; echo '$$ hartctl --sim send 0'; build/release/tools/hartctl --sim send 0
	@echo; echo '$$ hartctl --sim send read-dynamic-variables -a 0'; build/release/tools/hartctl --sim send read-dynamic-variables -a 0
	@echo; echo '$$ hartctl --sim send 1024'; build/release/tools/hartctl --sim send 1024
	@echo; scripts/hartd-demo.sh build/release

test: asan
	@cd build/asan && ctest --output-on-failure -j $(JOBS) -LE slow

# Lines and branches the tests of `make test` reach, per folder; pages in build/coverage/html.
coverage: deps-coverage
	@JOBS=$(JOBS) scripts/coverage.sh

bench: release
	@build/release/bench/hart_bench
	@bench/callgrind-receiver.sh build/release/bench/receiver_stream
	@build/release/bench/hart_driver_figures
	@build/release/bench/hart_scenarios
	@build/release/bench/hart_pty_figures
	@build/release/bench/hartd_figures

# Ten simulated hours of two masters, a burst device and line noise (SOAK_HOURS to change).
SOAK_HOURS ?= 10
soak: release
	@build/release/bench/hart_soak $(SOAK_HOURS)

# libFuzzer targets (clang, its own build): each runs FUZZ_SECONDS on its
# committed corpus; what it finds goes to build/fuzz/findings/<target>/.
fuzz-build: deps-fuzz
	@cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DHART_FUZZ=ON \
	  -DHART_BUILD_TESTS=OFF -DHART_BUILD_BENCH=OFF >/dev/null
	@cmake --build build/fuzz -j $(JOBS) --target $(FUZZ_TARGETS:%=%_fuzzer)

fuzz: fuzz-build
	@scripts/run-fuzzers.sh build/fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# Adds to the committed corpora the fewest new inputs that reach what the runs
# reached (set cover over edges, so each corpus stays a few dozen files).
fuzz-merge: fuzz-build
	@for t in $(FUZZ_TARGETS); do \
	  build/fuzz/fuzz/$${t}_fuzzer -set_cover_merge=1 -use_counters=0 fuzz/corpus/$$t build/fuzz/corpus/$$t 2>&1 | tail -1; \
	  done

clean:
	rm -rf build
