# The two commands a newcomer runs: `make demo` and `make test`. Both install
# any missing Debian packages, configure and build into build/.
# Every target configures, builds and tests through CMakePresets.json; each
# preset has its build folder:
#   release   build/            demo, test, soak, bench, install
#   sanitize  build-sanitize/   test-sanitize
#   fuzz      build-fuzz/       fuzz
#   debug     build-debug/      (by hand: cmake --preset debug)
BUILD := build
SANITIZE_BUILD := build-sanitize
FUZZ_BUILD := build-fuzz
JOBS ?= $(shell nproc)

.PHONY: all deps configure build demo test test-sanitize soak bench format clean install fuzz

all: build

deps:
	./scripts/install-deps.sh

configure: deps
	cmake --preset release

build: configure
	cmake --build --preset release -j $(JOBS)

demo: build
	$(BUILD)/mscapi demo

# Installs the library, the jar, mscapi-admin, the launcher, the man page and
# the bash completion under PREFIX, below DESTDIR when given (staging).
PREFIX ?= /usr/local
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# The long fault and load runs (label "soak") are left to `make soak`.
test: build
	ctest --preset release -j $(JOBS)

# The whole suite once more, built with AddressSanitizer and UBSan.
test-sanitize: deps
	cmake --preset sanitize
	cmake --build --preset sanitize -j $(JOBS)
	ctest --preset sanitize -j $(JOBS)

# 50 crash rounds with SIGKILL, and 4 JVMs x 8 threads on one home.
soak: build
	ctest --preset soak

bench: build
	cmake --build --preset bench -j $(JOBS)
	./bench/run.sh $(BUILD)

# libFuzzer targets (fuzz/), built with clang, ASan and UBSan in their own
# folder; each runs for a fixed number of executions after the seed corpora
# are made.
fuzz:
	./scripts/install-deps.sh fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	./fuzz/run.sh $(FUZZ_BUILD)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD)
