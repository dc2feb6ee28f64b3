# Developer checks beyond the main commands (scripts/setup.sh, scripts/test.sh,
# scripts/demo.sh):
#   make fuzz   sanitized libFuzzer targets of the native kernels, each run
#               for FUZZ_SECONDS against its slow reference
#   make lint   clang-tidy (checks listed in .clang-tidy) over native/src and
#               src/, and cppcheck over native/ and src/
# Both install what they need first (clang-14, its libFuzzer and sanitizer
# runtimes, clang-tidy-14, cppcheck; the .venv of scripts/setup.sh).

CMAKE        ?= .venv/bin/cmake
NINJA        ?= $(CURDIR)/.venv/bin/ninja
PYTHON       ?= $(CURDIR)/.venv/bin/python
CLANGXX      ?= clang++-14
CLANG_TIDY   ?= clang-tidy-14
CPPCHECK     ?= cppcheck
JOBS         ?= 2
FUZZ_BUILD   ?= build/fuzz
FUZZ_SECONDS ?= 20
LINT_BUILD   ?= build/lint

# Pipelines fail when any stage fails.
SHELL := /bin/bash
.SHELLFLAGS := -o pipefail -c

.PHONY: fuzz fuzz-build lint tidy cppcheck tools

tools:
	@dpkg -s clang-14 libclang-rt-14-dev clang-tidy-14 cppcheck >/dev/null 2>&1 \
	  || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
	       clang-14 libclang-rt-14-dev clang-tidy-14 cppcheck >/dev/null; }
	@[ -x $(CMAKE) ] || scripts/setup.sh

fuzz-build: tools
	@mkdir -p $(FUZZ_BUILD)
	CXX=$(CLANGXX) $(CMAKE) -S native -B $(FUZZ_BUILD) -G Ninja \
	  -DCMAKE_MAKE_PROGRAM=$(NINJA) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DWRAPPER_BUILD_FUZZERS=ON >$(FUZZ_BUILD)/configure.log 2>&1 \
	  || { cat $(FUZZ_BUILD)/configure.log; exit 1; }
	$(CMAKE) --build $(FUZZ_BUILD) -j $(JOBS) --target native_fuzzers

fuzz: fuzz-build
	native/fuzz/run_fuzzers.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

lint: tidy cppcheck

# The compilation database comes from a configure with clang and without
# precompiled headers (clang-tidy reads every header itself); nothing is built.
tidy: tools
	@mkdir -p $(LINT_BUILD)
	CXX=$(CLANGXX) $(CMAKE) -S . -B $(LINT_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(NINJA) \
	  -DPython_EXECUTABLE=$(PYTHON) -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
	  -DCMAKE_DISABLE_PRECOMPILE_HEADERS=ON >$(LINT_BUILD)/configure.log 2>&1 \
	  || { cat $(LINT_BUILD)/configure.log; exit 1; }
	grep -o '"file": "[^"]*"' $(LINT_BUILD)/compile_commands.json | cut -d'"' -f4 \
	  | grep -E '^$(CURDIR)/(native/src|src)/' | sort -u \
	  | xargs -P $(JOBS) -n 1 $(CLANG_TIDY) -p $(LINT_BUILD) --quiet \
	    --header-filter='^$(CURDIR)/(native/include|src)/' 2>&1 \
	  | { grep -v '^[0-9]* warnings\? generated\.$$' || true; }
	@echo "clang-tidy: clean"

cppcheck: tools
	$(CPPCHECK) --enable=warning,performance,portability --std=c++20 --language=c++ \
	  --library=python --inline-suppr --suppressions-list=.cppcheck-suppressions \
	  --error-exitcode=1 --quiet -I native/include -I src native src
	@echo "cppcheck: clean"
