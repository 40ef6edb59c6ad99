# torvan: `make test` runs every test, `make bench` the benchmark suite.
# Both provision what they need: the free-threaded interpreter, the .venv with
# the pinned dependencies, and the C++ build. Every stage prints its time
# ([time] lines); make test ends with the list of them.

SHELL := /bin/bash
ARGS ?=
VENV := .venv
ASAN_VENV := .venv-asan
PORTABLE_VENV := .venv-portable
TIMED := tools/timed.sh

SOAK_SECONDS ?= 600

.PHONY: all test check bench bench-check soak python venv test-venv bench-venv build build-asan type-check \
	native-tests python-tests asan-tests parallel-tests dist dist-check clean stage-times-reset \
	build-portable portable-python-tests cross-checks macos-build arm-native-tests cross-checks-start cross-checks-wait

all: test

# The interpreter: found, or built once into the per-user cache.
python:
	@$(TIMED) interpreter tools/find-python.sh >/dev/null

# Layers of requirements: building needs only the build backend, testing adds
# the test tools, the benchmark adds its plotting stack.
venv: python
	@$(TIMED) "venv (build requirements)" tools/setup-venv.sh $(VENV)

test-venv: venv
	@$(TIMED) "venv (test requirements)" tools/setup-venv.sh $(VENV) test

bench-venv: test-venv
	@$(TIMED) "venv (bench requirements)" tools/setup-venv.sh $(VENV) test bench

build: venv
	@$(TIMED) extension tools/build-extension.sh $(VENV)

build-asan: python
	@$(TIMED) "venv for the sanitized build" tools/setup-venv.sh $(ASAN_VENV) test
	@$(TIMED) "extension (ASan+UBSan)" tools/build-extension.sh $(ASAN_VENV) address

# The stubs against the built extension (stubtest), and mypy --strict on the
# package and on every Python code block of README.md.
type-check: build test-venv
	@$(TIMED) "type checks" $(VENV)/bin/python tools/check-types.py

native-tests:
	@$(TIMED) "native tests (plain)" tools/run-native-tests.sh plain
	@$(TIMED) "native tests (TSan)" tools/run-native-tests.sh thread
	@$(TIMED) "native tests (ASan+UBSan)" tools/run-native-tests.sh address
	@$(TIMED) "native tests (portable)" tools/run-native-tests.sh portable
	@$(TIMED) "native tests (portable, TSan)" tools/run-native-tests.sh portable-thread

python-tests: build test-venv
	@$(TIMED) "Python suite" tools/run-python-tests.sh $(VENV)

asan-tests: build-asan
	@$(TIMED) "Python suite (ASan+UBSan)" tools/run-python-tests.sh $(ASAN_VENV) address

# The quick benchmark run once, checking that it writes a complete results file.
bench-check: build test-venv
	@mkdir -p build
	@$(TIMED) "native benchmark build" tools/build-native-bench.sh
	@$(TIMED) "quick benchmark run" bash -c '$(VENV)/bin/python -P tools/run-benchmarks.py --quick --no-plots \
		--out build/bench-check > build/bench-check.log 2>&1 || { tail -n 40 build/bench-check.log; exit 1; }'
	@$(VENV)/bin/python tools/check-bench-results.py build/bench-check/results.json

# The variant that takes the branches meant for systems other than Linux
# (park buckets, a pipe, 128-byte cache lines), under the Python suite once.
build-portable: python
	@$(TIMED) "venv for the portable build" tools/setup-venv.sh $(PORTABLE_VENV) test
	@$(TIMED) "extension (portable)" tools/build-extension.sh $(PORTABLE_VENV) portable

portable-python-tests: build-portable
	@$(TIMED) "Python suite (portable)" tools/run-python-tests.sh $(PORTABLE_VENV) \
		--deselect=tests/test_process.py::test_soak

# The platform checks that need a cross toolchain: everything built for macOS
# on 64-bit Arm (nothing runs: no macOS here), and the native tests built for
# Linux on 64-bit Arm and run under qemu-user.
macos-build: python
	@$(TIMED) "macOS arm64 cross build" tools/cross-build.sh aarch64-macos

arm-native-tests:
	@$(TIMED) "native tests (aarch64, emulated)" tools/cross-build.sh aarch64-linux-gnu

cross-checks: macos-build arm-native-tests

# make test runs the cross checks beside its other stages, and waits for them at its end.
cross-checks-start: python
	@tools/background.sh start cross-checks env -u MAKEFLAGS -u MFLAGS $(MAKE) --no-print-directory cross-checks

cross-checks-wait:
	@tools/background.sh wait cross-checks

# Each thread-safe test run by 4 threads at once, on shared interpreter state;
# the tests marked thread_unsafe already ran in python-tests and are skipped.
parallel-tests: build test-venv
	@$(TIMED) "Python suite, 4 threads a test" tools/run-python-tests.sh $(VENV) --parallel-threads=4 \
		--skip-thread-unsafe=true

# The sdist and a wheel built from it, repaired to a manylinux tag, in dist/.
dist: test-venv
	@$(TIMED) "sdist and wheels" tools/build-dist.sh $(VENV)

# Both installed into a fresh venv and imported.
dist-check: dist
	@$(TIMED) "wheels installed and imported" tools/check-dist.sh $(VENV)

# The edit-test loop: the plain build and the Python suite once, without the
# soak and the parallel pass; ARGS (pytest arguments) narrows it.
check: build test-venv
	@$(TIMED) "Python suite" tools/run-python-tests.sh $(VENV) --deselect=tests/test_process.py::test_soak $(ARGS)

stage-times-reset:
	@mkdir -p build && rm -f build/stage-times.log && date +%s >build/stage-times.start

test: stage-times-reset cross-checks-start build type-check native-tests python-tests asan-tests parallel-tests \
		portable-python-tests bench-check dist-check cross-checks-wait
	@tools/stage-summary.sh
	@echo "[test] all tests passed"

bench: build bench-venv
	@tools/build-native-bench.sh
	@$(VENV)/bin/python -P tools/run-benchmarks.py $(ARGS)

soak: build
	@$(VENV)/bin/python -P -X faulthandler tests/reliability/soak.py --seconds $(SOAK_SECONDS)

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV) $(PORTABLE_VENV) bench-results
