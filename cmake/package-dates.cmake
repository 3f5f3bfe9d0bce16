# Run by CPack between staging and packing (CPACK_PRE_BUILD_SCRIPTS): every staged file and folder
# is given the build's date (VERSIONINFO_SOURCE_DATE_EPOCH) instead of the time it was staged, so
# that the package's members carry the same dates at every build of one commit.
if(NOT IS_DIRECTORY "${CPACK_TEMPORARY_INSTALL_DIRECTORY}" OR NOT CPACK_VERSIONINFO_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "no staging folder or no date to give it")
endif()
# The package's own members (the ar and control members of a .deb) take the date from here.
set(ENV{SOURCE_DATE_EPOCH} ${CPACK_VERSIONINFO_SOURCE_DATE_EPOCH})
execute_process(COMMAND find ${CPACK_TEMPORARY_INSTALL_DIRECTORY} -exec touch -h -d @${CPACK_VERSIONINFO_SOURCE_DATE_EPOCH} {} +
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "could not date the staged files in ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
