# Thin wrappers over CMake. `make run` tries the relay on the bundled example;
# `make test` builds and runs every test. On Debian 12, run as root, both
# install whatever they need first (see `deps`).

BUILD_DIR ?= build
APT_PACKAGES := cmake g++ make libgtest-dev googletest tmux netcat-openbsd

.PHONY: all deps package-deps build test soak run install package package-check windows clean

all: build

# Tools the build and the tests need. As root the whole set is installed when
# anything is missing; otherwise the missing packages are named and make stops.
deps:
	@missing=""; \
	command -v cmake >/dev/null 2>&1 || missing="$$missing cmake"; \
	command -v g++ >/dev/null 2>&1 || missing="$$missing g++"; \
	command -v make >/dev/null 2>&1 || missing="$$missing make"; \
	[ -f /usr/include/gtest/gtest.h ] || missing="$$missing libgtest-dev"; \
	[ -d /usr/src/googletest ] || missing="$$missing googletest"; \
	command -v tmux >/dev/null 2>&1 || missing="$$missing tmux"; \
	command -v nc >/dev/null 2>&1 || missing="$$missing netcat-openbsd"; \
	if [ -z "$$missing" ]; then exit 0; fi; \
	if [ "$$(id -u)" -eq 0 ]; then \
	  echo "Installing missing packages:$$missing" >&2; \
	  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $(APT_PACKAGES); \
	else \
	  echo "Missing packages:$$missing" >&2; \
	  echo "Install them as root with:  apt-get install -y$$missing" >&2; \
	  exit 1; \
	fi

# The make targets build as CI does: a warning is an error. A plain `cmake`
# build leaves VELTOR_WERROR off.
CONFIGURE = cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTOR_WERROR=ON

build: deps
	$(CONFIGURE)
	cmake --build $(BUILD_DIR) -j2

# The Windows runs (label windows, present once `make windows` has pointed the
# build at veltor.exe) are that target's, not this one's.
test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j2 -LE 'soak|windows'

# The soak and fault test: about three minutes of clients coming and going.
soak: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -L soak

# Only what the demo runs: the relay, the feed and the watcher the quick start
# connects with, not the test suite.
run: deps
	$(CONFIGURE)
	cmake --build $(BUILD_DIR) -j2 --target veltor veltor-demo-feed veltor-watch
	@sh tools/run-demo.sh $(BUILD_DIR)

install: build
	cmake --install $(BUILD_DIR)

# What the package build needs beyond the compiler: dpkg-buildflags and
# dpkg-shlibdeps (dpkg-dev), file (for cpack) and gzip. Installed as root.
package-deps: deps
	@missing=""; \
	command -v dpkg-buildflags >/dev/null 2>&1 || missing="$$missing dpkg-dev"; \
	command -v file >/dev/null 2>&1 || missing="$$missing file"; \
	command -v gzip >/dev/null 2>&1 || missing="$$missing gzip"; \
	if [ -z "$$missing" ]; then exit 0; fi; \
	if [ "$$(id -u)" -eq 0 ]; then \
	  echo "Installing missing packages:$$missing" >&2; \
	  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $$missing; \
	else \
	  echo "Missing packages:$$missing" >&2; \
	  echo "Install them as root with:  apt-get install -y$$missing" >&2; \
	  exit 1; \
	fi

# The Debian package of the programs alone, in build-deb/.
package: package-deps
	tools/build-package.sh build-deb -DBUILD_TESTING=OFF

# CI's package check: Release build and tests, lintian, install, systemd's
# checks, removal and purge. As root.
package-check: package-deps
	tools/package-check.sh

# The Windows build (64- and 32-bit veltor.exe), its tests under wine, the
# end-to-end suite against veltor.exe, and the ZIP. Installs mingw-w64 and
# wine when missing (as root).
windows: build
	tools/windows-check.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR) build-deb build-release build-win build-win32
