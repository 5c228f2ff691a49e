# Thin aliases of the CMake build, which owns every path, flag and run.
#   make demo      builds, then runs the demonstration against the simulator
#   make test      installs the test tools, builds everything with warnings as
#                  errors and runs every CTest test: each suite on Python 2.7
#                  and Python 3, valgrind on 2.7, the simulator's cases, the fuzzer
#   make bench     every benchmark, the module on both interpreters side by side
#   make install   pip install of the package (PIP_OPTIONS=--user etc.)
#
# PYTHON=/path/to/python builds and runs for that one interpreter alone, in
# a build folder of its own: make test PYTHON=$(pyenv prefix 3.13.0)/bin/python3.13
BUILD ?= build
PIP_OPTIONS ?=
CMAKE_OPTIONS ?=

ifdef PYTHON
PYTHON_PATH := $(shell command -v $(PYTHON))
PYTHON_MAJOR := $(shell $(PYTHON_PATH) -c 'import sys; print(sys.version_info[0])')
ifeq ($(PYTHON_MAJOR),)
$(error PYTHON=$(PYTHON) does not run)
endif
BUILD := build-$(notdir $(PYTHON_PATH))
TAG := py$(PYTHON_MAJOR)
CMAKE_OPTIONS += -DTARVIK_PYTHON$(PYTHON_MAJOR)=ON -DTARVIK_PYTHON$(if $(filter 2,$(PYTHON_MAJOR)),3,2)=OFF \
                 -DPython$(PYTHON_MAJOR)_EXECUTABLE=$(PYTHON_PATH)
else
TAG := py2
endif

.PHONY: all setup setup-test setup-fleet build build-tests test demo fleet-demo check-memory bench profile install clean

all: build

setup:
	@scripts/setup.sh build

setup-test:
	@scripts/setup.sh test

setup-fleet:
	@scripts/setup.sh fleet

build: setup
	cmake -S . -B $(BUILD) $(CMAKE_OPTIONS) >/dev/null
	cmake --build $(BUILD) -j2

build-tests: setup-test
	cmake -S . -B $(BUILD) $(CMAKE_OPTIONS) -DTARVIK_BUILD_TESTS=ON -DTARVIK_WERROR=ON >/dev/null
	cmake --build $(BUILD) -j2

test: build-tests
	ctest --test-dir $(BUILD) --output-on-failure -j2

# Two Celery workers on a redis-server read 64 simulated meters; one worker
# is killed half-way.
fleet-demo: build setup-fleet
	$(BUILD)/env-py3 scripts/fleet-demo.sh $(BUILD)/fleet-demo

check-memory: build-tests
	ctest --test-dir $(BUILD) --output-on-failure -j2 -L memcheck

demo: build
	$(BUILD)/env-$(TAG) scripts/demo.sh

bench: build
	$(BUILD)/env-$(TAG) scripts/bench.sh $(wildcard $(BUILD)/python-py*)

profile: build
	$(BUILD)/env-$(TAG) scripts/profile.sh

install: setup
	scripts/install.sh $(or $(PYTHON_PATH),$(shell scripts/find-python27.sh)) $(PIP_OPTIONS)

clean:
	rm -rf $(BUILD)
