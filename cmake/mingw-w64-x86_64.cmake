# The 64-bit Windows build: 64-bit Windows XP / Server 2003 and later.
set(_triple x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
