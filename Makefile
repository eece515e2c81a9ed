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
	./$(BUILD_DIR)/stillray-snapshot --output docs/picture.png

bench: build
	@echo "make bench: not written yet"

clean:
	rm -rf $(BUILD_DIR)
