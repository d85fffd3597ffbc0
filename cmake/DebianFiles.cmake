# SPDX-License-Identifier: MIT
#
# Run by cpack on the staged files before it builds a package. A Debian
# package has its manual pages and documents compressed and a changelog in
# Debian's format; the tarball keeps the files as `cmake --install` puts them.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/${CPACK_ELF_MERGE_DOCDIR}")
file(GLOB pages "${root}/${CPACK_ELF_MERGE_MANDIR}/man1/*.1")

# The package is built from its own sources, so its changelog is Debian's
# native one; the version's changes themselves are in CHANGELOG.md, which
# alone says whether the version has been released: a package can be built
# from any tree, so its entry does not claim a release.
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE "${doc}/changelog"
  "elf-merge (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
  "  * Version ${CPACK_PACKAGE_VERSION}; its changes are listed in CHANGELOG.md.gz.\n\n"
  " -- ${CPACK_PACKAGE_CONTACT}  ${date}\n")

foreach(file IN LISTS pages ITEMS "${doc}/changelog" "${doc}/CHANGELOG.md")
  execute_process(COMMAND gzip -9n "${file}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
