# The format libraries of disk images and of Windows 9x registry files, in one fixed link order.
# Each of them carries and exports its own copy of the same helper libraries (libcdata, libbfio,
# libcerror), and a process binds every call to whichever copy comes first. The Sleuth Kit's E01
# reader crashes on libcreg's older copy (a pool freed through another layout), so the image
# libraries come first and libcreg and libbfio after them, in every program that links both.
find_package(PkgConfig REQUIRED)
pkg_check_modules(TSK REQUIRED IMPORTED_TARGET tsk)
pkg_check_modules(LIBQCOW REQUIRED IMPORTED_TARGET libqcow)
pkg_check_modules(LIBVHDI REQUIRED IMPORTED_TARGET libvhdi)
# libcreg.h includes libbfio.h, which libcreg-dev does not bring.
find_path(CREG_INCLUDE_DIR libcreg.h REQUIRED)
find_path(BFIO_INCLUDE_DIR libbfio.h REQUIRED)
find_library(CREG_LIBRARY creg REQUIRED)
find_library(BFIO_LIBRARY bfio REQUIRED)
add_library(image_libraries INTERFACE)
target_include_directories(image_libraries INTERFACE ${CREG_INCLUDE_DIR} ${BFIO_INCLUDE_DIR})
target_link_libraries(image_libraries INTERFACE PkgConfig::TSK PkgConfig::LIBQCOW PkgConfig::LIBVHDI
                      ${CREG_LIBRARY} ${BFIO_LIBRARY})
