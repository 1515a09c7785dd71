# Everything a fresh machine needs, from the Python 3.11 interpreter on.
#   make demo   set up, then run the migration runner on a temporary copy of
#               the example project (embedded SQLite repository + lakehouse)
#   make test   set up, then run the test suite in the normal build and in
#               the sanitizer build (AddressSanitizer + UBSan)
#   make bench  set up, then run the benchmarks
PYTHON ?= python3.11
VENV := .venv
ASAN_VENV := .venv-asan
# The benchmarks' environment: ours, and the peers they are measured beside.
BENCH_VENV := .venv-bench
BENCH_PEERS := alembic sqlalchemy

.PHONY: demo test test-normal test-asan bench clean

SOURCES := pyproject.toml CMakeLists.txt $(shell find src templates framework -type f -not -name '*.pyc' -not -path '*/build/*' -not -path '*.egg-info*')

# The framework stand-in (a distribution of its own) and ours, in one step.
$(VENV)/installed: $(SOURCES)
	test -x $(VENV)/bin/python || $(PYTHON) -m venv $(VENV)
	$(VENV)/bin/python -m pip install --quiet --upgrade pip
	rm -rf framework/build
	$(VENV)/bin/python -m pip install --quiet ./framework ".[test]"
	touch $@

$(ASAN_VENV)/installed: $(SOURCES)
	test -x $(ASAN_VENV)/bin/python || $(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install --quiet --upgrade pip
	rm -rf framework/build
	$(ASAN_VENV)/bin/python -m pip install --quiet ./framework ".[test]" \
		-C cmake.define.VELKOR_SANITIZE=ON -C cmake.build-type=RelWithDebInfo
	touch $@

$(BENCH_VENV)/installed: $(SOURCES)
	test -x $(BENCH_VENV)/bin/python || $(PYTHON) -m venv $(BENCH_VENV)
	$(BENCH_VENV)/bin/python -m pip install --quiet --upgrade pip
	rm -rf framework/build
	$(BENCH_VENV)/bin/python -m pip install --quiet ./framework ".[test]" $(BENCH_PEERS)
	touch $@

demo: $(VENV)/installed
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" tools/demo

test: test-normal test-asan

# A PostgreSQL and an S3-compatible server on loopback, for the storage tests
# and benchmarks: installed when missing, started before the command, stopped after.
SERVERS := tools/test-servers run

# Tests run from a scratch folder so that they import the installed package.
test-normal: $(VENV)/installed
	cd tests/.. && $(SERVERS) $(VENV)/bin/python -m pytest -q -p no:cacheprovider tests

test-asan: $(ASAN_VENV)/installed
	$(SERVERS) tools/asan-run $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider tests

bench: $(BENCH_VENV)/installed
	$(SERVERS) $(BENCH_VENV)/bin/python -m bench

clean:
	rm -rf $(VENV) $(ASAN_VENV) $(BENCH_VENV) .venv-servers build
