# Quillmere: build, test and demo on Linux.
#   make          build every tree under build/
#   make test     build and run every test (native, fuzz, and the Windows tests under Wine)
#   make demo     the tool's main job on the simulated laptop
#   make bench    the crypto benchmarks (native against OpenSSL, and i686 under Wine)
#   make fuzz FUZZ_SECONDS=600   a longer fuzzing run
#   make scenario S=path/to/file.scn   one end-to-end scenario
#   make release   a signed, reproducible release in build/release/ (mk/release.mk, README "Release")
# Trees: build/asan (native, ASan+UBSan), build/native (release, benchmarks),
# build/fuzz (clang, libFuzzer), build/i386 (32-bit x86 Linux, run through qemu when the
# machine cannot execute 32-bit code), build/win64 and build/win32 (mingw-w64, run under Wine).

SHELL := /bin/bash
TOP := $(CURDIR)
B := $(TOP)/build
JOBS ?= 2
CMAKE_GEN := -G Ninja
PREFIX64 := $(B)/wine/prefix64
FUZZ_SECONDS ?= 60
# Machines without IA-32 emulation cannot run 32-bit Wine: the win64 tree runs the Windows tests.
# WINDOWS_TEST_TREE is that tree (win32 or win64, from scripts/windows-test-tree, as CMake has
# it), for every recipe here and in mk/. Both are asked when a recipe runs (after the bootstrap
# has installed Wine), never when make reads this file; QM_NO_32BIT=1 takes that path anywhere.
CAN_RUN_I386 := $(TOP)/scripts/can-run-i386
WINDOWS_TEST_TREE = $$($(TOP)/scripts/windows-test-tree)
export QM_FUZZ_SECONDS := $(FUZZ_SECONDS)

.PHONY: all bootstrap build configure test demo bench bench-driver fuzz prefix clean

all: build

bootstrap:
	@scripts/bootstrap.sh

$(B)/asan/build.ninja:
	cmake -S . -B $(B)/asan $(CMAKE_GEN) -DQM_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
$(B)/native/build.ninja:
	cmake -S . -B $(B)/native $(CMAKE_GEN) -DQM_BENCH=ON -DCMAKE_BUILD_TYPE=Release
$(B)/fuzz/build.ninja:
	cmake -S . -B $(B)/fuzz $(CMAKE_GEN) -DQM_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
$(B)/i386/build.ninja:
	cmake -S . -B $(B)/i386 $(CMAKE_GEN) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-linux-i386.cmake \
	  -DCMAKE_BUILD_TYPE=Release
$(B)/win64/build.ninja:
	cmake -S . -B $(B)/win64 $(CMAKE_GEN) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DQM_WIN32_BINARY_DIR=$(B)/win32
$(B)/win32/build.ninja:
	cmake -S . -B $(B)/win32 $(CMAKE_GEN) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DQM_WIN64_BINARY_DIR=$(B)/win64

configure: $(B)/asan/build.ninja $(B)/native/build.ninja $(B)/fuzz/build.ninja $(B)/i386/build.ninja \
           $(B)/win64/build.ninja $(B)/win32/build.ninja

# Each Windows tree embeds the other one's payloads: the 64-bit payloads first, then the whole
# win32 tree, then the rest of win64.
build: bootstrap configure
	@$(CAN_RUN_I386) --record $(B)/machine-i386.txt; echo "32-bit code runs here: $$(cat $(B)/machine-i386.txt)"
	cmake --build $(B)/asan -j $(JOBS)
	cmake --build $(B)/native -j $(JOBS)
	cmake --build $(B)/fuzz -j $(JOBS)
	cmake --build $(B)/i386 -j $(JOBS)
	if ninja -C $(B)/win64 -t query qm_payloads64 >/dev/null 2>&1; then \
	  cmake --build $(B)/win64 -j $(JOBS) --target qm_payloads64; fi
	cmake --build $(B)/win32 -j $(JOBS)
	cmake --build $(B)/win64 -j $(JOBS)

# The default Wine prefix of the Windows tests (64-bit; runs the 32-bit programs too).
prefix:
	@scripts/make-prefix $(PREFIX64) win64

test: build prefix
	@scripts/run-tests $(B)/asan $(B)/i386 $(B)/fuzz $(B)/win64 $(B)/win32

bench: build prefix
	$(B)/native/bench/crypto_bench
	@tree=$(WINDOWS_TEST_TREE); \
	 [ $$tree = win32 ] || echo "(this machine cannot run 32-bit code: the i686 figures come from the x86_64 build)"; \
	 WINEPREFIX=$(PREFIX64) scripts/wine-run $(B)/$$tree/bench/crypto_bench_win.exe

# The driver channel's handshake and a capsule round trip through the substitute driver.
bench-driver: build
	scripts/make-prefix $(B)/wine/bench-driver win64 --driver 1.0.8.0 >/dev/null
	WINEPREFIX=$(B)/wine/bench-driver scripts/wine-run $(B)/win64/bench/driver_channel_timing.exe 20
	-WINEPREFIX=$(B)/wine/bench-driver wineserver -k

fuzz: build
	ctest --test-dir $(B)/fuzz --output-on-failure

# The demo scenario (demo-run, mk/scenarios.mk) once everything it needs is built.
demo: build prefix
	@$(MAKE) --no-print-directory demo-run

clean:
	-WINEPREFIX=$(PREFIX64) wineserver -k 2>/dev/null
	rm -rf $(B)

-include mk/*.mk
