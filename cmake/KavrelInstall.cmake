# What `cmake --install <build> [--prefix P]` puts under P, every file found
# relative to P so that the tree can be moved:
#   lib/libkavrel.so.0.1.0 + SONAME links (Windows: bin/Kavrel.dll, lib/Kavrel.lib)
#   include/kavrel.h
#   bin/kavrel (the tool, when built)
#   lib/cmake/kavrel/   kavrel-config.cmake, -config-version.cmake, -targets*.cmake
#   lib/pkgconfig/kavrel.pc
# and what `cpack -G DEB` in the build tree packs for /usr.
include(CMakePackageConfigHelpers)

set(KAVREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kavrel)

install(TARGETS kavrel EXPORT kavrel-targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(MINGW)
  install(FILES ${CMAKE_BINARY_DIR}/Kavrel.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

install(EXPORT kavrel-targets NAMESPACE kavrel:: DESTINATION ${KAVREL_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kavrel-config.cmake.in
  ${CMAKE_BINARY_DIR}/kavrel-config.cmake INSTALL_DESTINATION ${KAVREL_CMAKE_DIR})
# The SONAME carries the major version, so a package of the same major
# version is accepted.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/kavrel-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/kavrel-config.cmake ${CMAKE_BINARY_DIR}/kavrel-config-version.cmake
  DESTINATION ${KAVREL_CMAKE_DIR})

# pkg-config finds the prefix from the .pc file's own folder (${pcfiledir}).
file(RELATIVE_PATH KAVREL_PC_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
string(REGEX REPLACE "/$" "" KAVREL_PC_TO_PREFIX "${KAVREL_PC_TO_PREFIX}")
get_target_property(KAVREL_PC_LIBNAME kavrel OUTPUT_NAME)
if(NOT KAVREL_PC_LIBNAME)
  set(KAVREL_PC_LIBNAME kavrel)
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/kavrel.pc.in ${CMAKE_BINARY_DIR}/kavrel.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kavrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Debian package: cpack -G DEB (dpkg-shlibdeps computes the dependencies).
set(CPACK_PACKAGE_NAME kavrel)
set(CPACK_PACKAGE_VENDOR "Kavrel project")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "H.264 Annex B access-unit parser and NAL unit writer")
set(CPACK_PACKAGE_DESCRIPTION "\
Kavrel parses H.264 Annex B streams one access unit at a time (SPS, PPS and
slice headers checked, then size, picture type, structure and frame rate
reported) and writes a few NAL units that fit a stream: a corrected SPS or
PPS, an SPS with a new frame rate, and an all-skipped P picture that repeats
the last one. This package holds the shared library with its C header, CMake
package and pkg-config file, and the kavrel command-line tool.")
set(KAVREL_PACKAGE_MAINTAINER "Kavrel developers <kavrel@example.invalid>" CACHE STRING
  "Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT "${KAVREL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
include(CPack)
