# Front door of evcomp.
#
#   make demo            build and run the demo program
#   make test            build everything and run the tests (isolated network)
#   make bench           build and run the benchmarks
#   make fuzz            build the fuzz targets with clang and run each briefly
#   make check-sanitize  build with ASan+UBSan and run the tests
#   make install         install into PREFIX (default /usr/local)
#   make clean           remove every build tree
#
# Each build tree is configured once, when it does not exist yet; after
# that `cmake --build` re-runs cmake by itself when a CMakeLists.txt changes.

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
MAKEFLAGS += --no-print-directory

JOBS       ?= 2
BUILD_TYPE ?= RelWithDebInfo
PREFIX     ?= /usr/local
FUZZ_TIME  ?= 20
CTEST_ARGS ?=
DEMO_ARGS  ?=

BUILD      := build
BUILD_ASAN := build-asan
BUILD_FUZZ := build-fuzz

NETNS := scripts/netns-run
CTEST := ctest --output-on-failure --no-tests=error -j$(JOBS) $(CTEST_ARGS)

# A failed configure must not leave a cache behind that looks configured.
configure = @echo "cmake -S . -B $(1) $(2)"; \
	cmake -S . -B $(1) $(2) || { rm -f $(1)/CMakeCache.txt; exit 1; }

.PHONY: all deps build test demo bench fuzz check-sanitize install clean

all: build

deps:
	scripts/install-deps

$(BUILD)/CMakeCache.txt: | deps
	$(call configure,$(BUILD),-DCMAKE_BUILD_TYPE=$(BUILD_TYPE))

$(BUILD_ASAN)/CMakeCache.txt: | deps
	$(call configure,$(BUILD_ASAN),-DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DEVC_SANITIZE=ON -DEVC_BENCH=OFF)

$(BUILD_FUZZ)/CMakeCache.txt: | deps
	$(call configure,$(BUILD_FUZZ),-DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DEVC_FUZZ=ON -DEVC_TESTS=OFF -DEVC_BENCH=OFF -DEVC_TOOLS=OFF)

build: $(BUILD)/CMakeCache.txt | deps
	cmake --build $(BUILD) -j$(JOBS)

# The tests talk only to peers they start on 127.0.0.1; the namespace makes
# sure nothing else is reachable.
test: build
	$(NETNS) $(CTEST) --test-dir $(BUILD)

demo: $(BUILD)/CMakeCache.txt | deps
	cmake --build $(BUILD) -j$(JOBS) --target demo
	$(NETNS) $(BUILD)/bin/demo $(DEMO_ARGS)

# Some benchmarks use loopback sockets, so all of them run isolated.
bench: build
	@progs=(); for f in $(BUILD)/bench/*; do [ -f "$$f" ] && [ -x "$$f" ] && progs+=("$$f"); done; \
	if [ $${#progs[@]} -eq 0 ]; then echo "bench: no benchmarks built yet"; exit 0; fi; \
	for b in "$${progs[@]}"; do \
	  echo "== $$b"; \
	  $(NETNS) "$$b"; \
	done

# The socket fuzz targets drive real loopback connections: isolated too.
fuzz: $(BUILD_FUZZ)/CMakeCache.txt | deps
	cmake --build $(BUILD_FUZZ) -j$(JOBS)
	$(NETNS) scripts/fuzz-all $(BUILD_FUZZ) $(FUZZ_TIME)

check-sanitize: $(BUILD_ASAN)/CMakeCache.txt | deps
	cmake --build $(BUILD_ASAN) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(NETNS) $(CTEST) --test-dir $(BUILD_ASAN)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_FUZZ)
