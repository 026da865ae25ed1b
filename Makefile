# corvel: one command to set up and run the demo, one to set up and test.
#
#   make demo   venv + install + a two-party call on the loopback engine
#   make test   venv + install + the test suite
#
# The Python 3.12 used is found by tools/find-python.sh (CORVEL_PYTHON=... to choose).

VENV     ?= .venv
PY       := $(VENV)/bin/python
PIP      := $(PY) -m pip --disable-pip-version-check -q
PYTEST_ARGS ?=

.PHONY: all demo test install venv dev clean

all: test

$(VENV)/.created:
	@tools/system-deps.sh
	@python=$$(tools/find-python.sh) && echo "using $$python" && "$$python" -m venv $(VENV)
	@$(PIP) install --upgrade pip >/dev/null
	@touch $@

venv: $(VENV)/.created

install: venv
	$(PIP) install '.[test]'

demo: install
	$(PY) examples/hello.py

test: install
	cd tests && ../$(PY) -m pytest $(PYTEST_ARGS)

# Fast developer build in build/dev (module and engine side by side in build/dev/lib);
# run the tests against it with: PYTHONPATH=build/dev/lib .venv/bin/python -m pytest tests
dev: venv
	$(PIP) install scikit-build-core 'pybind11>=3.0.4,<3.1' pytest hypothesis
	cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -Dpybind11_DIR=$$($(PY) -c 'import pybind11; print(pybind11.get_cmake_dir())') >/dev/null
	cmake --build build/dev -j2

clean:
	rm -rf build $(VENV)
