# Cross-compiles for 64-bit Windows with Debian's mingw-w64 tool chain:
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KESTRUNE_MINGW_PREFIX x86_64-w64-mingw32)
# The posix thread model keeps <thread> and <mutex> available; linked
# statically, it needs no DLL of its own.
find_program(CMAKE_CXX_COMPILER NAMES ${KESTRUNE_MINGW_PREFIX}-g++-posix ${KESTRUNE_MINGW_PREFIX}-g++
             REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${KESTRUNE_MINGW_PREFIX}-gcc-posix ${KESTRUNE_MINGW_PREFIX}-gcc
             REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${KESTRUNE_MINGW_PREFIX}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTRUNE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program stands alone: the C and C++ run-times and the thread library
# are linked in, so only the system's own DLLs are needed.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run through Wine unless the caller names another emulator.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  # Debian keeps the 64-bit loader out of PATH; its "wine" wrapper works too
  # but asks for the 32-bit loader on every start.
  find_program(KESTRUNE_WINE NAMES wine64 wine PATHS /usr/lib/wine)
  if(KESTRUNE_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRUNE_WINE})
  endif()
endif()
