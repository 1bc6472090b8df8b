# Settings shared by the MinGW-w64 toolchain files; LOGGERDUMP_MINGW_PREFIX names
# the compiler (i686-w64-mingw32 or x86_64-w64-mingw32).
set(CMAKE_CXX_COMPILER ${LOGGERDUMP_MINGW_PREFIX}-g++)
set(CMAKE_C_COMPILER ${LOGGERDUMP_MINGW_PREFIX}-gcc)
set(CMAKE_RC_COMPILER ${LOGGERDUMP_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${LOGGERDUMP_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The program must start on a bare Windows: no MinGW DLLs (libgcc, libstdc++,
# winpthread) next to it, only the system's own.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
