# torvan: `make test` runs every test, `make bench` the benchmark suite.
# Both provision what they need: the free-threaded interpreter, the .venv with
# the pinned dependencies, and the C++ build.

SHELL := /bin/bash
ARGS ?=
VENV := .venv
ASAN_VENV := .venv-asan

SOAK_SECONDS ?= 600

.PHONY: all test check bench bench-check soak venv build build-asan type-check native-tests python-tests asan-tests \
	parallel-tests dist dist-check clean

all: test

venv:
	@tools/setup-venv.sh $(VENV)

build: venv
	@tools/build-extension.sh $(VENV)

build-asan:
	@tools/setup-venv.sh $(ASAN_VENV)
	@tools/build-extension.sh $(ASAN_VENV) address

# The stubs against the built extension (stubtest), and mypy --strict on the
# package and on every Python code block of README.md.
type-check: build
	@$(VENV)/bin/python tools/check-types.py

native-tests:
	@tools/run-native-tests.sh

python-tests: build
	@tools/run-python-tests.sh $(VENV)

asan-tests: build-asan
	@tools/run-python-tests.sh $(ASAN_VENV) address

# The quick benchmark run once, checking that it writes a complete results file.
bench-check: build
	@mkdir -p build
	@tools/build-native-bench.sh
	@$(VENV)/bin/python -P tools/run-benchmarks.py --quick --out build/bench-check > build/bench-check.log 2>&1 \
		|| { tail -n 40 build/bench-check.log; exit 1; }
	@$(VENV)/bin/python tools/check-bench-results.py build/bench-check/results.json

# Each thread-safe test run by 4 threads at once, on shared interpreter state;
# the tests marked thread_unsafe already ran in python-tests and are skipped.
parallel-tests: build
	@tools/run-python-tests.sh $(VENV) --parallel-threads=4 --skip-thread-unsafe=true

# The sdist and a wheel built from it, repaired to a manylinux tag, in dist/.
dist: venv
	@tools/build-dist.sh $(VENV)

# Both installed into a fresh venv and imported.
dist-check: dist
	@tools/check-dist.sh $(VENV)

# The edit-test loop: the plain build and the Python suite once, without the
# soak and the parallel pass; ARGS (pytest arguments) narrows it.
check: build
	@tools/run-python-tests.sh $(VENV) --deselect=tests/test_process.py::test_soak $(ARGS)

test: build type-check native-tests python-tests asan-tests parallel-tests bench-check dist-check
	@echo "[test] all tests passed"

bench: build
	@tools/build-native-bench.sh
	@$(VENV)/bin/python -P tools/run-benchmarks.py $(ARGS)

soak: build
	@$(VENV)/bin/python -P -X faulthandler tests/reliability/soak.py --seconds $(SOAK_SECONDS)

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV) bench-results
