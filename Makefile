# SPDX-License-Identifier: GPL-3.0-or-later
# Vornel: `make run` to chat, `make test` to check everything. On a system without make,
# use scripts/make the same way.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
PACKAGES ?= $(BUILD)/packages

# The programs alone (with the server's man page when help2man is there), or everything.
PROGRAM_OPTIONS = -DVORNEL_TESTS=OFF -DVORNEL_BENCHMARKS=OFF -DVORNEL_FUZZERS=OFF
FULL_OPTIONS = -DVORNEL_TESTS=ON -DVORNEL_BENCHMARKS=ON -DVORNEL_MANPAGES=ON

.PHONY: all deps programs build run server test test-plain test-sanitized bench fuzz \
	screenshots install uninstall package clean

all: build

deps:
	@scripts/install-deps

programs:
	@scripts/install-deps --run
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(PROGRAM_OPTIONS) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(FULL_OPTIONS) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# The terminal with a server of its own on 127.0.0.1, stopped when the terminal exits.
# Without a display it only builds, and says so last: the build itself did not fail.
run:
	@$(MAKE) --no-print-directory programs
	@if [ -z "$$DISPLAY$$WAYLAND_DISPLAY$$QT_QPA_PLATFORM" ]; then \
		echo "make run: no display (DISPLAY and WAYLAND_DISPLAY are unset): the programs are built, but the terminal can only start on a desktop"; \
	else \
		scripts/run-with-server $(BUILD); \
	fi

# The server alone, on every interface, for a LAN.
server: programs
	$(BUILD)/server/vornel-server

# Everything twice: a normal build, then one with AddressSanitizer, UndefinedBehaviorSanitizer
# and LeakSanitizer, where any report fails the run. The packaging check runs in the first.
test: test-plain test-sanitized

test-plain: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

test-sanitized: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNEL_SANITIZE=ON \
		-DVORNEL_BENCHMARKS=OFF -DVORNEL_MANPAGES=OFF -DVORNEL_PACKAGING_TEST=OFF $(CMAKE_FLAGS)
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

# `sudo make install` after building as yourself (make run or make build): installs what is
# built, without building again as root. Into /usr/local unless CMAKE_FLAGS say otherwise.
install:
	@[ -f $(BUILD)/CMakeCache.txt ] || $(MAKE) --no-print-directory programs
	cmake --install $(BUILD)

# Removes what `make install` wrote, and the directories it made; stops the service first.
uninstall:
	scripts/uninstall $(BUILD)

# The two Debian packages, vornel and vornel-server, in $(PACKAGES).
package:
	@scripts/install-deps --package
	scripts/build-packages $(PACKAGES)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-fuzz
