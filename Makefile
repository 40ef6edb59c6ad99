# torvan: `make test` runs every test, `make bench` the benchmark suite.
# Both provision what they need: the free-threaded interpreter, the .venv with
# the pinned dependencies, the C++ builds and the cross toolchains. Every
# stage prints its time ([time] lines); make test ends with the list of them.

SHELL := /bin/bash
ARGS ?=
VENV := .venv
ASAN_VENV := .venv-asan
ARM_VENV := build/arm-venv
TIMED := tools/timed.sh
# make test runs its independent stages side by side, each stage's output
# printed whole when it ends.
TEST_JOBS ?= 2

SOAK_SECONDS ?= 600

.PHONY: all test test-stages check bench bench-check soak python venv test-venv bench-venv build build-asan \
	type-check native-tests native-plain native-thread native-address native-portable native-portable-thread \
	python-tests asan-tests parallel-tests dist dist-check macos-build arm-native-tests cross-checks clean \
	stage-times-reset arm-python arm-venv arm-python-tests

all: test

# The interpreter: found, or built once into the per-user cache.
python:
	@$(TIMED) interpreter tools/find-python.sh >/dev/null

# Layers of requirements: building needs only the build backend, testing adds
# the test tools, the benchmark adds its plotting stack. A layer is installed
# after the extension is built, so that no two pip runs share the venv.
venv: python
	@$(TIMED) "venv (build requirements)" tools/setup-venv.sh $(VENV)

build: venv
	@$(TIMED) extension tools/build-extension.sh $(VENV)

test-venv: build
	@$(TIMED) "venv (test requirements)" tools/setup-venv.sh $(VENV) test

bench-venv: test-venv
	@$(TIMED) "venv (bench requirements)" tools/setup-venv.sh $(VENV) test bench

# The sanitized build is also the portable variant, which takes the branches
# meant for systems other than Linux (park buckets, a pipe, 128-byte cache
# lines): one more build and one more run of the Python suite cover both. It
# gets a venv of its own, which finds the test tools of .venv instead of
# installing them again.
build-asan: test-venv
	@$(TIMED) "venv for the sanitized build" tools/setup-venv.sh $(ASAN_VENV) --borrow-from $(VENV)
	@$(TIMED) "extension (portable, ASan+UBSan)" tools/build-extension.sh $(ASAN_VENV) portable-address

# The stubs against the built extension (stubtest), and mypy --strict on the
# package and on every Python code block of README.md.
type-check: test-venv
	@$(TIMED) "type checks" $(VENV)/bin/python tools/check-types.py

# The C++ tests of the core need no interpreter: make test starts them at
# once. The portable variant's run plain and under ThreadSanitizer too.
native-tests: native-plain native-thread native-address native-portable native-portable-thread

native-plain native-thread native-address native-portable native-portable-thread: native-%:
	@$(TIMED) "native tests ($*)" tools/run-native-tests.sh $*

python-tests: test-venv
	@$(TIMED) "Python suite" tools/run-python-tests.sh $(VENV)

asan-tests: build-asan
	@$(TIMED) "Python suite (portable, ASan+UBSan)" tools/run-python-tests.sh $(ASAN_VENV) address

# Each thread-safe test run by 4 threads at once, on shared interpreter state;
# the tests marked thread_unsafe already ran in python-tests and are skipped.
parallel-tests: test-venv
	@$(TIMED) "Python suite, 4 threads a test" tools/run-python-tests.sh $(VENV) --parallel-threads=4 \
		--skip-thread-unsafe=true

# The quick benchmark run once (one round: its numbers are not judged),
# checking that it writes a complete results file.
bench-check: test-venv
	@mkdir -p build
	@$(TIMED) "native benchmark build" tools/build-native-bench.sh
	@$(TIMED) "quick benchmark run" bash -c '$(VENV)/bin/python -P tools/run-benchmarks.py --quick --rounds 1 \
		--no-plots --out build/bench-check > build/bench-check.log 2>&1 || { tail -n 40 build/bench-check.log; exit 1; }'
	@$(VENV)/bin/python tools/check-bench-results.py build/bench-check/results.json

# The sdist and a wheel built from it, repaired to a manylinux tag, in dist/.
dist: test-venv
	@$(TIMED) "sdist and wheels" tools/build-dist.sh $(VENV)

# Both installed into a fresh venv and imported.
dist-check: dist
	@$(TIMED) "wheels installed and imported" tools/check-dist.sh $(VENV)

# The platform checks that need a cross toolchain: everything built for macOS
# on 64-bit Arm (nothing runs: no macOS here), and the native tests built for
# Linux on 64-bit Arm and run under qemu-user.
macos-build: python
	@$(TIMED) "macOS arm64 cross build" tools/cross-build.sh aarch64-macos

arm-native-tests:
	@$(TIMED) "native tests (aarch64, emulated)" tools/cross-build.sh aarch64-linux-gnu

cross-checks: macos-build arm-native-tests

# The Python suite on Linux on 64-bit Arm, outside make test (it takes longer
# than make test's budget allows): a free-threaded interpreter cross-built
# from the same tarball (cached), the extension cross-built into a venv of
# its own, and the suite without the soak run under qemu-user, child
# interpreters included. ARGS narrows it, as for make check.
arm-python: python
	@$(TIMED) "aarch64 interpreter" tools/find-arm-python.sh >/dev/null

arm-venv: arm-python venv
	@$(TIMED) "aarch64 venv and extension" tools/setup-arm-venv.sh $(VENV) $(ARM_VENV)

arm-python-tests: arm-venv
	@$(TIMED) "Python suite (aarch64, emulated)" tools/run-python-tests.sh $(ARM_VENV) \
		--deselect=tests/test_process.py::test_soak $(ARGS)

# The edit-test loop: the plain build and the Python suite once, without the
# soak and the parallel pass, the leak checks in a process beside the rest;
# ARGS (pytest arguments) narrows it.
check: test-venv
	@$(TIMED) "Python suite" tools/run-check.sh $(VENV) $(ARGS)

stage-times-reset:
	@mkdir -p build && rm -f build/stage-times.log

# The interpreter first, since most stages wait for it; the native tests and
# the cross checks run beside its build.
test-stages: python native-tests cross-checks type-check python-tests asan-tests parallel-tests bench-check \
	dist-check

test: stage-times-reset
	@start=$$(date +%s); $(MAKE) --no-print-directory -j$(TEST_JOBS) --output-sync=target test-stages; \
		status=$$?; tools/stage-summary.sh $$(( $$(date +%s) - start )); exit $$status
	@echo "[test] all tests passed"

bench: bench-venv
	@tools/build-native-bench.sh
	@$(VENV)/bin/python -P tools/run-benchmarks.py $(ARGS)

soak: build
	@$(VENV)/bin/python -P -X faulthandler tests/reliability/soak.py --seconds $(SOAK_SECONDS)

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV) bench-results
