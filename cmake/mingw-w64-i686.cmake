# The 32-bit Windows build, as the relay was first drawn: same sources, same
# warnings. Its tests run under wine when the machine has 32-bit wine.
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
set(VELTOR_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
