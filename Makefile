# Thin wrapper over CMake. `make` builds the Release binary at build/driftsim.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all run test clean

all:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

# Runs the example parameter file in out/, where run1.dat and run1.par are written.
run: all
	mkdir -p out
	cd out && ../$(BUILD)/driftsim ../examples/SimPara.txt

test:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DDRIFTSIM_TESTS=ON
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) out
