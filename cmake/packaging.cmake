# CPack: the portable build becomes a Debian package, each Windows build a zip (scripts/package).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)  # cpack installs what is built; it never builds the tests
set(CPACK_PACKAGE_NAME versioninfo)
set(CPACK_PACKAGE_VENDOR "The versioninfo developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "shows what a Windows installation reports about its version")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
# Every member of a package carries the build's date (cmake/source-date-epoch.cmake).
set(CPACK_VERSIONINFO_SOURCE_DATE_EPOCH ${VERSIONINFO_SOURCE_DATE_EPOCH})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/package-dates.cmake)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  set(arch ${CMAKE_SYSTEM_PROCESSOR})
  if(arch STREQUAL "x86_64")
    set(runs_on "64-bit Windows.")
  else()
    set(runs_on "32-bit and 64-bit Windows (a 32-bit program).")
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/data/windows/README.txt.in README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME versioninfo-${PROJECT_VERSION}-windows-${arch})
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  # The program is linked stripped, without a time stamp; strip would write the time of packing into
  # its header.
  set(CPACK_STRIP_FILES OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "versioninfo maintainers <maintainers@example.org>")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The package's dependencies are read off the binaries; none are written here.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "One window with five fields (major and minor version, service pack, product
type, product name) and a version code from 0 to 22 in its caption, read from
a registry store of its own. The regstore command fills that store from .reg
files; example installations of well-known Windows releases come with it.")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${VERSIONINFO_DEBIAN_POSTRM})
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
