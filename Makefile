# make demo  - builds the library and runs the end-to-end demo (KEEP=1: the service keeps running,
#              so that the console link it prints can be opened)
# make test  - builds and runs the whole suite (one process per test, then each test binary whole,
#              shuffled, three times; every fuzz corpus replayed as tests), then again under
#              AddressSanitizer + UBSan and under ThreadSanitizer, then the consumer examples
#              against the installed library (static and shared)
# make format-check - clang-format on every tracked C++ file (and new ones)
# make tidy  - clang-tidy (.clang-tidy) on the library's sources; part of test
# make bench - the benchmarks, the footprint, the event crash torture (1,000 kills) and the
#              attribution accuracy simulation
# make fuzz  - libFuzzer (clang) on every fuzz target, FUZZ_SECONDS (default 60) each
JOBS     ?= $(shell nproc 2>/dev/null || echo 2)
KEEP     ?=
BUILD    ?= build
ASAN     ?= build-asan
TSAN     ?= build-tsan
SHARED   ?= build-shared
FUZZ     ?= build-fuzz
FUZZ_SECONDS ?= 60
LAUNCHER := $(shell command -v ccache >/dev/null 2>&1 && echo -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
CMAKE_FLAGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLOVENDALE_WERROR=ON $(LAUNCHER)

.PHONY: deps build build-asan build-tsan test test-plain test-whole test-asan test-tsan test-consumers fuzz demo bench \
	clean format format-check tidy

deps:
	@scripts/install-deps

build: deps
	@echo "building in $(BUILD), log in $(BUILD)/build.log (from cold about 15 minutes on 2 cores)"
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) >$(BUILD)/build.log 2>&1 || { tail -40 $(BUILD)/build.log; exit 1; }

build-asan: deps
	cmake -S . -B $(ASAN) $(CMAKE_FLAGS) -DPLOVENDALE_SANITIZE=ON -DPLOVENDALE_BUILD_TOOLS=ON >/dev/null
	cmake --build $(ASAN) -j $(JOBS)

test-plain: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 120

test-asan: build-asan
	cd $(ASAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j $(JOBS) --timeout 240

# Each test binary as one process, in random order, three times over: no test may rely on state
# that an earlier one left behind in the process.
test-whole: test-plain
	@set -e; for binary in $(BUILD)/bin/plovendale_*_tests; do \
		echo "== $$binary: whole, shuffled, 3 times"; \
		$$binary --gtest_shuffle --gtest_repeat=3 --gtest_brief=1; \
	done

build-tsan: deps
	cmake -S . -B $(TSAN) $(CMAKE_FLAGS) -DPLOVENDALE_TSAN=ON >/dev/null
	cmake --build $(TSAN) -j $(JOBS)

# halt_on_error: the first report fails the test that caused it. detect_deadlocks: two locks taken
# in opposite orders fail the test too, even when no run happened to hang (GCC's runtime is asked
# explicitly rather than trusted to default to it). Death tests re-execute the binary
# instead of forking a process that has threads (which ThreadSanitizer does not support).
test-tsan: build-tsan
	cd $(TSAN) && TSAN_OPTIONS="halt_on_error=1 detect_deadlocks=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp" \
		GTEST_DEATH_TEST_STYLE=threadsafe ctest --output-on-failure -j $(JOBS) --timeout 300

# The examples built against the installed library, static and shared, each run against the
# reference service; the shared variant's exported symbols checked. Reuses the plain build.
test-consumers: build
	JOBS=$(JOBS) scripts/check-consumers $(BUILD) $(SHARED)

test: format-check tidy test-plain test-whole test-asan test-tsan test-consumers

# Not part of test: it runs for minutes. Seeds in fuzz/corpus are only read; findings stay in
# $(FUZZ)/fuzz-work.
fuzz: deps
	cmake -S . -B $(FUZZ) $(CMAKE_FLAGS) -DCMAKE_CXX_COMPILER=clang++-14 -DPLOVENDALE_FUZZ=ON \
		-DPLOVENDALE_BUILD_TESTS=OFF -DPLOVENDALE_BUILD_TOOLS=OFF >/dev/null
	cmake --build $(FUZZ) -j $(JOBS)
	scripts/run-fuzzers $(FUZZ) $(FUZZ_SECONDS)

demo: deps
	@echo "building the library and its tools in $(BUILD), log in $(BUILD)/build.log (from cold about 3 minutes on 2 cores; with ccache warm, seconds)"
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target plovendale_tool attribution_service_tool >$(BUILD)/build.log 2>&1 || { tail -40 $(BUILD)/build.log; exit 1; }
	@KEEP=$(KEEP) scripts/demo.sh $(BUILD)

bench: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release $(LAUNCHER) -DPLOVENDALE_BUILD_BENCH=ON \
		-DPLOVENDALE_BUILD_TESTS=OFF -DPLOVENDALE_BUILD_TOOLS=ON -DPLOVENDALE_BUILD_EXAMPLES=OFF \
		>/dev/null
	cmake --build build-bench -j $(JOBS)
	build-bench/bin/event_torture
	python3 bench/attribution_sim.py --service build-bench/bin/attribution-service
	JOBS=$(JOBS) bench/footprint build-footprint
	JOBS=$(JOBS) bench/footprint build-footprint-os -DPLOVENDALE_SIZE_OPTIMISED=ON

format:
	clang-format -i $$(git ls-files '*.h' '*.cpp')

# Every tracked C++ file and every new one: the same check on main, on a branch and in CI.
format-check:
	@files=$$( { git ls-files -- '*.h' '*.cpp'; git ls-files --others --exclude-standard -- '*.h' '*.cpp'; } \
		| sort -u); \
	clang-format --dry-run -Werror $$files && echo "format-check: clean ($$(echo "$$files" | wc -l) files)"

# Uses the plain build's compile_commands.json; only the library, whose faults reach hosts.
tidy: build
	run-clang-tidy -quiet -p $(BUILD) -j $(JOBS) '$(CURDIR)/src/.*\.cpp$$' >$(BUILD)/tidy.log 2>&1 \
		|| { grep -E 'error:|warning:' $(BUILD)/tidy.log | sort -u; exit 1; }
	@echo "tidy: clean"

clean:
	rm -rf $(BUILD) $(ASAN) $(TSAN) $(FUZZ) $(SHARED) build-bench
