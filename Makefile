# trelmo.tcl -- build, test, demo and benchmark entry points.
#
#   make demo    build, then run the guided tour (examples/tour.py)
#   make test    build, then run the whole test suite
#   make retest  the whole test suite again, without the build step
#   make bench   build, then print the benchmark ratios (primary and newest Python)
#   make build   create or refresh .venv and install the package editable
#   make docs    build the documentation site into build/docs/html
#   make wheel   the sdist and a manylinux wheel for PYTHON, into dist/
#
# PYTHON picks the interpreter for .venv (default: the first of python3.11,
# python3, python3.8 that has tkinter); VENV picks the environment's folder.

PYTHON ?= $(shell for p in python3.11 python3 python3.8; do \
	  command -v $$p >/dev/null 2>&1 && $$p -c 'import sys, tkinter; sys.exit(sys.version_info < (3, 8))' 2>/dev/null \
	  && { command -v $$p; break; }; done)
VENV ?= .venv
PY := $(VENV)/bin/python
PYTEST_FLAGS ?=
export PYTHONDEVMODE ?= 1
export PYTHONFAULTHANDLER ?= 1

.PHONY: all build deps test retest demo bench clean check

all: test

deps:
	@sh tools/ensure-deps.sh "$(PYTHON)"

$(VENV)/.created:
	@test -n "$(PYTHON)" || { echo "No Python >= 3.8 with tkinter found; set PYTHON=..."; exit 1; }
	"$(PYTHON)" -m venv "$(VENV)"
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(BUILD_REQUIRES) pytest hypothesis mypy build
	touch $@

# The build requirements of pyproject.toml, installed into the environment for
# the editable builds (--no-build-isolation); an environment made before one
# was added gets it on the next build.
BUILD_REQUIRES := "scikit-build-core>=0.11" cmake ninja hatch-fancy-pypi-readme
define ensure_build_requires
@$(1) -c 'import scikit_build_core, hatch_fancy_pypi_readme' 2>/dev/null || $(1) -m pip install -q $(BUILD_REQUIRES)
endef

build: deps $(VENV)/.created
	$(call ensure_build_requires,$(PY))
	flock build.lock $(PY) -m pip install -q --no-build-isolation -e '.[test]' \
	  -Cbuild-dir=build/$(notdir $(VENV)) $(PIP_FLAGS)
	@$(PY) -c "import trelmo.tcl.quoml" && echo "built into $(VENV)"

test: build
	$(PY) -m pytest -q $(PYTEST_FLAGS)

# The suite again in VENV as last built, without the build step.  CI runs it
# after make test with TRELMO_TCL_NO_FAST_PATHS=1: the switch is read at
# import, so the same build serves both runs.
retest:
	@test -x $(PY) || { echo "no $(PY): run make build (or make test) first"; exit 1; }
	$(PY) -m pytest -q $(PYTEST_FLAGS)

demo: build
	$(PY) examples/tour.py

# make bench runs bench/run.py on the primary Python, then on the newest
# CPython present (NEWEST_PYTHON, built into NEWEST_VENV like in CI); each
# block starts with the Python it ran on.  BENCH_AREAS=quoml picks areas.
NEWEST_PYTHON ?= $(shell sh tools/find-python.sh newest)
NEWEST_VENV ?= .venv-newest
BENCH_AREAS ?=
same_version = $(shell for p in $(1) $(2); do $$p -c 'import sys; print(sys.version_info[:2])'; done | uniq | wc -l)

bench: build
	PYTHONDEVMODE= $(PY) bench/run.py $(BENCH_AREAS)
	@if [ -z "$(NEWEST_PYTHON)" ]; then echo "bench: no newest CPython found, ran on $(PY) only"; \
	elif [ "$(call same_version,$(PY),$(NEWEST_PYTHON))" = 1 ]; then echo "bench: $(PY) is the newest CPython"; \
	else $(MAKE) --no-print-directory build PYTHON="$(NEWEST_PYTHON)" VENV="$(NEWEST_VENV)" \
	  && PYTHONDEVMODE= $(NEWEST_VENV)/bin/python bench/run.py $(BENCH_AREAS); fi

clean:
	rm -rf build build.lock dist $(VENV) .pytest_cache .hypothesis

# Quick compile check of one source file without touching the shared
# build: make check FILE=src/ext/quoml/quoml.cpp
check:
	g++ -std=c++17 -Wall -Wextra -fsyntax-only -Isrc/ext/common -Isrc/ext/quoml \
	  $$($(PY) -c "import sysconfig; print('-I' + sysconfig.get_paths()['include'])") $(FILE)

# -- hardening ----------------------------------------------------------------
#
#   make asan    the extension modules built with AddressSanitizer and
#                UndefinedBehaviorSanitizer into their own environment
#                (ASAN_VENV), the whole suite run with gcc's sanitizer
#                runtimes preloaded into the interpreter
#   make fuzz    the libFuzzer harness of the quoting core, run for
#                FUZZ_SECONDS; new crashing inputs are copied to
#                fuzz/regressions/ (the tests replay them)

ASAN_VENV ?= .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python
# The interpreter itself is not instrumented: its leaks are not ours to
# report, and its allocator must be plain malloc for ASan to see the heap.
ASAN_ENV = LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1:detect_stack_use_after_return=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONMALLOC=malloc

.PHONY: asan asan-build fuzz fuzz-build fuzz-deps

asan-build: deps
	@for lib in libasan.so libubsan.so; do f=$$(gcc -print-file-name=$$lib); \
	  test -f "$$f" || { echo "gcc's $$lib not found (apt-get install libasan8 libubsan1)"; exit 1; }; done
	@$(MAKE) --no-print-directory VENV=$(ASAN_VENV) $(ASAN_VENV)/.created
	$(call ensure_build_requires,$(ASAN_PY))
	flock build.lock $(ASAN_PY) -m pip install -q --no-build-isolation -e '.[test]' \
	  -Cbuild-dir=build/$(notdir $(ASAN_VENV)) -Ccmake.define.TRELMO_SANITIZE=ON $(PIP_FLAGS)
	@$(ASAN_ENV) $(ASAN_PY) -c "import trelmo.tcl.quoml" && echo "sanitizer build in $(ASAN_VENV)"

asan: asan-build
	$(ASAN_ENV) $(ASAN_PY) -m pytest -q -p no:cacheprovider $(PYTEST_FLAGS)

FUZZ_SECONDS ?= 60
FUZZ_JOBS ?= 1
FUZZ_DIR := build/fuzz
FUZZ_BIN := $(FUZZ_DIR)/fuzz_quoml
CLANGXX ?=

fuzz-deps:
	@sh tools/ensure-fuzz-deps.sh

fuzz-build: fuzz-deps $(VENV)/.created
	@CLANGXX="$(CLANGXX)"; [ -n "$$CLANGXX" ] || CLANGXX=$$(command -v clang++ || command -v clang++-14) || true; \
	test -n "$$CLANGXX" || { echo "clang++ not found (apt-get install clang-14 libclang-rt-14-dev)"; exit 1; }; \
	$(VENV)/bin/cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DTRELMO_FUZZ=ON -DCMAKE_CXX_COMPILER="$$CLANGXX" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	$(VENV)/bin/cmake --build $(FUZZ_DIR)

fuzz: fuzz-build
	sh tools/run-fuzz.sh $(FUZZ_BIN) $(FUZZ_SECONDS) $(FUZZ_JOBS)

# Type stubs against the built modules (mypy's stubtest), and mypy --strict on
# the typed example.
.PHONY: stubtest

stubtest: build
	sh tools/stubtest.sh $(PY)

# -- release files and documentation -------------------------------------------
#
#   make wheel        the sdist and, built from it, a wheel for PYTHON, repaired
#                     by auditwheel to a manylinux tag, into dist/
#                     (tools/build-wheel.sh)
#   make check-wheel  make wheel, then check the sdist, the wheel and their
#                     metadata, and run the whole suite against the repaired
#                     wheel installed into fresh environments of PYTHON,
#                     Python 3.8 and Debian's python3 (tools/check-wheel.sh;
#                     CHECK_WHEEL_PYTHONS="primary py38 debian" picks them)
#   make docs         the documentation site (Sphinx, myst-parser, autodoc of
#                     the built modules) into build/docs/html, warnings as
#                     errors; then every public name must be in the API pages

DIST ?= dist
DOCS_REQUIRES := "sphinx>=7" "myst-parser>=2"
DOCS_OUT := build/docs

.PHONY: wheel check-wheel docs

wheel: build
	tools/build-wheel.sh $(PY) $(DIST)

check-wheel: wheel
	tools/check-wheel.sh $(PY) $(DIST)

docs: build
	@$(PY) -c 'import sphinx, myst_parser' 2>/dev/null || $(PY) -m pip install -q $(DOCS_REQUIRES)
	rm -rf $(DOCS_OUT)/html $(DOCS_OUT)/doctrees
	PYTHONDEVMODE= $(PY) -m sphinx -b html -W --keep-going -q -d $(DOCS_OUT)/doctrees docs $(DOCS_OUT)/html
	$(PY) tools/check-docs.py $(DOCS_OUT)/html
	@echo "documentation in $(DOCS_OUT)/html/index.html"
