# cmake -DFFPROBE=<ffprobe> -DIN=<stream> -DOUT=<doubled stream> -P check_doubled.cmake
# OUT must decode without an error and hold twice the pictures of IN.
cmake_minimum_required(VERSION 3.25)

function(count_pictures file out_var)
  execute_process(COMMAND ${FFPROBE} -v error -count_frames -select_streams v:0
      -show_entries stream=nb_read_frames -of csv=p=0 ${file}
    OUTPUT_VARIABLE count ERROR_VARIABLE errors RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0 OR NOT errors STREQUAL "" OR NOT count MATCHES "^[0-9]+$")
    message(FATAL_ERROR "ffprobe ${file}: status ${rc}, '${count}', ${errors}")
  endif()
  set(${out_var} ${count} PARENT_SCOPE)
endfunction()

count_pictures(${IN} in_pictures)
count_pictures(${OUT} out_pictures)
math(EXPR expected "2 * ${in_pictures}")
if(NOT out_pictures EQUAL expected OR in_pictures EQUAL 0)
  message(FATAL_ERROR "${OUT}: ${out_pictures} pictures, expected ${expected}")
endif()
message(STATUS "${OUT}: ${out_pictures} pictures, twice ${in_pictures}")
