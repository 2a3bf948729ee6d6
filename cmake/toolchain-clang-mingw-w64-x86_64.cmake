# The compiler of the shipped build: clang, with GCC's posix C++ library and headers (Debian
# g++-mingw-w64-x86-64-posix) and LLVM's linker. Its stub is the smaller by a quarter: lld drops
# each unused function with its unwind entries, where GNU ld keeps every function of an object
# whose unwind table it keeps (bench/README.md, "Where the stub's bytes go").
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(LODESTAR_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${LODESTAR_MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${LODESTAR_MINGW_TRIPLE})
set(CMAKE_RC_COMPILER ${LODESTAR_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${LODESTAR_MINGW_TRIPLE}-objdump)

# clang does not find the posix variant of GCC's C++ library for this target by itself.
# The newest one installed is the one GCC's driver would use.
file(GLOB LODESTAR_MINGW_GCC_DIRS /usr/lib/gcc/${LODESTAR_MINGW_TRIPLE}/*-posix)
if(NOT LODESTAR_MINGW_GCC_DIRS)
  message(FATAL_ERROR "No /usr/lib/gcc/${LODESTAR_MINGW_TRIPLE}/*-posix: install g++-mingw-w64-x86-64-posix "
                      "(scripts/bootstrap does)")
endif()
list(SORT LODESTAR_MINGW_GCC_DIRS COMPARE NATURAL ORDER DESCENDING)
list(GET LODESTAR_MINGW_GCC_DIRS 0 LODESTAR_MINGW_GCC_DIR)
set(CMAKE_CXX_FLAGS_INIT "-Qunused-arguments -nostdinc++ -isystem ${LODESTAR_MINGW_GCC_DIR}/include/c++ \
-isystem ${LODESTAR_MINGW_GCC_DIR}/include/c++/${LODESTAR_MINGW_TRIPLE} \
-isystem ${LODESTAR_MINGW_GCC_DIR}/include/c++/backward")

set(CMAKE_FIND_ROOT_PATH /usr/${LODESTAR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Every executable carries its runtime. The posix threading model of GCC's library needs
# winpthread, which GCC's driver adds by itself and clang's does not.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -static -L${LODESTAR_MINGW_GCC_DIR}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -static -L${LODESTAR_MINGW_GCC_DIR}")
set(LODESTAR_MINGW_LIBRARIES "-lkernel32 -luser32 -lgdi32 -lwinspool -lshell32 -lole32 -loleaut32 -luuid -lcomdlg32 -ladvapi32 -lwinpthread")
set(CMAKE_C_STANDARD_LIBRARIES "${LODESTAR_MINGW_LIBRARIES}" CACHE STRING "Libraries every C program links")
set(CMAKE_CXX_STANDARD_LIBRARIES "${LODESTAR_MINGW_LIBRARIES}" CACHE STRING "Libraries every C++ program links")
