# The commands: run, test, screenshot and bench. Each configures and builds first.
BUILD_DIR ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release

.PHONY: deps build run test screenshot bench clean

deps:
	@sh scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) --parallel

run: build
	./$(BUILD_DIR)/stillray

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure

screenshot: build
	./$(BUILD_DIR)/stillray-snapshot --output docs/picture.png --renderer-output docs/picture.renderer

# Measures this build against a second one that carries the readable shader texts.
bench: build
	cmake -S . -B $(BUILD_DIR)-readable $(CMAKE_FLAGS) -DSTILLRAY_READABLE_SHADERS=ON
	cmake --build $(BUILD_DIR)-readable --parallel --target stillray-bench
	./$(BUILD_DIR)/stillray-bench report $(BUILD_DIR)-readable/stillray-bench docs/benchmarks.md

clean:
	rm -rf $(BUILD_DIR) $(BUILD_DIR)-readable
