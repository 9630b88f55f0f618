# bash completion for lzw(1): the options before the mode, the six modes, then the input and
# the output (file names, or "-" for standard input and output). Installed as
# share/bash-completion/completions/lzw; to try it without installing: source completion/lzw.bash

_lzw() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local i=1 ended=0
    # The options before the mode; "--" ends them.
    while ((i < COMP_CWORD)); do
        case ${COMP_WORDS[i]} in
            --) ended=1; ((i++)); break ;;
            -?*) ((i++)) ;;
            *) break ;;
        esac
    done
    COMPREPLY=()
    case $((COMP_CWORD - i)) in
        0)
            if [[ $cur == -* && $ended == 0 ]]; then
                mapfile -t COMPREPLY < <(compgen -W '-q -v -f -h --help --version --' -- "$cur")
            else
                mapfile -t COMPREPLY < <(compgen -W 'c1 d1 c2 d2 c3 d3' -- "$cur")
            fi
            ;;
        1 | 2)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            if [[ - == "$cur"* ]]; then COMPREPLY+=(-); fi
            ;;
    esac
}
complete -F _lzw lzw
