# The Windows program: one static .exe per target, with the resources (manifest for the target's
# architecture, icon made from data/versioninfo.svg, version record), built so that it starts on
# Windows XP SP3 and gives the same bytes from the same commit in any build folder.

# The icon: rendered from the one SVG source at the sizes Windows shows, packed into one .ico.
find_program(VERSIONINFO_RSVG_CONVERT rsvg-convert REQUIRED)
find_program(VERSIONINFO_ICOTOOL icotool REQUIRED)
set(VERSIONINFO_ICON_SVG ${PROJECT_SOURCE_DIR}/data/versioninfo.svg)
set(VERSIONINFO_ICON ${CMAKE_BINARY_DIR}/versioninfo.ico)
set(_icon_pngs)
foreach(size 16 24 32 48 256)
  set(png ${CMAKE_BINARY_DIR}/icon/versioninfo-${size}.png)
  add_custom_command(OUTPUT ${png}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icon
                     COMMAND ${VERSIONINFO_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${VERSIONINFO_ICON_SVG}
                     DEPENDS ${VERSIONINFO_ICON_SVG} VERBATIM)
  list(APPEND _icon_pngs ${png})
endforeach()
# 256 pixels is stored as PNG inside the .ico (--raw), the smaller sizes as bitmaps that XP reads.
list(POP_BACK _icon_pngs _icon_large)
add_custom_command(OUTPUT ${VERSIONINFO_ICON}
                   COMMAND ${VERSIONINFO_ICOTOOL} -c -o ${VERSIONINFO_ICON} ${_icon_pngs} --raw=${_icon_large}
                   DEPENDS ${_icon_pngs} ${_icon_large} VERBATIM)

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86")
  set(VERSIONINFO_ARCHITECTURE x86)
else()
  set(VERSIONINFO_ARCHITECTURE amd64)
endif()
set(VERSIONINFO_MANIFEST ${CMAKE_BINARY_DIR}/versioninfo.manifest)
configure_file(${PROJECT_SOURCE_DIR}/programs/versioninfo/versioninfo.manifest.in ${VERSIONINFO_MANIFEST} @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/programs/versioninfo/versioninfo.rc.in ${CMAKE_BINARY_DIR}/versioninfo.rc @ONLY)
set_source_files_properties(${CMAKE_BINARY_DIR}/versioninfo.rc PROPERTIES
                            OBJECT_DEPENDS "${VERSIONINFO_MANIFEST};${VERSIONINFO_ICON}")

# Dates the compiler writes (__DATE__, __TIME__) are VERSIONINFO_SOURCE_DATE_EPOCH's
# (cmake/source-date-epoch.cmake).

# The libraries the program is made of. They are compiled once more for it, with the win32 thread
# model: the test programs link the POSIX-model copies.
set(VERSIONINFO_PROGRAM_LIBRARIES platform registry winversion window window_win32)

# versioninfo_windows_program(NAME SOURCE...): a GUI .exe of SOURCE plus the libraries above.
function(versioninfo_windows_program name)
  add_executable(${name} WIN32 ${ARGN} ${CMAKE_BINARY_DIR}/versioninfo.rc)
  foreach(lib ${VERSIONINFO_PROGRAM_LIBRARIES})
    get_target_property(sources ${lib} SOURCES)
    get_target_property(dir ${lib} SOURCE_DIR)
    list(TRANSFORM sources PREPEND ${dir}/ REGEX "^[^/]")
    target_sources(${name} PRIVATE ${sources})
    target_include_directories(${name} PRIVATE $<TARGET_PROPERTY:${lib},INTERFACE_INCLUDE_DIRECTORIES>)
  endforeach()
  set(launcher ${PROJECT_SOURCE_DIR}/cmake/win32-thread-model SOURCE_DATE_EPOCH=${VERSIONINFO_SOURCE_DATE_EPOCH})
  set_target_properties(${name} PROPERTIES C_COMPILER_LAUNCHER "${launcher}" CXX_COMPILER_LAUNCHER "${launcher}"
                                           CXX_LINKER_LAUNCHER "${launcher}")
  # Same bytes from any folder at any time: no source or build paths in the objects, no link time
  # stamp, no symbol table (it would name the object files).
  target_compile_options(${name} PRIVATE -ffile-prefix-map=${PROJECT_SOURCE_DIR}/=
                                         -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)
  target_link_options(${name} PRIVATE -s -Wl,--no-insert-timestamp)
endfunction()
