#!/usr/bin/env bash
# Checks a Windows build of NalPoiComm.dll: it exports exactly the two
# operations and imports only DLLs every Windows has (no mingw runtime).
# Usage: check_dll_exports.sh DLL OBJDUMP
set -euo pipefail
dll=$1
objdump=$2

expected_exports=$(printf '%s\n' \
  '_Z17SendUpdateRequestR11__POIINFO__R14__POICONTENT__' \
  '_Z8RevBatchR12__POIINFO2__RSt6vectorI12__ADDHOTEL__SaIS2_EERS1_I12__DELHOTEL__SaIS6_EERS1_I12__UPDHOTEL__SaISA_EER12__HOTELNUM__')
allowed_imports='^(KERNEL32|msvcrt|WININET)\.dll$'

dump=$("$objdump" -p "$dll")
exports=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<< "$dump" |
          sed -n 's/^[[:space:]]*\[ *[0-9]*\] \(.*\)$/\1/p' | LC_ALL=C sort)
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<< "$dump" | LC_ALL=C sort -u)

echo "exports:"; sed 's/^/  /' <<< "$exports"
echo "imports:"; sed 's/^/  /' <<< "$imports"

status=0
if [ "$exports" != "$(LC_ALL=C sort <<< "$expected_exports")" ]; then
  echo "FAILED: the exports are not exactly SendUpdateRequest and RevBatch"
  status=1
fi
if grep -Eivq "$allowed_imports" <<< "$imports"; then
  echo "FAILED: imports a DLL beyond KERNEL32, msvcrt and WININET:"
  grep -Eiv "$allowed_imports" <<< "$imports" | sed 's/^/  /'
  status=1
fi
exit $status
