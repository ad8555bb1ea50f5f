# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 compilers.
# The posix flavour is named on purpose: the plain x86_64-w64-mingw32-g++ may
# point to the win32-thread flavour, whose C++ library lacks std::thread,
# which GoogleTest's and the tests' code need.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CORVANE_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CORVANE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CORVANE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${CORVANE_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CORVANE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Each .exe carries its C and C++ runtime, so it runs alone in any folder.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# ctest runs the test programs through wine (cmake/wine_run.sh); the caller
# may point WINEPREFIX at a prefix of its own (scripts/test-windows.sh does).
find_program(CORVANE_WINE wine)
if(CORVANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine_run.sh ${CORVANE_WINE})
endif()
