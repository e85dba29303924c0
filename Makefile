# Thin wrapper over the CMake presets. `make run` and `make test` do all the set-up.
JOBS ?= $(shell nproc)
SAMPLE_IMAGE := build/sample/sdcard.img

.PHONY: deps configure build test test-asan bench run sample-image clean

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

bench: build
	@set -e; for b in $$(find build/bench -type f -executable -name 'bench_*' | sort); do \
	  echo "== $$b"; "$$b"; \
	done

sample-image: build
	bash scripts/make-sample-image.sh $(SAMPLE_IMAGE)

run: build sample-image
	./build/src/ui/app/quorvale $(SAMPLE_IMAGE)

clean:
	rm -rf build build-asan
