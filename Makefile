# Human entry points. Each target first makes sure the Debian packages it
# needs are there, then configures and builds with CMake.
JOBS ?= 2
BUILD ?= build
SAN_BUILD ?= build-sanitize
BENCH_BUILD ?= build-bench
FUZZ_BUILD ?= build-fuzz
TSAN_BUILD ?= build-tsan
FUZZ_SECONDS ?= 30
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps build test demo bench bench-long package sanitize fuzz tsan format format-check clean

all: build

deps:
	@scripts/ensure-deps.sh

build: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) -DQUILLET_WERROR=$${CI:+ON}
	cmake --build $(BUILD) -j$(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

# Only what the demo runs: the command and its libraries.
demo: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) -DQUILLET_WERROR=$${CI:+ON}
	cmake --build $(BUILD) -j$(JOBS) --target quillet_cli
	@scripts/demo.sh $(BUILD)/tools/quillet/quillet

# The Debian package (build/deb/quillet_VERSION_ARCH.deb), checked by lintian.
package: build
	@deb=$$(scripts/build-deb.sh $(BUILD)) && echo "$$deb" && \
	  lintian --fail-on error "$$deb"

bench: deps
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLET_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target quillet_bench quillet_instructions quillet_write_path quillet_cli
	mkdir -p $(BUILD)
	$(BENCH_BUILD)/bench/quillet_bench --benchmark_repetitions=5 \
	  --benchmark_report_aggregates_only=true \
	  --benchmark_filter='-(FileGrowth/1000000|calls:1000000)' \
	  --benchmark_out=$(BUILD)/bench.json --benchmark_out_format=json
	@if command -v valgrind >/dev/null; then bench/instructions.sh $(BENCH_BUILD); fi
	@if command -v strace >/dev/null; then bench/write_path.sh $(BENCH_BUILD); fi
	bench/text_memory.sh $(BENCH_BUILD) 50
	bench/http_load.sh $(BENCH_BUILD) 5

# A million calls into one SQLite file (a few minutes): does a call cost more
# once the file is large, and does a filtered listing page still read only
# its calls?
bench-long: deps
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLET_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target quillet_bench quillet_cli
	$(BENCH_BUILD)/bench/quillet_bench \
	  --benchmark_filter='FileGrowth/1000000|calls:1000000'

sanitize: deps
	cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DQUILLET_SANITIZE=ON -DQUILLET_BENCH=OFF -DQUILLET_WERROR=$${CI:+ON}
	cmake --build $(SAN_BUILD) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(SAN_BUILD) --output-on-failure -j$(JOBS)

# libFuzzer targets under ASan and UBSan: each replays its corpus, then
# fuzzes for FUZZ_SECONDS. This is the clang build: it builds every product
# target too (the libraries, the command with its service, the example
# host), with the lock annotations checked (-Wthread-safety, an error) and,
# in CI, every other warning an error as well.
fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DQUILLET_FUZZ=ON -DQUILLET_SANITIZE=ON \
	  -DQUILLET_THREAD_SAFETY=ON -DQUILLET_WERROR=$${CI:+ON} \
	  -DQUILLET_TOOLS=ON -DQUILLET_TESTS=OFF -DQUILLET_BENCH=OFF
	cmake --build $(FUZZ_BUILD) -j$(JOBS)
	scripts/run-fuzzers.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# The stress tests under ThreadSanitizer.
tsan: deps
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQUILLET_TSAN=ON -DQUILLET_BENCH=OFF
	cmake --build $(TSAN_BUILD) -j$(JOBS) --target quillet_stress_tests quillet_cli
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  $(TSAN_BUILD)/tests/quillet_stress_tests

# Every C++ file that git knows, formatted as .clang-format says.
FORMAT_FILES = git ls-files '*.cc' '*.h'
format: deps
	$(FORMAT_FILES) | xargs clang-format -i
format-check: deps
	$(FORMAT_FILES) | xargs clang-format --dry-run --Werror

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(BENCH_BUILD) $(FUZZ_BUILD) $(TSAN_BUILD)
