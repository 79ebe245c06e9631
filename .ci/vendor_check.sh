#!/bin/sh
# Builds the vendor's libexanic out of tree, the library against it (VORN_EXANIC=system,
# warnings as errors) and runs its tests: the start-up check on this machine without a card,
# the differential test of the vendor's receive and ours on one ring, and the end-to-end runs
# of vorn-dump on simulated cards through libvorn_card_driver.so, compared with the default
# build's vorn-dump when DEFAULT_TOOLS (that build's tools directory) is given.
# Usage: .ci/vendor_check.sh BUILD_DIR [VENDOR_DIR] [JOBS] [DEFAULT_TOOLS]
set -eu
build=$(mkdir -p "$1" && cd "$1" && pwd)
vendor=${2:-../shared/vendor/libexanic}
jobs=${3:-2}
default_tools=${4:-}
if [ -n "$default_tools" ]; then default_tools=$(cd "$default_tools" && pwd); fi
if [ ! -f "$vendor/exanic.h" ]; then
    echo "vendor libexanic not found at $vendor: build against it skipped"
    exit 0
fi
rm -rf "$build/libexanic" "$build/prefix"
cp -R "$vendor" "$build/libexanic"
make -C "$build/libexanic" -j"$jobs" --no-print-directory >"$build/libexanic.log" 2>&1 ||
    { cat "$build/libexanic.log"; exit 1; }
mkdir -p "$build/prefix/include/exanic/filter" "$build/prefix/lib"
cp "$build"/libexanic/*.h "$build/prefix/include/exanic/"
cp "$build"/libexanic/filter/*.h "$build/prefix/include/exanic/filter/"
cp "$build/libexanic/libexanic.a" "$build/prefix/lib/"

cmake -S . -B "$build/build" -DCMAKE_BUILD_TYPE=Release -DVORN_EXANIC=system -DVORN_WERROR=ON \
      -DCMAKE_PREFIX_PATH="$build/prefix" -DVORN_DEFAULT_TOOLS="$default_tools" >/dev/null
cmake --build "$build/build" -j"$jobs"
cd "$build/build" && ctest --output-on-failure
