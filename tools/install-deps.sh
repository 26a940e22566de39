#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail
packages=(build-essential cmake g++ libcups2-dev libcupsimage2-dev libgtest-dev libgmock-dev libbenchmark-dev
          clang libclang-rt-dev valgrind cups-ppdc cups-client
          libpappl-dev pkg-config cups-ipp-utils libpng-dev libjpeg-dev "$@")
# llvm-symbolizer: the fuzz targets' leak suppressions (fuzz/lsan.supp) match
# function names, which need it; clang only recommends it.
packages+=(llvm)
# The end-to-end tests: a private cupsd, cupsfilter and the stock prefilters.
packages+=(cups cups-filters ghostscript python3)
# The app's access tests: a client on another host, in a network namespace.
packages+=(iproute2)
# systemd-analyze, which rates the printer application's service.
packages+=(systemd)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
