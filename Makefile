# tarnix: set-up, build, demo, tests and benchmarks.
#
#   make demo    install what is missing, build, run python -m tarnix on the bundled sample
#   make test    the same set-up, then the whole test suite
#   make bench   the same set-up, then the benchmarks

PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml

.PHONY: all deps venv build demo test bench clean

all: build

deps:
	bash scripts/install-deps

$(VENV)/.tools: pyproject.toml
	@$(MAKE) --no-print-directory deps
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip
	$(PIP) install --quiet "scikit-build-core>=0.10" "numpy>=2.0" "scipy>=1.11" "pytest>=7" "hypothesis>=6"
	touch $@

venv: $(VENV)/.tools

$(VENV)/.installed: $(VENV)/.tools $(SOURCES)
	@$(MAKE) --no-print-directory deps
	$(PIP) install --quiet --no-build-isolation --no-deps .
	touch $@

build: $(VENV)/.installed

demo: build
	cd /tmp && $(abspath $(PY)) -m tarnix

test: build
	$(PY) -m pytest

bench: build
	$(PY) benchmarks/run.py

clean:
	rm -rf build $(VENV)
