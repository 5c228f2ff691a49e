# One-command entry points.  `make test` sets up, builds and runs every
# suite, then every Python suite again under valgrind; `make demo` runs the
# demonstration against the bundled simulator.
BUILD ?= build
PYTHON27 := $(shell scripts/find-python27.sh)
export PYTHON27

.PHONY: all setup build test demo check-memory bench profile install clean

all: build

setup:
	@scripts/setup.sh

build: setup
	cmake -S . -B $(BUILD) -DPYTHON27=$(PYTHON27) >/dev/null
	cmake --build $(BUILD) -j2

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j2
	scripts/check-memory.sh $(BUILD)

demo: build
	scripts/demo.sh $(BUILD)

check-memory: build
	scripts/check-memory.sh $(BUILD)

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD)

bench: build
	scripts/bench.sh $(BUILD)

profile: build
	scripts/profile.sh $(BUILD)
