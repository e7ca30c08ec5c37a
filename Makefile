# The two commands a newcomer needs: `make demo` and `make test`. Both create
# a virtual environment, build the module into it and run, and are cheap to
# re-run. `make demo` needs only a C++20 compiler and Python: CMake, Ninja and
# (when the system has none) Eigen come from PyPI. Only `make test` installs
# Debian packages (GoogleTest and, with g++, the sanitizer runtimes; see
# scripts/system-deps). `make wheels` writes the sdist and the wheels to dist/.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
BUILD := build/$(notdir $(VENV))
# pip's own progress is kept; -v also shows the compiler's.
PIP_INSTALL = $(PY) -m pip install --no-build-isolation -v -Cbuild-dir=$(BUILD)/wheel

.PHONY: demo test dev dev-test system-deps pytest core-tests sanitize-py sanitize-core bench \
  wheels check-wheels clean cpp-consumer

# The build requirements pyproject.toml names (scikit-build-core, cmeel-eigen),
# with CMake and Ninja; the module is built against them without isolation.
# An unsupported interpreter stops it before anything is created; the stamp
# is written only once every requirement is in (before 3.11 the TOML parser
# comes from PyPI).
$(VENV)/.build-tools: pyproject.toml
	@scripts/check-python "$(PYTHON)"
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --upgrade pip
	$(PY) -c 'import tomllib' 2>/dev/null || $(PY) -m pip install tomli
	requires=$$($(PY) scripts/build-requires) && $(PY) -m pip install cmake ninja $$requires
	touch $@

# Build and install the module into the virtual environment (incremental),
# with its runtime dependencies; dev-test adds the `test` and `studio` extras
# of pyproject.toml and its browser-test group (the studio's browser test).
dev: $(VENV)/.build-tools
	$(PIP_INSTALL) .

dev-test: $(VENV)/.build-tools
	$(PIP_INSTALL) ".[test,studio]" --group browser-test
	touch $(VENV)/.test-extra

# The test tools alone, for runs that test a build of their own.
$(VENV)/.test-extra: $(VENV)/.build-tools pyproject.toml
	$(MAKE) --no-print-directory dev-test

demo: dev
	$(PY) examples/quickstart.py

# GoogleTest (and a compiler with the sanitizer runtimes) from Debian, when missing.
system-deps:
	scripts/system-deps

# Every stage runs even when one before it failed; the last line sums them up.
# The C++ stages (core-tests, sanitize-core, cpp-consumer) do not depend on
# the Python, so CI runs them with its first interpreter only: TEST_STAGES
# picks the stages. So does the replay of the fuzz corpora (fuzz-replay,
# below), which needs a Python that atheris has a wheel for.
TEST_STAGES ?= core-tests pytest sanitize-py sanitize-core fuzz-replay cpp-consumer
test:
	@scripts/test-stages "$(MAKE)" $(BUILD)/logs $(TEST_STAGES)

# system-deps: Chromium, for the studio's browser test.
pytest: system-deps dev-test
	$(PY) -m pytest -q

# The interpreter is named so that CMake finds cmeel-eigen when the system
# has no Eigen.
core-tests: system-deps $(VENV)/.build-tools
	$(VENV)/bin/cmake -S . -B $(BUILD)/core -G Ninja -DZANDREL_BUILD_MODULE=OFF \
	  -DZANDREL_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(abspath $(PY))
	$(VENV)/bin/cmake --build $(BUILD)/core
	$(VENV)/bin/ctest --test-dir $(BUILD)/core --output-on-failure

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
  PYTHONPATH=$(ASAN_DIR) ZANDREL_EXPECT_MODULE_DIR=$(ASAN_DIR) ZANDREL_EXPECT_SANITIZERS=1

# The whole pytest suite against the AddressSanitizer + UBSan build (with
# the check of double-to-integer conversions, which GCC leaves out of
# "undefined"), the module and the typed package's engine both.
sanitize-py: system-deps $(VENV)/.test-extra
	$(VENV)/bin/cmake -S . -B $(BUILD)/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=$(SAN_CXX) -DZANDREL_SANITIZE=address,undefined,float-cast-overflow \
	  -DPython_EXECUTABLE=$(abspath $(PY))
	$(VENV)/bin/cmake --build $(BUILD)/asan
	# zandrel_torso as the tests import it: the package's sources (its
	# subpackages too) beside this build's engine, so that Torso's calls run
	# the instrumented engine too, not the installed one.
	rm -rf $(ASAN_DIR)/zandrel_torso && mkdir $(ASAN_DIR)/zandrel_torso
	find $(abspath python/zandrel_torso) -mindepth 1 -maxdepth 1 ! -name __pycache__ ! -name '*.so' \
	  -exec ln -s {} $(ASAN_DIR)/zandrel_torso/ \;
	cp $(ASAN_DIR)/_engine.*.so $(ASAN_DIR)/zandrel_torso/
	rm -f $(ASAN_REPORT).*
	$(ASAN_ENV) $(PY) -m pytest -q -p no:cacheprovider || { cat $(ASAN_REPORT).* 2>/dev/null; exit 1; }
	$(ASAN_ENV) $(PY) scripts/lsan-check || { cat $(ASAN_REPORT).* 2>/dev/null; exit 1; }

# The C++ core tests, the model-lock threads among them, under ThreadSanitizer.
sanitize-core: system-deps $(VENV)/.build-tools
	$(VENV)/bin/cmake -S . -B $(BUILD)/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=$(SAN_CXX) -DZANDREL_BUILD_MODULE=OFF -DZANDREL_BUILD_TESTS=ON \
	  -DZANDREL_SANITIZE=thread -DPython_EXECUTABLE=$(abspath $(PY))
	$(VENV)/bin/cmake --build $(BUILD)/tsan
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  $(VENV)/bin/ctest --test-dir $(BUILD)/tsan --output-on-failure

# The installed C++ package, used from outside the tree: built and installed
# into a fresh prefix, examples/cpp built against it with g++ and clang++ (and
# through pkg-config), each run's output compared with the module's for the
# same calls (scripts/cpp-consumer).
cpp-consumer: system-deps dev
	scripts/cpp-consumer $(abspath $(PY)) $(abspath $(VENV)/bin/cmake) $(BUILD)/cpp

# Cost per call of every method beside the floor (the same argument conversion
# and result building with no kinematics) and a NumPy implementation, and of
# the C++ library's inverse and forward step called from C++, measured in one
# run. Pass options with BENCH_ARGS, e.g. BENCH_ARGS="--json out.json".
# Then the motion engine's (benchmarks/motion.py): a follower tick from C++
# and from Python beside inverse kinematics, plans beside the time-optimal
# reference, and a long stream of random targets checked against every limit.
# Then calibration's (benchmarks/calibration.py): robots as built, simulated
# and measured, calibrated beside the alternatives and scored on held-out
# poses; zeros alone; a horn a spline tooth round named. Then the forces'
# (benchmarks/forces.py): servo torques against virtual work, and their cost.
# Last the studio's (benchmarks/studio.py): a slider's redraw, and how soon
# the page opens in headless Chromium (system-deps).
bench: system-deps $(VENV)/.build-tools
	$(PIP_INSTALL) ".[bench,studio]" --group browser-test
	$(VENV)/bin/cmake -S . -B $(BUILD)/floor -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DZANDREL_BUILD_FLOOR=ON -DZANDREL_BUILD_MODULE=OFF -DPython_EXECUTABLE=$(abspath $(PY))
	$(VENV)/bin/cmake --build $(BUILD)/floor --target zandrel_floor core_bench
	PYTHONPATH=$(BUILD)/floor $(PY) benchmarks/bench.py --cpp $(BUILD)/floor/core_bench $(BENCH_ARGS)
	$(PY) benchmarks/motion.py --cpp $(BUILD)/floor/core_bench
	$(PY) benchmarks/calibration.py
	$(PY) benchmarks/forces.py
	$(PY) benchmarks/studio.py

# dist/: the sdist and one manylinux wheel per supported CPython, each
# installed into a fresh virtual environment and tested there (scripts/check-dist).
wheels:
	scripts/build-wheels

# The checks alone, on what dist/ holds.
check-wheels:
	scripts/build-wheels --check-only

clean:
	rm -rf build dist .venv .venv-*

# Coverage-guided fuzzing (fuzz/): a libFuzzer target on the core and an
# atheris target on the module, both built by clang with ASan, UBSan and the
# fuzzer's instrumentation. clang-16 comes from Debian through system-deps
# (so `make test` installs it; `make fuzz` only uses it), atheris from PyPI;
# atheris's runtime lacks the vptr and function checks, so the build leaves
# them out (fuzz/CMakeLists.txt). `make test` replays the committed corpora
# (fuzz-replay); `make fuzz FUZZ_SECONDS=N` fuzzes each target for N seconds
# and merges the inputs that reach new code into fuzz/corpus/ (FUZZ_MERGE=no
# leaves them in the build directory); `make fuzz-coverage` prints the line
# and branch coverage of src/ that replaying the corpora reaches.
FUZZ_CXX ?= clang++-16
FUZZ_SECONDS ?= 60
FUZZ_MERGE ?= yes
FUZZ_RUN = fuzz/run $(abspath $(BUILD)/fuzz) $(abspath $(PY))
.PHONY: fuzz fuzz-build fuzz-replay fuzz-coverage

# atheris 3.0.0 has wheels for CPython 3.11 to 3.13 only: with another
# Python the boundary target is left out, and said so; the C++ targets need
# no Python and always run.
FUZZ_BOUNDARY = $(shell $(PY) -c 'import sys; print("yes" if (3, 11) <= sys.version_info[:2] <= (3, 13) else "no")' 2>/dev/null)
FUZZ_BOUNDARY_RUN = $(if $(filter yes,$(FUZZ_BOUNDARY)),$(FUZZ_RUN) boundary,@echo "fuzz: boundary target left out: atheris has no wheel for this Python (3.11 to 3.13 only)"; true)

$(VENV)/.fuzz-tools: $(VENV)/.build-tools
	if [ "$(FUZZ_BOUNDARY)" = yes ]; then $(PY) -m pip install atheris==3.0.0 numpy; fi
	touch $@

fuzz-build: $(VENV)/.fuzz-tools
	@command -v $(FUZZ_CXX) >/dev/null || { echo "$(FUZZ_CXX) not found: make test installs it" >&2; exit 1; }
	$(VENV)/bin/cmake -S . -B $(BUILD)/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DZANDREL_SANITIZE=fuzzer-no-link,address,undefined \
	  -DZANDREL_BUILD_FUZZ=ON -DPython_EXECUTABLE=$(abspath $(PY))
	$(VENV)/bin/cmake --build $(BUILD)/fuzz

fuzz-replay: system-deps fuzz-build
	$(FUZZ_RUN) core replay
	$(FUZZ_RUN) motion replay
	$(FUZZ_BOUNDARY_RUN) replay

fuzz: fuzz-build
	$(FUZZ_RUN) core fuzz $(FUZZ_SECONDS) $(FUZZ_MERGE)
	$(FUZZ_RUN) motion fuzz $(FUZZ_SECONDS) $(FUZZ_MERGE)
	$(FUZZ_BOUNDARY_RUN) fuzz $(FUZZ_SECONDS) $(FUZZ_MERGE)

# Clang's source-based coverage, no sanitizers.
fuzz-coverage: $(VENV)/.fuzz-tools
	$(VENV)/bin/cmake -S . -B $(BUILD)/fuzz-coverage -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DCMAKE_CXX_FLAGS="-fprofile-instr-generate -fcoverage-mapping" \
	  -DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate -DCMAKE_MODULE_LINKER_FLAGS=-fprofile-instr-generate \
	  -DZANDREL_BUILD_FUZZ=ON -DPython_EXECUTABLE=$(abspath $(PY))
	# The stub generator runs during the build: its profile goes with the others.
	LLVM_PROFILE_FILE=$(abspath $(BUILD)/fuzz-coverage)/build-%p.profraw $(VENV)/bin/cmake --build $(BUILD)/fuzz-coverage
	fuzz/coverage $(abspath $(BUILD)/fuzz-coverage) $(abspath $(PY))
