# The commands: run, screenshot, test, bench and tune. Each installs the Debian packages it needs,
# then configures and builds.
BUILD_DIR ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release

# A build tree made for the program alone leaves the tests out, so that showing the picture
# needs none of their packages; a tree that has them already keeps them.
PROGRAM_FLAGS = $(if $(wildcard $(BUILD_DIR)/CMakeCache.txt),,-DSTILLRAY_TESTS=OFF)

.PHONY: program build run test screenshot bench tune clean

# The program, the packed program and the snapshot tool.
program:
	@sh scripts/install-deps.sh run
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) $(PROGRAM_FLAGS)
	cmake --build $(BUILD_DIR) --parallel

# Everything, the tests and the benchmark included.
build:
	@sh scripts/install-deps.sh test
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) -DSTILLRAY_TESTS=ON
	cmake --build $(BUILD_DIR) --parallel

run: program
	$(BUILD_DIR)/stillray

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure --parallel 2

screenshot: program
	$(BUILD_DIR)/stillray_snapshot --output docs/picture.png --renderer-output docs/picture.renderer

# Measures this build against a second one that carries the readable shader texts, and keeps the
# picture of the size report's byte map that the build drew.
bench: build
	cmake -S . -B $(BUILD_DIR)-readable $(CMAKE_FLAGS) -DSTILLRAY_READABLE_SHADERS=ON -DSTILLRAY_TESTS=ON
	cmake --build $(BUILD_DIR)-readable --parallel --target stillray_bench
	$(BUILD_DIR)/stillray_bench report $(BUILD_DIR)-readable/stillray_bench docs/benchmarks.md
	cp $(BUILD_DIR)/size-map.png docs/size-map.png

# Runs the slow searches again and rewrites their reuse records: the shaders' one-letter names,
# then the coder's models for the program those names make.
tune: program
	cmake --build $(BUILD_DIR) --target tune_shader_names
	cmake --build $(BUILD_DIR) --parallel --target stillray_trimmed
	cmake --build $(BUILD_DIR) --target tune_packing_models
	cmake --build $(BUILD_DIR) --parallel

clean:
	rm -rf $(BUILD_DIR) $(BUILD_DIR)-readable
