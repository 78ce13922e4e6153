# Thin front for the CMake build.  See README.md.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
PREFIX     ?= /usr/local
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=
# The developers' builds (demo, test, bench, sanitizers, fuzzing) treat
# warnings as errors; `make install` builds as a user's would, without.
DEV_ARGS   := -DQUOR7_WERROR=ON

.PHONY: all deps configure build demo test test-sanitize test-tsan bench fuzz powerloss oomsweep install clean

all: build

deps:
	@scripts/setup-deps

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(DEV_ARGS) $(CMAKE_ARGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

# PYTHONPATH: the Python package quor7 as built in $(BUILD)/python.
demo: build
	@PYTHONPATH=$(abspath $(BUILD))/python$(if $(PYTHONPATH),:$(PYTHONPATH)) scripts/demo $(BUILD)

test: build
	@cd $(BUILD) && PYTHONPATH=$(abspath $(BUILD))/python$(if $(PYTHONPATH),:$(PYTHONPATH)) \
	  ctest --output-on-failure --timeout 900 -j$(JOBS)

# The whole suite once more, under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	@cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUOR7_SANITIZE=ON -DQUOR7_BUILD_BENCH=OFF $(DEV_ARGS) $(CMAKE_ARGS) >/dev/null
	@cmake --build $(ASAN_BUILD) -j$(JOBS)
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure --timeout 1800 -j$(JOBS)

# The suites that run filters on worker threads, under ThreadSanitizer.
TSAN_TESTS := quor7_storage_tests quor7_codecs_tests plugins_test
test-tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUOR7_TSAN=ON -DQUOR7_BUILD_BENCH=OFF $(DEV_ARGS) $(CMAKE_ARGS) >/dev/null
	@cmake --build $(TSAN_BUILD) -j$(JOBS) --target $(TSAN_TESTS)
	@cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure --timeout 1800 -j$(JOBS) -R '^(PipelineThreads|ChunkCache|Codecs|Filters|Datasets|Plugin|PipelineFailure|NameSuffixFilter|VersionCheckedFilter)'

bench: build
	@scripts/bench $(BUILD)

# Simulated power cuts: CUTS per workload and mode (default 715: about 10,000 in all).
powerloss: build
	@cd $(BUILD) && QUOR7_POWERLOSS_CUTS=$(or $(CUTS),715) ./bin/powerloss_tests

# Every allocation of the allocation-failure workloads failed in turn (the suite samples them).
oomsweep: build
	@cd $(BUILD) && QUOR7_OOM_STRIDE=1 ./bin/oomsweep_tests

# Each fuzz target for FUZZ_SECONDS (default 60), built with clang in build-fuzz.
fuzz: deps
	@FUZZ_SECONDS=$(or $(FUZZ_SECONDS),60) scripts/fuzz build-fuzz

install: deps
	@cmake -S . -B $(BUILD)-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUOR7_FAULT_INJECTION=OFF \
	  -DQUOR7_BUILD_TESTS=OFF -DQUOR7_BUILD_BENCH=OFF -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null
	@cmake --build $(BUILD)-release -j$(JOBS)
	@cmake --install $(BUILD)-release

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BUILD)-release build-fuzz
