# The library's one-way layers, one OBJECT target each:
#   common <- bitstream <- syntax <- stream <- synth <- api
# A layer's sources are every src/<layer>/*.cpp (new files are picked up).
# Its headers are reachable only through an include root of its own,
# <build>/layers/<layer>/, which holds a forwarding header <layer>/<name>.h
# for each src/<layer>/<name>.h. A layer sees its own root and, through the
# layer it links, the roots below it: an #include of a higher layer's
# header from a lower one does not compile.

set(KAVREL_LAYERS common bitstream syntax stream synth api)
set(KAVREL_SOURCES "")

# Writes the forwarding headers of `layer` (only when their text changes,
# so that reconfiguring rebuilds nothing) and removes those whose header
# is gone.
function(kavrel_layer_headers layer root)
  file(GLOB headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${layer}/*.h)
  set(wanted "")
  foreach(header IN LISTS headers)
    get_filename_component(name ${header} NAME)
    list(APPEND wanted ${root}/${layer}/${name})
    file(CONFIGURE OUTPUT ${root}/${layer}/${name}
      CONTENT "// Generated: the header of layer ${layer}.\n#include \"${header}\"\n" @ONLY)
  endforeach()
  file(GLOB present ${root}/${layer}/*.h)
  foreach(stale IN LISTS present)
    if(NOT stale IN_LIST wanted)
      file(REMOVE ${stale})
    endif()
  endforeach()
endfunction()

set(lower "")
foreach(layer IN LISTS KAVREL_LAYERS)
  set(root ${PROJECT_BINARY_DIR}/layers/${layer})
  kavrel_layer_headers(${layer} ${root})
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${layer}/*.cpp)
  list(APPEND KAVREL_SOURCES ${sources})
  add_library(kavrel_${layer} OBJECT ${sources})
  target_include_directories(kavrel_${layer} PUBLIC ${root})
  if(lower)
    target_link_libraries(kavrel_${layer} PUBLIC kavrel_${lower})
  else()
    target_include_directories(kavrel_${layer} PUBLIC ${PROJECT_SOURCE_DIR}/include)
  endif()
  target_compile_definitions(kavrel_${layer} PRIVATE KAVREL_BUILDING)
  set_target_properties(kavrel_${layer} PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  kavrel_warnings(kavrel_${layer})
  list(APPEND KAVREL_LAYER_OBJECTS $<TARGET_OBJECTS:kavrel_${layer}>)
  set(lower ${layer})
endforeach()

# Every layer's headers, for the tests, harnesses and benchmarks that reach
# internal routines.
add_library(kavrel_internal_headers INTERFACE)
target_link_libraries(kavrel_internal_headers INTERFACE kavrel_${lower})
