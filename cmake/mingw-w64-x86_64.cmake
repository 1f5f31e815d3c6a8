# Cross toolchain for the `windows` build: Debian's mingw-w64, posix thread flavour.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(KORV_MINGW_TRIPLE x86_64-w64-mingw32)

find_program(KORV_MINGW_CXX NAMES ${KORV_MINGW_TRIPLE}-g++-posix)
find_program(KORV_MINGW_CC NAMES ${KORV_MINGW_TRIPLE}-gcc-posix)
if(NOT KORV_MINGW_CXX OR NOT KORV_MINGW_CC)
  message(FATAL_ERROR
    "${KORV_MINGW_TRIPLE}-g++-posix not found; install it with `bash scripts/setup.sh` "
    "(Debian packages g++-mingw-w64-x86-64-posix, binutils-mingw-w64-x86-64, mingw-w64-x86-64-dev).")
endif()

set(CMAKE_C_COMPILER ${KORV_MINGW_CC})
set(CMAKE_CXX_COMPILER ${KORV_MINGW_CXX})
set(CMAKE_RC_COMPILER ${KORV_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KORV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CMake would otherwise append kernel32, user32, gdi32... to every link line, drivers included.
# Each target names the import libraries it really uses; a driver that calls a user-mode API
# then fails to link instead of importing it.
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)

# Programs must run on a machine without the toolchain's libstdc++/libgcc/winpthread DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
