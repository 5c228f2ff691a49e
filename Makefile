# One-command entry points.  `make demo` builds and runs the demonstration
# against the bundled simulator; `make test` also installs the test tools,
# builds the tests and runs every suite, then every Python suite again under
# valgrind.  `make install` installs the package with Python 2.7's pip.
BUILD ?= build
PYTHON27 := $(shell scripts/find-python27.sh)
export PYTHON27
# Extra pip options for `make install`, e.g. PIP_OPTIONS=--user or
# PIP_OPTIONS="--prefix /opt/tarvik".
PIP_OPTIONS ?=

.PHONY: all setup setup-test setup-fleet build build-tests test demo fleet-demo check-memory bench profile install clean

all: build

setup:
	@scripts/setup.sh build

setup-test:
	@scripts/setup.sh test

setup-fleet:
	@scripts/setup.sh fleet

build: setup
	cmake -S . -B $(BUILD) -DPYTHON27=$(PYTHON27) >/dev/null
	cmake --build $(BUILD) -j2

build-tests: setup-test
	cmake -S . -B $(BUILD) -DPYTHON27=$(PYTHON27) -DTARVIK_BUILD_TESTS=ON >/dev/null
	cmake --build $(BUILD) -j2

test: build-tests
	ctest --test-dir $(BUILD) --output-on-failure -j2
	scripts/check-memory.sh $(BUILD)

demo: build
	scripts/demo.sh $(BUILD)

# Two Celery workers on a redis-server read 64 simulated meters; one worker
# is killed half-way.
fleet-demo: build setup-fleet
	scripts/fleet-demo.sh $(BUILD)

check-memory: build-tests
	scripts/check-memory.sh $(BUILD)

install: setup
	scripts/install.sh $(PIP_OPTIONS)

clean:
	rm -rf $(BUILD)

bench: build
	scripts/bench.sh $(BUILD)

profile: build
	scripts/profile.sh $(BUILD)
