# Runs scripts/check_layers.sh whenever a source file of a layered folder or
# layers.rules changes; every library depends on it, so an include against
# the layers fails the build before anything is compiled.
file(GLOB_RECURSE VERIFLASH_LAYERED_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/module/*.h ${CMAKE_SOURCE_DIR}/module/*.cpp
     ${CMAKE_SOURCE_DIR}/common/*.h ${CMAKE_SOURCE_DIR}/common/*.cpp
     ${CMAKE_SOURCE_DIR}/vplat/*.h ${CMAKE_SOURCE_DIR}/vplat/*.cpp
     ${CMAKE_SOURCE_DIR}/emu/*.h ${CMAKE_SOURCE_DIR}/emu/*.cpp
     ${CMAKE_SOURCE_DIR}/firmware/*.h ${CMAKE_SOURCE_DIR}/firmware/*.cpp
     ${CMAKE_SOURCE_DIR}/runners/*.h ${CMAKE_SOURCE_DIR}/runners/*.cpp
     ${CMAKE_SOURCE_DIR}/kvm/*.h ${CMAKE_SOURCE_DIR}/kvm/*.cpp
     ${CMAKE_SOURCE_DIR}/tools/*.h ${CMAKE_SOURCE_DIR}/tools/*.cpp)
set(VERIFLASH_LAYERS_STAMP ${CMAKE_BINARY_DIR}/layers.checked)
add_custom_command(
  OUTPUT ${VERIFLASH_LAYERS_STAMP}
  COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/check_layers.sh ${CMAKE_SOURCE_DIR}
  COMMAND ${CMAKE_COMMAND} -E touch ${VERIFLASH_LAYERS_STAMP}
  DEPENDS ${CMAKE_SOURCE_DIR}/layers.rules ${CMAKE_SOURCE_DIR}/scripts/check_layers.sh ${VERIFLASH_LAYERED_SOURCES}
  COMMENT "Checking includes against layers.rules"
  VERBATIM)
add_custom_target(veriflash_layers ALL DEPENDS ${VERIFLASH_LAYERS_STAMP})
