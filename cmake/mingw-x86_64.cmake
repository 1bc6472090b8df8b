# Cross build of the same Windows program as a 64-bit executable. Used only to
# test the Windows code under Wine on machines whose kernel cannot run 32-bit
# code; the program delivered to users is the 32-bit build (mingw-i686.cmake).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(LOGGERDUMP_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
