# The two everyday commands: `make demo` and `make test`. Each installs the
# Debian packages it needs before it configures and builds.
JOBS ?= $(shell nproc)
BUILD_DEPS := cmake g++ make ninja-build libcli11-dev nlohmann-json3-dev
TEST_DEPS  := $(BUILD_DEPS) libgtest-dev libgmock-dev
BENCH_DEPS := $(BUILD_DEPS) libbenchmark-dev valgrind
COVERAGE_DEPS := $(TEST_DEPS) gcovr

.PHONY: demo test bench coverage deps-build deps-test deps-bench deps-coverage release asan clean

deps-build:
	@scripts/ensure-deps.sh $(BUILD_DEPS)
deps-test:
	@scripts/ensure-deps.sh $(TEST_DEPS)
deps-bench:
	@scripts/ensure-deps.sh $(BENCH_DEPS) libgtest-dev
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

clean:
	rm -rf build
