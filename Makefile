# Two commands a newcomer needs:  make demo   and   make test
# Both set everything up first (see scripts/devroot) and then build.
#
# Other targets: build, shell, bench, docs, package, tsan, asan, fuzz
# (FUZZ_SECONDS=60), egraph-alone, clean.
# Targets ending in -here run in the current environment; the others enter
# the development environment first.

SHELL := /bin/bash
ifeq ($(TAVRINE_IN_DEVROOT),1)
RUN :=
else
RUN := scripts/devroot run
endif

PY ?= python3.14
BUILD := build/release
VENV := build/venv
VPY := $(VENV)/bin/python
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS ?= 60
CMAKE_COMMON := -G Ninja -DTAVRINE_WERROR=ON

.PHONY: demo test build bench docs package tsan asan fuzz egraph-alone clean
demo test build bench docs package tsan asan fuzz egraph-alone:
	@$(RUN) $(MAKE) --no-print-directory $@-here FUZZ_SECONDS=$(FUZZ_SECONDS)

.PHONY: demo-here test-here build-here bench-here docs-here package-here tsan-here asan-here fuzz-here egraph-alone-here venv-here

venv-here:
	@test -x $(VPY) || $(PY) -m venv --system-site-packages $(VENV)

# One build folder serves pip (the installed module) and ctest (the C++ suites).
# pip -v lets the build tool's own progress lines ([k/N]) through; a build
# with nothing to do stays at a few lines and a few seconds.
build-here: venv-here
	@test -d $(BUILD) || echo "build: compiling the module and the C++ tests for the first time" \
	  "(about 2 minutes on 2 cores; ninja counts the steps as [k/N])"
	$(VPY) -m pip install --no-build-isolation --no-deps --no-index -v \
	  -C build-dir=$(BUILD) -C cmake.define.TAVRINE_TESTS=ON \
	  -C cmake.define.TAVRINE_WERROR=ON -C cmake.args=-GNinja .

demo-here: build-here
	$(VPY) examples/quickstart.py

# stubtest checks every module of the installed package: the extension
# against _core.pyi, the Python modules against their own annotations.
test-here: build-here
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	cd tests && $(CURDIR)/$(VPY) -m pytest -q -p no:cacheprovider .
	$(VPY) -m mypy.stubtest tavrine_core --allowlist tests/stubtest_allowlist.txt
	$(VPY) -m mypy examples docs/pictures.py bench/plot.py bench/dask_bench.py tests/typecheck_stubs.py
	@$(MAKE) --no-print-directory refcheck-here REFCHECK_IF_PRESENT=1

# The pictures of docs/: the rendered example graphs (SVG, with graphviz).
# The benchmark plots come from `make bench`.
docs-here: build-here
	$(VPY) docs/pictures.py docs/img

# Builds the sdist and the wheel, installs each into a fresh venv and runs
# the Python tests against it, and installs from a read-only copy of the tree.
package-here: venv-here
	scripts/package-check

# The module once more for the debug interpreter (python3.14-dbg), in its own
# venv and build folder, and the reference-balance test under it. A Debug
# build: the interpreter headers' own assertions stay on. (The release run
# above skips that one file: a release interpreter counts no references.)
DBG_PY ?= python3.14d
DBG_BUILD := build/debug
DBG_VENV := build/venv-dbg
DBG_VPY := $(DBG_VENV)/bin/python

.PHONY: refcheck refcheck-here refcheck-run
refcheck:
	@$(RUN) $(MAKE) --no-print-directory $@-here

# `make test` runs it where the debug interpreter exists and says so where it
# does not; `make refcheck` and CI require it.
refcheck-here:
	@if command -v $(DBG_PY) >/dev/null; then $(MAKE) --no-print-directory refcheck-run; \
	elif [ -n "$(REFCHECK_IF_PRESENT)" ] && [ -z "$${CI:-}" ]; then \
	  echo "refcheck: SKIPPED, no $(DBG_PY) here (Debian package python3.14-dbg runs it; CI requires it)" >&2; \
	else echo "refcheck: no $(DBG_PY) (Debian package python3.14-dbg)" >&2; exit 1; fi

refcheck-run:
	@test -x $(DBG_VPY) || $(DBG_PY) -m venv --system-site-packages $(DBG_VENV)
	@test -d $(DBG_BUILD) || echo "refcheck: compiling the module for the debug interpreter for the first time" \
	  "(a few minutes on 2 cores)"
	$(DBG_VPY) -m pip install --no-build-isolation --no-deps --no-index -v \
	  -C build-dir=$(DBG_BUILD) -C cmake.build-type=Debug \
	  -C cmake.define.TAVRINE_WERROR=ON -C cmake.args=-GNinja .
	cd tests && $(CURDIR)/$(DBG_VPY) -m pytest -q -p no:cacheprovider test_refcounts.py

bench-here: build-here
	cmake -S . -B build/bench $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release -DTAVRINE_PYTHON=OFF -DTAVRINE_BENCH=ON
	cmake --build build/bench -j $(JOBS)
	bench/run_all.sh

# The e-graph engine on its own, as a project of its own (egraph/ and the
# src/support it builds on, nothing else), with its tests.
egraph-alone-here:
	cmake -S egraph -B build/egraph-alone -G Ninja -DEGRAPH_WERROR=ON -DCMAKE_BUILD_TYPE=Release
	cmake --build build/egraph-alone -j $(JOBS)
	ctest --test-dir build/egraph-alone --output-on-failure -j $(JOBS)

# C++ suites under ThreadSanitizer and under AddressSanitizer+UBSan (clang).
tsan-here:
	CXX=clang++ cmake -S . -B build/tsan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTAVRINE_PYTHON=OFF -DTAVRINE_TESTS=ON -DTAVRINE_SANITIZE=thread
	cmake --build build/tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -j $(JOBS)

# asan also builds the module with AddressSanitizer+UBSan and runs the Python
# suite against it under the release interpreter. The interpreter is not
# instrumented, so clang's runtime is preloaded ahead of it, and
# PYTHONMALLOC=malloc hands every object allocation to that runtime. Leak
# detection stays off: the interpreter keeps much memory until exit. Python
# output is captured, but a report goes straight to the terminal. One test
# cannot run there: it limits the address space of a child, which leaves no
# room for the sanitizer's shadow memory (and so does the suite that runs
# children out of memory on purpose).
ASAN_RUNTIME = $(shell clang++ -print-file-name=libclang_rt.asan-x86_64.so)
# Reports name functions and lines through llvm-symbolizer when the root has
# it, else through binutils' addr2line.
SYMBOLIZER = $(firstword $(wildcard $(dir $(realpath $(shell command -v clang++)))llvm-symbolizer) \
  $(shell command -v addr2line))
SAN_ENV = LD_PRELOAD=$(ASAN_RUNTIME) PYTHONMALLOC=malloc ASAN_SYMBOLIZER_PATH=$(SYMBOLIZER) \
  ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
asan-here:
	CXX=clang++ cmake -S . -B build/asan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTAVRINE_PYTHON=ON -DPython_EXECUTABLE=$$(command -v $(PY)) \
	  -DTAVRINE_TESTS=ON -DTAVRINE_SANITIZE=address,undefined
	cmake --build build/asan -j $(JOBS)
	UBSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/asan --output-on-failure -j $(JOBS)
	cd tests && $(SAN_ENV) PYTHONPATH=$(CURDIR)/build/asan $(PY) -m pytest -q -p no:cacheprovider --capture=sys . \
	  -k "not test_forged_counts_reserve_no_more_than_the_data_holds and not test_a_failed_allocation_raises"

fuzz-here:
	CXX=clang++ cmake -S . -B build/fuzz $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTAVRINE_PYTHON=OFF -DTAVRINE_FUZZ=ON -DTAVRINE_SANITIZE=address,undefined
	cmake --build build/fuzz -j $(JOBS)
	fuzz/run.sh build/fuzz $(FUZZ_SECONDS)

# An interactive shell in the development environment, in this folder, with
# build/venv active (python there is the built module's). From a folder of
# your own, `path/to/checkout/scripts/devroot shell` or `... python SCRIPT`.
.PHONY: shell
shell: build
	@scripts/devroot shell

clean:
	rm -rf build
