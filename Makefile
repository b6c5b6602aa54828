# Every target sets up what it needs: a fresh machine needs only Python 3.11 and a C++ compiler.
PYTHON ?= python3.11
VENV ?= .venv
BUILD_DIR ?= build/$(notdir $(VENV))
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check
BUILD_REQS := "scikit-build-core>=0.10" "pybind11>=3.0,<3.1" "cmake>=3.18" ninja
PYTEST_ARGS ?=

.PHONY: all install demo test bench soak clean

all: install

$(VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(PIP) install $(BUILD_REQS)
	touch $@

# The build directory persists, so a second install only rebuilds what changed.
install: $(VENV)/.ready
	$(PIP) install --no-build-isolation -C build-dir=$(BUILD_DIR) ".[test]"

demo: install
	cd examples && ../$(PY) call.py

test: install
	$(VENV)/bin/pytest $(PYTEST_ARGS)

bench: install
	$(PY) bench/run.py

soak: install
	$(VENV)/bin/pytest -m soak -p no:cacheprovider --timeout=600 $(PYTEST_ARGS)

clean:
	rm -rf build .venv* dist
