# The two commands a newcomer needs: `make demo` and `make test`. Both set up
# everything they need on a fresh machine (Debian packages, a virtual
# environment, the build) and are cheap to re-run.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
BUILD := build/$(notdir $(VENV))

.PHONY: demo test dev pytest core-tests clean

$(VENV)/.deps: pyproject.toml scripts/system-deps
	scripts/system-deps
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q scikit-build-core cmake ninja pytest numpy hypothesis mypy
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

test: core-tests pytest

clean:
	rm -rf build .venv .venv-*
