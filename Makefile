PYTHON ?= python3
JOBS ?= 2
CPP_BUILD := build/cpp-asan

.PHONY: dev dev-test demo test bench install deps-test deps-demo deps-bench cpp-test py-test clean

demo: deps-demo install
	$(PYTHON) examples/demo.py

test: deps-test install cpp-test py-test

bench: deps-bench install
	$(PYTHON) bench/run_all.py

deps-test:
	PYTHON=$(PYTHON) scripts/ensure-deps.sh test
deps-demo:
	PYTHON=$(PYTHON) scripts/ensure-deps.sh demo
deps-bench:
	PYTHON=$(PYTHON) scripts/ensure-deps.sh demo bench

install:
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PYTHON) -m pip install --no-build-isolation --no-deps -q .

# The C++ tests always run under AddressSanitizer and UndefinedBehaviorSanitizer.
cpp-test:
	cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVANTORIX_BUILD_MODULE=OFF -DVANTORIX_BUILD_TESTS=ON -DVANTORIX_SANITIZE=ON > /dev/null
	cmake --build $(CPP_BUILD) -j $(JOBS)
	cd $(CPP_BUILD) && ASAN_OPTIONS=detect_leaks=0 ctest --output-on-failure -j $(JOBS)

py-test:
	$(PYTHON) -m pytest -q tests/python

clean:
	rm -rf build

# Developer loop without pip: builds the module and the C++ tests (no sanitizers) in build/dev
# and drops the module next to python/vantorix/__init__.py, so PYTHONPATH=python imports it.
dev:
	cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTORIX_BUILD_TESTS=ON > /dev/null
	cmake --build build/dev -j $(JOBS)
	cp build/dev/_vantorix*.so python/vantorix/

dev-test: dev
	cd build/dev && ctest --output-on-failure -j $(JOBS)
	PYTHONPATH=python $(PYTHON) -m pytest -q tests/python
