# Morlo AI — the two commands: `make run` and `make test`; `make package` builds the .deb.
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: all deps configure build run test bench package clean

all: build

deps:
	@bash scripts/bootstrap-deps

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) > /dev/null

build: configure
	@cmake --build $(BUILD) -j2

run: build
	@bash scripts/run-app $(BUILD)

test: build
	@bash scripts/run-tests $(BUILD)

bench: build
	@bash scripts/run-bench $(BUILD)

package: build
	@cmake --build $(BUILD) --target package

clean:
	rm -rf $(BUILD)
