# Set-up and everyday commands. Every target creates the virtual environment
# (.venv, Python 3.13) and installs the package into it when needed; an
# environment is made again when the interpreter behind it changes.
#   make demo       run the example application
#   make test       what CI runs: make test-3.13, then the suite once on
#                   every other interpreter in support (test-3.13d test-3.11
#                   test-3.12 test-3.14 test-3.15), then the wheels on the
#                   systems they are for (test-wheels)
#   make test-3.13  check the formatting, run the test suite, then run it
#                   again against the sanitizer build and against the
#                   public-API-only build; the randomised tests take their
#                   long profile in the first run
#   make test-3.11, make test-3.12
#                   the suite on that interpreter of this machine (found as
#                   3.13 is, by .ci/find-python), in .venv-3.11 or .venv-3.12
#   make test-3.14, make test-3.15, make test-3.13d
#                   the suite on Python 3.14, 3.15 or the debug build of 3.13
#                   (Py_DEBUG: reference counts and the C API's contracts
#                   checked by assertions), which come from a Debian chroot
#                   outside the clone ($TOOLS_CI_CHROOT, by default
#                   /var/cache/tools-ci/forky: .ci/chroot builds it when
#                   missing, in about a minute, and .ci/in-chroot runs the
#                   pass in it, in .venv-3.14, .venv-3.15 or .venv-3.13d).
#                   Building it needs root and debootstrap (installed with
#                   apt-get when missing): without them these passes, and so
#                   make test, stop with a message naming what is missing;
#                   run the targets of the interpreters you have instead,
#                   e.g. make test-3.13 test-3.12
#   make quicktest  run the test suite once, with short randomised tests
#   make bench      run the benchmarks (native vs. baselines) on every
#                   interpreter (make bench-3.12 etc.: one), keep what each
#                   prints in build/bench/<version>.txt, and draw the chart
#                   of 3.13 in docs/bench.png (with the bench extra's matplotlib);
#                   make bench BENCH_BUILD=wheel: the same against the wheels
#                   users get (dist/'s manylinux x86-64 wheel of each
#                   interpreter, built when missing) instead of the build in place
#   make wheel      build the wheel for a package index into dist/ (manylinux)
#   make wheels     every wheel: manylinux and musllinux, x86-64 and aarch64
#   make test-wheels  each platform's wheel tested on its own system: Debian
#                   11 (glibc 2.31), aarch64 under emulation, musl
#   make asan       run the test suite against a build with AddressSanitizer
#                   and UndefinedBehaviorSanitizer (in .venv-asan)
#   make public     run the test suite against a build that uses the
#                   interpreter's public C API only (in .venv-public)
#   make lint       check the C++ formatting with clang-format
# PYTHON=/path/to/python3.13 overrides the interpreter that is found, and
# make PYTHON_3.12=/path/to/python3.12 (or 3.11) another one.

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

# The interpreters of the other passes: this machine's, and the chroot's,
# named as they are inside it.
PYTHON_3.11 ?= $(shell .ci/find-python 3.11)
PYTHON_3.12 ?= $(shell .ci/find-python 3.12)
PYTHON_3.14 := python3.14
PYTHON_3.15 := python3.15
PYTHON_3.13d := python3.13-dbg
HOST_PASSES := 3.11 3.12
CHROOT_PASSES := 3.14 3.15 3.13d
# The chroot's release builds: those that get wheels and benchmarks.
RELEASES_IN_CHROOT := $(filter-out 3.13d,$(CHROOT_PASSES))

.PHONY: venv install demo test test-3.13 $(HOST_PASSES:%=test-%) $(CHROOT_PASSES:%=test-%) quicktest bench bench-3.13 \
  $(HOST_PASSES:%=bench-%) $(CHROOT_PASSES:%=bench-%) wheel wheels $(ALL_WHEELS:%=wheel-%) \
  $(ALL_WHEELS:%=in-chroot-wheel-%) test-wheels $(WHEEL_PASSES_ALL:%=test-wheel-%) \
  asan public public-install lint clean FORCE

# Which interpreter makes each environment.
$(VENV)/.ready $(ASAN_VENV)/.ready $(PUBLIC_VENV)/.ready: VENV_PYTHON = $(PYTHON)
$(foreach pass,$(HOST_PASSES) $(CHROOT_PASSES),$(eval .venv-$(pass)/.ready .venv-public-$(pass)/.ready: \
  VENV_PYTHON = $$(PYTHON_$(pass))))

# The interpreter an environment was made with (its real path, version and
# ABI flags), asked anew on every run: another one, or a new build of the
# same, removes the environment, and so its .ready stamp, before it is used.
%/.python: FORCE
	@python='$(VENV_PYTHON)'; \
	test -n "$$python" || { echo "$*: no interpreter to make it with (see the top of the Makefile)" >&2; exit 1; }; \
	found=$$("$$python" -c 'import os, sys; print(os.path.realpath(sys.executable), sys.version, sys.abiflags)') || exit 1; \
	if [ "$$found" != "$$(cat $@ 2>/dev/null)" ]; then \
	  if [ -e $* ]; then echo "$*: not made by $$python as it is now; making it again" >&2; fi; \
	  rm -rf $* && mkdir -p $* && echo "$$found" > $@; \
	fi

# Kept when a pattern rule reaches them (make deletes such files otherwise).
.PRECIOUS: %/.python %/.ready

# An environment: build requirements (from pyproject.toml) plus cmake and
# ninja, so that the package builds without isolation and incrementally.
%/.ready: pyproject.toml %/.python
	test -x $*/bin/python || $(VENV_PYTHON) -m venv $*
	$*/bin/python -m pip --disable-pip-version-check -q install --upgrade pip
	$*/bin/python -m pip --disable-pip-version-check -q install cmake ninja $$($*/bin/python -c 'import tomllib; print(" ".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))')
	touch $@

venv: $(VENV)/.ready

install: venv
	$(PIP) install --no-build-isolation $(BUILD_OPTIONS) '.[test]'

demo: install
	$(PY) examples/demo.py

# One pass after another, and a failing one stops the run. The chroot is
# entered once first (and built when missing), and the emulation of aarch64
# set up, so that a machine that cannot have them says so before the other
# passes have taken their time. The wheels' passes come last; what they need
# once per machine (the trees and interpreters of .ci/wheel-pass --prepare,
# on a fresh machine 13 to 18 minutes of downloads and builds) is made beside
# the passes before them, at a low priority, in a process group of its own
# (log: build/ci-prepare.log), which the run takes down when it stops early.
# A wheel pass that comes to something still being made waits for it; one
# whose preparation failed makes it again itself, and so says why it fails.
# Each step's time is printed when it ends, and all of them at the end.
TEST_STEPS = test-3.13 test-3.13d test-3.11 test-3.12 test-3.14 test-3.15 $(WHEEL_PASSES:%=test-wheel-%)
test:
	@start=$$(date +%s); times=; prepared=; \
	trap '[ -z "$$prepared" ] || kill -TERM -$$prepared 2>/dev/null || :' EXIT; trap 'exit 130' INT TERM; \
	step() { name=$$1; began=$$(date +%s); shift; echo "make test: $$name" >&2; "$$@" || exit 1; \
	  took=$$(($$(date +%s) - began)); times="$$times$$(printf '  %-24s %5d s' "$$name" $$took)\n"; \
	  echo "make test: $$name took $$took s" >&2; }; \
	step "chroot and emulation" sh -c '.ci/in-chroot true && .ci/emulation'; \
	mkdir -p build; \
	setsid nice -n 10 sh -c 'began=$$(date +%s); for pass in $(WHEEL_PASSES); do \
	  .ci/wheel-pass --prepare $$(echo $$pass | tr - " ") || exit 1; done; \
	  echo "prepared in $$(($$(date +%s) - began)) s"' >build/ci-prepare.log 2>&1 & prepared=$$!; \
	for pass in $(TEST_STEPS); do step $$pass $(MAKE) --no-print-directory $$pass; done; \
	if wait $$prepared; then prepared=; echo "make test: the wheels' trees and interpreters: $$(tail -n 1 build/ci-prepare.log)" >&2; \
	else prepared=; echo "make test: the preparation beside the passes failed (the passes made what they needed):" >&2; \
	  tail -n 20 build/ci-prepare.log >&2; fi; \
	printf "make test: every step passed, in %d s\n$$times" $$(($$(date +%s) - start)) >&2

test-3.13: lint install
	$(PY) -m pytest -q $(PARALLEL) --hypothesis-profile=ci
	$(MAKE) --no-print-directory asan HYPOTHESIS_PROFILE=ci-sanitizer
	$(MAKE) --no-print-directory public

# The suite once on every other interpreter, in .venv-<version> and with the
# short, repeatable randomised profile (the long one runs on 3.13 only). The
# packaging tests build, repair, install and import that interpreter's own
# wheel; the debug build, which no wheel is made for, leaves them out.
define other_pass
.venv-$(1)/bin/python -m pip --disable-pip-version-check -q install --no-build-isolation $(BUILD_OPTIONS) $(PASS_BUILD_OPTIONS_$(1)) '.[test]'
.venv-$(1)/bin/python -m pytest -q -p no:cacheprovider $(PARALLEL) --hypothesis-profile=ci-short $(PASS_TEST_OPTIONS_$(1))
endef
PASS_TEST_OPTIONS_3.13d := --ignore=tests/test_packaging.py

# Against the debug interpreter the extensions keep the assertions in its
# headers (the Release flags without -DNDEBUG), which check each call's
# arguments (a tuple given where a tuple is due, an index in range, ...).
PASS_BUILD_OPTIONS_3.13d := -C cmake.define.CMAKE_CXX_FLAGS_RELEASE=-O3

$(HOST_PASSES:%=test-%): test-%: .venv-%/.ready
	$(call other_pass,$*)

# The chroot's passes: this Makefile again, run inside it (in-chroot-test-*).
$(CHROOT_PASSES:%=test-%): test-%:
	.ci/in-chroot $(MAKE) --no-print-directory in-chroot-test-$*

in-chroot-test-%: .venv-%/.ready
	$(call other_pass,$*)

quicktest: install
	$(PY) -m pytest -q $(PARALLEL)

# The benchmarks on every interpreter in support, one after another, each
# timed against its own public-API-only build too; what each prints is kept
# in build/bench/<version>.txt. Only 3.13 draws docs/bench.png (with the bench
# extra's matplotlib); the others draw into build/bench/ where matplotlib is
# there and skip the chart where it is not. A missed target fails the run
# once every interpreter has been measured.
bench:
	@status=0; for pass in 3.13 $(HOST_PASSES) $(RELEASES_IN_CHROOT); do \
	  $(MAKE) --no-print-directory bench-$$pass || status=1; \
	done; exit $$status

# What the benchmarks measure: the build in place (source), or the wheel a
# package index serves this machine (wheel): the manylinux x86-64 wheel of
# the interpreter from dist/, built first when dist/ has none (make wheels
# or make wheel-manylinux_x86_64-<version> makes it anew), installed over the
# build in place (its dependencies installed with it where the environment
# lacks them). The run's output names the build it measured.
BENCH_BUILD ?= source
bench_wheel = dist/choretools-*-cp$(subst .,,$(1))-cp$(subst .,,$(1))-manylinux*_x86_64.whl
define bench_wheel_made
$(if $(filter wheel,$(BENCH_BUILD)),ls $(call bench_wheel,$(1)) >/dev/null 2>&1 || $(MAKE) --no-print-directory wheel-manylinux_x86_64-$(1))
endef
define bench_install
$(if $(filter wheel,$(BENCH_BUILD)),\
  $(1)/bin/python -m pip --disable-pip-version-check -q install --force-reinstall --no-deps $(call bench_wheel,$(2)) && \
    $(1)/bin/python -m pip --disable-pip-version-check -q install $(call bench_wheel,$(2)),\
  $(1)/bin/python -m pip --disable-pip-version-check -q install --no-build-isolation $(BUILD_OPTIONS) .)
endef

# The bench extra's requirements only: the package itself is built by `install`.
bench-3.13: install public-install
	$(call bench_wheel_made,3.13)
	$(call bench_install,$(VENV),3.13)
	$(PIP) install $$($(PY) -c 'import tomllib; print(" ".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["bench"]))')
	$(call bench_pass,$(VENV),$(PUBLIC_VENV),3.13,)

# A public-API-only build beside each other interpreter's environment.
define public_build
.venv-public-$(1)/bin/python -m pip --disable-pip-version-check -q install --no-build-isolation $(BUILD_OPTIONS) \
  -C build-dir=build/public-$(1) -C cmake.define.TOOLS_PUBLIC_API_ONLY=ON .
endef

define bench_pass
@mkdir -p build/bench
$(1)/bin/python bench/run.py --public-build $(2) $(4) > build/bench/$(3).txt; status=$$?; \
  cat build/bench/$(3).txt; exit $$status
endef

$(HOST_PASSES:%=bench-%): bench-%: .venv-%/.ready .venv-public-%/.ready
	$(call bench_wheel_made,$*)
	$(call bench_install,.venv-$*,$*)
	$(call public_build,$*)
	$(call bench_pass,.venv-$*,.venv-public-$*,$*,--chart build/bench/$*.png)

# The wheel is built outside: its build enters the chroot with the trees it reads.
$(CHROOT_PASSES:%=bench-%): bench-%:
	$(call bench_wheel_made,$*)
	.ci/in-chroot $(MAKE) --no-print-directory in-chroot-bench-$* BENCH_BUILD=$(BENCH_BUILD)

in-chroot-bench-%: .venv-%/.ready .venv-public-%/.ready
	$(call bench_install,.venv-$*,$*)
	$(call public_build,$*)
	$(call bench_pass,.venv-$*,.venv-public-$*,$*,--chart build/bench/$*.png)

# Wheels for a package index, one per platform and interpreter (see Packaging
# in the README): .ci/wheel builds one with the environment of its
# interpreter (in the testing chroot for 3.14 and 3.15), repairs it with
# auditwheel into dist/ and shows it; .ci/wheel --prepare first makes the
# trees it reads (the bullseye sysroot, the interpreters built there, the
# arm64 headers), once per machine.
#   make wheel       the manylinux x86-64 wheel of 3.13
#   make wheels      every wheel below, each then held to its tag
#   make wheel-PLATFORM-VERSION   one, e.g. wheel-manylinux_aarch64-3.15
WHEEL_PLATFORMS := manylinux_x86_64 manylinux_aarch64 musllinux_x86_64 musllinux_aarch64
WHEELS_manylinux_x86_64 := 3.11 3.12 3.13 3.14 3.15
# No arm64 build of 3.12 is to be had here for its headers (see the README).
WHEELS_manylinux_aarch64 := 3.11 3.13 3.14 3.15
# The musl interpreters that can be built here, to test on.
WHEELS_musllinux_x86_64 := 3.11 3.13
WHEELS_musllinux_aarch64 := 3.11 3.13
ALL_WHEELS := $(foreach platform,$(WHEEL_PLATFORMS),$(WHEELS_$(platform):%=$(platform)-%))
venv_of = $(if $(filter 3.13,$(1)),$(VENV),.venv-$(1))

define wheel_rules
wheel-$(1)-$(2): $(if $(filter $(2),$(CHROOT_PASSES)),,$(call venv_of,$(2))/.ready)
	$(if $(filter $(2),$(CHROOT_PASSES)),binds=$$$$(.ci/wheel --prepare $(1) $(2)) && \
	  TOOLS_CI_BIND="$$$$binds" TOOLS_CI_BIND_WRITABLE="$$$$(.ci/wheel --zig-cache)" .ci/in-chroot $(MAKE) --no-print-directory in-chroot-wheel-$(1)-$(2),\
	  .ci/wheel --prepare $(1) $(2) >/dev/null && .ci/wheel $(1) $(call venv_of,$(2))/bin/python)

in-chroot-wheel-$(1)-$(2): .venv-$(2)/.ready
	.ci/wheel $(1) .venv-$(2)/bin/python
endef
$(foreach platform,$(WHEEL_PLATFORMS),$(foreach version,$(WHEELS_$(platform)),\
  $(eval $(call wheel_rules,$(platform),$(version)))))

wheel: wheel-manylinux_x86_64-3.13

# Built one after another (each uses both cores), from an empty dist/.
wheels: install
	rm -f dist/choretools-*.whl
	@for wheel in $(ALL_WHEELS); do $(MAKE) --no-print-directory wheel-$$wheel || exit 1; done
	TOOLS_PLATFORM_WHEELS="$$(echo dist/choretools-*.whl)" $(PY) -m pytest -q -p no:cacheprovider \
	  tests/test_packaging.py -k platform_wheel

# The wheels on the systems they are for (.ci/wheel-pass): each is built,
# held to its tag, installed into a fresh environment of an interpreter of
# that system and tested there with the short randomised profile (the
# shortest under emulation).
#   test-wheel-bullseye-3.11  manylinux x86-64 on Debian 11 (glibc 2.31)
#   test-wheel-aarch64-3.11   manylinux aarch64 under emulation (qemu-user),
#                             3.11 on bullseye's arm64 C library, 3.15 on
#                             Debian's own arm64 build
#   test-wheel-musl-3.11      musllinux x86-64 on musl 1.2.2
#   test-wheel-musl_aarch64-3.11  musllinux aarch64 on arm64's musl 1.2.2,
#                             under emulation
# Every pass there is, and the ones `make test` runs (test-wheels), which
# keep a run on a fresh machine under 50 minutes. The old C library and musl
# are what bullseye's and musl's passes test, the same for every interpreter:
# they take the oldest, 3.11 (3.13 is the newest that can be built there; the
# mirror serves the sources of Debian's releases only). The emulated aarch64
# pass takes the oldest and the newest, 3.11 and 3.15, whose wheels are built
# against headers of two kinds (an interpreter built here, Debian's own).
# The emulated musl passes are run by hand: with them a run on a fresh
# machine would take about ten minutes more (their interpreter built first,
# then the suite at emulated speed), for a C library whose x86-64 build the
# musl pass tests and a machine code that the aarch64 passes test.
WHEEL_PASSES_ALL := bullseye-3.11 bullseye-3.13 musl-3.11 musl-3.13 aarch64-3.11 aarch64-3.15 \
  musl_aarch64-3.11 musl_aarch64-3.13
WHEEL_PASSES := bullseye-3.11 musl-3.11 aarch64-3.11 aarch64-3.15
WHEEL_PASS_PLATFORM_bullseye := manylinux_x86_64
WHEEL_PASS_PLATFORM_aarch64 := manylinux_aarch64
WHEEL_PASS_PLATFORM_musl := musllinux_x86_64
WHEEL_PASS_PLATFORM_musl_aarch64 := musllinux_aarch64

test-wheels:
	@for pass in $(WHEEL_PASSES); do $(MAKE) --no-print-directory test-wheel-$$pass || exit 1; done

$(foreach pass,$(WHEEL_PASSES_ALL),$(eval test-wheel-$(pass): install \
  wheel-$(WHEEL_PASS_PLATFORM_$(firstword $(subst -, ,$(pass))))-$(lastword $(subst -, ,$(pass)))))
$(WHEEL_PASSES_ALL:%=test-wheel-%):
	$(if $(findstring aarch64,$@),.ci/emulation)
	.ci/wheel-pass $(subst -, ,$(@:test-wheel-%=%))

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
	rm -rf build dist $(VENV) $(ASAN_VENV) $(PUBLIC_VENV) $(foreach pass,$(HOST_PASSES) $(CHROOT_PASSES),.venv-$(pass) .venv-public-$(pass))
