# A thin front on CMake. Each target configures and builds as needed; make help lists them.
#   make                 build
#   make run             start the program on the shipped PythonCode module
#   make test            build and run the whole suite
#   make bench           build and run the benchmark: JSON in the build folder, then a summary
#                        (QUICK=1: the timed cases only run, the memory bounds still hold)
#   make install         build and install only the stripped program, its module (compiled there),
#                        the manual page and the documents under PREFIX (/usr/local), within DESTDIR
#                        if given; run as root, it leaves nothing of root's in the checkout
#   make uninstall       remove what make install put under the same PREFIX and DESTDIR, by the
#                        record it keeps in .installed/ (make clean keeps that)
#   make package         build a Debian package (.deb) in a build folder of its own, with Debian's
#                        build flags
#   make lint            check the format, run clang-tidy (needs GoogleTest and Google Benchmark too:
#                        it checks the tests and the benchmark), and check that doc/releases.md's
#                        tables are what bench/releases.json gives
#   make help            this list
# PYTHON=/path/to/python3 builds against that interpreter's release, in a build folder of its own.
# CXX and CC (in the environment or on the command line) choose the compilers; a build folder made
# with others is configured afresh.
# SANITIZE=1 builds with AddressSanitizer and UndefinedBehaviorSanitizer, in a folder of its own too.
# WERROR=1 makes every compiler warning an error.
# LIBPYTHON=shared links the interpreter's shared library; static, its static one, or fails saying
# why not; auto (the default) takes the static one where it is faster (configure says which).
# JOBS=n runs n build jobs and n tests at once (2).
# QUICK=1 makes make bench short (see above); BENCH_ARGS adds arguments to the benchmark program's,
# for instance BENCH_ARGS=--benchmark_filter=python3.
# PREFIX (/usr/local) and DESTDIR (none) say where make install installs and make uninstall removes.

PYTHON ?= /usr/bin/python3
SANITIZE ?= 0
JOBS ?= 2
BENCH_ARGS ?=
QUICK ?= 0
WERROR ?= 0
LIBPYTHON ?= auto
PREFIX ?= /usr/local
DESTDIR ?=

# Asked of the interpreter itself, so that a shim on PATH resolves to the real executable.
PYTHON_EXECUTABLE := $(shell "$(PYTHON)" -c 'import sys; print(sys.executable)' 2>/dev/null)
# A debug build of the interpreter (python3.11d) and a free-threaded one (python3.14t) get build
# folders apart from their release's.
PYTHON_VERSION := $(shell "$(PYTHON)" -c 'import platform, sys, sysconfig; print(platform.python_version() + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "") + ("-debug" if hasattr(sys, "gettotalrefcount") else ""))' 2>/dev/null)
ifeq ($(PYTHON_EXECUTABLE),)
$(error PYTHON=$(PYTHON) is not a python3 interpreter that runs here)
endif

# PREFIX as CMake keeps it, so that the configuration's can be compared with it.
CMAKE_PREFIX := $(shell "$(PYTHON_EXECUTABLE)" -c 'import os, sys; print(os.path.normpath(sys.argv[1]))' "$(PREFIX)")

ifeq ($(WERROR),1)
WERROR_OPTION := ON
else
WERROR_OPTION := OFF
endif

ifeq ($(SANITIZE),1)
BUILD := build/python-$(PYTHON_VERSION)-sanitize
SANITIZE_OPTION := ON
else
BUILD := build/python-$(PYTHON_VERSION)
SANITIZE_OPTION := OFF
endif

.PHONY: all configure build run test bench install uninstall package lint clean help

# The recursive makes that cmake --build runs say nothing of the folders they enter.
MAKEFLAGS += --no-print-directory

all: build

help:
	@sed -n '/^#   make/,/^# PREFIX/p' Makefile | sed 's/^# \{0,1\}//'

# Two interpreters of one version share a folder name: one configured for another interpreter is
# configured afresh rather than silently used.
# WERROR=1, LIBPYTHON and PREFIX are set on an existing configuration too: the manual page names
# the files under the PREFIX that make install installs to.
# The compilers (CXX and CC: make's own g++ and cc unless given), as the build folder records them.
COMPILERS := $(CXX) $(CC)

configure:
	@if [ "$$(cat $(BUILD)/python-executable 2>/dev/null)" != "$(PYTHON_EXECUTABLE)" ] || \
	  [ "$$(cat $(BUILD)/compilers 2>/dev/null)" != "$(COMPILERS)" ]; then \
	  rm -rf $(BUILD) && \
	  cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCMAKE_CXX_COMPILER="$(CXX)" -DCMAKE_C_COMPILER="$(CC)" \
	    -DPython3_EXECUTABLE="$(PYTHON_EXECUTABLE)" -DSCRIPT_MENU_SANITIZE=$(SANITIZE_OPTION) \
	    -DSCRIPT_MENU_WERROR=$(WERROR_OPTION) -DSCRIPT_MENU_LIBPYTHON=$(LIBPYTHON) \
	    -DCMAKE_INSTALL_PREFIX="$(CMAKE_PREFIX)" && \
	  echo "$(PYTHON_EXECUTABLE)" > $(BUILD)/python-executable && \
	  echo "$(COMPILERS)" > $(BUILD)/compilers; \
	elif ! grep -qx "SCRIPT_MENU_WERROR:BOOL=$(WERROR_OPTION)" $(BUILD)/CMakeCache.txt || \
	  ! grep -qx "SCRIPT_MENU_LIBPYTHON:STRING=$(LIBPYTHON)" $(BUILD)/CMakeCache.txt || \
	  ! grep -qxF "CMAKE_INSTALL_PREFIX:PATH=$(CMAKE_PREFIX)" $(BUILD)/CMakeCache.txt; then \
	  cmake -S . -B $(BUILD) -DSCRIPT_MENU_WERROR=$(WERROR_OPTION) \
	    -DSCRIPT_MENU_LIBPYTHON=$(LIBPYTHON) -DCMAKE_INSTALL_PREFIX="$(CMAKE_PREFIX)"; \
	fi

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: configure
	cmake --build $(BUILD) -j $(JOBS) --target script-menu
	$(BUILD)/bin/script-menu

# The suite and the benchmark need GoogleTest and Google Benchmark, which configure only looks for.
# One installed since the build was configured is looked for again before the target gives up.
# $(call require,CACHE ENTRY,WHAT,DEBIAN PACKAGE,TARGET)
define require
@if ! grep -qx '$(1):INTERNAL=ON' $(BUILD)/CMakeCache.txt; then \
  cmake -S . -B $(BUILD) > /dev/null && grep -qx '$(1):INTERNAL=ON' $(BUILD)/CMakeCache.txt || \
  { echo "make $(4): $(2) was not found: on Debian, apt-get install $(3)" >&2; exit 1; }; \
fi
endef

# --no-tests=error: a build without the suite fails rather than passing on no tests at all.
# Then each skipped test's reason, as the test gave it.
test: configure
	$(call require,SCRIPT_MENU_HAS_TESTS,GoogleTest,libgtest-dev,test)
	cmake --build $(BUILD) -j $(JOBS)
	@cd $(BUILD) && { ctest --output-on-failure --no-tests=error -j $(JOBS); status=$$?; \
	  awk '/: Skipped$$/ { getline reason } /^\[  SKIPPED \] .* \([0-9]+ ms\)$$/ { print "skipped: " $$4 ": " reason }' \
	    Testing/Temporary/LastTest.log; exit $$status; }

# The compared cases are repeated and interleaved at random, so that they share the machine's
# noise. QUICK=1 (for CI) runs the timed cases only to show they work, but keeps enough calls
# for the memory cases' bound on growth per call to fail a leak.
ifeq ($(QUICK),1)
BENCH_RUN := --quick --benchmark_repetitions=3 --benchmark_min_time=0.02
else
BENCH_RUN := --benchmark_repetitions=60 --benchmark_min_time=0.05
endif

bench: configure
	$(call require,SCRIPT_MENU_HAS_BENCH,Google Benchmark,libbenchmark-dev,bench)
	cmake --build $(BUILD) -j $(JOBS) --target script_menu_bench
	$(BUILD)/bench/script_menu_bench $(BENCH_RUN) --benchmark_enable_random_interleaving=true \
	  --benchmark_display_aggregates_only=true \
	  --benchmark_out=$(BUILD)/bench.json --benchmark_out_format=json $(BENCH_ARGS)
	@echo
	@"$(PYTHON_EXECUTABLE)" bench/summary.py $(BUILD)/bench.json

# What make install put where is recorded outside build/, so that make uninstall still knows it
# after make clean.
INSTALL_RECORDS := .installed

install: configure
	cmake --build $(BUILD) -j $(JOBS) --target installed
	"$(PYTHON_EXECUTABLE)" packaging/installation.py install $(BUILD) $(INSTALL_RECORDS) \
	  "$(PREFIX)" "$(DESTDIR)"

uninstall:
	"$(PYTHON_EXECUTABLE)" packaging/installation.py uninstall $(INSTALL_RECORDS) \
	  "$(PREFIX)" "$(DESTDIR)"

# The package is built against Debian's own python3, in a folder of its own, with Debian's build
# flags: see .ci/build_package.
PACKAGE_BUILD := build/python-$(PYTHON_VERSION)-package

package:
	.ci/build_package $(PACKAGE_BUILD) "$(PYTHON_EXECUTABLE)" $(WERROR_OPTION) $(JOBS)

# The format (.clang-format) of every C and C++ file, and clang-tidy's checks (.clang-tidy) over
# every file this build compiles, by its compile commands: the program, its tests (their C library
# too) and the benchmark, so lint needs GoogleTest and Google Benchmark as well. The files' paths
# are absolute, so they are matched from this checkout's own folder on: a bare /src/ would match
# every file of a checkout that lies in a folder named src, such as ~/src/script-menu.
SOURCE_FILES = $(shell find src tests bench -name '*.c' -o -name '*.cpp' -o -name '*.h')
CHECKOUT_REGEX = $(shell "$(PYTHON_EXECUTABLE)" -c 'import re, sys; print(re.escape(sys.argv[1]))' "$(CURDIR)")

lint: configure
	$(call require,SCRIPT_MENU_HAS_TESTS,GoogleTest,libgtest-dev,lint)
	$(call require,SCRIPT_MENU_HAS_BENCH,Google Benchmark,libbenchmark-dev,lint)
	clang-format --dry-run --Werror $(SOURCE_FILES)
	run-clang-tidy -p $(BUILD) -j $(JOBS) -quiet -header-filter='^$(CHECKOUT_REGEX)/(src|tests|bench)/' \
	  '^$(CHECKOUT_REGEX)/(?!build/)' > $(BUILD)/clang-tidy.log 2>&1 \
	  || { cat $(BUILD)/clang-tidy.log; exit 1; }
	"$(PYTHON_EXECUTABLE)" bench/release_tables.py --check
	@echo "lint: format and clang-tidy clean, and the release tables are the figures'"

# The install records stay: make uninstall needs them.
clean:
	rm -rf build
