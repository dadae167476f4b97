#!/bin/sh
# Builds the Debian package in a release build of its own and prints its path:
#
#   tools/build-deb.sh [build-dir]      (default: build-deb)
#
# The build is configured for the package root, with Debian's hardening
# flags, without the test suite.
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$source_dir/build-deb}
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX=/opt/corvalink -DCVL_BUILD_TESTS=OFF \
    -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $cppflags" \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $cppflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    -DCMAKE_SHARED_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$build_dir" --target package >/dev/null
ls "$build_dir"/corvalink_*_amd64.deb
