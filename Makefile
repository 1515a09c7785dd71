# Everything a fresh machine needs, from the Python 3.11 interpreter on.
#   make demo   set up, then run the migration runner on a temporary copy of
#               the example project (embedded SQLite repository + lakehouse)
#   make test   set up, then run the test suite in the normal build on
#               Python 3.11, 3.12 and 3.13, and in the sanitizer build
#               (AddressSanitizer + UBSan) on 3.11
#   make bench  set up, then run the benchmarks
PYTHON ?= python3.11
VENV := .venv
ASAN_VENV := .venv-asan
# The benchmarks' environment: ours, and the peers they are measured beside.
BENCH_VENV := .venv-bench
BENCH_PEERS := alembic sqlalchemy
# The normal build is tested on these too, each in .venv-<version>; their
# interpreters are found by tools/find-python (on PATH, or pyenv's).
OTHER_PYTHONS := 3.12 3.13
# Test builds carry the probe of the exception barrier (never in the wheel).
TEST_BUILD := -C cmake.define.VELKOR_TEST_PROBE=ON

.PHONY: demo test test-normal test-asan $(OTHER_PYTHONS:%=test-%) bench clean

SOURCES := pyproject.toml CMakeLists.txt $(shell find src templates framework tests/native -type f -not -name '*.pyc' -not -path '*/build/*' -not -path '*.egg-info*')

# The framework stand-in (a distribution of its own) and ours, in one step.
$(VENV)/installed: $(SOURCES)
	test -x $(VENV)/bin/python || $(PYTHON) -m venv $(VENV)
	$(VENV)/bin/python -m pip install --quiet --upgrade pip
	rm -rf framework/build
	$(VENV)/bin/python -m pip install --quiet ./framework ".[test]" $(TEST_BUILD)
	touch $@

$(ASAN_VENV)/installed: $(SOURCES)
	test -x $(ASAN_VENV)/bin/python || $(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install --quiet --upgrade pip
	rm -rf framework/build
	$(ASAN_VENV)/bin/python -m pip install --quiet ./framework ".[test]" $(TEST_BUILD) \
		-C cmake.define.VELKOR_SANITIZE=ON -C cmake.build-type=RelWithDebInfo
	touch $@

$(BENCH_VENV)/installed: $(SOURCES)
	test -x $(BENCH_VENV)/bin/python || $(PYTHON) -m venv $(BENCH_VENV)
	$(BENCH_VENV)/bin/python -m pip install --quiet --upgrade pip
	rm -rf framework/build
	$(BENCH_VENV)/bin/python -m pip install --quiet ./framework ".[test]" $(BENCH_PEERS)
	touch $@

.venv-%/installed: $(SOURCES)
	test -x $(@D)/bin/python || "$$(tools/find-python $*)" -m venv $(@D)
	$(@D)/bin/python -m pip install --quiet --upgrade pip
	rm -rf framework/build
	$(@D)/bin/python -m pip install --quiet ./framework ".[test]" $(TEST_BUILD)
	touch $@

demo: $(VENV)/installed
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" tools/demo

# Every stage runs, also after one fails; the failed ones are named at the end.
TEST_STAGES := test-normal test-asan $(OTHER_PYTHONS:%=test-%)
test:
	@failed=""; for stage in $(TEST_STAGES); do \
		$(MAKE) --no-print-directory $$stage || failed="$$failed $$stage"; \
	done; \
	if [ -n "$$failed" ]; then echo "make test: failed:$$failed" >&2; exit 1; fi

# velkor-migrate graph draws SVG and PNG with Graphviz's dot; its tests are
# skipped without it. As root on Debian (a fresh machine, CI), install it.
.PHONY: graphviz
test-normal test-asan $(OTHER_PYTHONS:%=test-%): graphviz
graphviz:
	@command -v dot >/dev/null || { [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null && \
		apt-get update -qq && apt-get install -y -qq graphviz >/dev/null; } || \
		echo "note: Graphviz's dot is not installed: the tests that draw SVG and PNG are skipped"

# A PostgreSQL and an S3-compatible server on loopback, for the storage tests
# and benchmarks: installed when missing, started before the command, stopped after.
SERVERS := tools/test-servers run

# Tests run from a scratch folder so that they import the installed package.
# This run alone also builds the product's wheel and checks what it holds.
test-normal: $(VENV)/installed
	cd tests/.. && VELKOR_TEST_WHEEL=1 $(SERVERS) $(VENV)/bin/python -m pytest -q -p no:cacheprovider tests

test-asan: $(ASAN_VENV)/installed
	$(SERVERS) tools/asan-run $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider tests

$(OTHER_PYTHONS:%=test-%): test-%: .venv-%/installed
	$(SERVERS) .venv-$*/bin/python -m pytest -q -p no:cacheprovider tests

bench: $(BENCH_VENV)/installed
	$(SERVERS) $(BENCH_VENV)/bin/python -m bench

clean:
	rm -rf $(VENV) $(ASAN_VENV) $(BENCH_VENV) $(OTHER_PYTHONS:%=.venv-%) .venv-servers build
