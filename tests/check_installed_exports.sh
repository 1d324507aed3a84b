#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks that libNalPoiComm.so
# carries a SONAME and exports SendUpdateRequest and RevBatch, nothing else.
set -euo pipefail
build_dir=$1
prefix=$2
rm -rf "$prefix"
cmake --install "$build_dir" --prefix "$prefix" > /dev/null
lib=$(find "$prefix" -name 'libNalPoiComm.so.*.*' | head -n 1)
[ -n "$lib" ] || { echo "libNalPoiComm.so not installed"; exit 1; }
[ -f "$prefix/include/NalPoiComm.h" ] || { echo "header not installed"; exit 1; }
[ -f "$(dirname "$lib")/pkgconfig/nalpoicomm.pc" ] || { echo "nalpoicomm.pc not installed"; exit 1; }
[ -f "$(dirname "$lib")/cmake/NalPoiComm/NalPoiCommConfig.cmake" ] || { echo "CMake package not installed"; exit 1; }
objdump -p "$lib" | grep -q 'SONAME *libNalPoiComm.so.1' || { echo "no SONAME"; exit 1; }
exports=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWDdBbRrVviu]$/ {print $3}' | c++filt | sort)
expected=$(printf '%s\n' \
  'RevBatch(__POIINFO2__&, std::vector<__ADDHOTEL__, std::allocator<__ADDHOTEL__> >&, std::vector<__DELHOTEL__, std::allocator<__DELHOTEL__> >&, std::vector<__UPDHOTEL__, std::allocator<__UPDHOTEL__> >&, __HOTELNUM__&)' \
  'SendUpdateRequest(__POIINFO__&, __POICONTENT__&)' | sort)
if [ "$exports" != "$expected" ]; then
  echo "unexpected exports:"
  echo "$exports"
  exit 1
fi
echo "exports: SendUpdateRequest, RevBatch"
