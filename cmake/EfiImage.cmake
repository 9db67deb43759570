# Builds freestanding PE/COFF firmware images with clang-14 and lld-link-14,
# from the same sources as the host libraries, and checks each image with
# llvm-readobj-14. Every object gets its stack-usage record (X.obj -> X.su)
# and the target <name>-stack reports the image's worst-case stack depth.
find_program(BOARDHOOK_CLANG NAMES clang-14 REQUIRED)
find_program(BOARDHOOK_LLD_LINK NAMES lld-link-14 REQUIRED)
find_program(BOARDHOOK_READOBJ NAMES llvm-readobj-14 REQUIRED)
find_program(BOARDHOOK_OBJDUMP NAMES llvm-objdump-14 REQUIRED)
find_program(BOARDHOOK_UNDNAME NAMES llvm-undname-14)
if(NOT BOARDHOOK_UNDNAME)
  set(BOARDHOOK_UNDNAME "")
endif()

set(BOARDHOOK_IMAGE_CFLAGS
    -std=c++20 -ffreestanding -fno-builtin -nostdlib -nostdinc++
    -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-stack-protector
    -fno-asynchronous-unwind-tables -fno-unwind-tables
    -mno-stack-arg-probe -mno-red-zone -mno-sse -mno-mmx -mno-80387
    -Os -ffunction-sections -fdata-sections -fstack-usage
    -Wall -Wextra -Werror -Wglobal-constructors -Wexit-time-destructors)

# add_efi_image(<name> ARCH x64|ia32 ENTRY <symbol> SUBSYSTEM <subsystem>
#               SOURCES <files...> [LINK_FLAGS <flags...>]
#               [DEFINITIONS <NAME=VALUE...>])
function(add_efi_image name)
  cmake_parse_arguments(IMG "" "ARCH;ENTRY;SUBSYSTEM" "SOURCES;LINK_FLAGS;DEFINITIONS" ${ARGN})
  if(IMG_ARCH STREQUAL "x64")
    set(triple x86_64-pc-windows-msvc)
    set(machine x64)
  else()
    set(triple i686-pc-windows-msvc)
    set(machine x86)
  endif()
  set(defines)
  foreach(definition IN LISTS IMG_DEFINITIONS)
    list(APPEND defines -D${definition})
  endforeach()
  set(objects)
  set(objdir ${CMAKE_CURRENT_BINARY_DIR}/${name}.objs)
  foreach(src IN LISTS IMG_SOURCES)
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${src})
    string(REPLACE "/" "_" objname ${rel})
    set(obj ${objdir}/${objname}.obj)
    add_custom_command(
      OUTPUT ${obj}
      BYPRODUCTS ${objdir}/${objname}.su
      COMMAND ${CMAKE_COMMAND} -E make_directory ${objdir}
      COMMAND ${BOARDHOOK_CLANG} --target=${triple} ${BOARDHOOK_IMAGE_CFLAGS} ${defines}
              -MD -MF ${obj}.d -c ${src} -o ${obj}
      DEPENDS ${src}
      DEPFILE ${obj}.d
      COMMENT "Compiling ${rel} for ${name}"
      VERBATIM)
    list(APPEND objects ${obj})
  endforeach()
  set(image ${CMAKE_CURRENT_BINARY_DIR}/${name}.efi)
  set(map ${CMAKE_CURRENT_BINARY_DIR}/${name}.map)
  add_custom_command(
    OUTPUT ${image}
    BYPRODUCTS ${map}
    COMMAND ${BOARDHOOK_LLD_LINK} /nologo /nodefaultlib /Brepro /opt:ref
            /machine:${machine} /subsystem:${IMG_SUBSYSTEM} /entry:${IMG_ENTRY}
            /debug:none ${IMG_LINK_FLAGS} /map:${map} /out:${image} ${objects}
    COMMAND ${CMAKE_COMMAND} -DIMAGE=${image} -DREADOBJ=${BOARDHOOK_READOBJ}
            -DMACHINE=${machine} -DSUBSYSTEM=${IMG_SUBSYSTEM}
            -P ${PROJECT_SOURCE_DIR}/cmake/CheckEfiImage.cmake
    DEPENDS ${objects} ${PROJECT_SOURCE_DIR}/cmake/CheckEfiImage.cmake
    COMMENT "Linking and checking ${name}.efi"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${image})
  set_target_properties(${name} PROPERTIES IMAGE_FILE ${image})
  # The stack report: the functions the linker kept (its map), their frames
  # (.su) and direct calls (disassembly with relocations).
  add_custom_target(${name}-stack
    COMMAND $<TARGET_FILE:image-stack> --name ${name}.efi --arch ${IMG_ARCH}
            --entry ${IMG_ENTRY} --objdump ${BOARDHOOK_OBJDUMP}
            --undname "${BOARDHOOK_UNDNAME}" --map ${map} ${objects}
    COMMENT "Stack depth of ${name}.efi"
    VERBATIM)
  add_dependencies(${name}-stack ${name} image-stack)
  add_test(NAME image.${name}
           COMMAND ${CMAKE_COMMAND} -DIMAGE=${image} -DREADOBJ=${BOARDHOOK_READOBJ}
                   -DMACHINE=${machine} -DSUBSYSTEM=${IMG_SUBSYSTEM}
                   -P ${PROJECT_SOURCE_DIR}/cmake/CheckEfiImage.cmake)
endfunction()
