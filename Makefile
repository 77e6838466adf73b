# Everything the project needs is set up from here: a Python 3.12 venv in .venv with the module built into it.
SHELL := /bin/bash
VENV  := .venv
PY    := $(VENV)/bin/python
PIP   := $(PY) -m pip

# Python 3.12: on PATH if it works there, else the one pyenv installed.
PY312 := $(shell if python3.12 -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then command -v python3.12; \
           else ls -d "$$(pyenv root 2>/dev/null || echo $$HOME/.pyenv)"/versions/3.12*/bin/python3.12 2>/dev/null | sort -V | tail -n 1; fi)

SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml

.PHONY: all test demo bench build clean

all: build

$(VENV)/.ready:
	@test -n "$(PY312)" || { echo "no Python 3.12 found (python3.12 on PATH or pyenv versions/3.12*)"; exit 1; }
	$(PY312) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q "scikit-build-core>=0.10" "pybind11>=3,<4" numpy pytest
	touch $@

$(VENV)/.built: $(VENV)/.ready $(SOURCES)
	$(PIP) install -q --no-build-isolation .
	touch $@

build: $(VENV)/.built

test: build
	$(PY) -m pytest -q

demo: build
	$(PY) examples/demo.py

bench: build
	$(PIP) install -q hnswlib
	$(PY) bench/flat_scan.py
	$(PY) bench/graph.py

clean:
	rm -rf build $(VENV)
