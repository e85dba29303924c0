# Thin wrapper over the CMake presets. `make run` and `make test` do all the set-up.
JOBS ?= $(shell nproc)
SAMPLE_IMAGE := build/sample/sdcard.img

FUZZ_SECONDS ?= 180
HOSTILE_SEEDS ?= 200
CRASH_RUNS ?= 300

.PHONY: deps configure build test test-asan fuzz soak bench run sample-image clean

deps:
	@bash scripts/install-deps.sh

configure: deps
	cmake --preset default

build: configure
	cmake --build --preset default -j $(JOBS)

test: build
	ctest --preset default -j $(JOBS)

test-asan: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS) --target unit-tests
	ctest --preset asan -j $(JOBS)

# Every fuzz target for FUZZ_SECONDS each (clang, ASan + UBSan, build-fuzz/).
fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash scripts/run-fuzzers.sh

# Long runs of the randomised and fault tests: the lying guest over HOSTILE_SEEDS seeds, every
# generated damaged card walked read-only and writable, and CRASH_RUNS VM kills. Niced: they
# share the machine.
soak: build
	QUORVALE_HOSTILE_SEEDS=$(HOSTILE_SEEDS) nice -n 19 ctest --preset default -R 'HostileGuest' \
	  --timeout 36000
	QUORVALE_FAULT_CARDS=all nice -n 19 ./build/tests/fault/test_fault_cards \
	  --gtest_filter='DamagedCardsTest.*'
	QUORVALE_CRASH_RUNS=$(CRASH_RUNS) nice -n 19 ./build/tests/fault/test_fault_crash

bench: build
	@set -e; for b in $$(find build/bench -type f -executable -name 'bench_*' | sort); do \
	  echo "== $$b"; "$$b"; \
	done

sample-image: build
	bash scripts/make-sample-image.sh $(SAMPLE_IMAGE)

run: build sample-image
	./build/src/ui/app/quorvale $(SAMPLE_IMAGE)

clean:
	rm -rf build build-asan build-fuzz
