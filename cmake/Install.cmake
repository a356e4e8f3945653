# What `cmake --install` puts where, relative to the prefix (GNUInstallDirs),
# and what the build makes for it:
#
#   bin/veriflash                                 the tool
#   share/veriflash/veriflash.efi                 the module, which the tool finds relative to itself
#   share/veriflash/veriflash.ffs                 the module as a PEIM file, made by `veriflash package`
#   share/man/man1/veriflash*.1.gz                a page per command, from the tool's own --help
#   share/bash-completion/completions/veriflash   completion, from the same help
#   share/doc/veriflash/                          README.md, LICENSE, copyright, changelog.gz
#
# Front ends to come install here too: the Python module into the
# interpreter's site folder, the JSON schemas into share/veriflash/schema.
# cmake/Package.cmake makes the Debian package of all of it.

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(VERIFLASH_FFS ${CMAKE_BINARY_DIR}/veriflash.ffs)
add_custom_command(
  OUTPUT ${VERIFLASH_FFS}
  COMMAND veriflash package ${VERIFLASH_EFI} -o ${VERIFLASH_FFS} --force
  DEPENDS veriflash ${VERIFLASH_EFI}
  COMMENT "veriflash.ffs: veriflash package"
  VERBATIM)

find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(VERIFLASH_MAN_DIR ${CMAKE_BINARY_DIR}/man/man1)
set(VERIFLASH_COMPLETION ${CMAKE_BINARY_DIR}/completion/veriflash)
add_custom_command(
  OUTPUT ${VERIFLASH_COMPLETION} ${VERIFLASH_MAN_DIR}/veriflash.1.gz
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/help_docs.py $<TARGET_FILE:veriflash> ${VERIFLASH_MAN_DIR}
          ${VERIFLASH_COMPLETION}
  DEPENDS veriflash ${CMAKE_SOURCE_DIR}/scripts/help_docs.py
  COMMENT "Manual pages and bash completion from veriflash --help"
  VERBATIM)

# The Debian package's documents: the copyright file is the licence with the
# line that names it, the changelog compressed without a time stamp.
set(VERIFLASH_DEBIAN_DOCS ${CMAKE_BINARY_DIR}/packaging)
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_SOURCE_DIR}/LICENSE ${CMAKE_SOURCE_DIR}/packaging/changelog)
file(READ ${CMAKE_SOURCE_DIR}/LICENSE VERIFLASH_LICENSE)
file(WRITE ${VERIFLASH_DEBIAN_DOCS}/copyright
     "veriflash is distributed under the BSD-2-Clause-Patent licence:\n\n${VERIFLASH_LICENSE}")
# The newest changelog entry names the version being built, or the package
# would claim a release it is not.
file(STRINGS ${CMAKE_SOURCE_DIR}/packaging/changelog VERIFLASH_NEWEST_ENTRY LIMIT_COUNT 1)
if(NOT VERIFLASH_NEWEST_ENTRY MATCHES "^veriflash \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog: its newest entry \"${VERIFLASH_NEWEST_ENTRY}\" is not for version "
                      "${PROJECT_VERSION} (CMakeLists.txt); add an entry for it")
endif()
execute_process(COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/packaging/changelog
                OUTPUT_FILE ${VERIFLASH_DEBIAN_DOCS}/changelog.gz COMMAND_ERROR_IS_FATAL ANY)

add_custom_target(veriflash_install_files ALL
                  DEPENDS ${VERIFLASH_FFS} ${VERIFLASH_COMPLETION} ${VERIFLASH_MAN_DIR}/veriflash.1.gz)

install(TARGETS veriflash RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${VERIFLASH_EFI} ${VERIFLASH_FFS} DESTINATION ${VERIFLASH_INSTALL_DATADIR})
install(DIRECTORY ${VERIFLASH_MAN_DIR} DESTINATION ${CMAKE_INSTALL_MANDIR} FILES_MATCHING PATTERN "veriflash*.1.gz")
install(FILES ${VERIFLASH_COMPLETION} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE ${VERIFLASH_DEBIAN_DOCS}/copyright
              ${VERIFLASH_DEBIAN_DOCS}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

include(${CMAKE_SOURCE_DIR}/cmake/Package.cmake)
