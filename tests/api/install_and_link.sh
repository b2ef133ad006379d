#!/bin/sh
# Installs the built library into a scratch prefix, then builds the C check program
# against it twice: through pkg-config and through find_package(Kelvane).
set -eu
build=$1
here=$2
cflags=${3:-}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
cc $cflags -o "$prefix/check_pc" "$here/c_header_check.c" $(pkg-config --cflags --libs kelvane) -Wl,-rpath,"$prefix/lib"
"$prefix/check_pc"
mkdir "$prefix/consumer"
cat > "$prefix/consumer/CMakeLists.txt" <<CM
cmake_minimum_required(VERSION 3.25)
project(consumer C)
find_package(Kelvane REQUIRED)
add_executable(check_cmake $here/c_header_check.c)
target_link_libraries(check_cmake PRIVATE Kelvane::kelvane)
CM
cmake -S "$prefix/consumer" -B "$prefix/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_RPATH="$prefix/lib" -DCMAKE_C_FLAGS="$cflags" >/dev/null
cmake --build "$prefix/consumer/build" >/dev/null
"$prefix/consumer/build/check_cmake"
