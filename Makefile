# make run  — install what is missing, build the programs only, and start caskel-app on a desktop
#             (DISPLAY or WAYLAND_DISPLAY set), else caskeld in the foreground
# make test — install what is missing, build, run every test, then again under ASan+UBSan
JOBS ?= $(shell nproc)
# `make install` puts caskel, caskeld, their man pages, completions and the systemd user unit here.
PREFIX ?= $(HOME)/.local
CMAKE_FLAGS ?=
ifneq ($(CI),)
  CMAKE_FLAGS += -DCASKEL_WERROR=ON
endif

FUZZ_TARGETS := request metadata audit_line config_files dotenv assuan
FUZZ_SECONDS ?= 60
BENCH_ROUNDS ?= 200
BENCH_LOAD_SECONDS ?= 2

.PHONY: all deps deps-run deps-package package package-check build build-run build-asan build-fuzz run install test test-release test-asan test-fuzz fuzz bench screenshots clean format

all: build

deps:
	@./scripts/install-deps.sh all

deps-run:
	@./scripts/install-deps.sh run

deps-package:
	@./scripts/install-deps.sh package

build: deps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

build-asan: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCASKEL_SANITIZE=ON -DCASKEL_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)

# The programs alone, in a build directory of their own: no tests, benchmarks or fuzz targets
# are configured, so none of their packages are needed and none of them is compiled.
build-run: deps-run
	cmake -S . -B build-run -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCASKEL_BUILD_TESTS=OFF \
	  -DCASKEL_BUILD_BENCH=OFF -DCASKEL_FUZZ=OFF $(CMAKE_FLAGS)
	cmake --build build-run -j $(JOBS) --target caskeld caskel caskel-app

run: build-run
	@if [ -n "$$DISPLAY$$WAYLAND_DISPLAY" ]; then exec build-run/src/caskel-app; else exec build-run/src/caskeld; fi

# Builds only what is installed: the two programs and the completion scripts.
install: deps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS) --target caskel caskeld caskel_completions
	cmake --install build --prefix "$(PREFIX)"

# The Debian packages caskel and caskel-desktop, in build-package/: built for /usr with Debian's
# hardening flags, stripped, their dependencies read from the binaries by dpkg-shlibdeps.
package: deps-package
	eval "$$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"; \
	  CFLAGS="$$CFLAGS $$CPPFLAGS" CXXFLAGS="$$CXXFLAGS $$CPPFLAGS" \
	  cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
	    -DCASKEL_PACKAGING=ON -DCASKEL_USER_UNIT_DIR=lib/systemd/user -DCASKEL_BUILD_TESTS=OFF \
	    -DCASKEL_BUILD_BENCH=OFF -DCASKEL_FUZZ=OFF $(CMAKE_FLAGS)
	cmake --build build-package -j $(JOBS)
	cd build-package && cpack -G DEB

# Installs the packages system-wide, checks them, upgrades over an older one and purges them:
# needs root, so `make test` leaves it out and CI runs it after.
package-check: package
	./scripts/package-check.sh build-package

test-release: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS)

build-fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCASKEL_FUZZ=ON \
	  -DCASKEL_BUILD_TESTS=OFF -DCASKEL_BUILD_BENCH=OFF
	cmake --build build-fuzz -j $(JOBS)

# Each target runs over its seed corpus plus what it finds; new inputs go to a scratch
# directory so the committed corpus stays as it is.
fuzz: build-fuzz
	@for t in $(FUZZ_TARGETS); do \
	  scratch=$$(mktemp -d); log=$$scratch.log; \
	  if build-fuzz/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) $$scratch fuzz/corpus/$$t >$$log 2>&1; then \
	    echo "fuzz_$$t: ok ($$(grep -c . $$log) lines of log, $(FUZZ_SECONDS) s)"; rm -rf $$scratch $$log; \
	  else \
	    cat $$log; echo "fuzz_$$t: FAILED"; exit 1; \
	  fi; \
	done

test-fuzz:
	$(MAKE) fuzz FUZZ_SECONDS=4

test: test-release test-asan test-fuzz

bench: build
	@./scripts/install-bench-deps.sh
	build/bench/caskel_compare $(BENCH_ROUNDS) $(BENCH_LOAD_SECONDS)
	@for b in build/bench/*_bench; do [ -x "$$b" ] && "$$b" --benchmark_min_time=0.2 || true; done
	@[ ! -x build/src/caskel-app ] || bench/app_memory.sh build 1000
	@[ ! -x build/bench/quick_access_latency ] || ! command -v xvfb-run >/dev/null || xvfb-run -a -s "-screen 0 1280x800x24" build/bench/quick_access_latency 20

# Renders every screen offscreen from a fixture vault into docs/screens/.
screenshots: build
	build/tools/screenshots/caskel_screenshots docs/screens

format:
	find src tests bench -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf build build-run build-asan build-fuzz build-package
