# Set-up and everyday commands. Every target creates the virtual environment
# (.venv, Python 3.13) and installs the package into it when needed.
#   make demo    run the example application
#   make test    run the test suite
#   make bench   run the benchmarks (native vs. pure Python)
# PYTHON=/path/to/python3.13 overrides the interpreter that is found.

PYTHON ?= $(shell .ci/find-python)
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q

.PHONY: venv install demo test bench clean

# The environment: build requirements (from pyproject.toml) plus cmake and
# ninja, so that the package builds without isolation and incrementally.
$(VENV)/.ready: pyproject.toml
	@test -n "$(PYTHON)" || { echo "no Python 3.13 found; set PYTHON=" >&2; exit 1; }
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(PIP) install cmake ninja $$($(PY) -c 'import tomllib; print(" ".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))')
	touch $@

venv: $(VENV)/.ready

install: venv
	$(PIP) install --no-build-isolation '.[test]'

demo: install
	$(PY) examples/demo.py

test: install
	$(PY) -m pytest -q

bench: install
	$(PY) bench/run.py

clean:
	rm -rf build dist $(VENV)
