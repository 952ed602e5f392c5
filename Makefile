# `make test` and `make demo` set up everything they need on a fresh machine:
# the Debian packages, a .venv with a CPython 3.12 and the pinned tools.
SHELL := /bin/bash
VENV := .venv
PY := $(CURDIR)/$(VENV)/bin/python
BUILD := build
ASAN_BUILD := build-asan
JOBS ?= 2
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

CMAKE_PYTHON = -DPython_EXECUTABLE=$(PY) -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir)

.PHONY: test demo bench build asan system-deps cpp-test asan-test py-test install clean

test: build asan
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS)
	TESSARY_MODULE_DIR=$(CURDIR)/$(BUILD)/python TESSARY_SIM=$(CURDIR)/$(BUILD)/sim/tessary-sim \
	  $(PY) -m pytest -q -p no:cacheprovider
	$(MAKE) --no-print-directory wheel-check

system-deps:
	@dpkg -s libgtest-dev >/dev/null 2>&1 || { \
	  echo "installing GoogleTest (libgtest-dev)"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev; }

$(VENV)/.ready: requirements-dev.txt tools/find-python.sh
	@test -x $(PY) || "$$(tools/find-python.sh 3.12)" -m venv $(VENV)
	$(PY) -m pip install -q --disable-pip-version-check -r requirements-dev.txt
	@touch $@

$(BUILD)/build.ninja: $(VENV)/.ready
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_PYTHON)

$(ASAN_BUILD)/build.ninja: $(VENV)/.ready
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTESSARY_SANITIZE=ON \
	  -DTESSARY_BUILD_MODULE=OFF -DTESSARY_BUILD_SIM=OFF

build: system-deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j$(JOBS)

asan: system-deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j$(JOBS)

# Installs the module (and the virtual device program) into .venv.
install: system-deps $(VENV)/.ready
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation .

demo: install
	$(PY) -m pip install -q --disable-pip-version-check -r requirements-demo.txt
	$(PY) examples/demo.py

bench: build
	$(PY) -m pip install -q --disable-pip-version-check -r requirements-bench.txt
	$(PY) bench/run_bench.py --json $(BUILD)/bench.json

# A wheel for PyPI: built by pip, repaired by auditwheel to the manylinux tag
# it fits, its metadata checked by twine; `wheel-check` installs it into a
# fresh venv and runs it there.
.PHONY: wheel wheel-check
WHEEL_RAW := $(BUILD)/wheel-raw
# Wheel file names carry the normalised (lower-case) project name.
WHEEL = dist/tessaryhardwareapi-*.whl

$(VENV)/.wheel-tools: requirements-wheel.txt $(VENV)/.ready
	$(PY) -m pip install -q --disable-pip-version-check -r requirements-wheel.txt
	@touch $@

wheel: system-deps $(VENV)/.ready $(VENV)/.wheel-tools
	rm -rf $(WHEEL_RAW) && mkdir -p dist && rm -f $(WHEEL)
	$(PY) -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation -w $(WHEEL_RAW) .
	auditwheel repair -w dist $(WHEEL_RAW)/*.whl
	auditwheel show $(WHEEL)
	twine check --strict $(WHEEL)

wheel-check: wheel
	tools/check-wheel.sh $(WHEEL) $(BUILD)/wheel-check

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
