# make test: install what is missing, build, and run every test under Wine.
# make run:  install what is missing, build, and start vanta.exe under Wine.
BUILD ?= build
JOBS  ?= 2

.PHONY: all deps configure build test run bench clean

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS) -- --no-print-directory

test: build
	@cd $(BUILD) && ctest --output-on-failure -j 1

bench: build
	@bash bench/fill_bench.sh $(BUILD)

run: build
	@echo "vanta.exe is not built yet: the program's dialog has not landed. 'make test' runs what exists." >&2
	@exit 1

clean:
	rm -rf $(BUILD)
