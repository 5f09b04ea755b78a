# Front door. The real work is in CMake and scripts/; see README.md.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test demo bench fuzz clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j$(JOBS)

test: build
	@ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(JOBS)

demo: build
	@scripts/demo.sh $(BUILD_DIR)

# Release build, benchmarks side by side with their anchors, one table.
bench: deps
	@scripts/bench.sh

# Each fuzz target for a bounded time (FUZZ_SECONDS, default 60).
fuzz: deps
	@scripts/fuzz.sh

clean:
	rm -rf $(BUILD_DIR)
