# SPDX-License-Identifier: GPL-3.0-or-later
# Front door: `make run` and `make test` (or `./run` and `./run-tests`, which
# bring make itself). Both first make sure the Debian packages are there
# (installing them when run as root), then build.

# Debian packages for building and running the program. The tests, the
# benchmark and the Debian package add TEST_PACKAGES. tools/install-packages.sh
# reads both lists from here.
RUN_PACKAGES  := make cmake g++ pkg-config libgtk-3-dev libx11-dev libwayland-dev \
                 libacl1-dev libattr1-dev fonts-dejavu-core
TEST_PACKAGES := libgtest-dev libbenchmark-dev \
                 xvfb xauth xdotool x11-utils imagemagick \
                 at-spi2-core python3-pyatspi python3-xlib dbus \
                 desktop-file-utils appstream dpkg-dev file \
                 acl dosfstools fusefat strace e2fsprogs weston \
                 shared-mime-info xdg-utils libglib2.0-bin lintian \
                 clang-tidy clang-format

RELEASE_DIR := build/release
TEST_DIR    := build/test
PACKAGE_DIR := build/package
JOBS        := $(shell nproc)
# `make install` puts the program under PREFIX, inside DESTDIR when given.
PREFIX      ?= /usr/local
DESTDIR     ?=
# The project's own builds fail on any compiler warning; `make WERROR=` does not.
WERROR      := -DTENVARIX_WERROR=ON

.PHONY: run test deps deps-run build build-test bench bench-smallfiles bench-rerun bench-largefile bench-responsiveness bench-folders pictures install package dist clean format tidy

run: build
	./$(RELEASE_DIR)/tenvarix-crypto

# TEST_EXCLUDE: a regular expression of tests left out (ctest -E).
TEST_EXCLUDE ?=
test: build-test
	cd $(TEST_DIR) && ctest --output-on-failure -j $(JOBS) $(if $(TEST_EXCLUDE),-E '$(TEST_EXCLUDE)')

# deps-run: what building and running need; deps: that and the test tools.
deps-run:
	@sh tools/install-packages.sh run

deps:
	@sh tools/install-packages.sh test

build: deps-run
	cmake -S . -B $(RELEASE_DIR) $(WERROR) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
	cmake --build $(RELEASE_DIR) -j $(JOBS)

build-test: deps
	cmake -S . -B $(TEST_DIR) $(WERROR) -DCMAKE_BUILD_TYPE=Debug -DTENVARIX_SANITIZE=ON
	cmake --build $(TEST_DIR) -j $(JOBS)

# The transform against plain copies, its memory and CPU time, small files,
# then 5,000 small files through the real window; as root also the window's
# responsiveness on a throttled disk. Keeps about 13.5 GB of inputs in
# build/release/bench-data and needs as much again for outputs; TVX_BENCH_*
# in the environment shrink it (see bench/bench.cpp, bench/smallfiles.sh).
bench: deps
	cmake -S . -B $(RELEASE_DIR) $(WERROR) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
	cmake --build $(RELEASE_DIR) --target tenvarix-bench tenvarix-smallfiles-loop tenvarix-promise-reference tenvarix-crypto -j $(JOBS)
	./$(RELEASE_DIR)/bench/tenvarix-bench $(RELEASE_DIR)/bench-data
	bash bench/smallfiles.sh $(RELEASE_DIR)/tenvarix-crypto . $(RELEASE_DIR)/bench-data
	bash bench/rerun.sh $(RELEASE_DIR)/tenvarix-crypto . $(RELEASE_DIR)/bench-data
	bash bench/largefile.sh $(RELEASE_DIR)/tenvarix-crypto . $(RELEASE_DIR)/bench-data
	bash tests/xvfb-run.sh bash bench/folders.sh $(RELEASE_DIR)/tenvarix-crypto
	@if [ "$$(id -u)" = 0 ]; then bash bench/responsiveness.sh $(RELEASE_DIR)/tenvarix-crypto .; \
	 else echo "Responsiveness: run make bench-responsiveness as root."; fi

# 5,000 files of 4 KiB through the real window (X11 and weston) against
# `cp -r` + `sync`, a write-and-fsync loop and the reference of the promise.
bench-smallfiles: deps
	cmake -S . -B $(RELEASE_DIR) $(WERROR) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
	cmake --build $(RELEASE_DIR) --target tenvarix-smallfiles-loop tenvarix-promise-reference tenvarix-crypto -j $(JOBS)
	bash bench/smallfiles.sh $(RELEASE_DIR)/tenvarix-crypto . $(RELEASE_DIR)/bench-data

# A folder of 10,000 files of 4 KiB crypted, then the same folder again.
bench-rerun: deps
	cmake -S . -B $(RELEASE_DIR) $(WERROR) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
	cmake --build $(RELEASE_DIR) --target tenvarix-smallfiles-loop tenvarix-crypto -j $(JOBS)
	bash bench/rerun.sh $(RELEASE_DIR)/tenvarix-crypto . $(RELEASE_DIR)/bench-data

# A 2 GiB file through the window, durable, against `cat` + `sync`, warm and cold (root).
bench-largefile: deps
	cmake -S . -B $(RELEASE_DIR) $(WERROR) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
	cmake --build $(RELEASE_DIR) --target tenvarix-crypto -j $(JOBS)
	bash bench/largefile.sh $(RELEASE_DIR)/tenvarix-crypto . $(RELEASE_DIR)/bench-data

# The window on a 300 MiB input read at 20 MiB/s (root: loop device, blkio cgroup).
bench-responsiveness: deps
	cmake -S . -B $(RELEASE_DIR) $(WERROR) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
	cmake --build $(RELEASE_DIR) --target tenvarix-crypto -j $(JOBS)
	bash bench/responsiveness.sh $(RELEASE_DIR)/tenvarix-crypto .

# 100,000 files in a folder given to the program under Xvfb, pinged with
# _NET_WM_PING: how long the listing takes, the longest gap between answers,
# and scrolling, typing and a run afterwards.
bench-folders: deps
	cmake -S . -B $(RELEASE_DIR) $(WERROR) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
	cmake --build $(RELEASE_DIR) --target tenvarix-crypto -j $(JOBS)
	bash tests/xvfb-run.sh bash bench/folders.sh $(RELEASE_DIR)/tenvarix-crypto

# The static checks of .clang-tidy over the test build's compile commands.
tidy: build-test
	bash tests/tidy.sh . $(TEST_DIR)

# Lays out every C++ source as .clang-format says (tests/format.sh checks it).
format:
	. tests/sources.sh && { cxx_sources .cpp; cxx_sources .h; } | xargs -0 clang-format -i --style=file

pictures: deps-run
	cmake -S . -B $(RELEASE_DIR) $(WERROR) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
	cmake --build $(RELEASE_DIR) --target pictures

install: deps-run
	cmake -S . -B $(RELEASE_DIR) $(WERROR) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
	      -DCMAKE_INSTALL_PREFIX="$(PREFIX)"
	cmake --build $(RELEASE_DIR) -j $(JOBS)
	DESTDIR="$(DESTDIR)" cmake --install $(RELEASE_DIR)
	@# A live install updates the caches that make partner files open with
	@# the program; a staged one leaves that to the packaging.
	@if [ -z "$(DESTDIR)" ]; then \
	    if command -v update-mime-database >/dev/null; then update-mime-database "$(PREFIX)/share/mime"; fi; \
	    if command -v update-desktop-database >/dev/null; then update-desktop-database -q "$(PREFIX)/share/applications"; fi; \
	fi

# The Debian package lands in $(PACKAGE_DIR).
package: deps
	cmake -S . -B $(PACKAGE_DIR) $(WERROR) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
	      -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build $(PACKAGE_DIR) -j $(JOBS)
	cd $(PACKAGE_DIR) && cpack -G DEB

# A source tarball of the committed tree, for machines without git.
VERSION := $(shell sed -n '/^project/s/.* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
dist:
	mkdir -p build
	git archive --format=tar.gz --prefix=tenvarix-crypto-$(VERSION)/ \
	    -o build/tenvarix-crypto-$(VERSION).tar.gz HEAD
	@echo "build/tenvarix-crypto-$(VERSION).tar.gz"

clean:
	rm -rf build
