# Thin wrappers around CMake presets. `make test` and `make demo` work on a fresh Debian 12 machine.
.PHONY: all setup configure build test asan-build test-asan bench fuzz soak demo screenshots package install-check clean

JOBS ?= 2

# Let ccache reuse objects between checkouts at different paths (CI builds a fresh clone).
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1
FUZZ_SECONDS ?= 60
# The fault campaign's seed; a new one each day unless given (every result line names it).
SOAK_SEED ?= $(shell date +%Y%m%d)
SOAK_UPLOADS ?= 10000

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

# The full fault campaign: uploads of a 64 KiB image in every mode over every link, then flash
# writes read back. Repeat one run with: build/bin/vornik-soak --seed S --only K [--target flash]
soak: build
	./build/bin/vornik-soak --uploads $(SOAK_UPLOADS) --seed $(SOAK_SEED) --mode all --link all
	./build/bin/vornik-soak --uploads $(SOAK_UPLOADS) --seed $(SOAK_SEED) --target flash --link all

demo: setup build
	bash scripts/demo.sh

# Pictures of the window under Xvfb into docs/screenshots/ (normal and at twice the scale).
screenshots: setup build
	xvfb-run -a -s "-screen 0 1600x1200x24" build/tests/vornik-screenshots docs/screenshots
	QT_SCALE_FACTOR=2 xvfb-run -a -s "-screen 0 2400x1800x24" build/tests/vornik-screenshots docs/screenshots -hidpi

# The Debian package from a hardened release build: build-package/vornik_<version>_<arch>.deb.
package: setup
	cmake --preset package
	cmake --build --preset package -j$(JOBS)
	cmake --build --preset package --target package

# The package, and the installed programs run as an unprivileged user (what CI checks).
install-check: setup
	bash scripts/ci-install-check.sh

clean:
	rm -rf build build-asan build-release build-package build-fuzz
