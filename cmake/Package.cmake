# SPDX-License-Identifier: MIT
#
# `cpack -G DEB` and `cpack -G TGZ` in the build directory package what
# `cmake --install` puts in place.

set(ELF_MERGE_MAINTAINER "the elf-merge developers <elf-merge@example.org>"
  CACHE STRING "Maintainer named in the Debian package")

install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
install(FILES ${PROJECT_SOURCE_DIR}/CHANGELOG.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME elf-merge)
set(CPACK_PACKAGE_VENDOR "the elf-merge developers")
set(CPACK_PACKAGE_CONTACT "${ELF_MERGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "merge firmware modules into one big-endian ELF32 ARM executable")
set(CPACK_PACKAGE_DESCRIPTION
  "elf-merge composes the firmware of a 32-bit big-endian ARM processor from the
separately linked ELF executables and raw images of its modules, one option
letter per module slot, into one executable that a loader maps as a whole.")
if(ELF_MERGE_MAP)
  string(APPEND CPACK_PACKAGE_DESCRIPTION "
elf-merge-map prints the map of such an image with its memory use, checks it
against memory regions and its modules, compares two images, draws the
address space and exports flash images.")
endif()
string(APPEND CPACK_PACKAGE_DESCRIPTION " Includes bash completions and a
CMake package for firmware builds.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

# lintian reports no error and no warning on the .deb. The tools are built
# with Debian's hardening flags (see CMakeLists.txt), so neither
# hardening-no-bindnow nor hardening-no-fortify-functions is reported. Left
# as they are: two informational tags, binary-has-unneeded-section for the
# compiler's .comment note, and spelling-error-in-binary for four letters
# that lintian reads as a word among the bytes of machine code.
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebianFiles.cmake)
set(CPACK_ELF_MERGE_DOCDIR ${CMAKE_INSTALL_DOCDIR})
set(CPACK_ELF_MERGE_MANDIR ${CMAKE_INSTALL_MANDIR})

include(CPack)
