# The two commands of the README:
#   make quickstart   set up, build and run the main example
#   make test         set up, build and run every test (C++, C++ under sanitizers, Python)
PY ?= python3
JOBS ?= $(shell nproc)
CMAKE_COMMON = -G Ninja -DOSTREL_BUILD_TESTS=ON

.PHONY: deps install build-tests build-asan test test-cpp test-asan test-python quickstart bench clean

deps:
	bash scripts/install-deps.sh

install: deps
	$(PY) -m pip install --quiet --disable-pip-version-check --no-build-isolation .

build-tests: deps
	cmake -S . -B build/tests $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build/tests -j $(JOBS)

build-asan: deps
	cmake -S . -B build/asan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DOSTREL_SANITIZE=address,undefined
	cmake --build build/asan -j $(JOBS)

test-cpp: build-tests
	ctest --test-dir build/tests --output-on-failure -j $(JOBS)

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build/asan --output-on-failure -j $(JOBS)

test-python: install
	$(PY) -m pytest -q tests/python

test: test-cpp test-asan test-python

quickstart: install
	$(PY) examples/quickstart.py

bench: deps install
	cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_BUILD_BENCH=ON
	cmake --build build/bench -j $(JOBS)

clean:
	rm -rf build
