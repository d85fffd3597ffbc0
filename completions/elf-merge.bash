# SPDX-License-Identifier: MIT
#
# bash completion for elf-merge and elf-merge-map. bash-completion loads
# completions/<command> when a command is first completed, so this one file
# is installed under both names. It needs nothing but bash itself.

# elf-merge options whose value is a file: the ELF module slots, then the
# raw image slots, -o and --dependency-file.
_elf_merge_elf_options='-k -e -f -d -u -v -E -c -a -n -W -L -K -N -S -b -C -x -y -F
  --kernel --quenlor --vo --zu --ra0 --ra1 --mivo --gul --pim --qy --wy --uq --fyx --dov
  --rak --tolvin --norvala --hux --lem --tej'
_elf_merge_any_file_options='-p -P --ka1 --ka2 -o --outfile --dependency-file'
# Those whose value is a hexadecimal number, and those without a value.
_elf_merge_number_options='-s -z --sd_addr --sd_size'
_elf_merge_flag_options='-r -h -V --rm --help --version'

# elf-merge-map options whose value is typed, not a file; -O names a format.
_elf_merge_map_typed_options='--gap-fill --region --load-region --sha256 --where'
_elf_merge_map_formats='binary ihex srec'
_elf_merge_map_options="--json --check -O --gap-fill --diff --svg --region --load-region --sha256
  --gdb --where --symbols -h --help -V --version --"

# Fills COMPREPLY with the files whose names start with $1.
_elf_merge_files() {
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -f -- "$1")
}

# The same for an ELF module: a linked executable often has no suffix, so
# every file is offered but raw images and flash images.
_elf_merge_modules() {
    local file
    compopt -o filenames 2>/dev/null
    COMPREPLY=()
    while IFS= read -r file; do
        case $file in
            *.bin | *.hex | *.srec) ;;
            *) COMPREPLY+=("$file") ;;
        esac
    done < <(compgen -f -- "$1")
}

# Fills COMPREPLY with the words of $1 that start with $2.
_elf_merge_words() {
    mapfile -t COMPREPLY < <(compgen -W "$1" -- "$2")
}

# The word being completed and the option before it. bash splits
# "--kernel=FILE" at the "=", which is skipped so that FILE completes after
# --kernel as it would after "--kernel ".
_elf_merge_current() {
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD - 1]}
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = && COMP_CWORD -ge 2 ]]; then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    fi
}

_elf_merge() {
    local cur prev
    _elf_merge_current
    if [[ " ${_elf_merge_elf_options//$'\n'/ } " == *" $prev "* ]]; then
        _elf_merge_modules "$cur"
    elif [[ " $_elf_merge_any_file_options " == *" $prev "* ]]; then
        _elf_merge_files "$cur"
    elif [[ " $_elf_merge_number_options " == *" $prev "* ]]; then
        COMPREPLY=()
    else
        _elf_merge_words "$_elf_merge_elf_options $_elf_merge_any_file_options $_elf_merge_number_options
          $_elf_merge_flag_options" "$cur"
    fi
}

# Before "--": the map's own options and the image (--svg FILE, --gdb FILE
# and the two images of --diff complete as files); after it, the options of the
# elf-merge run that wrote the image.
_elf_merge_map() {
    local cur prev i
    for ((i = 1; i < COMP_CWORD; i++)); do
        if [[ ${COMP_WORDS[i]} == -- ]]; then
            _elf_merge
            return
        fi
    done
    _elf_merge_current
    if [[ " $_elf_merge_map_typed_options " == *" $prev "* ]]; then
        COMPREPLY=()
    elif [[ $prev == -O ]]; then
        _elf_merge_words "$_elf_merge_map_formats" "$cur"
    elif [[ $cur == -* ]]; then
        _elf_merge_words "$_elf_merge_map_options" "$cur"
    else
        _elf_merge_files "$cur"
    fi
}

complete -F _elf_merge elf-merge
complete -F _elf_merge_map elf-merge-map
