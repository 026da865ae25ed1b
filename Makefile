# corvel: one command to set up and run the demo, one to set up and test.
#
#   make demo   venv + install + a two-party call on the loopback engine
#   make demo-janus  the same through a private Janus server (processes of their own)
#   make meet   a private Janus and a bot; prints the address of the page to meet it in a browser
#   make test   venv + install + the test suite's default tier (about a minute)
#
# More: make test-slow / test-all (the slow tier / both tiers), make
# engine-tests (the engine's GoogleTest tests), make lint / check-format /
# format (ruff; clang-format), make browser-check (headless Chromium and a
# bot in one room, as root), make bench (benchmark suite), make asan / tsan
# (sanitizer runs), make stress / soak (bounded load runs), make valgrind,
# make typecheck, make stubs, make dev (fast developer build in build/dev).
#
# The Python 3.12 used is found by tools/find-python.sh (CORVEL_PYTHON=... to choose).

VENV     ?= .venv
PY       := $(VENV)/bin/python
PIP      := $(PY) -m pip --disable-pip-version-check -q
PYTEST_ARGS ?=

.PHONY: all demo demo-janus meet browser-check test test-slow test-all engine-tests probe lint check-format format install venv dev \
	clean bench bench-quick asan tsan stress soak valgrind typecheck stubs

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
	$(PY) examples/two_party_call.py

# A two-party call through a private Janus server (tools/system-deps-janus.sh
# installs it): one-way latency, loss, CPU.
demo-janus: install
	@tools/system-deps-janus.sh
	$(PY) -m pip --disable-pip-version-check -q install numpy
	$(PY) bench/bench_janus.py --demo

# A bot a person can meet: Janus, examples/meet_bot.py and the page of
# examples/browser; prints the address to open (Ctrl-C stops).
meet: install
	@tools/system-deps-janus.sh
	$(PY) tools/meet.py

# Headless Chromium and a bot in one Janus room, in a network namespace of
# its own (root): audio both ways with its latency, video, messages.
browser-check: install
	@tools/system-deps-janus.sh --browser
	$(PY) tools/browser_check.py

# The default tier leaves out tests marked slow (pyproject.toml's addopts);
# the slow tier runs with the larger Hypothesis profile. pytest's status 5
# (nothing selected, e.g. with a -k that matches no slow test) is no failure.
# The tests' inspection library (libcorvel_probe.so, never in the wheel),
# built in build/probe against the engine the installed module loads.
probe: install
	@tools/system-deps.sh --probe
	cd tests && $(abspath $(PY)) -c 'import engine_probe; print(engine_probe.probe_library_path())'

test: probe
	cd tests && $(abspath $(PY)) -m pytest $(PYTEST_ARGS) || [ $$? = 5 ]

test-slow: probe
	cd tests && CORVEL_HYPOTHESIS_PROFILE=ci $(abspath $(PY)) -m pytest -m slow $(PYTEST_ARGS) || [ $$? = 5 ]

test-all: probe
	cd tests && CORVEL_HYPOTHESIS_PROFILE=ci $(abspath $(PY)) -m pytest -m '' $(PYTEST_ARGS) || [ $$? = 5 ]

# The engine's tests (engine/tests/*_gtest.cpp) in build/engine, run by ctest.
engine-tests:
	@tools/system-deps.sh --tests
	cmake -S engine -B build/engine -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVEL_ENGINE_TESTS=ON >/dev/null
	cmake --build build/engine -j2
	cd build/engine && ctest --output-on-failure

lint: install
	$(PY) -m ruff check .

check-format:
	@tools/system-deps.sh --format
	tools/check-format.sh

format:
	@tools/system-deps.sh --format
	tools/check-format.sh --fix

# Fast developer build in build/dev (module and engine side by side in build/dev/lib);
# run the tests against it with: PYTHONPATH=build/dev/lib .venv/bin/python -m pytest tests
dev: venv
	$(PIP) install scikit-build-core 'pybind11>=3.0.4,<3.1' pytest hypothesis mypy numpy ruff \
	  'pybind11-stubgen>=3.0,<3.1'
	cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -Dpybind11_DIR=$$($(PY) -c 'import pybind11; print(pybind11.get_cmake_dir())') >/dev/null
	cmake --build build/dev -j2

# The benchmark suite: builds build/bench (Release) and writes bench/results/.
bench: probe
	$(PIP) install 'pybind11>=3.0.4,<3.1' 'cmake>=3.20' ninja
	$(PY) bench/run.py --out bench/results $(BENCH_ARGS)

bench-quick: probe
	$(PY) bench/run.py --quick --installed --out build/bench-quick

# The test suite against an AddressSanitizer + UBSan build (build/asan).
asan: install
	PYTHON=$(abspath $(PY)) tools/ci-asan.sh

# The engine's GoogleTest tests under ThreadSanitizer (build/tsan).
tsan:
	tools/ci-tsan.sh

stress: install
	$(PY) tools/stress.py --seconds 60

soak: install
	$(PY) tools/stress.py --seconds $${SOAK_SECONDS:-3600} --threads 6

# memcheck over a representative subset of the tests.
valgrind: install
	tools/valgrind.sh

typecheck: install
	$(PY) -m mypy --strict corvel examples

stubs: dev
	tools/gen-stubs.sh

clean:
	rm -rf build $(VENV)
