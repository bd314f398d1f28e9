# A thin front on CMake. Each target configures and builds as needed.
#   make                 build
#   make run             start the program on the shipped PythonCode module
#   make test            build and run the whole suite
# PYTHON=/path/to/python3 builds against that interpreter's release, in a build folder of its own.

PYTHON ?= /usr/bin/python3
JOBS ?= 2

# Asked of the interpreter itself, so that a shim on PATH resolves to the real executable.
PYTHON_EXECUTABLE := $(shell "$(PYTHON)" -c 'import sys; print(sys.executable)' 2>/dev/null)
PYTHON_VERSION := $(shell "$(PYTHON)" -c 'import platform; print(platform.python_version())' 2>/dev/null)
ifeq ($(PYTHON_EXECUTABLE),)
$(error PYTHON=$(PYTHON) is not a python3 interpreter that runs here)
endif

BUILD := build/python-$(PYTHON_VERSION)

.PHONY: all build run test clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython3_EXECUTABLE="$(PYTHON_EXECUTABLE)"

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

run: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target script-menu
	$(BUILD)/bin/script-menu

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf build
