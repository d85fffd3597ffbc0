# SPDX-License-Identifier: MIT
#
# What `cmake --install` puts in place besides the tools and their man pages.

# The CMake package: imported tools plus elf_merge_add_image and
# elf_merge_check. It names host executables only, so it lives under share/
# and its version file ignores pointer size: a firmware build configured for
# a 32-bit target must still accept it.
include(CMakePackageConfigHelpers)
set(ELF_MERGE_CMAKE_DIR ${CMAKE_INSTALL_DATADIR}/cmake/ElfMerge)
install(EXPORT ElfMergeTargets NAMESPACE ElfMerge:: DESTINATION ${ELF_MERGE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ElfMergeConfigVersion.cmake
  COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/ElfMergeConfig.cmake ${PROJECT_BINARY_DIR}/ElfMergeConfigVersion.cmake
  DESTINATION ${ELF_MERGE_CMAKE_DIR})

# bash-completion looks a command's completion up by the command's name.
foreach(tool IN LISTS ELF_MERGE_TOOLS)
  install(FILES ${PROJECT_SOURCE_DIR}/completions/elf-merge.bash
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${tool})
endforeach()
