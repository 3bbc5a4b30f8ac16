# Quillfen: `make run` builds and starts the program, `make test` builds and runs every test.
# Both install missing Debian packages first through scripts/install-deps.sh.

BUILD_DIR ?= build
ASAN_DIR ?= build-asan
TSAN_DIR ?= build-tsan
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
BENCH_BUILD_DIR ?= build-bench
CMAKE_FLAGS ?=

.PHONY: all deps configure build run test test-asan test-tsan format-check bench install screenshots fuzz clean
.PHONY: uninstall deb

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# The program runs in a working folder of its own under the build folder,
# which holds the help page and gets the settings file.
run: build
	@mkdir -p $(BUILD_DIR)/run
	@cp data/Quillfen.html $(BUILD_DIR)/run/Quillfen.html
	cd $(BUILD_DIR)/run && $(abspath $(BUILD_DIR))/quillfen

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# Every C++ file follows .clang-format (CI runs this first).
format-check:
	@scripts/install-deps.sh format
	@git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

# The same tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
# The threads of a run under ThreadSanitizer: the tests of the run, the
# listing, the look-ahead, the copies and the ending on signals, and whole
# runs of quillfen_run on a generated tree (scripts/test-tsan.sh).
test-tsan: deps
	@cmake -S . -B $(TSAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLFEN_TSAN=ON \
	  $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(TSAN_DIR) -j $(JOBS) --target engine_tests app_tests quillfen_run gen_tree
	scripts/test-tsan.sh $(TSAN_DIR)

test-asan: deps
	@cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLFEN_SANITIZE=ON \
	  $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(ASAN_DIR) -j $(JOBS)
	cd $(ASAN_DIR) && ctest --output-on-failure -j $(JOBS)

# libFuzzer targets (clang) in their own build folder, each run for FUZZ_SECONDS.
# New inputs go to $(FUZZ_DIR)/corpus/<name>; a crash leaves its input in $(FUZZ_DIR).
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := ini commatext datetime
fuzz:
	@scripts/install-deps.sh fuzz
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQUILLFEN_FUZZ=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(FUZZ_DIR) -j $(JOBS) --target $(addsuffix _fuzz,$(FUZZ_TARGETS))
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_DIR)/corpus/$$t || exit 1; \
	  echo "fuzz: $${t}_fuzz for $(FUZZ_SECONDS) s"; \
	  $(FUZZ_DIR)/fuzz/$${t}_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_DIR)/$$t- $(FUZZ_DIR)/corpus/$$t fuzz/corpus/$$t || exit 1; \
	done

# Installs the program (stripped), its launcher, menu entry, icon, help page,
# manual pages, AppStream metadata and examples under PREFIX (default
# /usr/local), below DESTDIR when it is given:
#   make install PREFIX=$HOME/.local      make install DESTDIR=/tmp/stage PREFIX=/usr
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --strip

# Removes what the last `make install` installed (listed in the build
# folder's install_manifest.txt); give the same DESTDIR as to the install.
uninstall:
	DESTDIR="$(DESTDIR)" scripts/uninstall.sh $(BUILD_DIR)/install_manifest.txt

# The Debian package quillfen_<version>_<arch>.deb and its debug symbols
# quillfen-dbgsym_<version>_<arch>.deb, in DEB_DIR, from an installation
# under /usr (scripts/make-deb.sh), checked by lintian. Built in a folder of
# its own without the tests (BUILD_TESTING=OFF), from the same sources with
# the same build type as `make build`.
DEB_DIR ?= .
DEB_BUILD_DIR ?= build-deb
deb: deps
	@cmake -S . -B $(DEB_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(DEB_BUILD_DIR) -j $(JOBS)
	scripts/make-deb.sh --lintian $(DEB_BUILD_DIR) $(DEB_DIR)

# Runs the program under Xvfb with a sample settings file and saves pictures of
# the main window and the comparison window into docs/.
screenshots: build
	@scripts/install-deps.sh screenshots
	scripts/screenshots.sh $(BUILD_DIR)/quillfen docs

# The backup run timed side by side with rsync, cp and the floor, in a Release
# build (bench/README.md). Extra options go in BENCH_ARGS, e.g. --million.
bench:
	@scripts/install-deps.sh bench
	@cmake -S . -B $(BENCH_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BENCH_BUILD_DIR) -j $(JOBS) --target bench_programs
	python3 bench/test_harness.py --build $(BENCH_BUILD_DIR)
	python3 bench/run_bench.py --build $(BENCH_BUILD_DIR) $(BENCH_ARGS)
	python3 bench/share_bench.py --build $(BENCH_BUILD_DIR)

# Every build folder the targets above make.
clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR) $(BENCH_BUILD_DIR) $(FUZZ_DIR) $(DEB_BUILD_DIR)
