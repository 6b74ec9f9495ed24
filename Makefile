# Everyday words. Each one sets itself up: configure when needed, build, then act.
#
#   make demo | test | test-all | docs | sanitize | bench | bench-real | bench-all | valgrind | fuzz | fuzz-asan |
#        fuzz-json | wheels | build | pythonpath | clean
#
# The interpreter versions come from tools/versions.txt. PYTHON=/path/to/python (or PYTHON=3.13) picks the
# interpreter, default the oldest host version (CPython 3.9); with PYTHON given, `make test` runs that interpreter
# only, and PYTHONS="3.9 3.13" gives the list. SANITIZE_PYTHON picks the one for `make sanitize`. Interpreters are
# looked up in $PYENV_ROOT/versions (default ~/.pyenv) first, then on PATH, never through pyenv's shims or the
# shell's set-up. `make test` runs the host versions found (3.9 to 3.13). `make test-all` adds CPython 3.14 and 3.15
# in a Debian unstable root (tools/sid.sh, made on first use: about 10 minutes and 1 GB; needs root; SID=0 leaves
# them out) and last a free-threaded CPython (tools/ft.sh, built from source on first use, about 5 minutes; needs
# root; FT=0 leaves it out), which runs with PYTHON_GIL=0; PYTHON=ft picks it alone.
#
#   make tsan: the threaded stress test on a free-threaded CPython built with ThreadSanitizer, and the module too.

SHELL := /bin/bash
PYENV_ROOT := $(or $(PYENV_ROOT),$(HOME)/.pyenv)
versions = $(shell sed -n 's/^$(1) //p' tools/versions.txt)
VERSIONS := $(call versions,host)
SID_VERSIONS := $(call versions,sid)
OLDEST := $(firstword $(VERSIONS))
SID ?= 1
FT ?= 1

# $(call find_python,3.X): the newest pyenv-installed CPython 3.X, else python3.X on PATH, else nothing.
pyenv_python = $(shell ls -d $(PYENV_ROOT)/versions/$(1).*/bin/python$(1) 2>/dev/null | sort -V | tail -n 1)
find_python = $(or $(call pyenv_python,$(1)),$(shell command -v python$(1) 2>/dev/null))
# A bare version (PYTHON=3.13) is looked up the same way, 3.14 and 3.15 in the sid root when the host has none;
# anything else is used as given.
in_sid = $(if $(filter $(SID_VERSIONS),$(1)),sid:/usr/bin/python$(1))
resolve = $(if $(filter 3.%,$(1)),$(or $(call find_python,$(1)),$(call in_sid,$(1)),$(1)),$(1))

PY_OLDEST := $(call find_python,$(OLDEST))
ifeq ($(filter command line environment,$(origin PYTHON)),)
  ifneq ($(PY_OLDEST),)
    PYTHON := $(PY_OLDEST)
  else
    PYTHON := python3
    $(shell echo "note: no CPython $(OLDEST) found, using python3" >&2)
  endif
  found_or_note = $(or $(call find_python,$(1)),$(shell echo "note: no CPython $(1) found, skipped" >&2))
  # make test: the host's interpreters; make test-all: those, then the sid root's, then the free-threaded build.
  PYTHONS = $(PYTHON) $(foreach v,$(filter-out $(OLDEST),$(VERSIONS)),$(call found_or_note,$(v)))
  MATRIX_PYTHONS = $(if $(filter-out 0 no,$(SID)),$(foreach v,$(SID_VERSIONS),$(call resolve,$(v)))) \
    $(if $(filter-out 0 no,$(FT)),ft)
  WHOLE_MATRIX := 1
else
  override PYTHON := $(if $(filter ft,$(PYTHON)),$(shell tools/ft.sh path),$(call resolve,$(PYTHON)))
  PYTHONS := $(PYTHON)
  MATRIX_PYTHONS :=
endif
override SANITIZE_PYTHON := $(call resolve,$(or $(SANITIZE_PYTHON),$(PYTHON)))

ARGS ?=
VALGRIND_TESTS ?= test_smoke*.py
ASAN_ENV = LD_PRELOAD=$(shell g++ -print-file-name=libasan.so) PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

BUILD := tools/build.sh
SITE = $$($(BUILD) --quiet "$(1)" $(2))
RUN_ENV = PYTHONDONTWRITEBYTECODE=1 PYTHONPATH="$$site:$(CURDIR)"

.PHONY: build pythonpath demo test test-all docs sanitize tsan bench bench-chart bench-all bench-real valgrind fuzz \
	fuzz-asan fuzz-json wheels clean

build:
	@$(BUILD) "$(PYTHON)" release

pythonpath:
	@$(BUILD) --quiet "$(PYTHON)" release

demo:
	@site=$(call SITE,$(PYTHON),release) && if [[ -f examples/quickstart.py ]]; then \
	  $(RUN_ENV) "$(PYTHON)" examples/quickstart.py; else echo "examples/quickstart.py is not written yet" >&2; fi
	@site=$(call SITE,$(PYTHON),release) && if [[ -f /usr/share/iso-codes/json/iso_639-3.json ]]; then echo; \
	  $(RUN_ENV) "$(PYTHON)" examples/languages.py; else echo "(examples/languages.py needs iso-codes)" >&2; fi
	@site=$(call SITE,$(PYTHON),release) && deps=$$(tools/test_deps.sh "$(PYTHON)") && \
	  if [[ -f /usr/share/iso-codes/json/iso_3166-2.json ]]; then echo; \
	  PYTHONDONTWRITEBYTECODE=1 PYTHONPATH="$$site:$(CURDIR)$${deps:+:$$deps}" "$(PYTHON)" examples/real_data.py; \
	  else echo "(examples/real_data.py needs iso-codes)" >&2; fi

# The interpreters whose suite gets Dask for the distributed test (pinned in tools/requirements-dask.txt, installed
# into a venv of its own by tools/test_deps.sh); the others skip that test. DASK_VERSIONS= runs without it.
DASK_VERSIONS ?= 3.11

SID_ROOT ?= $(or $(QUENLORY_SID_ROOT),/var/lib/quenlory/sid)
FT_ROOT ?= $(or $(QUENLORY_FT_ROOT),/var/lib/quenlory/ft)

test:
	@$(if $(WHOLE_MATRIX),echo "== make test: CPython $(VERSIONS) as found on the host; \
	  \`make test-all\` adds $(SID_VERSIONS) and the free-threaded build" >&2)
	@SUITE_DEPS="$(DASK_VERSIONS)" tools/suite.sh release $(foreach p,$(PYTHONS),$(call resolve,$(p)))

# What the whole matrix makes on first use is said before anything runs.
test-all:
	@$(if $(filter sid:%,$(MATRIX_PYTHONS)),[[ -f $(SID_ROOT)/.quenlory-ready ]] || echo "== make test-all: first \
	  makes the Debian unstable root for CPython $(SID_VERSIONS) at $(SID_ROOT) (tools/sid.sh, about 10 minutes \
	  and 1 GB, needs root; SID=0 leaves it out)" >&2)
	@$(if $(filter ft,$(MATRIX_PYTHONS)),ls $(FT_ROOT)/release.ready >/dev/null 2>&1 || echo "== make test-all: \
	  first builds a free-threaded CPython from source into $(FT_ROOT) (tools/ft.sh, about 5 minutes on 2 idle \
	  cores, needs root; FT=0 leaves it out)" >&2)
	@SUITE_DEPS="$(DASK_VERSIONS)" tools/suite.sh release $(foreach p,$(PYTHONS) $(MATRIX_PYTHONS),$(call resolve,$(p)))

# make docs: docs/reference.md written again from the stubs and docstrings (tools/reference.py), then the site
# built by the pinned MkDocs of tools/requirements-docs.txt with --strict into build/docs (tools/docs.sh).
docs:
	@tools/docs.sh

# make sanitize: the suite on the asan flavour (address and undefined-behaviour sanitizers, and the debug
# assertions of QUENLORY_ASSERT). Sanitizer frames are large: CPython 3.13 lets C recursion go deep enough before
# its RecursionError to need more than the default 8 MB of stack under ASan, so the run gets 64 MB where the shell
# allows it.
sanitize:
	@ulimit -s 65536 2>/dev/null || ulimit -s unlimited 2>/dev/null || true; \
	  SUITE_ENV="$(ASAN_ENV)" tools/suite.sh asan "$(SANITIZE_PYTHON)"

# The interpreter's own known reports are suppressed (CPython's list for its free-threaded build); any other report
# fails the run. The reports go to build/tsan/report.*, and the first ones are shown.
TSAN_ENV = TSAN_OPTIONS=suppressions=$$(dirname "$$(dirname "$$python")")/tsan-suppressions.txt:$\
log_path=$(CURDIR)/build/tsan/report:exitcode=66:halt_on_error=0

tsan:
	@python=$$(tools/ft.sh path tsan) && rm -rf build/tsan && mkdir -p build/tsan && \
	  SUITE_ENV="$(TSAN_ENV)" tools/suite.sh tsan "$$python" -- test_threads.py; rc=$$?; \
	  if ls build/tsan/report.* >/dev/null 2>&1; then echo "== ThreadSanitizer reports:" >&2; \
	    grep -h -A3 '^WARNING: ThreadSanitizer' build/tsan/report.* | head -n 60 >&2; fi; exit $$rc

# make bench [PYTHON=...] [ARGS=...]: bench/bench.py on one interpreter, in a venv of its own that holds the pinned
# peers (bench/setup.sh). The figures go to build/bench/results/<tag>.json, and build/bench/chart.svg is drawn again
# from every interpreter measured so far (NOCHART=1 skips it). ARGS="--callgrind read write" counts instructions.
# make bench-all: every host CPython found (3.9 to 3.13), then 3.14 and 3.15 in the sid root, afresh; writes
# bench/results/ (the JSON files, chart.svg, tables.md), the tables of docs/performance.md and its chart
# (docs/images/chart.svg). The README is never rewritten.
BENCH_OUT := build/bench/results
CHART_PYTHON ?= $(PYTHON)
BENCH_TAG = $$("$$venv" -c 'import sys, sysconfig; \
  print(sys.implementation.cache_tag + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')

bench:
	@site=$(call SITE,$(PYTHON),release) && venv=$$(bench/setup.sh "$(PYTHON)") && mkdir -p $(BENCH_OUT) && \
	  $(RUN_ENV) "$$venv" bench/bench.py $(if $(findstring --callgrind,$(ARGS)),,--json $(BENCH_OUT)/$(BENCH_TAG).json) \
	  $(ARGS)
	@$(if $(findstring --callgrind,$(ARGS))$(NOCHART),:,$(MAKE) --no-print-directory bench-chart)

bench-chart:
	@site=$(call SITE,$(CHART_PYTHON),release) && venv=$$(bench/setup.sh --chart "$(CHART_PYTHON)") && \
	  $(RUN_ENV) "$$venv" bench/report.py --chart build/bench/chart.svg $(BENCH_OUT)/*.json

bench-all:
	@rm -rf $(BENCH_OUT) && mkdir -p $(BENCH_OUT)
	@$(foreach v,$(VERSIONS),$(if $(call find_python,$(v)),\
	  $(MAKE) --no-print-directory bench NOCHART=1 PYTHON=$(call find_python,$(v)) ARGS="$(ARGS)" \
	    || echo "== CPython $(v): the bench failed" >&2;,echo "note: no CPython $(v) found, skipped" >&2;))
	@for v in $(SID_VERSIONS); do \
	  if [[ -x $(SID_ROOT)/usr/bin/python$$v ]]; then \
	    QUENLORY_SID_ROOT=$(SID_ROOT) tools/sid.sh run make --no-print-directory bench NOCHART=1 PYTHON=/usr/bin/python$$v \
	      ARGS="$(ARGS)" || echo "== CPython $$v: the bench failed" >&2; \
	  else echo "note: no CPython $$v in $(SID_ROOT), skipped" >&2; fi; done
	@mkdir -p bench/results && rm -f bench/results/*.json && cp $(BENCH_OUT)/*.json bench/results/ && \
	  site=$(call SITE,$(CHART_PYTHON),release) && venv=$$(bench/setup.sh --chart "$(CHART_PYTHON)") && \
	  $(RUN_ENV) "$$venv" bench/report.py --chart bench/results/chart.svg --tables bench/results/tables.md \
	    --performance docs/performance.md bench/results/*.json && \
	  mkdir -p docs/images && cp bench/results/chart.svg docs/images/chart.svg

# make bench-real [PYTHON=...] [ARGS=...]: bench/real.py, real data sets loaded into models by quenlory and the
# peers (from parsed dicts and from text), in the bench venv (bench/setup.sh). The figures go to
# build/bench/real-<tag>.json, and REAL_RESULTS (default build/bench/real.md) gets the tables of every
# build/bench/real-*.json so far; REAL_RESULTS=docs/real-data.md writes the docs' page (from bench/results/real-*.json). ARGS="--callgrind spdx"
# counts instructions instead (build/bench/real-<tag>-callgrind-spdx.json, a table of its own in the results; some
# minutes a data set), ARGS=--quick is a short run.
REAL_RESULTS ?= build/bench/real.md

bench-real:
	@site=$(call SITE,$(PYTHON),release) && venv=$$(bench/setup.sh "$(PYTHON)") && mkdir -p build/bench && \
	  $(RUN_ENV) "$$venv" bench/real.py --json build/bench/real-$(BENCH_TAG).json $(ARGS) && \
	  $(RUN_ENV) "$$venv" bench/real.py --results $(REAL_RESULTS) --report build/bench/real-*.json && \
	  echo "== the tables of build/bench/real-*.json are in $(REAL_RESULTS)"

valgrind:
	@SUITE_ENV="PYTHONMALLOC=malloc" SUITE_WRAP="valgrind --tool=memcheck --error-exitcode=1 --quiet" \
	  tools/suite.sh release "$(PYTHON)" -- "$(VALGRIND_TESTS)"

# make fuzz [N=100000] [SEED=...] [HOSTILE=1]: the native module against tests/baseline.py on N random scenarios;
# the first seed is random unless given, and printed so that a run can be repeated. HOSTILE=1 plays hostile
# names, dictionaries and callables (tests/fuzzgen.py --hostile), each case in a child process that a crash or
# a hang does not take the run down with.
# make fuzz-asan [N=2000] [SEED=...] [PYTHON=...]: hostile cases on the AddressSanitizer build.
FUZZ_ARGS = $(if $(SEED),--seed $(SEED)) $(if $(filter-out 0 no,$(HOSTILE)),--hostile)

fuzz:
	@site=$(call SITE,$(PYTHON),release) && $(RUN_ENV) "$(PYTHON)" tests/fuzzgen.py --count $(or $(N),20000) $(FUZZ_ARGS)

fuzz-asan:
	@ulimit -s 65536 2>/dev/null || ulimit -s unlimited 2>/dev/null || true; \
	  site=$(call SITE,$(PYTHON),asan) && $(RUN_ENV) $(ASAN_ENV) "$(PYTHON)" tests/fuzzgen.py --count $(or $(N),2000) \
	  $(FUZZ_ARGS) --hostile

# make fuzz-json [N=3000] [SEED=...] [PYTHON=...]: quenlory.loads against json.loads (tests/fuzz_json.py) on N
# generated documents, valid, damaged and in other encodings, on the AddressSanitizer build.
fuzz-json:
	@ulimit -s 65536 2>/dev/null || ulimit -s unlimited 2>/dev/null || true; \
	  site=$(call SITE,$(PYTHON),asan) && $(RUN_ENV) $(ASAN_ENV) "$(PYTHON)" tests/fuzz_json.py --count $(or $(N),3000) \
	  $(if $(SEED),--seed $(SEED))

# make wheels: the sdist and a repaired wheel per CPython of tools/versions.txt found (3.9 to 3.15), each tested in a fresh venv (dist/).
wheels:
	@SID=$(SID) tools/wheels.sh

clean:
	rm -rf build dist
