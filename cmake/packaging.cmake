# Debian packages from one build (scripts/package runs cpack): libnalpoicomm1
# (the shared library), libnalpoicomm-dev (header, link, CMake package,
# pkg-config file, NalPoiComm(3)) and nalpoi-tools (nalpoi, nalpoi-service and
# their manual pages). Library dependencies are computed from the binaries by
# dpkg-shlibdeps. A cross build (cmake/toolchain-armhf.cmake, ...) makes the
# target's packages.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nalpoicomm)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "NalPoiComm developers")
set(CPACK_PACKAGE_CONTACT "NalPoiComm developers <nalpoicomm@example.org>")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools need the library of this very build; its package dependency
# comes from the component dependency below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
# A cross build against a target root: dpkg knows none of its libraries, so
# dpkg-shlibdeps is given each package's own folder, where it reads the
# symbols (or shlibs) file that the package came with.
if(NALPOICOMM_TARGET_ROOT)
  file(GLOB nalpoi_target_libdirs LIST_DIRECTORIES true
    ${NALPOICOMM_TARGET_ROOT}/.packages/*/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}
    ${NALPOICOMM_TARGET_ROOT}/.packages/*/lib/${CMAKE_LIBRARY_ARCHITECTURE})
  list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${nalpoi_target_libdirs})
endif()
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/nalpoicomm")
# CPack would take the build machine's architecture (dpkg --print-architecture).
if(CMAKE_CROSSCOMPILING)
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -q DEB_HOST_ARCH
    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET RESULT_VARIABLE nalpoi_dpkg_architecture)
  if(NOT nalpoi_dpkg_architecture EQUAL 0 OR NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    message(FATAL_ERROR "no Debian architecture for ${CMAKE_LIBRARY_ARCHITECTURE}")
  endif()
endif()
# The library and its -dev package hold their architecture's files in
# /usr/lib/<triplet> and the same bytes everywhere else (header, manual
# page, documents), so each architecture's can be installed beside the
# others' (a cross build's host links the target's). CPack writes no
# Multi-Arch field: debian/finish-debs.cmake adds it once the .deb files are
# made, and drops the ldconfig calls that CPack puts into the library's
# postinst and postrm, which the ldconfig trigger below replaces.
set(CPACK_NALPOICOMM_MULTI_ARCH_SAME libnalpoicomm1 libnalpoicomm-dev)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian/finish-debs.cmake)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libnalpoicomm1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# A shlibs file, so that packages built against the library depend on it,
# and the ldconfig trigger that keeps the linker cache up to date (as
# debhelper does it, without maintainer scripts).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
string(CONCAT CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "client library for point-of-interest data over HTTP\n"
  "NalPoiComm exchanges point-of-interest (POI) data with a remote service:\n"
  "one call runs one HTTP exchange with a base64 XML request and reply and\n"
  "fills the caller's fixed-layout records.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libnalpoicomm-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
string(CONCAT CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "client library for point-of-interest data (development files)\n"
  "The header NalPoiComm.h, the link to the shared library, a CMake package\n"
  "(find_package(NalPoiComm)) and a pkg-config file (nalpoicomm).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME nalpoi-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
string(CONCAT CPACK_COMPONENT_TOOLS_DESCRIPTION
  "host tool and reference service for NalPoiComm\n"
  "nalpoi runs the library's two exchanges from the command line and\n"
  "diagnoses failing ones (nalpoi doctor); nalpoi-service is a reference POI\n"
  "service that can also misbehave on purpose.")

# Each package carries its copyright file and a changelog, as Debian asks.
set(nalpoi_changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
execute_process(COMMAND gzip -9nc ${CMAKE_CURRENT_LIST_DIR}/debian/changelog
  OUTPUT_FILE ${nalpoi_changelog} RESULT_VARIABLE nalpoi_gzip)
if(NOT nalpoi_gzip EQUAL 0)
  message(FATAL_ERROR "gzip of the changelog failed")
endif()
foreach(component_package IN ITEMS runtime:libnalpoicomm1 development:libnalpoicomm-dev
                                   tools:nalpoi-tools)
  string(REPLACE ":" ";" pair ${component_package})
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${nalpoi_changelog}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

include(CPack)
