# Cross build for arm64 (AArch64; LP64 and unsigned char), its tests run
# under qemu-aarch64-static:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
# Needs the arm set of scripts/install-deps (crossbuild-essential-arm64,
# qemu-user-static and the arm64 -dev packages, laid into out/targets/arm64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(NALPOICOMM_CROSS_ARCH arm64)
set(NALPOICOMM_CROSS_TRIPLET aarch64-linux-gnu)
set(NALPOICOMM_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-linux-cross-common.cmake)
