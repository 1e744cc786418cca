# trelmo.tcl -- build, test, demo and benchmark entry points.
#
#   make demo    build, then run the guided tour (examples/tour.py)
#   make test    build, then run the whole test suite
#   make bench   build, then print the benchmark ratios
#   make build   create or refresh .venv and install the package editable
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

.PHONY: all build deps test demo bench clean check

all: test

deps:
	@sh tools/ensure-deps.sh "$(PYTHON)"

$(VENV)/.created:
	@test -n "$(PYTHON)" || { echo "No Python >= 3.8 with tkinter found; set PYTHON=..."; exit 1; }
	"$(PYTHON)" -m venv "$(VENV)"
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.8" cmake ninja pytest hypothesis mypy build
	touch $@

build: deps $(VENV)/.created
	flock build.lock $(PY) -m pip install -q --no-build-isolation -e '.[test]' \
	  -Cbuild-dir=build/$(notdir $(VENV)) $(PIP_FLAGS)
	@$(PY) -c "import trelmo.tcl.quoml" && echo "built into $(VENV)"

test: build
	$(PY) -m pytest -q $(PYTEST_FLAGS)

demo: build
	$(PY) examples/tour.py

bench: build
	PYTHONDEVMODE= $(PY) bench/run.py

clean:
	rm -rf build build.lock $(VENV) .pytest_cache .hypothesis

# Quick compile check of one module's source without touching the shared
# build: make check FILE=src/trelmo/tcl/quoml.cpp
check:
	g++ -std=c++17 -Wall -Wextra -fsyntax-only $$($(PY) -c "import sysconfig; print('-I' + sysconfig.get_paths()['include'])") $(FILE)
