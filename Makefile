# Everything Python runs in the project's own virtual environment, which the deps-* targets make
# with the machine's python3 (BOOTSTRAP_PYTHON) and fill with pip; its tools (cmake, ninja) come
# first on PATH.
VENV ?= .venv
PYTHON := $(VENV)/bin/python
export PATH := $(abspath $(VENV))/bin:$(PATH)
JOBS ?= 2
CPP_BUILD := build/cpp-asan
ARM_BUILD := build/cpp-aarch64

.PHONY: dev dev-test demo test bench install deps-test deps-demo deps-bench check-includes cpp-test cpp-test-aarch64 py-test wheel deps-wheel clean

demo: deps-demo install
	$(PYTHON) examples/demo.py

test: deps-test check-includes install cpp-test cpp-test-aarch64 py-test

bench: deps-bench install
	$(PYTHON) bench/run_all.py

deps-test:
	VENV=$(VENV) scripts/ensure-deps.sh test
deps-demo:
	VENV=$(VENV) scripts/ensure-deps.sh demo
deps-bench:
	VENV=$(VENV) scripts/ensure-deps.sh demo bench
deps-wheel:
	VENV=$(VENV) scripts/ensure-deps.sh wheel

install:
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PYTHON) -m pip install --no-build-isolation --no-deps -q .

# Includes in src/ run one way, from the layers above to the layers below (src/README.md).
check-includes:
	$(PYTHON) scripts/check-includes.py

# The C++ tests always run under AddressSanitizer and UndefinedBehaviorSanitizer.
cpp-test:
	cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVANTORIX_BUILD_MODULE=OFF -DVANTORIX_BUILD_TESTS=ON -DVANTORIX_SANITIZE=ON > /dev/null
	cmake --build $(CPP_BUILD) -j $(JOBS)
	cd $(CPP_BUILD) && ASAN_OPTIONS=detect_leaks=0 ctest --output-on-failure -j $(JOBS)

# The same tests cross-built for aarch64 (the NEON kernels) and run under qemu-user. Test
# discovery runs the binaries during the build, hence the sanitizer options there as well.
cpp-test-aarch64:
	cmake -S . -B $(ARM_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
	  -DVANTORIX_BUILD_MODULE=OFF -DVANTORIX_BUILD_TESTS=ON -DVANTORIX_SANITIZE=ON > /dev/null
	ASAN_OPTIONS=detect_leaks=0 cmake --build $(ARM_BUILD) -j $(JOBS)
	# One process per kernel choice rather than ctest's one per test: under qemu each sanitized
	# process takes seconds to start (the suite took 12 minutes through ctest, 1 this way).
	# Death tests re-execute the test binary for a fresh process, which qemu-user cannot do
	# without binfmt registration; the native runs keep them.
	cd $(ARM_BUILD) && ASAN_OPTIONS=detect_leaks=0 qemu-aarch64 -L / ./vantorix_tests \
	  --gtest_filter='-*DeathTest.*'
	cd $(ARM_BUILD) && ASAN_OPTIONS=detect_leaks=0 VANTORIX_SIMD=off qemu-aarch64 -L / ./vantorix_tests \
	  --gtest_filter='-*DeathTest.*'

# A wheel that needs no system libraries: built without installing anything, then repaired by
# auditwheel, which copies OpenBLAS, LAPACK, TBB and their runtimes into it and tags it manylinux.
wheel: deps-wheel
	rm -rf dist
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PYTHON) -m pip wheel --no-build-isolation --no-deps -q -w dist/raw .
	$(PYTHON) -m auditwheel repair -w dist dist/raw/vantorix-*.whl
	rm -rf dist/raw

py-test:
	$(PYTHON) -m pytest -q tests/python

clean:
	rm -rf build

# Developer loop without pip: builds the module and the C++ tests (no sanitizers) in build/dev
# and drops the module next to python/vantorix/__init__.py, so PYTHONPATH=python imports it.
# The old files are unlinked, not overwritten: a process that still runs them keeps its copy.
dev:
	cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTORIX_BUILD_TESTS=ON > /dev/null
	cmake --build build/dev -j $(JOBS)
	cp --remove-destination build/dev/_vantorix*.so python/vantorix/

dev-test: dev
	cd build/dev && ctest --output-on-failure -j $(JOBS)
	PYTHONPATH=python $(PYTHON) -m pytest -q tests/python
