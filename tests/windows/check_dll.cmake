# Reads Kavrel.dll's PE headers with MinGW objdump (cmake -DDLL=... -DOBJDUMP=...
# -DEXPECTED=exports.txt -P check_dll.cmake) and checks that
#  - the export name table holds exactly the names in EXPECTED, undecorated;
#  - every DLL it imports from ships with Windows: the MinGW runtime
#    (libgcc, libstdc++, libwinpthread) must be linked in, not imported.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()
string(REPLACE "\n" ";" lines "${dump}")

set(exports "")
set(imports "")
set(in_name_table FALSE)
foreach(line IN LISTS lines)
  if(line MATCHES "^[ \t]*DLL Name: (.+)$")
    list(APPEND imports "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
    set(in_name_table TRUE)
  elseif(in_name_table)
    if(line MATCHES "^\t\\[ *[0-9]+\\] (.+)$")
      list(APPEND exports "${CMAKE_MATCH_1}")
    else()
      set(in_name_table FALSE)
    endif()
  endif()
endforeach()

file(STRINGS ${EXPECTED} expected)
list(SORT expected)
list(SORT exports)
if(NOT exports STREQUAL expected)
  message(FATAL_ERROR "exported names differ\n found:    ${exports}\n expected: ${expected}")
endif()

# Windows system DLLs the library may use (the C runtime is msvcrt.dll).
set(system_dlls kernel32.dll msvcrt.dll)
if(NOT imports)
  message(FATAL_ERROR "no import table found in ${DLL}")
endif()
foreach(dll IN LISTS imports)
  string(TOLOWER "${dll}" name)
  if(NOT name IN_LIST system_dlls)
    message(FATAL_ERROR "${DLL} imports from ${dll}, which is not a Windows system DLL\n imports: ${imports}")
  endif()
endforeach()
message(STATUS "exports: ${exports}")
message(STATUS "imports: ${imports}")
