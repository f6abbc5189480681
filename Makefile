# The two commands a new user types: `make run` and `make test`. Both install any missing
# Debian packages first, then configure and build with CMake and Ninja.

PRESET ?= release
BUILD := build/$(PRESET)
JOBS ?= $(shell nproc)

.PHONY: all deps configure build run test asan tsan bench fuzz install clean

all: build

deps:
	@./scripts/install-deps.sh

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# The SQL shell, on the bundled sample database unless ARGS names a file: make run ARGS='...'
run: build
	@$(BUILD)/tools/orvsql/orvsql $(ARGS)

test: build
	@ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

# The whole suite under the address and undefined-behaviour sanitizers.
asan:
	@$(MAKE) --no-print-directory test PRESET=asan

# The suite under the thread sanitizer (clang).
tsan:
	@$(MAKE) --no-print-directory test PRESET=tsan

bench:
	@$(MAKE) --no-print-directory build PRESET=bench
	@for b in $(BUILD:$(PRESET)=bench)/bench/bench_*; do [ -x "$$b" ] && "$$b"; done; true

# The fuzz targets, each for FUZZ_SECONDS (default 60) on its seed corpus (clang).
fuzz:
	@FUZZ_JOBS=$(JOBS) ./scripts/fuzz.sh

install: build
	@cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

clean:
	@rm -rf build
