# Two commands: `make demo` (the main job) and `make test` (every test, release and
# sanitizer builds, warnings as errors, and the build against the vendor's libexanic when
# VENDOR_EXANIC holds it). Run as root on Debian, both first install the packages that are missing.

BUILD     ?= build
JOBS      ?= $(shell nproc)
FUZZ_SECONDS       ?= 300
FUZZ_SMOKE_SECONDS ?= 15
PACKAGES  := cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libpcap-dev clang libclang-rt-dev binutils prometheus
# tshark runs the Wireshark dissector's test (tools/wireshark).
PACKAGES  += tshark
# The Python module vorn_r10 and its tests (Debian's /usr/bin/python3).
PACKAGES  += pybind11-dev python3-pybind11 python3-numpy python3-pandas python3-pytest python3-tables
# valgrind's cachegrind counts the hot path's cache misses (make bench-counts).
PACKAGES  += valgrind

CMAKE_COMMON := -DCMAKE_BUILD_TYPE=Release
# The vendor's libexanic sources (optional): `make test` builds the library against them.
VENDOR_EXANIC ?= ../shared/vendor/libexanic

.PHONY: demo test ratio deps release asan tsan vendor-check fuzz-smoke fuzz bench bench-counts bench-vendor sample clean

demo: deps release
	$(BUILD)/release/tools/vorn-demo

test: WERROR := -DVORN_WERROR=ON
test: deps release asan sample
	cd $(BUILD)/release && ctest --output-on-failure -j$(JOBS) --timeout 300
	cd $(BUILD)/asan && ctest --output-on-failure -j$(JOBS) --timeout 600
	$(MAKE) --no-print-directory tsan
	$(MAKE) --no-print-directory fuzz-smoke
	$(MAKE) --no-print-directory vendor-check
	@$(MAKE) --no-print-directory ratio

# Non-blank lines of tests against code (tests, fuzz and python/tests against the rest).
ratio:
	@count() { git ls-files "$$@" | grep -E '\.(c|cc|cpp|cxx|h|hh|hpp|S|s|py|sh|lua)$$' | xargs cat | grep -cv '^\s*$$'; }; \
	if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then \
	  t=$$(count tests fuzz python/tests); c=$$(count src public sim tools bench examples python ':!python/tests'); \
	  echo "tests $$t, code $$c non-blank lines: tests/code $$(awk "BEGIN { printf \"%.3f\", $$t / $$c }")"; \
	else echo "tests/code ratio: not a git checkout"; fi

deps:
	@missing=""; for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    echo "Installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else \
	    echo "Missing packages:$$missing (run as root, or install them)"; exit 1; \
	  fi; \
	fi

release:
	cmake -S . -B $(BUILD)/release $(CMAKE_COMMON) $(WERROR)
	cmake --build $(BUILD)/release -j$(JOBS)

asan:
	cmake -S . -B $(BUILD)/asan $(CMAKE_COMMON) $(WERROR) -DVORN_SANITIZE=ON -DVORN_BUILD_BENCH=OFF
	cmake --build $(BUILD)/asan -j$(JOBS)

# ThreadSanitizer over the tests of concurrency, building only their targets: the card's ring
# under a producer thread (our reader, and the driver interface the vendor's library reads
# through), the counters' writer and reader, the stop flag and signals, the socket transport.
TSAN_TARGETS := sim_card_test counters_test public_signal_test src_socket_unit_test \
                src_socket_test
TSAN_TESTS   := '^(Ring|Driver|Signals|KernelDrops|SocketErrors|ReceiveBuffer|SocketTransport)\.|/Ring\.|^CountersFiles\.Reader|^CacheFlag/SocketDay\.'
tsan:
	cmake -S . -B $(BUILD)/tsan $(CMAKE_COMMON) $(WERROR) -DVORN_TSAN=ON -DVORN_BUILD_BENCH=OFF
	cmake --build $(BUILD)/tsan -j$(JOBS) --target $(TSAN_TARGETS)
	cd $(BUILD)/tsan && TSAN_OPTIONS="halt_on_error=1" ctest --output-on-failure -j$(JOBS) --timeout 600 -R $(TSAN_TESTS)

vendor-check:
	./.ci/vendor_check.sh $(BUILD)/vendor $(VENDOR_EXANIC) $(JOBS) $(BUILD)/release/tools

# The frame ratios through the vendor's receive on a simulated card (after vendor-check).
bench-vendor: vendor-check
	cmake --build $(BUILD)/vendor/build -j$(JOBS) --target vorn_bench_vendor
	LD_PRELOAD=$(CURDIR)/$(BUILD)/vendor/build/sim/card/libvorn_card_driver.so \
	  $(BUILD)/vendor/build/bench/vorn_bench_vendor --benchmark_filter='Frame(Plain|Encrypted)Ratio'

# The smoke run of `make test`: every fuzz target for FUZZ_SMOKE_SECONDS (15) seconds.
fuzz-smoke:
	CC=clang CXX=clang++ FUZZ_SECONDS=$(FUZZ_SMOKE_SECONDS) ./fuzz/run_smoke.sh $(BUILD)/fuzz

# Every fuzz target for FUZZ_SECONDS (default 300) seconds each: make fuzz FUZZ_SECONDS=3600
fuzz: deps
	CC=clang CXX=clang++ FUZZ_SECONDS=$(FUZZ_SECONDS) ./fuzz/run_smoke.sh $(BUILD)/fuzz

# A small day to try the tools on: a snapshot and the capture of the session that follows it.
sample: release
	mkdir -p $(BUILD)/sample
	$(BUILD)/release/tools/vorn-snapshot make --date 20261216 --out $(BUILD)/sample/snapshot.bin \
	  --capture $(BUILD)/sample/capture.pcap --frames 2000

bench: release
	$(BUILD)/release/bench/vorn_bench
	cmake --build $(BUILD)/release -j$(JOBS) --target vorn_bench_hooks_off
	./bench/hooks_ab.sh $(BUILD)/release/bench

# L1 data misses and instructions per packet under cachegrind, library and floor, both workloads.
bench-counts: release
	./bench/counts.sh $(BUILD)/release/bench

clean:
	rm -rf $(BUILD)
