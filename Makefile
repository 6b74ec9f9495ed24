# Everyday words. Each one sets itself up: configure when needed, build, then act.
#
#   make demo | test | sanitize | bench | valgrind | fuzz | wheels | build | pythonpath | clean
#
# PYTHON=/path/to/python (or PYTHON=3.13) picks the interpreter, default CPython 3.9; with PYTHON given,
# `make test` runs that interpreter only, and PYTHONS="3.9 3.13" gives the list. SANITIZE_PYTHON picks the one for
# `make sanitize`. Interpreters are looked up in $PYENV_ROOT/versions (default ~/.pyenv) first, then on PATH,
# never through pyenv's shims or the shell's set-up. CPython 3.14 and 3.15 run in a Debian unstable root
# (tools/sid.sh, made on first use; needs root): `make test` adds them after the others unless SID=0.

SHELL := /bin/bash
PYENV_ROOT := $(or $(PYENV_ROOT),$(HOME)/.pyenv)
VERSIONS := 3.9 3.10 3.11 3.12 3.13
SID_VERSIONS := 3.14 3.15
SID ?= 1

# $(call find_python,3.X): the newest pyenv-installed CPython 3.X, else python3.X on PATH, else nothing.
pyenv_python = $(shell ls -d $(PYENV_ROOT)/versions/$(1).*/bin/python$(1) 2>/dev/null | sort -V | tail -n 1)
find_python = $(or $(call pyenv_python,$(1)),$(shell command -v python$(1) 2>/dev/null))
# A bare version (PYTHON=3.13) is looked up the same way, 3.14 and 3.15 in the sid root when the host has none;
# anything else is used as given.
in_sid = $(if $(filter $(SID_VERSIONS),$(1)),sid:/usr/bin/python$(1))
resolve = $(if $(filter 3.%,$(1)),$(or $(call find_python,$(1)),$(call in_sid,$(1)),$(1)),$(1))

PY39 := $(call find_python,3.9)
ifeq ($(filter command line environment,$(origin PYTHON)),)
  ifneq ($(PY39),)
    PYTHON := $(PY39)
  else
    PYTHON := python3
    $(shell echo "note: no CPython 3.9 found, using python3" >&2)
  endif
  found_or_note = $(or $(call find_python,$(1)),$(shell echo "note: no CPython $(1) found, skipped" >&2))
  PYTHONS = $(PYTHON) $(foreach v,$(filter-out 3.9,$(VERSIONS)),$(call found_or_note,$(v))) \
    $(if $(filter-out 0 no,$(SID)),$(foreach v,$(SID_VERSIONS),$(call resolve,$(v))))
else
  override PYTHON := $(call resolve,$(PYTHON))
  PYTHONS := $(PYTHON)
endif
override SANITIZE_PYTHON := $(call resolve,$(or $(SANITIZE_PYTHON),$(PYTHON)))

ARGS ?=
VALGRIND_TESTS ?= test_smoke*.py
ASAN_ENV = LD_PRELOAD=$(shell g++ -print-file-name=libasan.so) PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

BUILD := tools/build.sh
SITE = $$($(BUILD) --quiet "$(1)" $(2))
RUN_ENV = PYTHONDONTWRITEBYTECODE=1 PYTHONPATH="$$site:$(CURDIR)"

.PHONY: build pythonpath demo test sanitize bench valgrind fuzz wheels clean

build:
	@$(BUILD) "$(PYTHON)" release

pythonpath:
	@$(BUILD) --quiet "$(PYTHON)" release

demo:
	@site=$(call SITE,$(PYTHON),release) && if [[ -f examples/quickstart.py ]]; then \
	  $(RUN_ENV) "$(PYTHON)" examples/quickstart.py; else echo "examples/quickstart.py is not written yet" >&2; fi
	@site=$(call SITE,$(PYTHON),release) && if [[ -f /usr/share/iso-codes/json/iso_639-3.json ]]; then echo; \
	  $(RUN_ENV) "$(PYTHON)" examples/languages.py; else echo "(examples/languages.py needs iso-codes)" >&2; fi

# The interpreters whose suite gets Dask for the distributed test (pinned in tools/requirements-dask.txt, installed
# into a venv of its own by tools/test_deps.sh); the others skip that test. DASK_VERSIONS= runs without it.
DASK_VERSIONS ?= 3.11

test:
	@SUITE_DEPS="$(DASK_VERSIONS)" tools/suite.sh release $(foreach p,$(PYTHONS),$(call resolve,$(p)))

# Sanitizer frames are large: CPython 3.13 lets C recursion go deep enough before its RecursionError to need more
# than the default 8 MB of stack under ASan, so the run gets 64 MB where the shell allows it.
sanitize:
	@ulimit -s 65536 2>/dev/null || ulimit -s unlimited 2>/dev/null || true; \
	  SUITE_ENV="$(ASAN_ENV)" tools/suite.sh asan "$(SANITIZE_PYTHON)"

bench:
	@site=$(call SITE,$(PYTHON),release) && if [[ -f bench/bench.py ]]; then \
	  $(RUN_ENV) "$(PYTHON)" bench/bench.py $(ARGS); else echo "bench/bench.py is not written yet" >&2; fi

valgrind:
	@SUITE_ENV="PYTHONMALLOC=malloc" SUITE_WRAP="valgrind --tool=memcheck --error-exitcode=1 --quiet" \
	  tools/suite.sh release "$(PYTHON)" -- "$(VALGRIND_TESTS)"

# make fuzz [N=100000] [SEED=...]: the native module against bench/baseline.py on N random scenarios; the first
# seed is random unless given, and printed so that a run can be repeated.
fuzz:
	@site=$(call SITE,$(PYTHON),release) && $(RUN_ENV) "$(PYTHON)" tests/fuzzgen.py --count $(or $(N),20000) \
	  $(if $(SEED),--seed $(SEED))

# make wheels: the sdist and a repaired wheel per CPython 3.9 to 3.15 found, each tested in a fresh venv (dist/).
wheels:
	@SID=$(SID) tools/wheels.sh

clean:
	rm -rf build dist
