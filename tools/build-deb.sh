#!/usr/bin/env bash
# Builds the Debian package the way Debian builds its own: the compiler and
# linker flags of dpkg-buildflags with every hardening feature (stack
# protector, _FORTIFY_SOURCE, format security, full RELRO), the shared C++
# runtime, files under /usr, library dependencies from dpkg-shlibdeps. The
# .deb lands in build-deb/.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh dpkg-dev
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
# CMake reads CFLAGS, CXXFLAGS and LDFLAGS; the preprocessor flags go with them.
export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"
rm -rf build-deb
# Debian 12 keeps the packages' systemd units and udev rules under /lib.
cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr -DTMK_STATIC_CXX_RUNTIME=OFF \
  -DTMK_SYSTEMD_UNIT_DIR=/lib/systemd/system -DTMK_UDEV_RULES_DIR=/lib/udev/rules.d \
  -DTMK_BUILD_TESTS=OFF -DTMK_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build-deb -j "$(nproc)"
(cd build-deb && cpack -G DEB)
ls -l build-deb/*.deb
