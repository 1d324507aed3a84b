# Cross build for armhf (32-bit ARM, hard float; 4-byte pointers and unsigned
# char), its tests run under qemu-arm-static:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
# Needs the arm set of scripts/install-deps (crossbuild-essential-armhf,
# qemu-user-static and the armhf -dev packages, laid into out/targets/armhf).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(NALPOICOMM_CROSS_ARCH armhf)
set(NALPOICOMM_CROSS_TRIPLET arm-linux-gnueabihf)
set(NALPOICOMM_CROSS_QEMU qemu-arm)
# GCC 7.1 changed how ARM passes some structures by value, and GCC notes
# each function concerned (-Wpsabi): that matters only beside objects built
# by an older GCC, which Debian 12's armhf has none of.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-linux-cross-common.cmake)
