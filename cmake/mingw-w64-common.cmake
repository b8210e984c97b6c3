# What both mingw-w64 toolchain files share; VELTOR_MINGW_TRIPLET names the target.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VELTOR_MINGW_TRIPLET})

set(CMAKE_C_COMPILER ${VELTOR_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELTOR_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VELTOR_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VELTOR_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Without -static the .exe needs libstdc++, libgcc and winpthread DLLs, and
# under wine a missing DLL ends it with status 53 and not a word.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Headless and quiet; the prefix is the build's own (created on first use).
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run.sh")
