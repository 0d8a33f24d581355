# Set-up and everyday commands. Every target creates the virtual environment
# (.venv, Python 3.13) and installs the package into it when needed.
#   make demo       run the example application
#   make test       run the test suite, then run it again against the
#                   sanitizer build (what CI runs); the randomised tests
#                   take their long profile
#   make quicktest  run the test suite once, with short randomised tests
#   make bench      run the benchmarks (native vs. baselines) and draw their
#                   chart in docs/bench.png (with the bench extra's matplotlib)
#   make asan       run the test suite against a build with AddressSanitizer
#                   and UndefinedBehaviorSanitizer (in .venv-asan)
# PYTHON=/path/to/python3.13 overrides the interpreter that is found.

PYTHON ?= $(shell .ci/find-python)
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
ASAN_VENV := .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python
SANITIZER_RUNTIME = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libubsan.so)
SANITIZER_REPORTS := build/asan/reports
# The randomised tests' profile for `make asan` (registered in tests/conftest.py).
HYPOTHESIS_PROFILE ?= dev
# The suite is spread over one worker process per core.
PARALLEL := -n auto

.PHONY: venv install demo test quicktest bench asan clean

# An environment: build requirements (from pyproject.toml) plus cmake and
# ninja, so that the package builds without isolation and incrementally.
%/.ready: pyproject.toml
	@test -n "$(PYTHON)" || { echo "no Python 3.13 found; set PYTHON=" >&2; exit 1; }
	test -x $*/bin/python || $(PYTHON) -m venv $*
	$*/bin/python -m pip --disable-pip-version-check -q install --upgrade pip
	$*/bin/python -m pip --disable-pip-version-check -q install cmake ninja $$($*/bin/python -c 'import tomllib; print(" ".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))')
	touch $@

venv: $(VENV)/.ready

install: venv
	$(PIP) install --no-build-isolation '.[test]'

demo: install
	$(PY) examples/demo.py

test: install
	$(PY) -m pytest -q $(PARALLEL) --hypothesis-profile=ci
	$(MAKE) --no-print-directory asan HYPOTHESIS_PROFILE=ci-sanitizer

quicktest: install
	$(PY) -m pytest -q $(PARALLEL)

# The bench extra's requirements only: the package itself is built by `install`.
bench: install
	$(PIP) install $$($(PY) -c 'import tomllib; print(" ".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["bench"]))')
	$(PY) bench/run.py

# The interpreter is not instrumented, so the sanitizer runtimes are preloaded;
# leak detection is off because the interpreter keeps memory until exit.
# PYTHONMALLOC=malloc hands every object allocation to the sanitizer, so a
# reference-count error shows as a use after free instead of vanishing in the
# interpreter's own pools. Reports go to files, child processes' included,
# and any report fails the run even when the process that made it survived.
asan: $(ASAN_VENV)/.ready
	$(ASAN_PY) -m pip --disable-pip-version-check -q install --no-build-isolation \
	  -C build-dir=build/asan -C cmake.build-type=RelWithDebInfo -C cmake.define.TOOLS_SANITIZE=ON '.[test]'
	rm -rf $(SANITIZER_REPORTS) && mkdir -p $(SANITIZER_REPORTS)
	LD_PRELOAD="$(SANITIZER_RUNTIME)" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1:log_path=$(CURDIR)/$(SANITIZER_REPORTS)/asan \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(CURDIR)/$(SANITIZER_REPORTS)/ubsan \
	$(ASAN_PY) -m pytest -q -p no:cacheprovider $(PARALLEL) --hypothesis-profile=$(HYPOTHESIS_PROFILE); \
	status=$$?; \
	if [ -n "$$(ls -A $(SANITIZER_REPORTS))" ]; then \
	  echo "sanitizer reports:" >&2; cat $(SANITIZER_REPORTS)/* >&2; exit 1; \
	fi; \
	exit $$status

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV)
