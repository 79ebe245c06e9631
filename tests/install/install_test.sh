#!/bin/sh
# Installs the build tree into a temporary prefix; the installed library must export exactly
# the three entry points. Builds the minimal C example against it twice: through
# find_package(vorn_r10) and through pkg-config. Each must start and report the missing
# configuration file the way the library does.
set -eu
build=$1
example=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/vorn_install_XXXXXX")
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null

exported=$(nm -D --defined-only "$work/prefix/lib/libvorn_r10.so" | awk '{print $NF}' | sort | tr '\n' ' ')
if [ "$exported" != "init_connector set_parse_data set_parse_data_version_2 " ]; then
    echo "libvorn_r10.so exports: $exported"
    exit 1
fi
cp "$example" "$work/app.c"

cat > "$work/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.18)
project(consumer C)
find_package(vorn_r10 REQUIRED)
add_executable(app app.c)
target_link_libraries(app PRIVATE vorn_r10::vorn_r10)
CMAKE
cmake -S "$work" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null

export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
cc "$work/app.c" $(pkg-config --cflags --libs vorn_r10) -Wl,-rpath,"$work/prefix/lib" -o "$work/app-pc"

for app in "$work/cmake-build/app" "$work/app-pc"; do
    out=$("$app" "$work/missing.ini" || true)
    case "$out" in
        *"IMdToAppApi VornStart is fail, [-1]."*) ;;
        *) echo "unexpected output of $app: $out"; exit 1 ;;
    esac
done
echo "installed library usable through find_package and pkg-config"
