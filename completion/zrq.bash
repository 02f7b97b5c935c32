# bash completion for zrq: its commands, each command's options, archives
# and folders, and for `cat` and `extract` the names of the archive's entries.
# Installed as share/bash-completion/completions/zrq, where bash-completion
# finds it the first time zrq is completed; without bash-completion, source
# this file from ~/.bashrc.

# The entries of ARCHIVE, stored names and output names, one a line, read
# from `zrq list --json` (the listing for scripts); names that JSON has to
# escape are left out rather than offered wrong.
_zrq_entry_names() {
    local archive=$1
    [[ -f $archive ]] || return
    "${COMP_WORDS[0]}" list --json "$archive" 2>/dev/null |
        sed -n 's/.*"name": "\([^"\\]*\)",.*"output": "\([^"\\]*\)".*/\1\n\2/p' |
        sort -u
}

# Files (any name: an archive has no extension of its own) or folders alone.
_zrq_paths() {
    local only_folders=$1
    if declare -F _filedir >/dev/null; then
        if [[ $only_folders == yes ]]; then _filedir -d; else _filedir; fi
        return
    fi
    compopt -o filenames 2>/dev/null || :
    if [[ $only_folders == yes ]]; then
        mapfile -t -O "${#COMPREPLY[@]}" COMPREPLY < <(compgen -d -- "$cur")
    else
        mapfile -t -O "${#COMPREPLY[@]}" COMPREPLY < <(compgen -f -- "$cur")
    fi
}

# Offers the lines of $1 (one candidate a line) that begin with the current
# word, quoted for the command line (a name may hold a space or a *).
_zrq_offer() {
    local candidate
    while IFS= read -r candidate; do
        [[ -n $candidate && $candidate == "$cur"* ]] &&
            COMPREPLY+=("$(printf '%q' "$candidate")")
    done <<<"$1"
}

# Offers the words of $1 that begin with the current word.
_zrq_words() {
    mapfile -t -O "${#COMPREPLY[@]}" COMPREPLY < <(compgen -W "$1" -- "$cur")
}

_zrq() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD-1]}
    COMPREPLY=()

    if ((COMP_CWORD == 1)); then
        _zrq_words "list test cat create extract mount unmount --help --version"
        return
    fi

    local command=${COMP_WORDS[1]}
    # The operands given before the current word: the words that are no
    # options. Options come before the operands, but extract's may stand
    # anywhere up to a "--" (which its patterns follow), -C with its folder.
    local operands=() options_end=no i word
    for ((i = 2; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ $options_end == no && $word == -- ]]; then
            options_end=yes
        elif [[ $options_end == no && $command == extract && $word == -C ]]; then
            ((i++))
        elif [[ $options_end == no && $word == -* &&
            ($command == extract || ${#operands[@]} -eq 0) ]]; then
            :
        else
            operands+=("$word")
        fi
    done
    # Where options may be offered.
    local option_place=no
    if [[ $options_end == no && $cur == -* &&
        ($command == extract || ${#operands[@]} -eq 0) ]]; then
        option_place=yes
    fi

    case $command in
        list)
            if [[ $option_place == yes ]]; then
                _zrq_words "--json"
            elif ((${#operands[@]} == 0)); then
                _zrq_paths no
            fi
            ;;
        test)
            ((${#operands[@]} == 0)) && _zrq_paths no
            ;;
        cat)
            if ((${#operands[@]} == 0)); then
                _zrq_paths no
            elif ((${#operands[@]} == 1)); then
                _zrq_offer "$(_zrq_entry_names "${operands[0]}")"
            fi
            ;;
        create)
            if [[ $option_place == yes ]]; then
                _zrq_words "--images --force --host-names"
            else
                _zrq_paths no
            fi
            ;;
        extract)
            if [[ $prev == -C ]]; then
                _zrq_paths yes
            elif [[ $option_place == yes ]]; then
                _zrq_words "-C --keep --"
            elif ((${#operands[@]} == 0)); then
                _zrq_paths no
            else
                _zrq_offer "$(_zrq_entry_names "${operands[0]}")"
            fi
            ;;
        mount)
            if [[ $option_place == yes ]]; then
                _zrq_words "-f --foreground"
            elif ((${#operands[@]} == 0)); then
                _zrq_paths no
            elif ((${#operands[@]} == 1)); then
                _zrq_paths yes
            fi
            ;;
        unmount)
            ((${#operands[@]} == 0)) && _zrq_paths yes
            ;;
    esac
}

complete -F _zrq zrq
