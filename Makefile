# Set-up and everyday commands. `make test` and `make demo` install what they need.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
BENCH_BUILD ?= build-bench
PACKAGE_BUILD ?= build-package
JOBS       ?= $(shell nproc)
CTEST_JOBS ?= $(JOBS)
CMAKE_ARGS ?=

.PHONY: all deps build test test-asan test-tsan fuzz fuzz-run bench demo package clean

all: build

deps:
	@tools/install_deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(CTEST_JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DVELTRANE_SANITIZE=asan $(CMAKE_ARGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(CTEST_JOBS)

# Under ThreadSanitizer the whole suite runs several times slower; timing flukes get two
# more tries.
test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DVELTRANE_SANITIZE=tsan $(CMAKE_ARGS)
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(CTEST_JOBS) \
	  --repeat until-pass:3

# libFuzzer targets, built with clang: `make fuzz`, then run one from $(FUZZ_BUILD)/bin.
# Only the fuzz targets (and the corpus generator) are built with the fuzzing flags.
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DVELTRANE_BUILD_FUZZ=ON -DVELTRANE_BUILD_TESTS=OFF $(CMAKE_ARGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers

# Builds the fuzz targets only and runs each for FUZZ_SECONDS on a scratch copy of its seed
# corpus; fails on any crash, leak, time-out or UBSan report (one line per target).
FUZZ_SECONDS ?= 30
FUZZ_TARGETS = $(shell fuzz/run_fuzzers.sh --list)

fuzz-run: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DVELTRANE_BUILD_FUZZ=ON -DVELTRANE_BUILD_TESTS=OFF $(CMAKE_ARGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(FUZZ_TARGETS)
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run_fuzzers.sh $(FUZZ_BUILD)

# Benchmarks, built in Release: `make bench` builds and runs them, then times GStreamer's
# H.263 depayloader against our receive path on the same packets (installs GStreamer).
bench: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DVELTRANE_BUILD_BENCH=ON -DVELTRANE_BUILD_TESTS=ON $(CMAKE_ARGS)
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target video_reception_bench lock_bench wait_bench start_close_bench
	cd $(BENCH_BUILD)/bin && ./video_reception_bench && ./lock_bench && ./wait_bench && ./start_close_bench
	BENCH_BUILD=$(BENCH_BUILD) JOBS=$(JOBS) bench/compare_gstreamer.sh

# The reference recorder against the simulated four-camera video server, 10 seconds of CIF.
demo: deps
	cmake -S . -B $(BUILD) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS) --target veltrane-rec
	$(BUILD)/bin/veltrane-rec --out demo-out

# Debian packages for /usr, built in Release without the test suites: libveltrane1,
# libveltrane-dev and veltrane-tools in $(PACKAGE_BUILD)/.
package: deps
	cmake -S . -B $(PACKAGE_BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
	  -DVELTRANE_BUILD_TESTS=OFF $(CMAKE_ARGS)
	cmake --build $(PACKAGE_BUILD) -j $(JOBS)
	cd $(PACKAGE_BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD) $(PACKAGE_BUILD)
