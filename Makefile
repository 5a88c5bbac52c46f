# Thin wrappers around CMake presets. `make test` and `make demo` work on a fresh Debian 12 machine.
.PHONY: all setup configure build test asan-build test-asan bench fuzz demo clean

JOBS ?= 2

# Let ccache reuse objects between checkouts at different paths (CI builds a fresh clone).
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1
FUZZ_SECONDS ?= 60

all: build

setup:
	@bash scripts/setup-deps.sh

configure:
	cmake --preset default

build: configure
	cmake --build --preset default -j$(JOBS)

test: setup build
	ctest --preset default -j$(JOBS)

asan-build:
	cmake --preset asan
	cmake --build --preset asan -j$(JOBS)

test-asan: setup asan-build
	ctest --preset asan -j$(JOBS)

bench: setup build
	bash bench/run.sh

fuzz: setup
	cmake --preset fuzz
	cmake --build --preset fuzz -j$(JOBS)
	bash fuzz/run.sh $(FUZZ_SECONDS)

demo: setup build
	bash scripts/demo.sh

clean:
	rm -rf build build-asan build-release build-fuzz
