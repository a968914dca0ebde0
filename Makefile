# Front door: `make run` and `make test` (or `./run` and `./run-tests`, which
# bring make itself). Both first make sure the Debian packages are there
# (installing them when run as root), then build.

# Debian packages for building and running the program. The tests, the
# benchmark and the Debian package add TEST_PACKAGES. tools/install-packages.sh
# reads both lists from here.
RUN_PACKAGES  := make cmake g++ pkg-config libgtk-3-dev fonts-dejavu-core
TEST_PACKAGES := libgtest-dev libbenchmark-dev \
                 xvfb xauth xdotool x11-utils imagemagick \
                 at-spi2-core python3-pyatspi python3-xlib dbus \
                 desktop-file-utils appstream dpkg-dev file

RELEASE_DIR := build/release
TEST_DIR    := build/test
PACKAGE_DIR := build/package
JOBS        := $(shell nproc)
# `make install` puts the program under PREFIX, inside DESTDIR when given.
PREFIX      ?= /usr/local
DESTDIR     ?=

.PHONY: run test deps deps-run build build-test bench pictures install package dist clean

run: build
	./$(RELEASE_DIR)/tenvarix-crypto

test: build-test
	cd $(TEST_DIR) && ctest --output-on-failure -j $(JOBS)

# deps-run: what building and running need; deps: that and the test tools.
deps-run:
	@sh tools/install-packages.sh run

deps:
	@sh tools/install-packages.sh test

build: deps-run
	cmake -S . -B $(RELEASE_DIR) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
	cmake --build $(RELEASE_DIR) -j $(JOBS)

build-test: deps
	cmake -S . -B $(TEST_DIR) -DCMAKE_BUILD_TYPE=Debug -DTENVARIX_SANITIZE=ON
	cmake --build $(TEST_DIR) -j $(JOBS)

# Throughput against dd and the per-byte loop; needs about 2.2 GB free in build/.
bench: deps
	cmake -S . -B $(RELEASE_DIR) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
	cmake --build $(RELEASE_DIR) --target tenvarix-bench -j $(JOBS)
	./$(RELEASE_DIR)/bench/tenvarix-bench $(RELEASE_DIR)/bench-data

pictures: deps-run
	cmake -S . -B $(RELEASE_DIR) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
	cmake --build $(RELEASE_DIR) --target pictures

install: deps-run
	cmake -S . -B $(RELEASE_DIR) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
	      -DCMAKE_INSTALL_PREFIX="$(PREFIX)"
	cmake --build $(RELEASE_DIR) -j $(JOBS)
	DESTDIR="$(DESTDIR)" cmake --install $(RELEASE_DIR)

# The Debian package lands in $(PACKAGE_DIR).
package: deps
	cmake -S . -B $(PACKAGE_DIR) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
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
