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
	cmake --preset $(PRESET) $(CMAKE_ARGS)

# CMAKE_ARGS reach the configuration, e.g. CMAKE_ARGS=-DKESTRA_UPDATE_PUBLIC_KEY=<the studio's key>
# (see README, "Update signing") or -DKESTRA_DEMO_UPDATE_KEY=ON for a demo build.
CMAKE_ARGS ?=
configure: bootstrap $(BUILD)/build.ninja
ifneq ($(strip $(CMAKE_ARGS)),)
	cmake --preset $(PRESET) $(CMAKE_ARGS)
endif

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	@tests/e2e/hosts.sh check >/dev/null 2>&1 || echo "e2e: skipped: needs root and network namespaces (the e2e test reports Skipped)"
	# A test that fails is run once more: both runs stay in the log, and a second failure fails the run.
	scripts/test-services.sh run -- ctest --test-dir $(BUILD) --output-on-failure -j 2 --timeout 600 --repeat until-pass:2

demo: build
	scripts/demo.sh $(BUILD)

# Multi-host tests (root, network namespaces); `make test` runs them too, or says it skipped them.
.PHONY: e2e
e2e: configure
	cmake --build $(BUILD) -j $(JOBS) --target e2e_tst_e2e
	tests/e2e/run.sh $(BUILD)

services-up:
	@scripts/test-services.sh up

services-down:
	@scripts/test-services.sh down

clean:
	rm -rf build

# Debian packages kestra-client and kestra-admin in $(BUILD)/packages; refused while the build
# trusts the public development update key, unless asked for a demo (KESTRA_DEMO_UPDATE_KEY=ON).
.PHONY: package
package: build
	cd $(BUILD) && cpack -G DEB $(if $(KESTRA_DEMO_UPDATE_KEY),-D KESTRA_DEMO_UPDATE_KEY=$(KESTRA_DEMO_UPDATE_KEY))

.PHONY: bench
bench: build
	$(BUILD)/bench/rpc
	$(BUILD)/bench/fleet
	scripts/test-services.sh run -- env KESTRA_APPS_DIR=$(BUILD)/apps $(BUILD)/bench/agent
	scripts/test-services.sh run -- $(BUILD)/bench/cli
