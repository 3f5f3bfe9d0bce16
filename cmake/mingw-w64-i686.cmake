# The 32-bit Windows build: Windows XP SP3 and later, on 32- and 64-bit Windows.
set(_triple i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
