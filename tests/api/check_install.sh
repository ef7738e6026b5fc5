#!/bin/sh
# Installs the library into a scratch prefix and builds a small consumer
# against it, once through pkg-config and once through find_package(zmr).
set -e
build=$1; src=$2; work=$3
rm -rf "$work"; mkdir -p "$work"
cmake --install "$build" --prefix "$work/prefix" > "$work/install.log"
export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig:$work/prefix/lib/x86_64-linux-gnu/pkgconfig"
cc -std=c99 -Wall -Werror -o "$work/consumer-pc" "$src/consumer.c" $(pkg-config --cflags --libs zmr)
LD_LIBRARY_PATH="$(pkg-config --variable=libdir zmr)" "$work/consumer-pc" | grep -q zelmorServerVersion=5.2.2
cmake -S "$src" -B "$work/cm" -DCMAKE_PREFIX_PATH="$work/prefix" > "$work/cm.log"
cmake --build "$work/cm" > "$work/cmbuild.log"
"$work/cm/consumer" | grep -q zelmorServerVersion=5.2.2
echo "install ok"
