# Cross-compiling for 64-bit Windows with MinGW-w64, posix thread model (std::thread, std::mutex
# and std::condition_variable work). Everything is linked statically so that the programs and
# the test binaries run without the MinGW runtime DLLs beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_fen_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_fen_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_fen_mingw}-g++-posix)
set(CMAKE_ASM_COMPILER ${_fen_mingw}-gcc-posix)
set(CMAKE_RC_COMPILER ${_fen_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_fen_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
