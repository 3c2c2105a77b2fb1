# The two commands of the README: `make demo` and `make test`.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps configure build demo test package clean

all: build

deps:
	scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

demo: build
	scripts/demo $(BUILD_DIR)

test: build
	scripts/run-tests $(BUILD_DIR)

# Debian packages of the build, into $(BUILD_DIR)/packages (docs/packaging.md).
package: build
	cmake --build $(BUILD_DIR) --target package

clean:
	rm -rf $(BUILD_DIR)
