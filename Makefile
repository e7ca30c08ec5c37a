# The two commands a newcomer needs: `make demo` and `make test`. Both set up
# everything they need on a fresh machine (Debian packages, a virtual
# environment, the build) and are cheap to re-run.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
BUILD := build/$(notdir $(VENV))

.PHONY: demo test dev pytest core-tests sanitize-py sanitize-core bench clean

$(VENV)/.deps: pyproject.toml scripts/system-deps
	scripts/system-deps
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q scikit-build-core cmake ninja pytest numpy hypothesis mypy matplotlib
	touch $@

# Build and install the module into the virtual environment (incremental).
dev: $(VENV)/.deps
	$(PY) -m pip install -q --no-build-isolation --no-deps -Cbuild-dir=$(BUILD)/wheel .

demo: dev
	$(PY) examples/quickstart.py

pytest: dev
	$(PY) -m pytest -q

core-tests: $(VENV)/.deps
	$(VENV)/bin/cmake -S . -B $(BUILD)/core -G Ninja -DZANDREL_BUILD_MODULE=OFF \
	  -DZANDREL_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	$(VENV)/bin/cmake --build $(BUILD)/core
	$(VENV)/bin/ctest --test-dir $(BUILD)/core --output-on-failure

test: core-tests pytest sanitize-py sanitize-core

# Sanitizer runs, each in a build directory of its own; the installed module
# and the Release core tests are left alone. The interpreter is not
# instrumented, so the module's sanitizer runtime is preloaded into it, and
# PYTHONMALLOC=malloc hands Python objects to that runtime's allocator too.
# Leaks are not looked for during the pytest run (the interpreter keeps much
# of its memory until exit, by design); scripts/lsan-check does that on a
# short workload and counts only leaks allocated from inside the module.
SAN_CXX ?= g++
ASAN_DIR = $(abspath $(BUILD)/asan)
# pytest captures file descriptor 2 while a test runs, so a report written to
# stderr would vanish with the process it ends: reports go to files instead,
# printed when the run fails.
ASAN_REPORT = $(ASAN_DIR)/sanitizer-report
ASAN_ENV = LD_PRELOAD="$(shell $(SAN_CXX) -print-file-name=libasan.so) $(shell $(SAN_CXX) -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$(ASAN_REPORT) \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(ASAN_REPORT) PYTHONMALLOC=malloc \
  PYTHONPATH=$(ASAN_DIR) ZANDREL_EXPECT_MODULE_DIR=$(ASAN_DIR)

# The whole pytest suite against the AddressSanitizer + UBSan build (with
# the check of double-to-integer conversions, which GCC leaves out of
# "undefined").
sanitize-py: dev
	$(VENV)/bin/cmake -S . -B $(BUILD)/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=$(SAN_CXX) -DZANDREL_SANITIZE=address,undefined,float-cast-overflow \
	  -DPython_EXECUTABLE=$(abspath $(PY))
	$(VENV)/bin/cmake --build $(BUILD)/asan
	rm -f $(ASAN_REPORT).*
	$(ASAN_ENV) $(PY) -m pytest -q -p no:cacheprovider || { cat $(ASAN_REPORT).* 2>/dev/null; exit 1; }
	$(ASAN_ENV) $(PY) scripts/lsan-check || { cat $(ASAN_REPORT).* 2>/dev/null; exit 1; }

# The C++ core tests, the model-lock threads among them, under ThreadSanitizer.
sanitize-core: $(VENV)/.deps
	$(VENV)/bin/cmake -S . -B $(BUILD)/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=$(SAN_CXX) -DZANDREL_BUILD_MODULE=OFF -DZANDREL_BUILD_TESTS=ON \
	  -DZANDREL_SANITIZE=thread
	$(VENV)/bin/cmake --build $(BUILD)/tsan
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  $(VENV)/bin/ctest --test-dir $(BUILD)/tsan --output-on-failure

# Cost per call of every method beside the floor (the same argument conversion
# and result building with no kinematics) and a NumPy implementation, measured
# in one run. Pass options with BENCH_ARGS, e.g. BENCH_ARGS="--json out.json".
bench: dev
	$(VENV)/bin/cmake -S . -B $(BUILD)/floor -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DZANDREL_BUILD_FLOOR=ON -DZANDREL_BUILD_MODULE=OFF -DPython_EXECUTABLE=$(abspath $(PY))
	$(VENV)/bin/cmake --build $(BUILD)/floor --target zandrel_floor
	PYTHONPATH=$(BUILD)/floor $(PY) benchmarks/bench.py $(BENCH_ARGS)

# The aarch64 wheels into dist/, for the CPythons Debian has arm64 builds of
# (3.11 in Debian 12, 3.14 in unstable): each cross-built from this machine's
# environment of the same version, then installed and tested under
# qemu-aarch64 (scripts/aarch64-wheels, scripts/python-arm64). Unstable's
# interpreter runs about four times slower under emulation, so 3.14 runs the
# kinematics, boundary and golden groups only; AARCH64_TESTS_314= runs all.
AARCH64_TESTS_314 ?= inverse inverse_safe forward boundary golden
.PHONY: wheels-aarch64
wheels-aarch64:
	$(MAKE) .venv-3.11/.deps VENV=.venv-3.11 PYTHON="$$(scripts/find-python 3.11)"
	scripts/aarch64-wheels .venv-3.11/bin/python dist
	$(MAKE) .venv-3.14/.deps VENV=.venv-3.14 PYTHON="$$(scripts/find-python 3.14 2>/dev/null || scripts/python314)"
	AARCH64_TESTS="$(AARCH64_TESTS_314)" scripts/aarch64-wheels .venv-3.14/bin/python dist

clean:
	rm -rf build .venv .venv-*
