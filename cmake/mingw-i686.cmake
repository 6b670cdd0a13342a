# Cross build of the 32-bit Windows product (x86).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VENTRIX_MINGW i686-w64-mingw32)
set(VENTRIX_WINE_BITS 32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
