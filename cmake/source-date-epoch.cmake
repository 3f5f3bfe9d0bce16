# VERSIONINFO_SOURCE_DATE_EPOCH: the one date written into what the build makes (the Windows
# program's __DATE__, every file date in the packages), so that one commit gives the same bytes in
# any folder at any time. Given with -DVERSIONINFO_SOURCE_DATE_EPOCH=..., else the caller's
# SOURCE_DATE_EPOCH, else the commit's date, else, in a tree without git (a source tarball, a copied
# tree), the date of the newest entry of the Debian changelog, which every release updates.

# An older build tree keeps the value its first configure found; it is found afresh instead.
get_property(_help CACHE VERSIONINFO_SOURCE_DATE_EPOCH PROPERTY HELPSTRING)
if(_help STREQUAL "SOURCE_DATE_EPOCH of the Windows program's build")
  unset(VERSIONINFO_SOURCE_DATE_EPOCH CACHE)
endif()

if(NOT DEFINED VERSIONINFO_SOURCE_DATE_EPOCH)
  set(_epoch "")
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(_epoch "$ENV{SOURCE_DATE_EPOCH}")
  endif()
  find_program(VERSIONINFO_GIT git)
  if(NOT _epoch AND VERSIONINFO_GIT AND EXISTS ${PROJECT_SOURCE_DIR}/.git)
    execute_process(COMMAND ${VERSIONINFO_GIT} -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
                    OUTPUT_VARIABLE _epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT _epoch MATCHES "^[0-9]+$")
    file(STRINGS ${PROJECT_SOURCE_DIR}/data/debian/changelog _trailer REGEX "^ -- .*>  " LIMIT_COUNT 1)
    string(REGEX REPLACE "^ -- .*>  " "" _date "${_trailer}")
    execute_process(COMMAND date -u -d "${_date}" +%s OUTPUT_VARIABLE _epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
  endif()
  if(NOT _epoch MATCHES "^[0-9]+$")
    message(FATAL_ERROR "No date for the build: set SOURCE_DATE_EPOCH, or keep data/debian/changelog's last line")
  endif()
  set(VERSIONINFO_SOURCE_DATE_EPOCH ${_epoch})
endif()
