# Checks that each firmware library calls only the libraries it declares
# below it: every name an object of a library reads that another firmware
# library defines must come from a library that it reaches through its LIBS,
# or be one of the names its upper layers give to all (the module globals,
# the configuration-database access). Reads the description that
# boardhook_firmware_layer_check() generates:
#   cmake -DLAYERS=<file> -DNM=<nm> -P CheckLayers.cmake
cmake_minimum_required(VERSION 3.25)
include(${LAYERS})

# Defined and undefined names of a library's objects, demangled.
function(read_names lib)
  set(defined)
  set(undefined)
  foreach(object IN LISTS LAYER_${lib}_OBJECTS)
    execute_process(COMMAND ${NM} -C --format=posix ${object} OUTPUT_VARIABLE out
                    RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "${NM} failed on ${object}")
    endif()
    string(REPLACE ";" "\\;" out "${out}")
    string(REPLACE "\n" ";" lines "${out}")
    foreach(line IN LISTS lines)
      # "<name> U" or "<name> <type> <value> [size]"; the name may hold spaces.
      string(STRIP "${line}" line)
      if(line MATCHES "^(.+) U$")
        list(APPEND undefined "${CMAKE_MATCH_1}")
      elseif(line MATCHES "^(.+) [TDBRVW] [0-9a-f]+( [0-9a-f]+)?$")
        list(APPEND defined "${CMAKE_MATCH_1}")
      endif()
    endforeach()
  endforeach()
  set(DEFINED_${lib} "${defined}" PARENT_SCOPE)
  set(UNDEFINED_${lib} "${undefined}" PARENT_SCOPE)
endfunction()

foreach(lib IN LISTS LAYER_LIBRARIES)
  read_names(${lib})
endforeach()

set(failures 0)
foreach(lib IN LISTS LAYER_LIBRARIES)
  foreach(name IN LISTS UNDEFINED_${lib})
    if(name IN_LIST LAYER_SHARED_NAMES)
      continue()
    endif()
    foreach(other IN LISTS LAYER_LIBRARIES)
      if(other STREQUAL lib OR other IN_LIST LAYER_${lib}_BELOW)
        continue()
      endif()
      if(name IN_LIST DEFINED_${other})
        message(SEND_ERROR "${lib} uses ${name} of ${other}, which is not below it")
        math(EXPR failures "${failures} + 1")
      endif()
    endforeach()
  endforeach()
endforeach()
list(LENGTH LAYER_LIBRARIES count)
if(failures EQUAL 0)
  message(STATUS "${count} firmware libraries, each using only the libraries below it")
endif()
