# The two commands a newcomer runs: `make demo` and `make test`. Both install
# any missing Debian packages, configure and build into build/.
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
JOBS ?= $(shell nproc)

.PHONY: all deps configure build demo test test-sanitize soak bench format clean install

all: build

deps:
	./scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	$(BUILD)/mscapi demo

# Installs the library, the jar, mscapi-admin, the launcher, the man page and
# the bash completion under PREFIX, below DESTDIR when given (staging).
PREFIX ?= /usr/local
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# The long fault and load runs (label "soak") are left to `make soak`.
test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE '^soak$$'

# The whole suite once more, built with AddressSanitizer and UBSan.
test-sanitize: deps
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=Debug -DMSCAPI_SANITIZE=ON -DMSCAPI_WINDOWS_DLL=OFF
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(SANITIZE_BUILD) && ctest --output-on-failure -j $(JOBS) -LE '^soak$$'

# 50 crash rounds with SIGKILL, and 4 JVMs x 8 threads on one home.
soak: build
	cd $(BUILD) && ctest --output-on-failure -L '^soak$$'

bench: build
	cmake --build $(BUILD) --target bench
	./bench/run.sh $(BUILD)

# libFuzzer targets (fuzz/), built with clang, ASan and UBSan in their own
# folder; each runs for a fixed number of executions after the seed corpora
# are made.
FUZZ_BUILD ?= build-fuzz
.PHONY: fuzz
fuzz:
	./scripts/install-deps.sh fuzz
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DMSCAPI_FUZZ=ON -DMSCAPI_WINDOWS_DLL=OFF
	cmake --build $(FUZZ_BUILD) --target fuzz_all -j $(JOBS)
	./fuzz/run.sh $(FUZZ_BUILD)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD)
