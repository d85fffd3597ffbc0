# SPDX-License-Identifier: MIT
#
# find_package(ElfMerge) for a firmware build: the imported tools
# ElfMerge::elf-merge and, where it was built, ElfMerge::elf-merge-map, and
# four functions.
#
#   elf_merge_add_image(<target> OUTPUT <file> OPTIONS <elf-merge options>...
#                       [DEPENDS <files or targets>...])
#     Adds <target> (built by default) that writes <file> with elf-merge. The
#     OPTIONS go to the tool unchanged and may hold generator expressions; a
#     relative OUTPUT is in the current binary directory, and the tool runs in
#     the current source directory, where relative module paths are looked up.
#     elf-merge names the module files it read in a dependency file, so the
#     image is remade whenever one of them changes, however the options are
#     spelt; a target named through $<TARGET_FILE:...> is built first.
#     DEPENDS names what must be made before the first merge, such as a
#     module that another custom command writes. The target's property
#     ELF_MERGE_IMAGE holds the image's absolute path.
#
#   elf_merge_check(<target> [REGIONS NAME=START:SIZE...]
#                   [LOAD_REGIONS NAME=START:SIZE...] [SHA256 <hex>] [TEST])
#     Runs "elf-merge-map --check IMAGE -- OPTIONS" on the image of <target>,
#     with a --region, --load-region or --sha256 for each item given. By
#     default as part of the build: target <target>-check, built by default,
#     reruns the check whenever the image changes, and a failed check fails
#     the build (and is tried again by the next one). With TEST, as a ctest
#     test named <target>-check instead (needs enable_testing()).
#
#   elf_merge_export(<target> FORMAT binary|ihex|srec OUTPUT <file>
#                    [GAP_FILL <byte>] [LOAD_REGION NAME=START:SIZE])
#     Adds target <target>-export-<file name of OUTPUT>, built by default,
#     that writes the flash image with "elf-merge-map -O" whenever the image
#     changes. In that name every character of the file name other than a
#     letter, a digit and "_.+-" is "_", and a name already taken (OUTPUTs
#     of one file name in different directories) ends in "-2", "-3" and so
#     on, in the order of the calls. After elf_merge_check(<target>) without TEST, it waits for a
#     passing check; otherwise it follows the image alone.
#
#   elf_merge_module(<target>)
#     Marks the output of executable <target> as a module elf-merge takes
#     (EI_OSABI 97) after every link. A file that is not a big-endian ELF32
#     file fails the build and is removed.

cmake_policy(PUSH)
# DEPFILE paths are read as the generators document them (CMP0116).
cmake_policy(VERSION 3.20)

include("${CMAKE_CURRENT_LIST_DIR}/ElfMergeTargets.cmake")

function(elf_merge_add_image target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "OUTPUT" "OPTIONS;DEPENDS")
  if(NOT arg_OUTPUT OR NOT arg_OPTIONS OR arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR
      "usage: elf_merge_add_image(<target> OUTPUT <file> OPTIONS <elf-merge options>... [DEPENDS <files>...])")
  endif()
  cmake_path(ABSOLUTE_PATH arg_OUTPUT BASE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}" OUTPUT_VARIABLE image)
  # The tool itself reads the options and names every module file it read,
  # so no spelling of an option escapes the build. A $<TARGET_FILE:...> in
  # the command orders the build after that target.
  add_custom_command(OUTPUT "${image}"
    COMMAND ElfMerge::elf-merge ${arg_OPTIONS} -o "${image}" --dependency-file "${image}.d"
    DEPENDS ElfMerge::elf-merge ${arg_DEPENDS}
    DEPFILE "${image}.d"
    WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}"
    COMMENT "Merging ${arg_OUTPUT}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS "${image}")
  set_target_properties(${target} PROPERTIES ELF_MERGE_IMAGE "${image}" _ELF_MERGE_OPTIONS "${arg_OPTIONS}")
endfunction()

# elf_merge_check and elf_merge_export run the map, which a build without
# its libraries leaves out.
function(_elf_merge_needs_map function)
  if(NOT TARGET ElfMerge::elf-merge-map)
    message(FATAL_ERROR "${function}: this ElfMerge was built without elf-merge-map")
  endif()
endfunction()

# The image of a target made by elf_merge_add_image, for the function named.
function(_elf_merge_image_of target function out)
  if(TARGET ${target})
    get_target_property(image ${target} ELF_MERGE_IMAGE)
  endif()
  if(NOT image)
    message(FATAL_ERROR "${function}: ${target} was not made by elf_merge_add_image")
  endif()
  set(${out} "${image}" PARENT_SCOPE)
endfunction()

# Each item after an option of its own: --region A --region B.
function(_elf_merge_each option items out)
  set(words)
  foreach(item IN LISTS items)
    list(APPEND words ${option} "${item}")
  endforeach()
  set(${out} "${words}" PARENT_SCOPE)
endfunction()

function(elf_merge_check target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "TEST" "SHA256" "REGIONS;LOAD_REGIONS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "usage: elf_merge_check(<target of elf_merge_add_image> [REGIONS NAME=START:SIZE...] "
      "[LOAD_REGIONS NAME=START:SIZE...] [SHA256 <hex>] [TEST])")
  endif()
  _elf_merge_needs_map(elf_merge_check)
  _elf_merge_image_of(${target} elf_merge_check image)
  get_target_property(options ${target} _ELF_MERGE_OPTIONS)
  _elf_merge_each(--region "${arg_REGIONS}" regions)
  _elf_merge_each(--load-region "${arg_LOAD_REGIONS}" load_regions)
  _elf_merge_each(--sha256 "${arg_SHA256}" sha256)
  # With the module options the checker also compares every section's bytes
  # and the note with the modules themselves.
  set(check $<TARGET_FILE:ElfMerge::elf-merge-map> --check ${regions} ${load_regions} ${sha256} "${image}"
    -- ${options})
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
  set_target_properties(${target} PROPERTIES _ELF_MERGE_CHECKED "${stamp}")
endfunction()

function(elf_merge_export target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "FORMAT;OUTPUT;GAP_FILL;LOAD_REGION" "")
  if(NOT arg_FORMAT OR NOT arg_OUTPUT OR arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "usage: elf_merge_export(<target of elf_merge_add_image> FORMAT binary|ihex|srec "
      "OUTPUT <file> [GAP_FILL <byte>] [LOAD_REGION NAME=START:SIZE])")
  endif()
  _elf_merge_needs_map(elf_merge_export)
  _elf_merge_image_of(${target} elf_merge_export image)
  cmake_path(ABSOLUTE_PATH arg_OUTPUT BASE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}" OUTPUT_VARIABLE output)
  _elf_merge_each(--gap-fill "${arg_GAP_FILL}" gap_fill)
  _elf_merge_each(--load-region "${arg_LOAD_REGION}" load_region)
  # A flash image is written only from an image that passed its check,
  # where the build checks it.
  get_target_property(stamp ${target} _ELF_MERGE_CHECKED)
  set(after ${target})
  if(stamp)
    set(after ${target}-check)
  else()
    set(stamp)
  endif()
  add_custom_command(OUTPUT "${output}"
    COMMAND ElfMerge::elf-merge-map -O ${arg_FORMAT} ${gap_fill} ${load_region} "${image}" "${output}"
    DEPENDS "${image}" ${stamp} ElfMerge::elf-merge-map
    COMMENT "Exporting ${arg_OUTPUT}"
    VERBATIM)
  # A target's name holds letters, digits and "_.+-" alone; a name an
  # earlier export took (a file of the same name in another directory) is
  # numbered on, in the order of the calls.
  cmake_path(GET output FILENAME name)
  string(REGEX REPLACE "[^A-Za-z0-9_.+-]" "_" name "${name}")
  set(export ${target}-export-${name})
  set(n 2)
  while(TARGET ${export})
    set(export ${target}-export-${name}-${n})
    math(EXPR n "${n} + 1")
  endwhile()
  add_custom_target(${export} ALL DEPENDS "${output}")
  add_dependencies(${export} ${after})
endfunction()

# Linkers write EI_OSABI 0; elf-merge takes only modules marked 97
# (ELFOSABI_ARM). The file must begin as a big-endian ELF32 file (magic,
# ELFCLASS32, ELFDATA2MSB); one that does not is removed, so that the next
# build links it again rather than passing over it. Only sh, od and dd,
# which every host has.
function(elf_merge_module target)
  if(TARGET ${target})
    get_target_property(type ${target} TYPE)
  endif()
  if(NOT ARGC EQUAL 1 OR NOT type STREQUAL "EXECUTABLE")
    message(FATAL_ERROR "usage: elf_merge_module(<executable target>)")
  endif()
  string(CONCAT mark
    [[f=$1; if [ "$(od -A n -t x1 -N 6 "$f" | tr -d ' \n')" != 7f454c460102 ]; then ]]
    [[echo "elf_merge_module: $f is not a big-endian ELF32 file" >&2; rm -f "$f"; exit 1; fi; ]]
    [[printf '\141' | dd of="$f" bs=1 seek=7 conv=notrunc 2>/dev/null ]]
    [[|| { echo "elf_merge_module: cannot mark $f" >&2; exit 1; }]])
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND sh -c "${mark}" elf_merge_module $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()

cmake_policy(POP)
