# bash completion for lzw(1): the options before the mode, the six modes, then the input and
# the output (file names, or "-" for standard input and output); after -t a decompression
# mode or the file, after -l the file, after -B a block size, after -T a thread count, after -R a
# range (nothing to offer). Installed as
# share/bash-completion/completions/lzw; to try it without installing: source completion/lzw.bash

_lzw() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local i=1 ended=0 view=
    COMPREPLY=()
    # The options before the mode; "--" ends them.
    while ((i < COMP_CWORD)); do
        case ${COMP_WORDS[i]} in
            --) ended=1; ((i++)); break ;;
            -B | -T | -R) ((i += 2)) ;;
            -t | -l) view=${COMP_WORDS[i]}; ((i++)) ;;
            -?*) ((i++)) ;;
            *) break ;;
        esac
    done
    if ((i > COMP_CWORD)); then
        # The size after -B, the thread count after -T; a range is the user's own.
        local values='64K 256K 1M 4M 16M'
        [[ ${COMP_WORDS[COMP_CWORD - 1]} == -T ]] && values='0 1 2 4 8'
        [[ ${COMP_WORDS[COMP_CWORD - 1]} == -R ]] && return
        mapfile -t COMPREPLY < <(compgen -W "$values" -- "$cur")
        return
    fi
    local files=0
    case $view:$((COMP_CWORD - i)) in
        :0 | -t:0 | -l:0)
            if [[ $cur == -* && $ended == 0 ]]; then
                mapfile -t COMPREPLY < <(compgen -W '-q -v -f -F --frame -B -T -R -t -l -h --help --version --no-seek-table --' -- "$cur")
            elif [[ -z $view ]]; then
                mapfile -t COMPREPLY < <(compgen -W 'c1 d1 c2 d2 c3 d3' -- "$cur")
            else
                [[ $view == -t ]] && mapfile -t COMPREPLY < <(compgen -W 'd1 d2 d3' -- "$cur")
                files=1
            fi
            ;;
        :1 | :2) files=1 ;;
        -t:1) [[ ${COMP_WORDS[i]} == d[123] ]] && files=1 ;;
    esac
    if ((files)); then
        compopt -o filenames 2>/dev/null
        local names
        mapfile -t names < <(compgen -f -- "$cur")
        COMPREPLY+=("${names[@]}")
        if [[ - == "$cur"* ]]; then COMPREPLY+=(-); fi
    fi
}
complete -F _lzw lzw
