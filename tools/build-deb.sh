#!/usr/bin/env bash
# Builds the Debian packages from debian/ as Debian builds its own
# (dpkg-buildpackage, debhelper, every hardening flag, shlibs from
# dpkg-shlibdeps), in a copy of the tree under build-deb/source so that the
# tree stays clean and the .debs land in build-deb/. Installs the build
# dependencies debian/control names when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v dpkg-checkbuilddeps >/dev/null || ! dpkg-checkbuilddeps 2>/dev/null; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends build-essential dpkg-dev
  DEBIAN_FRONTEND=noninteractive $sudo apt-get build-dep -y -qq --no-install-recommends ./
fi
# The package's version is the project's.
version=$(sed -n 's/^project(rastertoTmkLabel VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
if [ "$(dpkg-parsechangelog -S Version)" != "$version" ]; then
  echo "debian/changelog has no entry for version $version of CMakeLists.txt (dch -v $version)" >&2
  exit 1
fi
rm -rf build-deb
mkdir -p build-deb/source
tar --exclude=./.git --exclude='./build*' --exclude='./obj-*' -cf - . | tar -C build-deb/source -xf -
# No -dbgsym packages: the two of the README.
(cd build-deb/source && DEB_BUILD_OPTIONS="noautodbgsym ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -b -us -uc -J"$(nproc)")
rm -rf build-deb/source
ls -l build-deb/*.deb
