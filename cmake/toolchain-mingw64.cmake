# Cross-compiling NalPoiComm.dll for 64-bit Windows with mingw-w64's POSIX
# thread model (std::thread and std::mutex need winpthread).
#   cmake -S . -B build-win-x64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake \
#         -DNALPOICOMM_TINYXML_SOURCE_DIR=<dir from scripts/fetch-tinyxml-source>/tinyxml
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(NALPOICOMM_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
