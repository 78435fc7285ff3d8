# Every target does its own set-up: dependencies, configure, build.
BUILD ?= build
TYPE ?= RelWithDebInfo
SANITIZE ?=
FUZZ ?= OFF
FUZZ_SECONDS ?= 60
SOAK_SECONDS ?= 45
FUZZ_RUNS ?= 10000000
COMPILER ?=
TOOLCHAIN ?=
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo Ninja || echo "Unix Makefiles")
CONFIG ?= examples/demo.json
JOBS ?= 2
# More ctest options for make test (-R NAME, say); make sanitize leaves out the test machine's.
CTEST_ARGS ?=

.PHONY: all deps deps-test configure configure-test build build-test test run sanitize fuzz bench \
  install format format-check clean

all: build

# What building and running needs; deps-test adds what the tests and their tools need.
deps:
	@scripts/install-deps

deps-test:
	@scripts/install-deps --test

$(BUILD)/CMakeCache.txt:
	@$(MAKE) --no-print-directory deps
	cmake -S . -B $(BUILD) -G "$(GENERATOR)" -DCMAKE_BUILD_TYPE=$(TYPE) -DKYT_SANITIZE=$(SANITIZE) \
	  -DKYT_FUZZ=$(FUZZ) $(if $(COMPILER),-DCMAKE_CXX_COMPILER=$(COMPILER)) \
	  $(if $(TOOLCHAIN),-DCMAKE_TOOLCHAIN_FILE=$(abspath $(TOOLCHAIN)))

configure: $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# A tree configured before the test packages were installed (make run first) is configured
# again, so that it builds the tests.
configure-test: deps-test
	@if [ -f $(BUILD)/CMakeCache.txt ] && \
	  ! grep -qiE '^KYT_WITH_TESTS:INTERNAL=(1|on|true)$$' $(BUILD)/CMakeCache.txt; then \
	  cmake -S . -B $(BUILD); fi
	@$(MAKE) --no-print-directory configure

build-test: configure-test
	cmake --build $(BUILD) -j $(JOBS)

test: build-test
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) --timeout 300 $(CTEST_ARGS)

# Only the QEMU test machine's tests (tests/vm): the kernel's real USB drivers in a guest.
.PHONY: test-vm
test-vm: build-test
	ctest --test-dir $(BUILD) -L vm --output-on-failure

# The suite built for 32-bit x86 Linux (-m32) and run here; the test machine's tests are left
# out, as its guest runs x86_64 builds only.
.PHONY: test-i686
test-i686:
	@scripts/install-cross-deps i686
	@$(MAKE) --no-print-directory test BUILD=build-i686 TOOLCHAIN=cmake/i686-linux-gnu.cmake

# The Windows cross build (mingw-w64, i686) in build-windows, and its tests under wine (only
# the tests need wine, and wine needs the i386 architecture).
.PHONY: windows test-windows
windows:
	@scripts/install-deps --test
	@scripts/install-cross-deps windows
	@[ -f build-windows/CMakeCache.txt ] || cmake -S . -B build-windows -G "$(GENERATOR)" \
	  -DCMAKE_BUILD_TYPE=$(TYPE) -DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/i686-w64-mingw32.cmake)
	cmake --build build-windows -j $(JOBS)

test-windows: windows
	@scripts/install-cross-deps wine
	scripts/run-windows-tests build-windows -j $(JOBS) --timeout 300

# The reference host on the example config; Ctrl-C stops it (or FOR=seconds).
run: build
	scripts/run-example $(BUILD) $(CONFIG) $(FOR)

# The suite under ASan+UBSan, then under TSan. The test machine's tests (tests/vm) are left
# out: they spend most of their time booting the guest, and the modules they drive run under
# both sanitizers in the tests with the doubles.
sanitize:
	@$(MAKE) --no-print-directory test BUILD=build-asan TYPE=Debug SANITIZE=address CTEST_ARGS="-LE vm"
	@$(MAKE) --no-print-directory test BUILD=build-tsan TYPE=Debug SANITIZE=thread CTEST_ARGS="-LE vm"

# Every libFuzzer target in fuzz/ for FUZZ_SECONDS each (clang, ASan+UBSan).
fuzz:
	@$(MAKE) --no-print-directory configure-test BUILD=build-fuzz TYPE=RelWithDebInfo FUZZ=ON COMPILER=clang++
	cmake --build build-fuzz -j $(JOBS) --target kyt_fuzzers
	scripts/run-fuzzers -j $(JOBS) build-fuzz $(FUZZ_SECONDS)

# The shipped gateways through kyt-host under random drops (SOAK_SECONDS each), then thousands
# of channel losses and returns in one process: about two minutes.
.PHONY: soak
soak: configure-test
	cmake --build $(BUILD) -j $(JOBS) --target kyt_soak_tests
	SOAK_SECONDS=$(SOAK_SECONDS) $(BUILD)/kyt_soak_tests

# Every fuzzer to FUZZ_RUNS executions (FUZZERS=name ... picks some), one at a time at the
# lowest priority; the inputs that add coverage are merged back, minimised, into fuzz/corpus/.
.PHONY: fuzz-long
fuzz-long:
	@$(MAKE) --no-print-directory configure-test BUILD=build-fuzz TYPE=RelWithDebInfo FUZZ=ON COMPILER=clang++
	cmake --build build-fuzz -j $(JOBS) --target kyt_fuzzers
	nice -n 19 scripts/run-fuzzers --runs $(FUZZ_RUNS) build-fuzz $(FUZZERS)

# The benchmarks only (not the tests) in an optimised tree; bench-build builds without running.
.PHONY: bench-build
bench-build:
	@$(MAKE) --no-print-directory configure-test BUILD=build-bench TYPE=Release
	cmake --build build-bench -j $(JOBS) --target kyt_benchmarks

bench: bench-build
	scripts/run-benchmarks build-bench

install: build
	cmake --install $(BUILD)

# Every README target on a new Debian 12 root made by debootstrap (slow; not in CI).
.PHONY: fresh-check
fresh-check:
	scripts/fresh-check

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

# Fails on any source that clang-format would change.
format-check:
	@command -v clang-format >/dev/null || scripts/install-deps --test
	clang-format --dry-run -Werror $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz build-i686 build-windows
