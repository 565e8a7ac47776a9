# Cross build for 64-bit Windows with Debian's mingw-w64 (the posix thread
# model, so that std::thread and std::mutex work). Programs are linked
# statically against the toolchain's runtime: the .exe needs no DLL beside it.
# Tests run under wine through wine-run.sh.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QX_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QX_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QX_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${QX_MINGW}-windres)

# Libraries, headers and packages come from the mingw tree only, never from
# the host; programs (bash, gzip, ...) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${QX_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under wine, in a wine prefix of this build tree.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh
                                  --prefix ${CMAKE_BINARY_DIR}/wine)
