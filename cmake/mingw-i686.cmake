# The 32-bit Windows build of the receiver library: zntlink.dll.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TESSAR_MINGW_TRIPLE i686-w64-mingw32)
set(TESSAR_WINE_LOADER wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
