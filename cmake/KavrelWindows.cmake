# Windows specifics of the library build, included after the `kavrel` target
# is defined: the DLL's name, its import library and version resource, and
# for a cross build, how the tests run (Wine) and where GoogleTest comes from.

enable_language(RC)

# Kavrel.dll with the import library Kavrel.lib beside it (GNU format; MinGW
# links it directly, and MSVC hosts can make their own from Kavrel.def with
# `lib /def:Kavrel.def /machine:x64`). The exported set is what KAVREL_API
# marks for export; with that, the linker exports nothing else.
configure_file(${PROJECT_SOURCE_DIR}/cmake/kavrel.rc.in ${CMAKE_BINARY_DIR}/kavrel.rc @ONLY)
target_sources(kavrel PRIVATE ${CMAKE_BINARY_DIR}/kavrel.rc)
set_target_properties(kavrel PROPERTIES
  OUTPUT_NAME Kavrel
  PREFIX ""
  IMPORT_PREFIX ""
  IMPORT_SUFFIX ".lib"
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
if(MINGW)
  # Release builds ship without symbols (those of the static runtime included).
  target_link_options(kavrel PRIVATE "LINKER:--output-def,${CMAKE_BINARY_DIR}/Kavrel.def"
    $<$<CONFIG:Release,MinSizeRel>:-s>)
endif()

if(CMAKE_CROSSCOMPILING AND KAVREL_BUILD_TESTS)
  # Test programs run under 64-bit Wine, through a launcher that keeps
  # Wine's server and services off the tests' output; Kavrel.dll is found
  # through WINEPATH. The Wine prefix (several hundred MB) lives in the
  # user's cache folder, one per build tree, not in the source tree.
  if(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
    set(kavrel_cache_home $ENV{XDG_CACHE_HOME})
  elseif(DEFINED ENV{HOME} AND NOT "$ENV{HOME}" STREQUAL "")
    set(kavrel_cache_home $ENV{HOME}/.cache)
  endif()
  if(kavrel_cache_home)
    string(SHA1 kavrel_tree_id ${CMAKE_BINARY_DIR})
    string(SUBSTRING ${kavrel_tree_id} 0 12 kavrel_tree_id)
    set(kavrel_default_prefix ${kavrel_cache_home}/kavrel/wineprefix-${kavrel_tree_id})
  else()
    set(kavrel_default_prefix ${CMAKE_BINARY_DIR}/wineprefix)
  endif()
  set(KAVREL_WINEPREFIX ${kavrel_default_prefix} CACHE PATH
    "Wine prefix in which the Windows tests run (made by the first test)")
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    find_program(KAVREL_WINE NAMES wine64 wine)
    if(KAVREL_WINE)
      set(CMAKE_CROSSCOMPILING_EMULATOR
        /bin/sh ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh ${KAVREL_WINE}
        ${KAVREL_WINEPREFIX} ${CMAKE_BINARY_DIR})
    else()
      message(WARNING "Wine not found: the Windows test programs build but cannot run here")
    endif()
  endif()
  # List the GoogleTest cases when CTest runs rather than at build time, so
  # that building needs no Wine and the prefix is made by the first test run.
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
endif()

# GoogleTest compiled from source with the cross compiler (Debian's
# googletest package ships it in /usr/src/googletest); provides the targets
# GTest::gtest and GTest::gtest_main that the tests link.
set(KAVREL_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH
  "GoogleTest sources compiled into the Windows cross build")
function(kavrel_windows_googletest)
  if(TARGET GTest::gtest)
    return()
  endif()
  if(NOT EXISTS ${KAVREL_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${KAVREL_GOOGLETEST_SOURCE_DIR} "
      "(install googletest, or set KAVREL_GOOGLETEST_SOURCE_DIR)")
  endif()
  set(CMAKE_POLICY_DEFAULT_CMP0077 NEW)
  set(BUILD_GMOCK OFF)
  set(INSTALL_GTEST OFF)
  set(gtest_disable_pthreads ON)
  set(BUILD_SHARED_LIBS OFF)
  add_subdirectory(${KAVREL_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  if(NOT TARGET GTest::gtest)  # GoogleTest before 1.11 made no GTest:: names
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
endfunction()
