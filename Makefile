# Two commands do all the set-up on a fresh Debian 12 machine:
#   make run    install what is missing, build, run the panel with the simulated device
#   make test   install what is missing, build, run every test
SHELL := /bin/bash
JOBS ?= 2
BUILD ?= build
PORT ?= COM1
# python3-mne: the export's test reads its EDF+ with MNE-Python (and skips that without it).
DEBS := cmake g++ make pkg-config qt6-base-dev qt6-serialport-dev libgl-dev fonts-noto-cjk \
        clang libclang-rt-14-dev libedf-dev qt6-l10n-tools \
        dpkg-dev file help2man lintian desktop-file-utils appstream python3-mne
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
CMAKE_OPTS := -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: deps build run test test-main test-tsan test-asan fuzz bench bench-smoke soak install package clean

deps:
	@missing=$$(for p in $(DEBS); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_OPTS) >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

# The simulated device serves $(PORT); with a display the panel opens for the
# operator (press 打开串口, then 启动采样). Without one the panel runs offscreen,
# presses both itself, and writes a screenshot of the live traces.
run: build
	@set -e; \
	$(BUILD)/tools/tovrel-simdevice --port $(PORT) & dev=$$!; \
	trap 'kill $$dev 2>/dev/null; wait $$dev 2>/dev/null' EXIT INT TERM; \
	sleep 1; kill -0 $$dev; \
	if [ -n "$${DISPLAY:-}$${WAYLAND_DISPLAY:-}" ]; then \
	  $(BUILD)/shell/tovrel; \
	else \
	  echo "no display: running the panel offscreen for a few seconds"; \
	  QT_QPA_PLATFORM=offscreen $(BUILD)/tools/demo/tovrel-demo --live --seconds 4 \
	    --screenshot $(CURDIR)/tovrel-panel.png; \
	fi

# Every test: the normal build, then the same tests under ThreadSanitizer and
# under AddressSanitizer with UndefinedBehaviorSanitizer, a bounded fuzzing
# run of the receive path, and a short smoke run of the benchmarks.
test: test-main test-tsan test-asan fuzz bench-smoke
	@echo "all test stages passed"

test-main: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)

test-tsan: deps
	cmake -S . -B build-tsan $(CMAKE_OPTS) -DTOVREL_SANITIZE=thread >/dev/null
	cmake --build build-tsan -j$(JOBS)
	cd build-tsan && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)

test-asan: deps
	cmake -S . -B build-asan $(CMAKE_OPTS) -DTOVREL_SANITIZE=address >/dev/null
	cmake --build build-asan -j$(JOBS)
	cd build-asan && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)

# A bounded run (fixed seed, the same 8000 inputs each run); FUZZ_SECONDS=600
# make fuzz for a longer one.
fuzz: deps
	tests/fuzz/run.sh $(if $(FUZZ_SECONDS),--seconds $(FUZZ_SECONDS))

# About ten minutes; prints one table and keeps the figures in bench/results/.
# The benchmarks also measure the panel under a virtual X server.
bench: build
	@dpkg -s xvfb >/dev/null 2>&1 || { $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq xvfb; }
	bench/run.sh --build $(BUILD)

bench-smoke: build
	bench/run.sh --build $(BUILD) --smoke

# Ten minutes at the full line rate, half of it in calibration mode, the
# device writing in random pieces; SOAK_MINUTES=3 make soak for a shorter one,
# SOAK_CHUNKS=records for whole-record writes.
soak: build
	BUILD_DIR=$(CURDIR)/$(BUILD) bench/soak.sh $(if $(SOAK_MINUTES),--minutes $(SOAK_MINUTES)) \
	  $(if $(SOAK_CHUNKS),--chunks $(SOAK_CHUNKS))

install: build
	cmake --install $(BUILD)

# The .deb in $(BUILD)/ (and its debug symbols, tovrel-dbgsym_*.ddeb), then
# lintian, the desktop entry and the AppStream description checked on it.
package: build
	resources/package/check.sh $(BUILD)

clean:
	rm -rf $(BUILD) build-tsan build-asan build-fuzz
