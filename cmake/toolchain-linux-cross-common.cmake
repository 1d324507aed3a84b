# Shared by the Linux cross toolchain files (armhf, arm64), which set
# NALPOICOMM_CROSS_TRIPLET and NALPOICOMM_CROSS_QEMU. Debian's cross compilers
# (crossbuild-essential-<arch>) and the target's -dev packages installed
# through multiarch (dpkg --add-architecture): headers in /usr/include, the
# target's libraries and .pc files in /usr/lib/<triplet>.
set(CMAKE_C_COMPILER ${NALPOICOMM_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${NALPOICOMM_CROSS_TRIPLET}-g++)
# Picks /usr/lib/<triplet> for find_library and find_package (GTest).
set(CMAKE_LIBRARY_ARCHITECTURE ${NALPOICOMM_CROSS_TRIPLET})
# Debian's multiarch library directory, which GNUInstallDirs picks for a
# native build but not for a cross build: lib/<triplet> under any prefix.
set(CMAKE_INSTALL_LIBDIR lib/${NALPOICOMM_CROSS_TRIPLET} CACHE PATH
    "Object code libraries (lib/<triplet>, Debian's multiarch layout)")

# pkg-config reads the target's .pc files only, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${NALPOICOMM_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Test programs run under qemu-user (no binfmt_misc needed): ctest puts the
# emulator before every entry whose command is a target. Debian's static
# build (qemu-user-static): the dynamic one has TCG plugin support, whose
# table of virtual CPUs is not cleared in a forked child, so the first
# thread that the child of a threaded process starts aborts the emulator
# (qemu 7.2, plugins/core.c, qemu_plugin_vcpu_init_hook). No -L: qemu finds
# the target's loader and libraries where multiarch put them (/lib/<triplet>);
# the cross toolchain's own glibc (/usr/<triplet>/lib) is an older build
# whose loader, beside the multiarch libc, crashes at fork.
# NALPOI_TEST_EMULATOR tells the test support (tests/support/install_tree.cpp)
# how to start the copy of itself that it runs from an install tree, since
# the kernel cannot run a foreign binary on its own.
find_program(NALPOICOMM_QEMU ${NALPOICOMM_CROSS_QEMU}-static)
if(NALPOICOMM_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR env NALPOI_TEST_EMULATOR=${NALPOICOMM_QEMU} ${NALPOICOMM_QEMU})
endif()
