# `make test` and `make demo` set up everything they need on a fresh machine:
# the Debian packages, a .venv with a CPython 3.12 and the pinned tools.
SHELL := /bin/bash
VENV := .venv
PY := $(CURDIR)/$(VENV)/bin/python
BUILD := build
ASAN_BUILD := build-asan
JOBS ?= 2
# The tests mostly wait on pseudo-terminals, so more of them run at once.
TEST_JOBS ?= 8
# pytest workers: the Python tests too mostly wait on pseudo-terminals. Each
# file stays in one worker, in its own order, as its tests were written for.
PY_TEST_JOBS ?= 6
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

CMAKE_PYTHON = -DPython_EXECUTABLE=$(PY) -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir)

.PHONY: test demo bench build asan system-deps cpp-test asan-test tsan-test py-test install clean
.PHONY: help fuzz fuzz-smoke fuzz-build fuzz-deps docs-check

# Each step's output goes to $(BUILD)/logs/STEP.log; `make test V=1` shows it.
TEST_STEPS := cpp-test asan-test tsan-test py-test consumer-test typecheck wheel-check docs-check fuzz-smoke
test:
	@V="$(V)" tools/run-steps $(BUILD)/logs $(TEST_STEPS)

cpp-test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(TEST_JOBS)

# The C++ tests, then the Python tests of threads, forks and exit against the
# sanitized module. Its runtime must be loaded before the interpreter's own
# libraries, and the C++ runtime with it, so that it finds what it wraps when
# the module throws (the interpreter's allocations are not leaks of ours).
asan-test: asan
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(TEST_JOBS)
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" ASAN_OPTIONS=detect_leaks=0 \
	  TESSARY_MODULE_DIR=$(CURDIR)/$(ASAN_BUILD)/python $(PY) -m pytest -q -p no:cacheprovider --capture=sys -n 2 tests/python/test_threads.py

# The servo loop's tests under ThreadSanitizer: the handovers between the
# servo thread and its callers, the ring, the stream's lock.
TSAN_BUILD := build-tsan
$(TSAN_BUILD)/build.ninja: $(VENV)/.ready Makefile
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARY_THREAD_SANITIZE=ON \
	  -DTESSARY_BUILD_MODULE=OFF -DTESSARY_BUILD_SIM=OFF -DTESSARY_BUILD_BENCH=OFF

tsan-test: system-deps $(TSAN_BUILD)/build.ninja
	cmake --build $(TSAN_BUILD) -j$(JOBS) --target ServoLoopTest
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(TSAN_BUILD) --output-on-failure -j$(TEST_JOBS) -R '^Servo'

# The ros extra, for the ROS node's tests and the teleoperation demo.
$(VENV)/.ros-ready: requirements-ros.txt $(VENV)/.ready
	$(PY) -m pip install -q --disable-pip-version-check -r requirements-ros.txt
	@touch $@

py-test: build $(VENV)/.ros-ready
	TESSARY_MODULE_DIR=$(CURDIR)/$(BUILD)/python TESSARY_SIM=$(CURDIR)/$(BUILD)/sim/tessary-sim \
	  $(PY) -m pytest -q -p no:cacheprovider -n $(PY_TEST_JOBS) --dist loadfile

system-deps:
	@dpkg -s libgtest-dev >/dev/null 2>&1 || { \
	  echo "installing GoogleTest (libgtest-dev)"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev; }
	@command -v pkg-config >/dev/null || { echo "installing pkg-config (pkgconf)"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq pkgconf; }

$(VENV)/.ready: requirements-dev.txt tools/find-python.sh
	@test -x $(PY) || "$$(tools/find-python.sh 3.12)" -m venv $(VENV)
	$(PY) -m pip install -q --disable-pip-version-check -r requirements-dev.txt
	@touch $@

$(BUILD)/build.ninja: $(VENV)/.ready
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_PYTHON)

$(ASAN_BUILD)/build.ninja: $(VENV)/.ready Makefile
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTESSARY_SANITIZE=ON $(CMAKE_PYTHON) -DTESSARY_BUILD_MODULE=ON \
	  -DTESSARY_BUILD_SIM=OFF -DTESSARY_BUILD_BENCH=OFF -DTESSARY_BUILD_EXAMPLES=OFF

build: system-deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j$(JOBS)

asan: system-deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j$(JOBS)

# The library as C++ users install it: built shared in $(INSTALL_BUILD)/library,
# installed into $(INSTALL_BUILD)/prefix, its exports checked, and examples/cpp
# built against that prefix (find_package, pkg-config) and run against its
# tessary-sim; the archive from $(BUILD), installed into
# $(INSTALL_BUILD)/prefix-static, gets a pkg-config build too. The folders are
# kept: a second run rebuilds only what changed.
INSTALL_BUILD := build-install
.PHONY: consumer-test
consumer-test: build
	JOBS=$(JOBS) tools/check-install.sh $(INSTALL_BUILD) $(PY) $(BUILD)

# Installs the module (and the virtual device program) into .venv.
install: system-deps $(VENV)/.ready
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation .

# The module with the ros extra (tessary ros, tessary teleop).
.PHONY: install-ros
install-ros: install $(VENV)/.ros-ready

# The C++ examples (examples/cpp), built in $(BUILD) beside the library.
.PHONY: cpp-examples
cpp-examples: system-deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j$(JOBS) --target cpp-examples

demo: install cpp-examples $(VENV)/.ros-ready
	$(PY) -m pip install -q --disable-pip-version-check -r requirements-demo.txt
	TESSARY_CPP_EXAMPLES=$(CURDIR)/$(BUILD)/examples/cpp $(PY) examples/demo.py
	@echo; echo "To use the module, tessary and tessary-sim of .venv in this shell:"; echo ". .venv/bin/activate"

bench: build $(VENV)/.ros-ready
	$(PY) -m pip install -q --disable-pip-version-check -r requirements-bench.txt
	PYTHONPATH=$(CURDIR)/$(BUILD)/python:$(CURDIR)/python $(PY) bench/run_bench.py --json $(BUILD)/bench.json
	PYTHONPATH=$(CURDIR)/$(BUILD)/python:$(CURDIR)/python TESSARY_SIM=$(CURDIR)/$(BUILD)/sim/tessary-sim \
	  $(PY) bench/ros_bench.py

# A wheel for PyPI: built by pip with zig's clang (cmake/zig-toolchain.cmake:
# glibc 2.17 symbol versions, static libc++) in a build folder of its own,
# repaired by auditwheel to the manylinux tag it fits (manylinux_2_17), its
# metadata checked by twine; `wheel-check` installs it into a fresh venv and
# runs it there.
.PHONY: wheel wheel-check
WHEEL_RAW := $(BUILD)/wheel-raw
# Wheel file names carry the normalised (lower-case) project name.
WHEEL = dist/tessaryhardwareapi-*.whl
WHEEL_BUILD := $(BUILD)/wheel
ZIG = $$($(PY) -c 'import pathlib, ziglang; print(pathlib.Path(ziglang.__file__).with_name("zig"))')

# New tools (a new zig) rebuild the wheel from scratch.
$(VENV)/.wheel-tools: requirements-wheel.txt $(VENV)/.ready
	$(PY) -m pip install -q --disable-pip-version-check -r requirements-wheel.txt
	rm -rf $(WHEEL_BUILD)
	@touch $@

wheel: system-deps $(VENV)/.ready $(VENV)/.wheel-tools
	rm -rf $(WHEEL_RAW) && mkdir -p dist && rm -f $(WHEEL)
	TESSARY_ZIG=$(ZIG) $(PY) -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
	  -C build-dir=$(WHEEL_BUILD) -C cmake.define.CMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/zig-toolchain.cmake \
	  -w $(WHEEL_RAW) .
	auditwheel repair -w dist $(WHEEL_RAW)/*.whl
	auditwheel show $(WHEEL)
	twine check --strict $(WHEEL)

# Checked again when anything the wheel is made of, or the check itself, has
# changed since the last check passed; `make wheel` always builds.
WHEEL_VENV := $(BUILD)/wheel-check
WHEEL_STAMP := $(BUILD)/wheel-check.passed
WHEEL_INPUTS := $(shell find Library python sim cmake -type f -not -path '*/__pycache__/*' 2>/dev/null) \
  CMakeLists.txt pyproject.toml LICENSE docs/pypi.md requirements-wheel.txt requirements-dev.txt \
  tools/check-wheel.sh tests/typing/user_script.py
wheel-check: $(WHEEL_STAMP)
$(WHEEL_STAMP): $(WHEEL_INPUTS)
	@rm -f $@
	$(MAKE) --no-print-directory wheel
	tools/check-wheel.sh $(WHEEL) $(WHEEL_VENV)
	@touch $@

# The README's and docs' blocks marked runnable, run as written in the venv
# that has only the wheel (made by wheel-check) against the virtual devices.
docs-check:
	@test -x $(WHEEL_VENV)/bin/tessary || $(MAKE) --no-print-directory wheel-check
	$(WHEEL_VENV)/bin/python tools/check-docs

# The type stubs against the built module (stubtest, parameters), mypy
# --strict on the examples, the tessary package and a user's script (pyright
# too), misuse the stubs must reject, and docs/api.md naming every public name. mypy finds the stubs under the module's name here;
# `pip install .` installs them as TessaryHardwareAPI-stubs.
.PHONY: typecheck
# Static checks give the same answer for the same files: like the wheel,
# they run again only when something they read has changed since they last
# passed (the built module, the stubs, the package, the examples, the docs
# whose names and quoted lines they check, the library's error lines).
TYPECHECK_STAMP := $(BUILD)/typecheck.passed
TYPECHECK_INPUTS = $(shell find python examples tests/typing Library/src -type f -not -path '*/__pycache__/*' 2>/dev/null) \
  $(wildcard docs/*.md) README.md requirements-dev.txt Makefile $(wildcard $(BUILD)/python/TessaryHardwareAPI*.so)
typecheck: build
	@$(MAKE) --no-print-directory $(TYPECHECK_STAMP)
$(TYPECHECK_STAMP): $(TYPECHECK_INPUTS)
	@rm -f $@
	@mkdir -p $(BUILD)/typing && ln -sfn ../../python/TessaryHardwareAPI-stubs $(BUILD)/typing/TessaryHardwareAPI
	MYPYPATH=$(CURDIR)/$(BUILD)/typing:$(CURDIR)/python TESSARY_MODULE_DIR=$(CURDIR)/$(BUILD)/python \
	  $(PY) -m pytest -q -p no:cacheprovider tests/typing
	@touch $@

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(INSTALL_BUILD)

# libFuzzer targets (tests/fuzz), built with clang in their own folder. New
# inputs the fuzzer finds go to $(FUZZ_BUILD)/corpus, crashes to
# $(FUZZ_BUILD)/artifacts; the committed seeds stay as they are.
FUZZ_BUILD := build-fuzz
FUZZ_TARGETS := triaxon handle
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 5
FUZZ_PROBE := echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' | \
  clang++ -x c++ - -fsanitize=fuzzer,address,undefined -o /dev/null >/dev/null 2>&1

fuzz-deps:
	@$(FUZZ_PROBE) || { echo "installing clang (libFuzzer)"; apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang && { $(FUZZ_PROBE) || \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libclang-rt-$$(clang++ -dumpversion | cut -d. -f1)-dev; }; }

$(FUZZ_BUILD)/build.ninja: $(VENV)/.ready | fuzz-deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTESSARY_FUZZ=ON -DTESSARY_BUILD_MODULE=OFF -DTESSARY_BUILD_SIM=OFF -DTESSARY_BUILD_TESTS=OFF \
	  -DTESSARY_BUILD_BENCH=OFF

fuzz-build: fuzz-deps $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j$(JOBS)

# $(1): seconds per target; the targets run side by side. Prints each
# target's run count; on a crash or a mismatch, the end of its log and the
# input that caused it. A smaller ASan quarantine keeps a run near 100 MB
# instead of most of a gigabyte.
define run-fuzzers
	@mkdir -p $(FUZZ_BUILD)/artifacts
	@pids=; for t in $(FUZZ_TARGETS); do ( \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t; log=$(FUZZ_BUILD)/fuzz_$$t.$$$$.$$BASHPID.log; \
	  if ASAN_OPTIONS=$${ASAN_OPTIONS:-quarantine_size_mb=32} \
	       $(FUZZ_BUILD)/tests/fuzz/fuzz_$$t -max_total_time=$(1) -max_len=2048 -timeout=10 -print_final_stats=1 \
	       -artifact_prefix=$(FUZZ_BUILD)/artifacts/$$t- $(FUZZ_BUILD)/corpus/$$t tests/fuzz/corpus/$$t >$$log 2>&1; \
	  then echo "fuzz_$$t: $$(sed -n 's/^stat::number_of_executed_units: *//p' $$log) inputs in $(1) s, no crash, no mismatch"; rm -f $$log; \
	  else tail -n 30 $$log; echo "fuzz_$$t FAILED (log: $$log)"; exit 1; fi ) & pids="$$pids $$!"; \
	done; status=0; for pid in $$pids; do wait $$pid || status=1; done; exit $$status
endef

fuzz: fuzz-build
	$(call run-fuzzers,$(FUZZ_SECONDS))

fuzz-smoke: fuzz-build
	$(call run-fuzzers,$(FUZZ_SMOKE_SECONDS))

help:
	@echo "make test        build everything, then $(TEST_STEPS); V=1 shows their output"
	@echo "make cpp-test    C++ tests (ctest) on the normal build ($(BUILD))"
	@echo "make asan-test   C++ tests under AddressSanitizer and UBSan, and the Python thread tests ($(ASAN_BUILD))"
	@echo "make tsan-test   the servo loop's tests under ThreadSanitizer ($(TSAN_BUILD))"
	@echo "make py-test     Python tests (pytest) against the module and simulator in $(BUILD)"
	@echo "make consumer-test  install the shared library into $(INSTALL_BUILD)/prefix, check its exports, build and run examples/cpp against it"
	@echo "make typecheck   the type stubs: stubtest, mypy --strict on examples/, misuse they reject, docs/api.md names"
	@echo "make fuzz-smoke  each fuzz target for FUZZ_SMOKE_SECONDS (default 5)"
	@echo "make fuzz        each fuzz target for FUZZ_SECONDS (default 60)"
	@echo "make fuzz-build  build the libFuzzer targets with clang ($(FUZZ_BUILD))"
	@echo "make fuzz-deps   install clang and its libFuzzer runtime when missing"
	@echo "make build       configure and build the library, module, simulator and tests ($(BUILD))"
	@echo "make asan        the sanitizer build of the library and C++ tests ($(ASAN_BUILD))"
	@echo "make system-deps install the Debian packages the build needs (GoogleTest)"
	@echo "make install     install the module and the virtual device program into $(VENV)"
	@echo "make install-ros install, with the ros extra (rclpy and the message packages: tessary ros, tessary teleop)"
	@echo "make demo        install, then run examples/demo.py (Python and C++ examples) against simulated devices"
	@echo "make cpp-examples build the C++ examples into $(BUILD)/examples/cpp"
	@echo "make bench       run the benchmarks and write $(BUILD)/bench.json; then the ROS 2 node's (bench/ros_bench.py)"
	@echo "make wheel       build the manylinux wheel into dist/ and check it with auditwheel and twine"
	@echo "make wheel-check install the wheel into a fresh venv and drive the simulator through it"
	@echo "make docs-check  run the README's and docs' blocks marked runnable in that venv (tools/check-docs)"
	@echo "make clean       remove the build folders"
	@echo "make help        this list"
