# SPDX-License-Identifier: MIT
#
# bash completion for elf-merge and elf-merge-map. bash-completion loads
# completions/<command> when a command is first completed, so this one file
# is installed under both names. It needs bash and the tools themselves.

# elf-merge lists its own options and what each takes ("-k module",
# "-p file", "-s number", "-r flag"), from the table it reads them with; the
# list is asked for once per tool.
_elf_merge_listed_tool=
_elf_merge_listed=
_elf_merge_list_options() {
    if [[ $1 != "$_elf_merge_listed_tool" ]]; then
        _elf_merge_listed=$("$1" --list-options 2>/dev/null)
        _elf_merge_listed_tool=$1
    fi
}

# What the listed option $1 takes; nothing for a word that is no option.
_elf_merge_kind_of() {
    local option kind
    while read -r option kind; do
        [[ $option == "$1" ]] && { printf '%s\n' "$kind"; return; }
    done <<<"$_elf_merge_listed"
}

# elf-merge-map options whose value is typed, not a file; -O names a format.
_elf_merge_map_typed_options='--gap-fill --region --load-region --sha256 --where'
_elf_merge_map_formats='binary ihex srec'
_elf_merge_map_options="--json --check -O --gap-fill --diff --svg --region --load-region --sha256
  --gdb --where --symbols --symbolize -h --help -V --version --"

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

# The command line of elf-merge, the tool $1.
_elf_merge_complete() {
    local cur prev option
    _elf_merge_current
    _elf_merge_list_options "$1"
    case $(_elf_merge_kind_of "$prev") in
        module) _elf_merge_modules "$cur" ;;
        file) _elf_merge_files "$cur" ;;
        number) COMPREPLY=() ;;
        *) _elf_merge_words "$(while read -r option _; do printf '%s\n' "$option"; done <<<"$_elf_merge_listed")" "$cur" ;;
    esac
}

_elf_merge() {
    _elf_merge_complete "${COMP_WORDS[0]}"
}

# The elf-merge installed or built with the elf-merge-map $1: beside it, or
# one directory up (build/map/ in a build tree), else the one on PATH.
_elf_merge_beside() {
    local dir tool
    dir=$(dirname -- "$(type -P -- "$1")")
    for tool in "$dir/elf-merge" "$dir/../elf-merge"; do
        [[ -x $tool ]] && { echo "$tool"; return; }
    done
    echo elf-merge
}

# Before "--": the map's own options and the image (--svg FILE, --gdb FILE
# and the two images of --diff complete as files); after it, the options of the
# elf-merge run that wrote the image.
_elf_merge_map() {
    local cur prev i
    for ((i = 1; i < COMP_CWORD; i++)); do
        if [[ ${COMP_WORDS[i]} == -- ]]; then
            _elf_merge_complete "$(_elf_merge_beside "${COMP_WORDS[0]}")"
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
