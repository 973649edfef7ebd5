# Vornel: `make run` to chat, `make test` to check everything.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build run server test test-plain test-sanitized bench fuzz screenshots install package clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# The terminal with a server of its own on 127.0.0.1, stopped when the terminal exits.
run: build
	scripts/run-with-server $(BUILD)

# The server alone, on every interface, for a LAN.
server: build
	$(BUILD)/server/vornel-server

# Everything twice: a normal build, then one with AddressSanitizer, UndefinedBehaviorSanitizer
# and LeakSanitizer, where any report fails the run.
test: test-plain test-sanitized

test-plain: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

test-sanitized: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNEL_SANITIZE=ON -DVORNEL_BENCHMARKS=OFF $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && QT_QPA_PLATFORM=offscreen \
		ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
		UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp:print_suppressions=0 \
		ctest --output-on-failure -j $(JOBS)

bench: build
	scripts/run-benchmarks $(BUILD)

fuzz: deps
	fuzz/run-fuzzers

screenshots:
	scripts/screenshots

install: build
	cmake --install $(BUILD)

package: build
	cd $(BUILD) && cpack

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-fuzz
