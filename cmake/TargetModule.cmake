# Builds veriflash.efi: every module source except the host backend, compiled
# freestanding for i686 by clang and linked by lld-link into a PE32 image of
# the EFI boot-service-driver subsystem with base relocations and no imports.
#
# Section alignment equals file alignment (32 bytes), so every RVA is also the
# file offset and the file executes in place once rebased; 32 rather than 4 KiB
# keeps the image small in flash.
#
# The image is reproducible: /Brepro puts a hash of the contents where the
# time stamp would go, and nothing of the build folder ends up inside (no
# debug information, source paths mapped to paths in the tree). Sources are
# compiled by their full path, so that the dependency files name them where
# Ninja looks: named relative to the tree, they were never found, and every
# build remade the module and all that depends on it.

find_program(VERIFLASH_TARGET_CXX NAMES clang++ clang++-14 REQUIRED)
find_program(VERIFLASH_TARGET_LINK NAMES lld-link lld-link-14 REQUIRED)

set(VERIFLASH_TARGET_FLAGS
  --target=i686-pc-windows-msvc -std=c++20 -O2
  -ffreestanding -nostdlibinc -fno-builtin
  -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
  -fno-stack-protector -mno-stack-arg-probe -mgeneral-regs-only
  -Wall -Wextra -Werror
  -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=
  -I${CMAKE_SOURCE_DIR})

file(GLOB_RECURSE VERIFLASH_TARGET_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/module/*.cpp)

# Every generator needs the objects' folder to exist before the compiler runs.
set(VERIFLASH_TARGET_OBJECT_DIR ${CMAKE_BINARY_DIR}/target_obj)
file(MAKE_DIRECTORY ${VERIFLASH_TARGET_OBJECT_DIR})

set(VERIFLASH_TARGET_OBJECTS)
foreach(source ${VERIFLASH_TARGET_SOURCES})
  file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${source})
  string(REPLACE "/" "_" objname ${rel})
  set(object ${VERIFLASH_TARGET_OBJECT_DIR}/${objname}.obj)
  add_custom_command(
    OUTPUT ${object}
    COMMAND ${VERIFLASH_TARGET_CXX} ${VERIFLASH_TARGET_FLAGS} -MD -MF ${object}.d -c ${source} -o ${object}
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    DEPENDS ${source}
    DEPFILE ${object}.d
    COMMENT "i686 ${rel}"
    VERBATIM)
  list(APPEND VERIFLASH_TARGET_OBJECTS ${object})
endforeach()

set(VERIFLASH_EFI ${CMAKE_BINARY_DIR}/veriflash.efi)
add_custom_command(
  OUTPUT ${VERIFLASH_EFI} ${CMAKE_BINARY_DIR}/veriflash.map
  COMMAND ${VERIFLASH_TARGET_LINK} /nologo /dll /nodefaultlib /Brepro /entry:ModuleEntry
          /subsystem:efi_boot_service_driver /base:0 /align:32 /filealign:32
          /map:${CMAKE_BINARY_DIR}/veriflash.map /out:${VERIFLASH_EFI} ${VERIFLASH_TARGET_OBJECTS}
  DEPENDS ${VERIFLASH_TARGET_OBJECTS}
  COMMENT "lld-link veriflash.efi"
  VERBATIM)
add_custom_target(veriflash_efi ALL DEPENDS ${VERIFLASH_EFI})
