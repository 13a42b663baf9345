# Quick start on Debian 12 (as root): `make run` builds and runs the examples,
# `make test` builds and runs every test. Both install what is missing first.
# Our own builds treat warnings as errors (PT_WERROR); a user's build does not.

BUILD   ?= build
JOBS    ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: deps configure build test run bench clean

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPT_WERROR=ON $(CMAKE_FLAGS) > /dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

run: build
	@bash scripts/run-examples.sh $(BUILD)

bench: build
	@bash scripts/run-benchmarks.sh $(BUILD)

clean:
	@rm -rf $(BUILD) build-asan build-tsan build-fuzz build-release
