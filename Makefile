# Thin wrapper over CMake. `make` builds the Release binary at build/driftsim.
BUILD ?= build
JOBS ?= $(shell nproc)
# Installs what packages.txt lists and this machine lacks (apt-get); `make SETUP=true` skips it.
SETUP ?= scripts/setup.sh

.PHONY: all run test bench fuzz r clean

all:
	@$(SETUP) build
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

# Runs the example parameter file in out/, where run1.dat and run1.par are written.
run: all
	mkdir -p out
	cd out && ../$(BUILD)/driftsim ../examples/SimPara.txt

test:
	@$(SETUP) build test
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DDRIFTSIM_TESTS=ON
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 900

# Release build with the benchmarks in build-bench/, then one table of whole runs of the
# scenarios in bench/ (minutes: the last one is large). build-bench/bench/micro_bench holds the
# micro benchmarks.
BENCH_BUILD ?= build-bench
bench:
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DDRIFTSIM_BENCH=ON
	cmake --build $(BENCH_BUILD) -j 2
	bench/run_bench.sh $(BENCH_BUILD)/bench/driftsim_bench

# Fuzzes the parameter reader, the --sizes reader, then the commit record, for FUZZ_SECONDS
# each (clang, in build-fuzz/). New inputs go to build-fuzz/corpus, build-fuzz/corpus-sizes and
# build-fuzz/corpus-record; a crashing input is saved as build-fuzz/crash-* and belongs, once
# fixed, in tests/fuzz/corpus (or corpus-sizes, corpus-record) as a regression case.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
fuzz:
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DDRIFTSIM_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_params fuzz_sizes fuzz_record
	mkdir -p $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/corpus-sizes $(FUZZ_BUILD)/corpus-record
	$(FUZZ_BUILD)/tests/fuzz/fuzz_params -max_total_time=$(FUZZ_SECONDS) -max_len=4096 \
	  -artifact_prefix=$(FUZZ_BUILD)/ -print_final_stats=1 $(FUZZ_BUILD)/corpus tests/fuzz/corpus
	$(FUZZ_BUILD)/tests/fuzz/fuzz_sizes -max_total_time=$(FUZZ_SECONDS) -max_len=8192 \
	  -artifact_prefix=$(FUZZ_BUILD)/ -print_final_stats=1 $(FUZZ_BUILD)/corpus-sizes \
	  tests/fuzz/corpus-sizes
	$(FUZZ_BUILD)/tests/fuzz/fuzz_record -max_total_time=$(FUZZ_SECONDS) -max_len=4096 \
	  -artifact_prefix=$(FUZZ_BUILD)/ -print_final_stats=1 $(FUZZ_BUILD)/corpus-record \
	  tests/fuzz/corpus-record

# The R package in r/: the engine's libraries built position-independent in $(R_BUILD), then
# R CMD INSTALL, whose configure script finds them through DRIFTSIM_ROOT and DRIFTSIM_R_BUILD.
R_BUILD ?= build-r
r:
	@$(SETUP) build r
	cmake -S . -B $(R_BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_POSITION_INDEPENDENT_CODE=ON
	cmake --build $(R_BUILD) -j $(JOBS) --target driftsim_core driftsim_stats_lib
	DRIFTSIM_ROOT=$(CURDIR) DRIFTSIM_R_BUILD=$(abspath $(R_BUILD)) MAKEFLAGS=-j$(JOBS) \
	  R CMD INSTALL r

clean:
	rm -rf $(BUILD) out
