# Firmware libraries and the modules made of them.
#
# Each firmware library is an object library with its own source list and
# the libraries below it that it calls (LIBS). A module (the DXE driver, the
# PEI module) is the library on top and everything it reaches through LIBS;
# the host build archives those objects into one static library, and the
# image build compiles the same libraries' sources (cmake/EfiImage.cmake).

# Host compile options of all firmware code: freestanding-style C++ (no
# exceptions, no RTTI, no guarded statics), with unwind tables, since the
# simulated machine ends a run by throwing through firmware frames.
set(BOARDHOOK_FIRMWARE_OPTIONS -fno-exceptions -fno-rtti -fno-threadsafe-statics
                               -funwind-tables)
# Warnings on firmware code beyond -Wall -Wextra, in every tree and image.
set(BOARDHOOK_FIRMWARE_WARNINGS -Wshadow -Wconversion -Wundef -Wimplicit-fallthrough)

# boardhook_firmware_library(<name> SOURCES <files...> [LIBS <libraries...>]
#                            [DEFINITIONS <NAME=VALUE...>] [SHARED_NAMES <names...>])
# boardhook_firmware_library(<name> COPY_OF <library> DEFINITIONS <NAME=VALUE...>)
# LIBS: firmware libraries (or boardhook_hw) this one calls; they must lie
# below it. DEFINITIONS: build-time settings of this copy of the library.
# SHARED_NAMES: names of this library that every firmware library may read
# (as nm -C prints them), although most lie below it. COPY_OF: the same
# sources and libraries as <library>, built with other settings.
function(boardhook_firmware_library name)
  cmake_parse_arguments(LIB "" "COPY_OF" "SOURCES;LIBS;DEFINITIONS;SHARED_NAMES" ${ARGN})
  if(LIB_COPY_OF)
    get_target_property(LIB_SOURCES ${LIB_COPY_OF} SOURCES)
    get_target_property(dir ${LIB_COPY_OF} SOURCE_DIR)
    list(TRANSFORM LIB_SOURCES PREPEND ${dir}/)
    get_target_property(LIB_LIBS ${LIB_COPY_OF} BOARDHOOK_FIRMWARE_LIBS)
  endif()
  add_library(${name} OBJECT EXCLUDE_FROM_ALL ${LIB_SOURCES})
  target_compile_options(${name} PRIVATE ${BOARDHOOK_FIRMWARE_OPTIONS}
                                         ${BOARDHOOK_FIRMWARE_WARNINGS})
  target_compile_definitions(${name} PRIVATE ${LIB_DEFINITIONS})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${LIB_LIBS})
  # One object per source, as in the images: a test program replaces single
  # firmware objects (the debug back-ends) at link time, and each source's
  # file-scope names stay its own.
  set_target_properties(${name} PROPERTIES BOARDHOOK_FIRMWARE_LIBRARY TRUE
                                           BOARDHOOK_FIRMWARE_LIBS "${LIB_LIBS}"
                                           UNITY_BUILD OFF)
  if(NOT LIB_COPY_OF)
    set_property(GLOBAL APPEND PROPERTY BOARDHOOK_FIRMWARE_LIBRARIES ${name})
    set_property(GLOBAL APPEND PROPERTY BOARDHOOK_FIRMWARE_SHARED_NAMES ${LIB_SHARED_NAMES})
  endif()
endfunction()

# boardhook_firmware_closure(<out> <top> [REPLACE <library> <by>]...)
# Sets <out> to <top> and every firmware library below it, each once, top
# first, and <out>_OTHER to the other targets they link (the hardware-access
# interface); REPLACE swaps a library for another copy of it (a build with
# other settings) wherever it is reached.
function(boardhook_firmware_closure out top)
  cmake_parse_arguments(CL "" "" "REPLACE" ${ARGN})
  set(result)
  set(other)
  set(pending ${top})
  while(pending)
    list(POP_FRONT pending lib)
    list(FIND CL_REPLACE ${lib} at)
    if(NOT at EQUAL -1)
      math(EXPR at "${at} + 1")
      list(GET CL_REPLACE ${at} lib)
    endif()
    get_target_property(is_firmware ${lib} BOARDHOOK_FIRMWARE_LIBRARY)
    if(NOT is_firmware)
      list(APPEND other ${lib})
      continue()
    endif()
    if(${lib} IN_LIST result)
      continue()
    endif()
    list(APPEND result ${lib})
    get_target_property(below ${lib} BOARDHOOK_FIRMWARE_LIBS)
    list(APPEND pending ${below})
  endwhile()
  list(REMOVE_DUPLICATES other)
  set(${out} ${result} PARENT_SCOPE)
  set(${out}_OTHER ${other} PARENT_SCOPE)
endfunction()

# boardhook_firmware_module(<name> TOP <library> [REPLACE <library> <by>]...)
# The host library <name>: the objects of <top> and of every firmware
# library below it, in one archive, so that the module globals and the
# configuration-database access of the top layers, which the lower ones
# read, resolve within it. Host programs link it with the simulated
# machine's hardware-access backend.
function(boardhook_firmware_module name)
  cmake_parse_arguments(MOD "" "TOP" "REPLACE" ${ARGN})
  boardhook_firmware_closure(libraries ${MOD_TOP} REPLACE ${MOD_REPLACE})
  add_library(${name} STATIC EXCLUDE_FROM_ALL)
  foreach(lib IN LISTS libraries)
    target_sources(${name} PRIVATE $<TARGET_OBJECTS:${lib}>)
  endforeach()
  target_link_libraries(${name} PUBLIC ${libraries_OTHER})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  set_target_properties(${name} PROPERTIES BOARDHOOK_FIRMWARE_MODULE_LIBRARIES "${libraries}"
                                           BOARDHOOK_FIRMWARE_MODULE_LINKS "${libraries_OTHER}")
endfunction()

# boardhook_firmware_layer_check(<test name>)
# A test that reads the objects of every firmware library (copies with other
# settings aside) and fails when one uses a name that another library
# defines which is not below it (cmake/CheckLayers.cmake).
function(boardhook_firmware_layer_check test)
  get_property(libraries GLOBAL PROPERTY BOARDHOOK_FIRMWARE_LIBRARIES)
  get_property(shared GLOBAL PROPERTY BOARDHOOK_FIRMWARE_SHARED_NAMES)
  set(content "set(LAYER_LIBRARIES ${libraries})\n")
  string(APPEND content "set(LAYER_SHARED_NAMES [[${shared}]])\n")
  foreach(lib IN LISTS libraries)
    boardhook_firmware_closure(below ${lib})
    list(REMOVE_ITEM below ${lib})
    string(APPEND content "set(LAYER_${lib}_BELOW ${below})\n"
                          "set(LAYER_${lib}_OBJECTS [[$<TARGET_OBJECTS:${lib}>]])\n")
  endforeach()
  set(file ${CMAKE_BINARY_DIR}/FirmwareLayers.cmake)
  file(GENERATE OUTPUT ${file} CONTENT "${content}")
  add_test(NAME ${test} COMMAND ${CMAKE_COMMAND} -DLAYERS=${file} -DNM=${CMAKE_NM}
                                -P ${PROJECT_SOURCE_DIR}/cmake/CheckLayers.cmake)
  # The objects it reads.
  add_custom_target(${test}.objects ALL)
  add_dependencies(${test}.objects ${libraries})
endfunction()
