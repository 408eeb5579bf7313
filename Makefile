# Human entry points. Each target first makes sure the Debian packages it
# needs are there, then configures and builds with CMake.
JOBS ?= 2
BUILD ?= build
SAN_BUILD ?= build-sanitize
BENCH_BUILD ?= build-bench
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps build test demo bench sanitize clean

all: build

deps:
	@scripts/ensure-deps.sh

build: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) -DQUILLET_WERROR=$${CI:+ON}
	cmake --build $(BUILD) -j$(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

demo: build
	@scripts/demo.sh $(BUILD)/tools/quillet/quillet

bench: deps
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLET_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target quillet_bench quillet_instructions
	mkdir -p $(BUILD)
	$(BENCH_BUILD)/bench/quillet_bench --benchmark_repetitions=5 \
	  --benchmark_report_aggregates_only=true \
	  --benchmark_out=$(BUILD)/bench.json --benchmark_out_format=json
	@if command -v valgrind >/dev/null; then bench/instructions.sh $(BENCH_BUILD); fi

sanitize: deps
	cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DQUILLET_SANITIZE=ON -DQUILLET_BENCH=OFF -DQUILLET_WERROR=$${CI:+ON}
	cmake --build $(SAN_BUILD) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(SAN_BUILD) --output-on-failure -j$(JOBS)

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(BENCH_BUILD)
