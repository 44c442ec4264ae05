# Cross-compiles for 64-bit Windows (x64) with the MinGW-w64 x86_64 compilers.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
