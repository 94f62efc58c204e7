# Thin wrapper around CMake.  Each kind of build has its own directory:
#   build/       Release, the programs and the library alone
#                (make run, make install; needs only the C++ toolchain)
#   build-test/  RelWithDebInfo with the tests   (make test)
#   build-asan/  AddressSanitizer + UBSan tests  (make test-sanitize)
# `make install PREFIX=dir` installs from build/ (default prefix /usr/local).

JOBS ?= 2
SAMPLE := examples/sample.txt
SAMPLE_OUT := out/sample.voks

PREFIX ?= /usr/local

.PHONY: all deps deps-build run test test-sanitize install bench fuzz clean

all: run

# What each kind of build needs (tools/ensure-deps.sh installs it with
# apt-get when it can): deps-build the C++ toolchain, deps everything the
# tests need.
deps-build:
	@sh tools/ensure-deps.sh build

deps:
	@sh tools/ensure-deps.sh test

# Every program and the library, as make install installs them.
run: deps-build
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVOK_TESTS=OFF -DVOK_PYTHON=OFF
	cmake --build build -j$(JOBS)
	@mkdir -p $(dir $(SAMPLE_OUT))
	./build/vok $(SAMPLE) $(SAMPLE_OUT)
	@echo
	@echo "vok read $$(wc -l < $(SAMPLE)) documents from $(SAMPLE)"
	@echo "and wrote $$(wc -l < $(SAMPLE_OUT)) lines ($$(wc -c < $(SAMPLE_OUT)) bytes) to $(SAMPLE_OUT)."
	@echo "Its first lines (feature numbers in hexadecimal):"
	@head -n 5 $(SAMPLE_OUT) | cut -c1-76 | sed "s/^/  /"

test: deps
	cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOK_TESTS=ON \
	  -DVOK_PYTHON=ON -DPYTHON_EXECUTABLE=/usr/bin/python3
	cmake --build build-test -j$(JOBS)
	cd build-test && ctest --output-on-failure -j$(JOBS)
	VOK_BIN_DIR=$(CURDIR)/build-test PYTHONPATH=$(CURDIR)/build-test/python \
	  PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests

test-sanitize: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOK_TESTS=ON \
	  -DVOK_SANITIZE=ON -DVOK_PYTHON=ON -DPYTHON_EXECUTABLE=/usr/bin/python3
	cmake --build build-asan -j$(JOBS)
	cd build-asan && ctest --output-on-failure -j$(JOBS)
	# The sanitized extension in the unsanitized interpreter: the runtimes
	# are preloaded, and leaks are not reported (the interpreter's own).
	LD_PRELOAD="$$(c++ -print-file-name=libasan.so) $$(c++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1 \
	  VOK_BIN_DIR=$(CURDIR)/build-asan PYTHONPATH=$(CURDIR)/build-asan/python \
	  PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests

install: deps-build
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVOK_TESTS=OFF -DVOK_PYTHON=OFF
	cmake --build build -j$(JOBS)
	cmake --install build --prefix $(PREFIX)

# Benchmarks: Release build in build-bench/, results in bench/RESULTS.md.
bench: deps
	bash bench/run.sh

# fuzz: builds the libFuzzer targets with clang (outside CMake) and runs
# each for 60 seconds on a scratch copy of its seed corpus.
fuzz:
	bash fuzz/run.sh 60


clean:
	rm -rf build build-test build-asan build-bench build-fuzz fuzz/work out
