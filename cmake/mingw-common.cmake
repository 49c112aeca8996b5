# What the two Windows cross builds share: Debian's mingw-w64 compilers of the
# posix thread model, which give the C++ standard library its threads.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${TESSAR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TESSAR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TESSAR_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TESSAR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Test programs run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${TESSAR_WINE_LOADER})
# -O2 as in the Linux build; g++ 12 at -O3 reports bounds it cannot prove in
# the standard library's vector insertion.
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "")
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "")
