# Shared by the two mingw-w64 toolchain files, which set _triple and CMAKE_SYSTEM_PROCESSOR first.
# Everything is compiled with the POSIX thread model (Debian's GoogleTest needs std::mutex); the
# program itself is compiled and linked with the win32 model (see programs/CMakeLists.txt), which
# keeps winpthreads and its Vista-only imports out of it. Linked statically, so the .exe needs
# nothing beyond the DLLs that come with Windows.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_triple}-windres)
set(VERSIONINFO_OBJDUMP ${_triple}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests and the discovery of tests run the .exe files under Wine, in a prefix of the build tree.
get_filename_component(_source_dir "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${_source_dir}/scripts/wine-run)
