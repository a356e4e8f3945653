# `cpack -G DEB` in the build folder: veriflash_<version>_amd64.deb from the
# install rules (cmake/Install.cmake) with the prefix /usr, the tool
# stripped, its library dependencies worked out by dpkg-shlibdeps (package
# dpkg-dev), and what only some commands need suggested.

set(VERIFLASH_MAINTAINER "veriflash maintainers <maintainers@veriflash.invalid>"
    CACHE STRING "The Debian package's maintainer, as \"Name <address>\"")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME veriflash)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${VERIFLASH_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "check flash images against the end-of-PEI integrity check")
# Lines of at most 80 characters, as Debian's control file wants them.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "veriflash tells, before a board is flashed, whether the image will boot or"
  "stop at POST code 0x8F, and why. It builds, inspects, stamps and runs flash"
  "images for veriflash.efi, a 32-bit PI/UEFI PEI module that hashes a"
  "boot-flash region at end of PEI and compares the digest with the boot policy"
  "manifest's reference digest. It runs the module on an emulated i386,"
  "packages it as a PEIM firmware file and adds it to OVMF firmware; the module"
  "and its PEIM file come with it.")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# run --engine qemu and image create --firmware use these; nothing else does.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "qemu-system-x86, ovmf, ovmf-ia32")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

include(CPack)
