# Cross build of the native 64-bit Windows program (x64).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VENTRIX_MINGW x86_64-w64-mingw32)
set(VENTRIX_WINE_BITS 64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
