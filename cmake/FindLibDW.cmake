# SPDX-License-Identifier: MIT
# elfutils' libdw and the libelf it reads modules with, as LibDW::LibDW.
find_path(LIBDW_INCLUDE_DIR elfutils/libdw.h)
find_library(LIBDW_LIBRARY dw)
find_library(LIBELF_LIBRARY elf)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(LibDW REQUIRED_VARS LIBDW_INCLUDE_DIR LIBDW_LIBRARY LIBELF_LIBRARY)
if(LibDW_FOUND AND NOT TARGET LibDW::LibDW)
  add_library(LibDW::LibDW INTERFACE IMPORTED)
  target_include_directories(LibDW::LibDW INTERFACE ${LIBDW_INCLUDE_DIR})
  target_link_libraries(LibDW::LibDW INTERFACE ${LIBDW_LIBRARY} ${LIBELF_LIBRARY})
endif()
