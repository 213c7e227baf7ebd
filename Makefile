# Two commands for a fresh Debian machine:
#   make run    installs what is missing, builds, starts Brixmoor
#   make test   installs what is missing, builds, runs every test: the release
#               tree and a second build with AddressSanitizer, UBSan and leak
#               checking (everything but the crash test), then the fuzz
#               targets built with clang, each run briefly over its corpus
#   make test-fuzz  the fuzz part alone
# For the inner loop:
#   make check  builds the release tree and runs the unit and loopback tiers

BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=
# Seconds each fuzz target runs in make test.
FUZZ_SECONDS ?= 20

.PHONY: run test check test-release test-asan test-fuzz build build-asan deps fuzz bench clean

deps:
	scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DBRIXMOOR_WERROR=ON $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DBRIXMOOR_WERROR=ON -DBRIXMOOR_SANITIZE=ON \
	  -DBRIXMOOR_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug $(CMAKE_ARGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)

run: build
	@if [ -n "$$DISPLAY$$WAYLAND_DISPLAY" ]; then \
	  exec $(BUILD)/ui/brixmoor; \
	else \
	  exec $(BUILD)/ui/brixmoor --headless; \
	fi

# Each run ends with one line per reason for the tests it skipped.
check: build
	scripts/run-ctest $(BUILD) -j $(JOBS) -L '^(unit|loopback)$$'

test-release: build
	scripts/run-ctest $(BUILD) -j $(JOBS)

# The sanitizer options (leak checking with tests/support/lsan.supp) are set
# on every test by tests/CMakeLists.txt. The crash test kills programs on
# purpose, which is no leak check; it runs in the release tree only.
test-asan: build-asan
	scripts/run-ctest $(ASAN_BUILD) -j $(JOBS) -LE '^crash$$'

test-fuzz: deps
	scripts/run-fuzzers --build $(FUZZ_BUILD) --jobs $(JOBS) $(FUZZ_SECONDS)

test: test-release test-asan test-fuzz

fuzz: deps
	scripts/run-fuzzers --build $(FUZZ_BUILD) --jobs $(JOBS)

bench: build
	scripts/run-benchmarks $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
