# torvan: `make test` runs every test, `make bench` the benchmark suite.
# Both provision what they need: the free-threaded interpreter, the .venv with
# the pinned dependencies, and the C++ build.

SHELL := /bin/bash
ARGS ?=
VENV := .venv
ASAN_VENV := .venv-asan

SOAK_SECONDS ?= 600

.PHONY: all test bench soak venv build build-asan native-tests python-tests asan-tests parallel-tests clean

all: test

venv:
	@tools/setup-venv.sh $(VENV)

build: venv
	@tools/build-extension.sh $(VENV)

build-asan:
	@tools/setup-venv.sh $(ASAN_VENV)
	@tools/build-extension.sh $(ASAN_VENV) address

native-tests:
	@tools/run-native-tests.sh

python-tests: build
	@tools/run-python-tests.sh $(VENV)

asan-tests: build-asan
	@tools/run-python-tests.sh $(ASAN_VENV) address

# Each thread-safe test run by 4 threads at once, on shared interpreter state;
# the tests marked thread_unsafe already ran in python-tests and are skipped.
parallel-tests: build
	@tools/run-python-tests.sh $(VENV) --parallel-threads=4 --skip-thread-unsafe=true

test: build native-tests python-tests asan-tests parallel-tests
	@echo "[test] all tests passed"

bench: build
	@tools/build-native-bench.sh
	@$(VENV)/bin/python -P tools/run-benchmarks.py $(ARGS)

soak: build
	@$(VENV)/bin/python -P -X faulthandler tests/reliability/soak.py --seconds $(SOAK_SECONDS)

clean:
	rm -rf build $(VENV) $(ASAN_VENV) bench-results
