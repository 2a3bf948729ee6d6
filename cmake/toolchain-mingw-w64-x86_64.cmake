# The second compiler (the 'strict' preset): Debian's MinGW-w64 GCC (posix threads) and GNU ld.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(LODESTAR_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${LODESTAR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LODESTAR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${LODESTAR_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${LODESTAR_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${LODESTAR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Every executable carries its runtime: nothing beyond the operating system's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
