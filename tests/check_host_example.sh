#!/usr/bin/env bash
# Builds docs/examples/minimal_host.cpp against an installed NalPoiComm, once
# through find_package and once through pkg-config, and runs both builds from
# a host install tree without a service configuration (result -2 expected).
set -euo pipefail
build_dir=$1
work=$2
source_dir=$(cd "$(dirname "$0")/.." && pwd)
rm -rf "$work"
prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" > /dev/null
libdir=$(dirname "$(find "$prefix" -name 'libNalPoiComm.so' | head -n 1)")

cmake -S "$source_dir/docs/examples" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" > /dev/null
cmake --build "$work/cmake-build" > /dev/null
mkdir -p "$work/app/bin"
cp "$work/cmake-build/minimal_host" "$work/app/bin/host-cmake"

PKG_CONFIG_PATH=$libdir/pkgconfig
export PKG_CONFIG_PATH
# shellcheck disable=SC2046
c++ -std=c++17 "$source_dir/docs/examples/minimal_host.cpp" $(pkg-config --cflags --libs nalpoicomm) \
  -o "$work/app/bin/host-pkgconfig"

for host in host-cmake host-pkgconfig; do
  output=$(LD_LIBRARY_PATH=$libdir "$work/app/bin/$host")
  echo "$host: $output" | head -n 1
  grep -q '^SendUpdateRequest: -2$' <<< "$output" || { echo "$host: unexpected output"; exit 1; }
  grep -q '^RevBatch: -2$' <<< "$output" || { echo "$host: unexpected output"; exit 1; }
done
