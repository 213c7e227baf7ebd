# Two commands for a fresh Debian machine:
#   make run    installs what is missing, builds, starts Brixmoor
#   make test   installs what is missing, builds, runs every test
# (plus a second build with AddressSanitizer and UBSan whose tests run too).

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: run test test-release test-asan build build-asan deps fuzz bench clean

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
	  exec $(BUILD)/app/brixmoor; \
	else \
	  exec $(BUILD)/app/brixmoor --headless; \
	fi

test-release: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: build-asan
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=0 ctest --output-on-failure -j $(JOBS)

test: test-release test-asan

fuzz: deps
	scripts/run-fuzzers

bench: build
	scripts/run-benchmarks $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-fuzz
