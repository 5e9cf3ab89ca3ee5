# Morlo AI — the two commands: `make run` and `make test`.
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: all deps configure build run test bench clean

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

clean:
	rm -rf $(BUILD)
