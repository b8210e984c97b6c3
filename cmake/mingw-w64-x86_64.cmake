# Cross-builds the Windows veltor.exe (64-bit) on Debian with mingw-w64:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The posix thread model, because the win32 one has no std::thread or
# std::mutex; a static runtime, so the .exe needs no DLL beside it. Tests run
# under wine (CMAKE_CROSSCOMPILING_EMULATOR), in the build's own prefix.
set(VELTOR_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
