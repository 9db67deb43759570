# Builds freestanding PE/COFF firmware images with clang-14 and lld-link-14,
# from the same sources as the host libraries, and checks each image with
# llvm-readobj-14. Every object gets its stack-usage record (X.obj -> X.su)
# and the target <name>-stack reports the image's worst-case stack depth.
find_program(BOARDHOOK_CLANG NAMES clang-14 REQUIRED)
find_program(BOARDHOOK_LLD_LINK NAMES lld-link-14 REQUIRED)
find_program(BOARDHOOK_LLVM_LINK NAMES llvm-link-14 REQUIRED)
find_program(BOARDHOOK_OPT NAMES opt-14 REQUIRED)
find_program(BOARDHOOK_READOBJ NAMES llvm-readobj-14 REQUIRED)
find_program(BOARDHOOK_OBJDUMP NAMES llvm-objdump-14 REQUIRED)
find_program(BOARDHOOK_UNDNAME NAMES llvm-undname-14)
if(NOT BOARDHOOK_UNDNAME)
  set(BOARDHOOK_UNDNAME "")
endif()

# What code generation needs, also when it starts from bitcode.
set(BOARDHOOK_IMAGE_CODEGEN_FLAGS
    -Oz -ffunction-sections -fdata-sections -fstack-usage
    -mno-stack-arg-probe -mno-red-zone -mno-sse -mno-mmx -mno-80387)
set(BOARDHOOK_IMAGE_CFLAGS
    -std=c++20 -ffreestanding -fno-builtin -nostdlib -nostdinc++
    -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-stack-protector
    -fno-asynchronous-unwind-tables -fno-unwind-tables
    ${BOARDHOOK_IMAGE_CODEGEN_FLAGS}
    -Wall -Wextra -Werror ${BOARDHOOK_FIRMWARE_WARNINGS}
    -Wglobal-constructors -Wexit-time-destructors)
# /timestamp:0 keeps images reproducible without the debug directory that
# /Brepro would add (a TE image carries none).
set(BOARDHOOK_IMAGE_LINK_FLAGS /nologo /nodefaultlib /timestamp:0 /opt:ref /debug:none)

# Image objects are compiled once per processor architecture and shared by
# the images that link them: the two DXE driver builds differ only in the
# debug output library.
set(BOARDHOOK_IMAGE_OBJECT_DIR ${CMAKE_BINARY_DIR}/image/objs)

# efi_image_objects(<out> GROUP <name> ARCH x64|ia32 [DEFINES <-D...>]
#                   [BITCODE] SOURCES <files...>)
# Compiles each source into <object dir>/<arch>/<GROUP>/ and sets <out> to
# the objects: machine code with its stack-usage record (X.obj -> X.su), or
# with BITCODE, bitcode for link-time optimisation (its frames come with the
# optimised object). A group already compiled for the architecture is
# reused.
function(efi_image_objects out)
  cmake_parse_arguments(OBJ "BITCODE" "GROUP;ARCH" "DEFINES;SOURCES" ${ARGN})
  if(OBJ_ARCH STREQUAL "x64")
    set(triple x86_64-pc-windows-msvc)
  else()
    set(triple i686-pc-windows-msvc)
  endif()
  if(OBJ_BITCODE)
    set(kind -flto)
    set(dir ${BOARDHOOK_IMAGE_OBJECT_DIR}/${OBJ_ARCH}-bitcode/${OBJ_GROUP})
  else()
    set(kind)
    set(dir ${BOARDHOOK_IMAGE_OBJECT_DIR}/${OBJ_ARCH}/${OBJ_GROUP})
  endif()
  get_property(known GLOBAL PROPERTY BOARDHOOK_IMAGE_OBJECTS_${dir})
  if(known)
    set(${out} ${known} PARENT_SCOPE)
    return()
  endif()
  set(result)
  foreach(src IN LISTS OBJ_SOURCES)
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${src})
    string(REPLACE "/" "_" objname ${rel})
    set(obj ${dir}/${objname}.obj)
    if(OBJ_BITCODE)
      set(su)
    else()
      set(su ${dir}/${objname}.su)
    endif()
    add_custom_command(
      OUTPUT ${obj}
      BYPRODUCTS ${su}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
      COMMAND ${BOARDHOOK_CLANG} --target=${triple} ${BOARDHOOK_IMAGE_CFLAGS} ${OBJ_DEFINES}
              ${kind} -MD -MF ${obj}.d -c ${src} -o ${obj}
      DEPENDS ${src}
      DEPFILE ${obj}.d
      COMMENT "Compiling ${rel} for ${OBJ_ARCH} images"
      VERBATIM)
    list(APPEND result ${obj})
  endforeach()
  set_property(GLOBAL PROPERTY BOARDHOOK_IMAGE_OBJECTS_${dir} ${result})
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# efi_target_sources(<out> <target>): the target's source files, absolute.
function(efi_target_sources out target)
  get_target_property(srcs ${target} SOURCES)
  get_target_property(dir ${target} SOURCE_DIR)
  set(result)
  foreach(src IN LISTS srcs)
    cmake_path(ABSOLUTE_PATH src BASE_DIRECTORY ${dir})
    list(APPEND result ${src})
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# efi_runtime_objects(<out> ARCH <arch> LINKS <targets...>)
# The objects every image links as objects of their own: the memory routines
# the code generator calls, and for each target linked that has an image
# backend (the hardware-access interface) that backend's sources.
function(efi_runtime_objects out)
  cmake_parse_arguments(RT "" "ARCH" "LINKS" ${ARGN})
  efi_image_objects(result GROUP runtime ARCH ${RT_ARCH}
                    SOURCES ${PROJECT_SOURCE_DIR}/image/ImageRuntime.cpp)
  foreach(link IN LISTS RT_LINKS)
    get_target_property(backend ${link} BOARDHOOK_IMAGE_BACKEND)
    if(backend)
      efi_target_sources(srcs ${backend})
      efi_image_objects(objects GROUP ${backend} ARCH ${RT_ARCH} SOURCES ${srcs})
      list(APPEND result ${objects})
    endif()
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# add_efi_image(<name> ARCH x64|ia32 ENTRY <symbol> SUBSYSTEM <subsystem>
#               MODULE <firmware module> | SOURCES <files...> [LIBS <targets...>]
#               [LINK_FLAGS <flags...>] [LTO] [TE])
#
# MODULE: the host module target (boardhook_firmware_module) whose
# libraries the image is built from, each library with its own settings.
# SOURCES: files of the image itself; LIBS: interfaces it links
# (boardhook_hw). The memory routines the code generator calls and the
# hardware-access backend are always linked as objects of their own. LTO:
# the module's code is optimised as one module at link time (bitcode linked,
# internalized but for the entry, optimised for size, then compiled to one
# object, <name>.lto.obj, with its stack-usage record). TE: also the image's
# terse form, <name>.te, for a PEI module that runs in place.
function(add_efi_image name)
  cmake_parse_arguments(IMG "LTO;TE" "ARCH;ENTRY;SUBSYSTEM;MODULE"
                        "SOURCES;LIBS;LINK_FLAGS" ${ARGN})
  if(IMG_ARCH STREQUAL "x64")
    set(triple x86_64-pc-windows-msvc)
    set(machine x64)
  else()
    set(triple i686-pc-windows-msvc)
    set(machine x86)
  endif()
  set(objdir ${CMAKE_CURRENT_BINARY_DIR}/${name}.objs)
  if(IMG_LTO)
    set(bitcode BITCODE)
  else()
    set(bitcode)
  endif()

  set(module_objects)
  set(links ${IMG_LIBS})
  if(IMG_MODULE)
    get_target_property(libraries ${IMG_MODULE} BOARDHOOK_FIRMWARE_MODULE_LIBRARIES)
    get_target_property(module_links ${IMG_MODULE} BOARDHOOK_FIRMWARE_MODULE_LINKS)
    list(APPEND links ${module_links})
    foreach(lib IN LISTS libraries)
      efi_target_sources(srcs ${lib})
      get_target_property(definitions ${lib} COMPILE_DEFINITIONS)
      if(NOT definitions)
        set(definitions)
      endif()
      set(defines)
      foreach(definition IN LISTS definitions)
        list(APPEND defines -D${definition})
      endforeach()
      efi_image_objects(objects GROUP ${lib} ARCH ${IMG_ARCH} DEFINES ${defines} ${bitcode}
                        SOURCES ${srcs})
      list(APPEND module_objects ${objects})
    endforeach()
  endif()
  if(IMG_SOURCES)
    efi_image_objects(objects GROUP ${name} ARCH ${IMG_ARCH} ${bitcode} SOURCES ${IMG_SOURCES})
    list(APPEND module_objects ${objects})
  endif()
  efi_runtime_objects(runtime_objects ARCH ${IMG_ARCH} LINKS ${links})

  if(IMG_LTO)
    set(linked ${objdir}/${name}.linked.bc)
    set(optimized ${objdir}/${name}.lto.bc)
    set(lto_object ${objdir}/${name}.lto.obj)
    add_custom_command(
      OUTPUT ${lto_object}
      BYPRODUCTS ${linked} ${optimized} ${objdir}/${name}.lto.su
      COMMAND ${CMAKE_COMMAND} -E make_directory ${objdir}
      COMMAND ${BOARDHOOK_LLVM_LINK} -o ${linked} ${module_objects}
      COMMAND ${BOARDHOOK_OPT} "-passes=internalize,lto<Oz>"
              -internalize-public-api-list=${IMG_ENTRY} ${linked} -o ${optimized}
      COMMAND ${BOARDHOOK_CLANG} --target=${triple} ${BOARDHOOK_IMAGE_CODEGEN_FLAGS}
              -Xclang -disable-llvm-passes -c ${optimized} -o ${lto_object}
      DEPENDS ${module_objects}
      COMMENT "Optimising ${name} at link time"
      VERBATIM)
    set(objects ${lto_object} ${runtime_objects})
  else()
    set(objects ${module_objects} ${runtime_objects})
  endif()

  set(image ${CMAKE_CURRENT_BINARY_DIR}/${name}.efi)
  set(map ${CMAKE_CURRENT_BINARY_DIR}/${name}.map)
  set(check_image ${CMAKE_COMMAND} -DIMAGE=${image} -DREADOBJ=${BOARDHOOK_READOBJ}
                  -DMACHINE=${machine} -DSUBSYSTEM=${IMG_SUBSYSTEM}
                  -P ${PROJECT_SOURCE_DIR}/cmake/CheckEfiImage.cmake)
  set(outputs ${image})
  set(te_commands)
  if(IMG_TE)
    set(te ${CMAKE_CURRENT_BINARY_DIR}/${name}.te)
    list(APPEND outputs ${te})
    set(check_te $<TARGET_FILE:fwimage> check ${te} --machine ${IMG_ARCH}
                 --subsystem ${IMG_SUBSYSTEM})
    set(te_commands COMMAND $<TARGET_FILE:fwimage> te ${image} -o ${te} COMMAND ${check_te})
  endif()
  add_custom_command(
    OUTPUT ${outputs}
    BYPRODUCTS ${map}
    COMMAND ${BOARDHOOK_LLD_LINK} ${BOARDHOOK_IMAGE_LINK_FLAGS}
            /machine:${machine} /subsystem:${IMG_SUBSYSTEM} /entry:${IMG_ENTRY}
            ${IMG_LINK_FLAGS} /map:${map} /out:${image} ${objects}
    COMMAND ${check_image}
    ${te_commands}
    DEPENDS ${objects} ${PROJECT_SOURCE_DIR}/cmake/CheckEfiImage.cmake
            $<$<BOOL:${IMG_TE}>:fwimage>
    COMMENT "Linking and checking ${name}.efi"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${outputs})
  set_target_properties(${name} PROPERTIES IMAGE_FILE ${image} IMAGE_ARCH ${IMG_ARCH}
                                           IMAGE_SUBSYSTEM ${IMG_SUBSYSTEM})
  if(IMG_TE)
    set_target_properties(${name} PROPERTIES TE_FILE ${te})
  endif()
  # The stack report: the functions the linker kept (its map), their frames
  # (.su) and direct calls (disassembly with relocations), all read from the
  # objects that were linked.
  add_custom_target(${name}-stack
    COMMAND $<TARGET_FILE:image-stack> --name ${name}.efi --arch ${IMG_ARCH}
            --entry ${IMG_ENTRY} --objdump ${BOARDHOOK_OBJDUMP}
            --undname "${BOARDHOOK_UNDNAME}" --map ${map} ${objects}
    COMMENT "Stack depth of ${name}.efi"
    VERBATIM)
  add_dependencies(${name}-stack ${name} image-stack)
  add_test(NAME image.${name} COMMAND ${check_image})
  if(IMG_TE)
    add_test(NAME image.${name}.te COMMAND ${check_te})
  endif()
endfunction()

# add_ffs_file(<name> IMAGE <image target> TYPE peim|driver GUID <guid>
#              VERSION <text> BUILD_NUMBER <n> DEPEX <expression>
#              [UI_NAME <module name>])
#
# The module's firmware file <name>.ffs: a PEIM file carries the image's TE
# form, a DRIVER file its PE32 image; both with the dependency expression
# (tools/fwimage/Depex.h), the module's name (by default the image
# target's) and the version.
function(add_ffs_file name)
  cmake_parse_arguments(FFS "" "IMAGE;TYPE;GUID;VERSION;BUILD_NUMBER;DEPEX;UI_NAME" "" ${ARGN})
  if(NOT FFS_UI_NAME)
    set(FFS_UI_NAME ${FFS_IMAGE})
  endif()
  if(FFS_TYPE STREQUAL "peim")
    get_target_property(image ${FFS_IMAGE} TE_FILE)
  else()
    get_target_property(image ${FFS_IMAGE} IMAGE_FILE)
  endif()
  get_target_property(arch ${FFS_IMAGE} IMAGE_ARCH)
  get_target_property(subsystem ${FFS_IMAGE} IMAGE_SUBSYSTEM)
  set(file ${CMAKE_CURRENT_BINARY_DIR}/${name}.ffs)
  set(check $<TARGET_FILE:fwimage> check ${file} --type ${FFS_TYPE} --machine ${arch}
            --subsystem ${subsystem})
  add_custom_command(
    OUTPUT ${file}
    COMMAND $<TARGET_FILE:fwimage> ffs --type ${FFS_TYPE} --guid ${FFS_GUID} --name ${FFS_UI_NAME}
            --version ${FFS_VERSION} --build ${FFS_BUILD_NUMBER} --depex ${FFS_DEPEX}
            --image ${image} -o ${file}
    COMMAND ${check}
    DEPENDS ${FFS_IMAGE} ${image} fwimage
    COMMENT "Making and checking the firmware file ${name}.ffs"
    VERBATIM)
  add_custom_target(${name}-ffs ALL DEPENDS ${file})
  set_target_properties(${name}-ffs PROPERTIES FFS_FILE ${file} FFS_GUID ${FFS_GUID})
  add_test(NAME image.${name}.ffs COMMAND ${check})
endfunction()

# add_firmware_volume(<name> FILES <ffs targets...> [BLOCK_SIZE <bytes>])
#
# The firmware volume <name>.fv holding the files in order, read back by
# fwimage when built; its test also reads it with UEFIExtract (package
# uefitool-cli) when that is installed.
function(add_firmware_volume name)
  cmake_parse_arguments(FV "" "BLOCK_SIZE" "FILES" ${ARGN})
  if(NOT FV_BLOCK_SIZE)
    set(FV_BLOCK_SIZE 4096)
  endif()
  set(volume ${CMAKE_CURRENT_BINARY_DIR}/${name}.fv)
  set(files)
  foreach(target IN LISTS FV_FILES)
    get_target_property(file ${target} FFS_FILE)
    list(APPEND files ${file})
  endforeach()
  add_custom_command(
    OUTPUT ${volume}
    COMMAND $<TARGET_FILE:fwimage> volume --block-size ${FV_BLOCK_SIZE} -o ${volume} ${files}
    COMMAND $<TARGET_FILE:fwimage> show ${volume}
    DEPENDS ${FV_FILES} ${files} fwimage
    COMMENT "Making the firmware volume ${name}.fv"
    VERBATIM)
  add_custom_target(${name}-fv ALL DEPENDS ${volume})
  set_target_properties(${name}-fv PROPERTIES VOLUME_FILE ${volume})
  add_test(NAME image.${name}.fv COMMAND $<TARGET_FILE:fwimage> show ${volume})
endfunction()
