# Shared by the Linux cross toolchain files (armhf, arm64), which set
# NALPOICOMM_CROSS_TRIPLET, NALPOICOMM_CROSS_ARCH and NALPOICOMM_CROSS_QEMU.
# Debian's cross compilers (crossbuild-essential-<arch>); the target's -dev
# packages either in a target root, a folder that holds them unpacked
# (scripts/install-deps lays one in out/targets/<arch>, which is taken when
# it is there; -DNALPOICOMM_TARGET_ROOT=DIR names another), or installed
# through multiarch (dpkg --add-architecture; -DNALPOICOMM_TARGET_ROOT= with
# no folder): headers in /usr/include, the target's libraries and .pc files
# in /usr/lib/<triplet>.
set(CMAKE_C_COMPILER ${NALPOICOMM_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${NALPOICOMM_CROSS_TRIPLET}-g++)
# Picks /usr/lib/<triplet> for find_library and find_package (GTest).
set(CMAKE_LIBRARY_ARCHITECTURE ${NALPOICOMM_CROSS_TRIPLET})
# Debian's multiarch library directory, which GNUInstallDirs picks for a
# native build but not for a cross build: lib/<triplet> under any prefix.
set(CMAKE_INSTALL_LIBDIR lib/${NALPOICOMM_CROSS_TRIPLET} CACHE PATH
    "Object code libraries (lib/<triplet>, Debian's multiarch layout)")

# Read again for each try_compile, where cache entries given on the command
# line are not seen: the environment carries the choice there.
if(NOT DEFINED NALPOICOMM_TARGET_ROOT AND DEFINED ENV{NALPOICOMM_TARGET_ROOT})
  set(NALPOICOMM_TARGET_ROOT "$ENV{NALPOICOMM_TARGET_ROOT}")
endif()
if(NOT DEFINED NALPOICOMM_TARGET_ROOT)
  set(NALPOICOMM_TARGET_ROOT "")
  get_filename_component(nalpoi_laid_root
    ${CMAKE_CURRENT_LIST_DIR}/../out/targets/${NALPOICOMM_CROSS_ARCH} ABSOLUTE)
  if(EXISTS ${nalpoi_laid_root}/.packages/laid)
    set(NALPOICOMM_TARGET_ROOT ${nalpoi_laid_root})
  endif()
endif()
set(ENV{NALPOICOMM_TARGET_ROOT} "${NALPOICOMM_TARGET_ROOT}")
set(nalpoi_root "${NALPOICOMM_TARGET_ROOT}")

if(nalpoi_root)
  set(nalpoi_libdirs ${nalpoi_root}/usr/lib/${NALPOICOMM_CROSS_TRIPLET} ${nalpoi_root}/lib/${NALPOICOMM_CROSS_TRIPLET})
  # find_package and find_library look in the root first; programs are the
  # build machine's.
  set(CMAKE_FIND_ROOT_PATH ${nalpoi_root})
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
  # The root has no C library headers (the compiler's own are used), so its
  # include folders go before the compiler's without hiding any of them.
  # Standard directories and libraries, not flags: a build that gives its
  # own flags (scripts/package) keeps them.
  # The libraries' own dependencies are found there too when linking.
  list(JOIN nalpoi_libdirs : nalpoi_rpath_link)
  foreach(language C CXX)
    set(CMAKE_${language}_STANDARD_INCLUDE_DIRECTORIES
      ${nalpoi_root}/usr/include/${NALPOICOMM_CROSS_TRIPLET} ${nalpoi_root}/usr/include)
    set(CMAKE_${language}_STANDARD_LIBRARIES_INIT "-Wl,-rpath-link,${nalpoi_rpath_link}")
  endforeach()
  # .pc files name /usr paths, which pkg-config puts the root before.
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${nalpoi_root})
  set(ENV{PKG_CONFIG_LIBDIR}
    ${nalpoi_root}/usr/lib/${NALPOICOMM_CROSS_TRIPLET}/pkgconfig:${nalpoi_root}/usr/share/pkgconfig)
else()
  # pkg-config reads the target's .pc files only, never the build machine's.
  set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${NALPOICOMM_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
endif()
set(ENV{PKG_CONFIG_PATH} "")

# Test programs run under qemu-user (no binfmt_misc needed): ctest puts the
# emulator before every entry whose command is a target. Debian's static
# build (qemu-user-static): the dynamic one has TCG plugin support, whose
# table of virtual CPUs is not cleared in a forked child, so the first
# thread that the child of a threaded process starts aborts the emulator
# (qemu 7.2, plugins/core.c, qemu_plugin_vcpu_init_hook). qemu finds the
# target's loader and libraries in the target root (QEMU_LD_PREFIX: a path
# the program opens is looked up there first), or where multiarch put them
# (/lib/<triplet>); never the cross toolchain's own glibc (/usr/<triplet>/lib),
# an older build whose loader, beside the target's libc, crashes at fork.
# NALPOI_TEST_EMULATOR tells the test support (tests/support/install_tree.cpp)
# how to start the copy of itself that it runs from an install tree, since
# the kernel cannot run a foreign binary on its own.
find_program(NALPOICOMM_QEMU ${NALPOICOMM_CROSS_QEMU}-static)
if(NALPOICOMM_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR env NALPOI_TEST_EMULATOR=${NALPOICOMM_QEMU} ${NALPOICOMM_QEMU})
  if(nalpoi_root)
    list(INSERT CMAKE_CROSSCOMPILING_EMULATOR 1 QEMU_LD_PREFIX=${nalpoi_root})
  endif()
endif()
