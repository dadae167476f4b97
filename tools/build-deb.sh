#!/bin/sh
# Builds the Debian package in a release build of its own and prints its path
# on the last line:
#
#   tools/build-deb.sh [build-dir]      (default: build-deb)
#
# The build is configured for the package root, with Debian's hardening
# flags, the libgphoto2 camera SDK and without the test suite. It compiles
# on every core (CMAKE_BUILD_PARALLEL_LEVEL, when set, says how many jobs
# instead) and shows each step as it goes.
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$source_dir/build-deb}
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

step() { printf 'build-deb: %s\n' "$*"; }

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
step "configuring a release build in $build_dir"
cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX=/opt/corvalink -DCVL_BUILD_TESTS=OFF -DCVL_ZELSDK=gphoto2 \
    -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $cppflags" \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $cppflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    -DCMAKE_SHARED_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    -DCMAKE_MODULE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
step "compiling with $jobs jobs"
# Ninja writes one "[done/total]" line per step when its output is not a
# terminal, which is the progress a log or a pipe wants.
cmake --build "$build_dir" --parallel "$jobs"
step "packing"
cmake --build "$build_dir" --target package
ls "$build_dir"/corvalink_*_amd64.deb
