# make run  — install what is missing, build, and start caskeld in the foreground
# make test — install what is missing, build, run every test, then again under ASan+UBSan
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
ifneq ($(CI),)
  CMAKE_FLAGS += -DCASKEL_WERROR=ON
endif

.PHONY: all deps build build-asan run test test-release test-asan bench clean format

all: build

deps:
	@./scripts/install-deps.sh

build: deps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

build-asan: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCASKEL_SANITIZE=ON -DCASKEL_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)

run: build
	@if [ -x build/src/caskeld ]; then exec build/src/caskeld; \
	else echo "caskeld is not built yet: the command server arrives in a later change."; fi

test-release: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS)

test: test-release test-asan

bench: build
	@for b in build/bench/*_bench; do [ -x "$$b" ] && "$$b"; done

format:
	find src tests bench -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf build build-asan
