# CLI11 for a cross build. Debian's libcli11-dev is header-only, but the folder it installs into,
# /usr/include, holds the host's C headers too, which must not stand before mingw-w64's: so its CLI/
# folder alone is copied into the build tree and included from there.
set(VERSIONINFO_CLI11_HEADERS /usr/include/CLI CACHE PATH "CLI11's headers (Debian package libcli11-dev)")
if(NOT EXISTS ${VERSIONINFO_CLI11_HEADERS}/CLI.hpp)
  message(FATAL_ERROR "CLI11 not found in ${VERSIONINFO_CLI11_HEADERS} (Debian package libcli11-dev)")
endif()
if(NOT TARGET CLI11::CLI11)
  file(COPY ${VERSIONINFO_CLI11_HEADERS} DESTINATION ${CMAKE_BINARY_DIR}/cli11)
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${CMAKE_BINARY_DIR}/cli11)
endif()
