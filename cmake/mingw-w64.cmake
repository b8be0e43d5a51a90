# Cross-compiling for 64-bit Windows with MinGW-w64 on Debian. The -posix
# compilers: the default -win32 thread model has no std::mutex. Tests run
# under Wine through the emulator, so CTest works as on the native build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUILL_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${QUILL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUILL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUILL_MINGW_TRIPLE}-windres)

# The libraries built by scripts/windows-deps sit in a prefix of their own.
set(CMAKE_FIND_ROOT_PATH /usr/${QUILL_MINGW_TRIPLE} $ENV{QUILL_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: no MinGW runtime DLLs to place beside it under Wine.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(QUILL_WINE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUILL_WINE})

# The static zlib of Debian's MinGW package, so that no zlib1.dll is needed.
set(ZLIB_USE_STATIC_LIBS ON)
