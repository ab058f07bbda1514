# Thin layer over the CMake presets. `make run` and `make test` install what
# is missing (as root, through apt), build both targets and run.
SHELL := /bin/sh
MAKEFLAGS += --no-print-directory

.PHONY: all deps native liblzma-win win build test run clean pin-xz-utils

all: build

deps:
	@sh tools/install-deps.sh

native: deps
	@cmake --preset native >/dev/null
	@cmake --build --preset native

liblzma-win: deps
	@sh cmake/build-liblzma-win.sh .

# Moves the pin of the xz-utils source (cmake/xz-utils.pin) to the version
# that the archive serves, and prints what changed.
pin-xz-utils: deps
	@sh tools/xz-utils-source.sh pin

win: native liblzma-win
	@cmake --preset win >/dev/null
	@cmake --build --preset win

build: win

test: build
	@sh tools/run-tests.sh

run: build
	@sh tools/run-setup.sh

# The Windows test programs with what they read and run-tests.cmd, as
# build/windows-tests.zip for a Windows machine (README says how).
.PHONY: windows-tests
windows-tests: build
	@sh tools/windows-tests.sh pack

# Six figures of the setup program against their references, then the scale
# run with larger payloads (tools/bench).
.PHONY: bench
bench: build
	@sh tools/bench/bench.sh

# The libFuzzer targets (tests/fuzz), FUZZ_SECONDS each; `make test` runs
# them for a short time of its own.
FUZZ_SECONDS ?= 60
.PHONY: fuzz
fuzz: build
	@sh tests/fuzz/fuzz.sh run $(FUZZ_SECONDS)

# Two builds in fresh folders must give byte-identical shipped files.
.PHONY: repro
repro: native liblzma-win
	@sh tools/repro.sh

# A signed release in build/release (tools/release.sh; README says how to
# give the maintainer's key).
.PHONY: release
release: native liblzma-win
	@sh tools/release.sh build/release

clean:
	rm -rf build/native build/win build/release build/signing build/test-results build/screens build/fuzz build/repro-1 build/repro-2 build/repro-signed-1 build/repro-signed-2 build/e2e-maintainer
