# SPDX-License-Identifier: MIT
#
# find_package(ElfMerge) for a firmware build: the imported tools
# ElfMerge::elf-merge and ElfMerge::elf-merge-map, and two functions.
#
#   elf_merge_add_image(<target> OUTPUT <file> OPTIONS <elf-merge options>...)
#     Adds <target> (built by default) that writes <file> with elf-merge. The
#     OPTIONS go to the tool unchanged and may hold generator expressions; a
#     relative OUTPUT is in the current binary directory, and the tool runs in
#     the current source directory, where relative module paths are looked up.
#     The image is remade whenever a module file changes or a target named in
#     the options through $<TARGET_FILE:...> is rebuilt.
#
#   elf_merge_check(<target> [TEST])
#     Runs "elf-merge-map --check IMAGE -- OPTIONS" on the image of <target>.
#     By default as part of the build: target <target>-check, built by
#     default, reruns the check whenever the image changes, and a failed
#     check fails the build (and is tried again by the next one). With TEST,
#     as a ctest test named <target>-check instead (needs enable_testing()).

include("${CMAKE_CURRENT_LIST_DIR}/ElfMergeTargets.cmake")

# Options of elf-merge whose value is a module file; the file after each one
# is a dependency of the image.
set(_elf_merge_module_letters "kefduvEcanWLKNSbCxyFpP")
set(_elf_merge_module_names
    "kernel|quenlor|vo|zu|ra0|ra1|mivo|gul|pim|qy|wy|uq|fyx|dov|rak|tolvin|norvala|hux|lem|tej|ka1|ka2")

# The module files named in an elf-merge command line: "-k FILE", "-kFILE",
# "--kernel FILE" and "--kernel=FILE".
function(_elf_merge_module_files options out)
  set(files)
  set(next_is_file FALSE)
  foreach(word IN LISTS options)
    if(next_is_file)
      list(APPEND files "${word}")
      set(next_is_file FALSE)
    elseif(word MATCHES "^-[${_elf_merge_module_letters}]$|^--(${_elf_merge_module_names})$")
      set(next_is_file TRUE)
    elseif(word MATCHES "^-[${_elf_merge_module_letters}](.+)$")
      list(APPEND files "${CMAKE_MATCH_1}")
    elseif(word MATCHES "^--(${_elf_merge_module_names})=(.+)$")
      list(APPEND files "${CMAKE_MATCH_2}")
    endif()
  endforeach()
  set(${out} "${files}" PARENT_SCOPE)
endfunction()

function(elf_merge_add_image target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "OUTPUT" "OPTIONS")
  if(NOT arg_OUTPUT OR NOT arg_OPTIONS OR arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "usage: elf_merge_add_image(<target> OUTPUT <file> OPTIONS <elf-merge options>...)")
  endif()
  cmake_path(ABSOLUTE_PATH arg_OUTPUT BASE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}" OUTPUT_VARIABLE image)
  _elf_merge_module_files("${arg_OPTIONS}" modules)
  # A $<TARGET_FILE:...> in the command orders the build after that target;
  # the same expression in DEPENDS remakes the image when the file changes.
  add_custom_command(OUTPUT "${image}"
    COMMAND ElfMerge::elf-merge ${arg_OPTIONS} -o "${image}"
    DEPENDS ${modules} ElfMerge::elf-merge
    WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}"
    COMMENT "Merging ${arg_OUTPUT}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS "${image}")
  set_target_properties(${target} PROPERTIES ELF_MERGE_IMAGE "${image}" ELF_MERGE_OPTIONS "${arg_OPTIONS}")
endfunction()

function(elf_merge_check target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "TEST" "" "")
  if(arg_UNPARSED_ARGUMENTS OR NOT TARGET ${target})
    message(FATAL_ERROR "usage: elf_merge_check(<target of elf_merge_add_image> [TEST])")
  endif()
  get_target_property(image ${target} ELF_MERGE_IMAGE)
  get_target_property(options ${target} ELF_MERGE_OPTIONS)
  if(NOT image)
    message(FATAL_ERROR "elf_merge_check: ${target} was not made by elf_merge_add_image")
  endif()
  # With the module options the checker also compares every section's bytes
  # and the note with the modules themselves.
  set(check $<TARGET_FILE:ElfMerge::elf-merge-map> --check "${image}" -- ${options})
  if(arg_TEST)
    add_test(NAME ${target}-check COMMAND ${check} WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}")
    return()
  endif()
  # The stamp is written only after a passing check, so a failed one is
  # run again by the next build rather than forgotten.
  set(stamp "${image}.checked")
  add_custom_command(OUTPUT "${stamp}"
    COMMAND ${check}
    COMMAND "${CMAKE_COMMAND}" -E touch "${stamp}"
    DEPENDS "${image}"
    WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}"
    COMMENT "Checking ${image}"
    VERBATIM)
  add_custom_target(${target}-check ALL DEPENDS "${stamp}")
  add_dependencies(${target}-check ${target})
endfunction()
