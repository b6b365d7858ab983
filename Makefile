# torvex: the driver, the emulated platform around it, and its tests.
#   make test    configure, build and run the whole suite
#   make asan    the same suite under AddressSanitizer and UndefinedBehaviorSanitizer (clang), but
#                the tests of `torvex pty` with real programs, which run on the wall clock, and the
#                30 MB stream of the late controller
#   make bench   build and run the benchmarks
#   make demo    build the command-line program and run its demonstration session
#   make fuzz    run each libFuzzer target (FUZZ_TARGETS) for FUZZ_SECONDS (default 60)
#   make sweep   the race-prone driver scenarios over a wide seed range (SEEDS, default 1..500),
#                with one driver wait in SPURIOUS_WAITS (4) answering the platform's undocumented
#                value, 6 MB each way at 6,000,000 baud with the host controller late under 20
#                seeds, then the whole suite under SWEEP_COUNT more seeds; with each scheduling strategy
#   make sys     the driver image build-sys/TORVEX.SYS (i686 MinGW-w64), then its image check
#   make image   the image, and the 32-bit host that runs it (build-image/torvex --image)
#   make image-test  the scenario scripts against the image, its loader's refusals, and the image
#                against the linked driver on the wire
#   make programs the serial-program trials of `torvex pty` at full length: lrzsz's X-, Y- and
#                ZMODEM 1 MB each way, a far end writing 1 MB at 115,200 baud, and 1 MB at 921,600
#                with hardware flow toward a slow reader each way (about 25 minutes)
#   make windows-programs a Windows program of the project's own (tests/windows/comm_test.c) on
#                the emulated port under Wine, through the loopback plug and with a far end
#                (installs Wine and the x86_64 cross compiler when missing)
#   make mutants one-line faults drawn from the driver folders, each built and run against the
#                suite's tests off the wall clock (MUTANTS, default 200, about 20 minutes; MUTANT_SEED, default 1;
#                MUTANT_FILE=path for every candidate of one file)
#   make faults  every fault point of the fault scenarios failed once, and the adapter pulled out
#                at each, under the sanitizers
#                (FAULT_SCRIPTS, FAULT_SEEDS 1 2 3, both interface layouts); then the last
#                campaign again as two slices under GNU parallel, which must find the same

BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= start ioctl device baud_text eeprom registry
SEEDS      ?= 1..500
SWEEP_COUNT ?= 20
SPURIOUS_WAITS ?= 4
FAULT_SCRIPTS ?= examples/every_step.script examples/power.script examples/plug_and_play.script examples/two_adapters.script
FAULT_SEEDS ?= 1 2 3
GENERATOR  := $(if $(shell command -v ninja 2>/dev/null),-G Ninja,)
JOBS       ?= $(shell nproc)

SYS_BUILD  ?= build-sys
IMAGE_BUILD ?= build-image

.PHONY: all test asan bench demo fuzz sweep faults programs windows-programs mutants sys image image-test clean configure deps

all: configure
	cmake --build $(BUILD) -j $(JOBS)

# The Debian packages the build and the tests need, installed when missing.
deps:
	@tools/install_deps.sh

configure: deps
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

# Three more at a time than there are processors: the three wall-clock tests
# (LABELS realtime) mostly wait for the line.
test: all
	cd $(BUILD) && ctest --output-on-failure -j $$(( $(JOBS) + 3 ))

asan: deps
	@test -f $(ASAN_BUILD)/CMakeCache.txt || CC=clang CXX=clang++ cmake -S . -B $(ASAN_BUILD) $(GENERATOR) \
		-DCMAKE_BUILD_TYPE=Debug -DTORVEX_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1 \
		UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --output-on-failure -j $(JOBS) -LE 'realtime|long'

bench: all
	$(BUILD)/bench/kernel_bench --benchmark_min_time=0.2
	$(BUILD)/bench/usb_bench
	$(BUILD)/bench/driver_bench
	/usr/bin/python3 bench/pty_bench.py $(BUILD)/torvex

demo: all
	$(BUILD)/torvex run examples/serial_session.script

fuzz:
	@test -f $(FUZZ_BUILD)/CMakeCache.txt || CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) $(GENERATOR) \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVEX_SANITIZE=ON -DTORVEX_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(FUZZ_TARGETS:%=%_fuzz)
	for target in $(FUZZ_TARGETS); do \
		mkdir -p $(FUZZ_BUILD)/$${target}_corpus && \
		$(FUZZ_BUILD)/$${target}_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=2048 -print_final_stats=1 \
			$(FUZZ_BUILD)/$${target}_corpus fuzz/$${target}_corpus || exit 1; \
	done

faults: deps
	@test -f $(ASAN_BUILD)/CMakeCache.txt || CC=clang CXX=clang++ cmake -S . -B $(ASAN_BUILD) $(GENERATOR) \
		-DCMAKE_BUILD_TYPE=Debug -DTORVEX_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS) --target torvex
	for script in $(FAULT_SCRIPTS); do for seed in $(FAULT_SEEDS); do for layout in 1 2; do \
		ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
			$(ASAN_BUILD)/torvex faults $$script --seed $$seed --interfaces $$layout || exit 1; \
		ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
			$(ASAN_BUILD)/torvex faults $$script --seed $$seed --interfaces $$layout --unplug || exit 1; \
	done; done; done
	ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		tests/scripts/faults_parallel.sh $(ASAN_BUILD)/torvex $(lastword $(FAULT_SCRIPTS)) --seed $(firstword $(FAULT_SEEDS))

programs: all
	/usr/bin/python3 tests/pty/transfer_test.py $(BUILD)/torvex $(BUILD)/libtorvex_tty.so 1048576
	/usr/bin/python3 tests/pty/flow_test.py $(BUILD)/torvex 1048576

MUTANTS ?= 200
MUTANT_SEED ?= 1
mutants: all
	/usr/bin/python3 tools/mutants.py --build $(BUILD) --count $(MUTANTS) --seed $(MUTANT_SEED) \
	    $(if $(MUTANT_FILE),--file $(MUTANT_FILE))

windows-programs: all
	tools/install_deps.sh windows
	x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -o $(BUILD)/comm_test.exe tests/windows/comm_test.c
	/usr/bin/python3 tests/windows/run.py $(BUILD)

sys: deps
	tools/build_sys.sh $(SYS_BUILD)
	tools/check_sys_image.py $(SYS_BUILD)/TORVEX.SYS core/exports.def platform/target/imports.whitelist

# The 32-bit host that runs the image: i386 like the image, without the
# driver's sources.
image: sys
	@test -f $(IMAGE_BUILD)/CMakeCache.txt || cmake -S . -B $(IMAGE_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DTORVEX_IMAGE=ON -DTORVEX_IMAGE_FILE=$(CURDIR)/$(SYS_BUILD)/TORVEX.SYS -DTORVEX_LINKED_TORVEX=$(CURDIR)/$(BUILD)/torvex
	cmake --build $(IMAGE_BUILD) -j $(JOBS)

image-test: all image
	cd $(IMAGE_BUILD) && ctest --output-on-failure -j $(JOBS)

sweep: all
	for strategy in random pct; do \
		TORVEX_STRATEGY=$$strategy TORVEX_SEEDS=$(SEEDS) TORVEX_SPURIOUS_WAITS=$(SPURIOUS_WAITS) \
			$(BUILD)/tests/driver_tests --gtest_brief=1 \
			--gtest_filter='*UnderEverySeed*:*RacingFreeTheRequestOnce*' || exit 1; \
		tests/scripts/seeds.sh 1 20 $(BUILD)/torvex run tests/scripts/six_megabaud_late.script --strategy $$strategy || exit 1; \
		TORVEX_STRATEGY=$$strategy tools/seed_sweep.sh 2000 $(SWEEP_COUNT) $(BUILD)/tests/kernel_tests \
			$(BUILD)/tests/usb_tests $(BUILD)/tests/driver_tests || exit 1; \
	done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(SYS_BUILD) $(IMAGE_BUILD)
