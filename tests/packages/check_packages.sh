#!/usr/bin/env bash
# Checks the packages of scripts/package by installing them, as a host
# developer would (run by the package stage of scripts/test; the CI machine
# is a throwaway, and the packages are removed again at the end):
#   apt-get install of this machine's three packages; the armhf and arm64
#   library and -dev packages unpacked into a copy of their target root
#   (scripts/install-deps lays it, out/targets/ARCH), each file they share
#   with this machine's packages the same, as dpkg asks of Multi-Arch: same
#   packages that are installed side by side;
#   docs/examples/minimal_host.cpp built against the packages with
#   find_package(NalPoiComm) and with pkg-config, natively and with each ARM
#   cross compiler, run from a host's install tree against the packaged
#   nalpoi-service (the ARM hosts under qemu-user-static); the packaged
#   nalpoi on that tree through --tree; each Windows zip unpacked into a
#   fresh folder and its nalpoi.exe run under Wine (64- and 32-bit) against
#   the same service; then apt-get purge.
# Only the zips' check needs Wine (scripts/install-deps zip-check, installed
# here): when it cannot be installed, each zip's check fails on its own line
# with the reason, and every other check still runs and counts.
#
# Usage: tests/packages/check_packages.sh PACKAGES_DIR WINE64 WINE32
# (an empty WINE32: the win32 zip's program is not run)
set -euo pipefail
packages=$(cd "$1" && pwd)
wine64=$2
wine32=$3
repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$(mktemp -d /tmp/nalpoi-packages-XXXXXX)
if [ "$(id -u)" -eq 0 ]; then as_root=(); else as_root=(sudo); fi
service_pid=
failures=0
native=$(dpkg --print-architecture)
# Each ARM target: Debian architecture, GNU triplet, emulator.
cross_targets=(armhf:arm-linux-gnueabihf:qemu-arm-static arm64:aarch64-linux-gnu:qemu-aarch64-static)
installed=("libnalpoicomm1:$native" "libnalpoicomm-dev:$native" nalpoi-tools)

cleanup() {
  [ -z "$service_pid" ] || kill -TERM "$service_pid" 2> /dev/null || true
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get purge -y -q "${installed[@]}" > /dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

check() {  # check NAME COMMAND...: one line per check
  local name=$1
  shift
  if "$@" > "$work/last.log" 2>&1; then
    echo "ok    $name"
  else
    echo "FAIL  $name"
    sed 's/^/      /' "$work/last.log"
    failures=$((failures + 1))
  fi
}

debs=("$packages"/*_"$native".deb)
echo "== apt-get install ${debs[*]##*/}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-remove "${debs[@]}"

check "the packages are installed" dpkg -s "${installed[@]}"
check "the library is found by its SONAME" bash -c "ldconfig -p | grep -q 'libNalPoiComm.so.1 '"
check "man finds nalpoi(1), nalpoi-service(1) and NalPoiComm(3)" bash -c "
  man -w nalpoi && man -w nalpoi-service && man -w 3 NalPoiComm"

# The packaged service, on a free port with a database of its own.
/usr/bin/nalpoi-service --port 0 --db "$work/poi.db" > "$work/service.out" 2> "$work/service.log" &
service_pid=$!
url=
for _ in $(seq 150); do
  url=$(sed -n 's/^listening on //p' "$work/service.out")
  [ -n "$url" ] && break
  sleep 0.1
done
check "the packaged nalpoi-service announces its URL" test -n "$url"

# A host's install tree: its executables in bin/, the URL in configdat/.
tree=$work/host
mkdir -p "$tree/bin" "$tree/configdat"
printf '<?xml version="1.0"?>\n<ServiceConfig><ServiceUrl>%s</ServiceUrl></ServiceConfig>\n' \
  "$url" > "$tree/configdat/serviceIP.xml"

check "minimal_host builds with find_package(NalPoiComm)" bash -c "
  cmake -S '$repo_root/docs/examples' -B '$work/cmake-build' > /dev/null &&
  cmake --build '$work/cmake-build' > /dev/null &&
  cp '$work/cmake-build/minimal_host' '$tree/bin/host-cmake'"
check "minimal_host builds with pkg-config" bash -c "
  c++ -std=c++17 '$repo_root/docs/examples/minimal_host.cpp' \$(pkg-config --cflags --libs nalpoicomm) \
    -o '$tree/bin/host-pkgconfig'"
for host in host-cmake host-pkgconfig; do
  check "$host exchanges with the packaged service (both results 1)" bash -c "
    output=\$('$tree/bin/$host') && echo \"\$output\" &&
    grep -q '^SendUpdateRequest: 1\$' <<< \"\$output\" && grep -q '^RevBatch: 1\$' <<< \"\$output\""
done
# same_shared_files NATIVE_DEB FOREIGN_DEB: the files both packages hold are
# byte for byte the same.
same_shared_files() {
  local native_tree=$work/same-native foreign_tree=$work/same-foreign path differ=0
  rm -rf "$native_tree" "$foreign_tree"
  dpkg-deb -x "$1" "$native_tree" && dpkg-deb -x "$2" "$foreign_tree"
  while IFS= read -r path; do
    cmp "$native_tree/$path" "$foreign_tree/$path" || differ=1
  done < <(comm -12 <(cd "$native_tree" && find . -type f | sort) <(cd "$foreign_tree" && find . -type f | sort))
  [ "$differ" -eq 0 ]
}

# The same host for each ARM target: cross-built against that architecture's
# packages, unpacked into a copy of its target root (hard links where the
# file system allows), and run
# under the emulator against the packaged (native) service.
for target in "${cross_targets[@]}"; do
  IFS=: read -r architecture triplet emulator <<< "$target"
  root=$work/root-$architecture
  for package in libnalpoicomm1 libnalpoicomm-dev; do
    check "$package:$architecture shares its files with $package:$native unchanged" \
      same_shared_files "$packages/${package}_"*"_$native.deb" "$packages/${package}_"*"_$architecture.deb"
  done
  check "the $architecture packages unpack into a copy of the target root" bash -c "
    { cp -al '$repo_root/out/targets/$architecture' '$root' 2> /dev/null ||
      { rm -rf '$root' && cp -a '$repo_root/out/targets/$architecture' '$root'; }; } &&
    dpkg-deb -x '$packages/'libnalpoicomm1_*_$architecture.deb '$root' &&
    dpkg-deb -x '$packages/'libnalpoicomm-dev_*_$architecture.deb '$root'"
  check "minimal_host for $architecture builds with find_package(NalPoiComm)" bash -c "
    cmake -S '$repo_root/docs/examples' -B '$work/cmake-build-$architecture' \
      -DCMAKE_TOOLCHAIN_FILE='$repo_root/cmake/toolchain-$architecture.cmake' \
      -DNALPOICOMM_TARGET_ROOT='$root' > /dev/null &&
    cmake --build '$work/cmake-build-$architecture' > /dev/null &&
    cp '$work/cmake-build-$architecture/minimal_host' '$tree/bin/host-cmake-$architecture'"
  # pkg-config puts the root before the .pc file's paths, /usr/include too.
  check "minimal_host for $architecture builds with pkg-config" bash -c "
    flags=\$(PKG_CONFIG_SYSROOT_DIR='$root' PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 PKG_CONFIG_ALLOW_SYSTEM_LIBS=1 \
      PKG_CONFIG_LIBDIR='$root/usr/lib/$triplet/pkgconfig:$root/usr/share/pkgconfig' \
      pkg-config --cflags --libs nalpoicomm) &&
    $triplet-g++ -std=c++17 '$repo_root/docs/examples/minimal_host.cpp' \$flags \
      -Wl,-rpath-link,'$root/usr/lib/$triplet:$root/lib/$triplet' \
      -o '$tree/bin/host-pkgconfig-$architecture'"
  for host in "host-cmake-$architecture" "host-pkgconfig-$architecture"; do
    check "$host under $emulator exchanges with the packaged service (both results 1)" bash -c "
      output=\$(QEMU_LD_PREFIX='$root' $emulator '$tree/bin/$host') && echo \"\$output\" &&
      grep -q '^SendUpdateRequest: 1\$' <<< \"\$output\" && grep -q '^RevBatch: 1\$' <<< \"\$output\""
  done
done

check "the packaged nalpoi works on the host's tree with --tree" \
  /usr/bin/nalpoi --tree "$tree" update --id H-1001
check "... and with NALPOI_TREE" env NALPOI_TREE="$tree" /usr/bin/nalpoi batch

# Each Windows zip in a fresh folder: its nalpoi.exe against the same service.
zips=()
for zip in "$packages"/NalPoiComm-*-win64.zip "$packages"/NalPoiComm-*-win32.zip; do
  [ ! -f "$zip" ] || zips+=("$zip")
done
wine_problem=
if [ ${#zips[@]} -gt 0 ]; then
  echo "== Wine for the zips' check"
  # install-deps' own message is its last line on stderr; apt's output stays on stdout.
  if ! "$repo_root/scripts/install-deps" zip-check 2> "$work/wine.err"; then
    cat "$work/wine.err" >&2
    wine_problem=$(tail -n 1 "$work/wine.err")
    wine_problem=${wine_problem#install-deps (zip-check): }
  fi
fi
for zip in "${zips[@]}"; do
  name=$(basename "$zip" .zip)
  folder=$work/$name
  mkdir -p "$folder"
  (cd "$folder" && python3 -m zipfile -e "$zip" .)
  printf '<?xml version="1.0"?>\r\n<ServiceConfig><ServiceUrl>%s</ServiceUrl></ServiceConfig>\r\n' \
    "$url" > "$folder/$name/configdat/serviceIP.xml"
  wine=$wine64
  [[ $name == *-win32 ]] && wine=$wine32
  # No Wine named: this machine cannot run that zip's programs at all
  # (scripts/test says why in its summary).
  if [ -z "$wine" ]; then
    echo "skip  $name: nalpoi.exe update under Wine gives result 1 (not run on this machine)"
    continue
  fi
  if [ ! -x "$wine" ]; then
    echo "FAIL  $name: nalpoi.exe update under Wine gives result 1"
    echo "      $wine is not there${wine_problem:+: }$wine_problem"
    failures=$((failures + 1))
    continue
  fi
  check "$name: nalpoi.exe update under Wine gives result 1" env WINEPREFIX="$work/wine-$name" \
    WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" "$wine" "$folder/$name/bin/nalpoi.exe" \
    update --id H-1001
done

kill -TERM "$service_pid"
wait "$service_pid" || true
service_pid=
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q "${installed[@]}" > /dev/null
check "the packages are removed again" bash -c "! dpkg-query -W -f='\${Status}' libnalpoicomm1 libnalpoicomm-dev nalpoi-tools 2> /dev/null | grep -q 'ok installed'"

echo "packages: $failures failed"
[ "$failures" -eq 0 ]
