# Cross build with Debian's MinGW-w64 for the triplet the including toolchain
# file names. The -posix compilers are needed: the win32 thread model has no
# std::mutex. Tests run through Wine of the build's width (wine-run.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${VENTRIX_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VENTRIX_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${VENTRIX_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VENTRIX_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;${VENTRIX_WINE_BITS}")
