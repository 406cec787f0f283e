# Quick start: `make demo` and `make test` (as root on a fresh Debian 12 machine
# they install what is missing first).
PRESET ?= debug
BUILD  := build/$(PRESET)
JOBS   ?= $(shell nproc)

.PHONY: all bootstrap configure build test demo clean services-up services-down

all: build

bootstrap:
	@scripts/bootstrap.sh

$(BUILD)/build.ninja: CMakeLists.txt CMakePresets.json
	cmake --preset $(PRESET)

configure: bootstrap $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	scripts/test-services.sh run -- ctest --test-dir $(BUILD) --output-on-failure -j 2 --timeout 600

demo: build
	scripts/demo.sh $(BUILD)

services-up:
	@scripts/test-services.sh up

services-down:
	@scripts/test-services.sh down

clean:
	rm -rf build

.PHONY: bench
bench: build
	$(BUILD)/bench/rpc
	$(BUILD)/bench/fleet
	scripts/test-services.sh run -- env KESTRA_APPS_DIR=$(BUILD)/apps $(BUILD)/bench/agent
