# Cross-compiling NalPoiComm.dll for 32-bit Windows (i686), the target whose
# record layouts the public header states; same use as toolchain-mingw64.cmake.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(NALPOICOMM_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
