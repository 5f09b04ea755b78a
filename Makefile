# Front door. The real work is in CMake and scripts/; see README.md.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test demo clean

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

clean:
	rm -rf $(BUILD_DIR)
