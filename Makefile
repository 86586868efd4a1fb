# Two commands do all the set-up on a fresh Debian 12 machine:
#   make run    install what is missing, build, run the panel
#   make test   install what is missing, build, run every test
SHELL := /bin/bash
JOBS ?= 2
BUILD ?= build
DEBS := cmake g++ make qt6-base-dev qt6-serialport-dev libgl-dev fonts-noto-cjk \
        clang libclang-rt-14-dev xvfb xauth
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: deps build run test clean

deps:
	@missing=$$(for p in $(DEBS); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

# With a display the panel opens for the operator; without one it runs
# offscreen and writes a screenshot instead.
run: build
	@if [ -n "$${DISPLAY:-}$${WAYLAND_DISPLAY:-}" ]; then \
	  $(BUILD)/shell/tovrel; \
	else \
	  echo "no display: writing a screenshot of the panel"; \
	  QT_QPA_PLATFORM=offscreen $(BUILD)/tools/demo/tovrel-demo --screenshot $(CURDIR)/tovrel-panel.png; \
	fi

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)

clean:
	rm -rf $(BUILD) build-tsan build-asan
