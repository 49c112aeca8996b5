# A 64-bit Windows build of the same sources, for running the Windows tests
# under Wine on hosts that cannot execute 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TESSAR_MINGW_TRIPLE x86_64-w64-mingw32)
set(TESSAR_WINE_LOADER /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
