# bash completion for kestran-ctl                              -*- shell-script -*-
# Installed as share/bash-completion/completions/kestran-ctl.

# The COM names "kestran-ctl ports" lists, then device paths and gateway URLs.
_kestran_ctl_ports()
{
    local com
    com=$(kestran-ctl ports --csv 2>/dev/null | tr -d '\r' | tail -n +2 | cut -d, -f1)
    COMPREPLY=($(compgen -W "$com tcp:// rfc2217://" -- "$cur"))
    COMPREPLY+=($(compgen -f -- "$cur"))
    compopt -o filenames 2>/dev/null
    [[ ${#COMPREPLY[@]} == 1 && ${COMPREPLY[0]} == *:// ]] && compopt -o nospace 2>/dev/null
}

_kestran_ctl()
{
    local cur prev words cword
    if declare -F _init_completion >/dev/null; then
        _init_completion -n = || return
    else
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD - 1]}
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
    fi

    # The subcommand: the first word that is neither an option nor its value.
    local sub="" i
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --port | -d | --device | --from | -o | --output | --timeout | --retries | --duration | --count | --trace | \
                --only | --skip | --plant | --line | --ca | --cert | --key | --pin | --history | --who | --since | \
                --until | --at)
                ((i++)) ;;
            -*) ;;
            *) sub=${words[i]}; break ;;
        esac
    done

    case $prev in
        --port) _kestran_ctl_ports; return ;;
        -d | --device | --from) COMPREPLY=($(compgen -W "0 1 2 3 4 5 6 7" -- "$cur")); return ;;
        --pin) return ;;
        -o | --output | --trace | --plant | --ca | --cert | --key) COMPREPLY=($(compgen -f -- "$cur")); compopt -o filenames 2>/dev/null; return ;;
        --line | --who | --since | --until | --at) return ;;
        --history) COMPREPLY=($(compgen -W "default none sqlite: postgresql://" -- "$cur")); compopt -o nospace 2>/dev/null; return ;;
        --timeout | --retries | --duration | --count) return ;;
        --only | --skip)
            # NAMES: settings separated by commas; the last one is completed.
            local done=""
            [[ $cur == *,* ]] && done=${cur%,*},
            COMPREPLY=($(compgen -P "$done" -W "TARGET ACTUAL RESET DEBOUNCE0 DEBOUNCE1 DEBOUNCE2 ALARM" -- "${cur##*,}"))
            return ;;
    esac

    local common="--trace --ca --cert --key --pin -q --quiet -h --help"
    local opts words_too=""
    case $sub in
        "")
            COMPREPLY=($(compgen -W "ports read write backup restore check scan monitor history help -h --help --version" -- "$cur"))
            return ;;
        help)
            COMPREPLY=($(compgen -W "ports read write backup restore check scan monitor history" -- "$cur"))
            return ;;
        ports) opts="--json --csv" ;;
        read) opts="--port -d --device --json --csv --timeout --retries" ;;
        write)
            opts="--port -d --device --json --timeout --retries --history"
            words_too="TARGET= ACTUAL= RESET= DEBOUNCE0= DEBOUNCE1= DEBOUNCE2= ALARM=" ;;
        backup) opts="--port -d --device --all -o --output --timeout --retries --plant --line --history" ;;
        restore) opts="--port -d --device --from --only --skip --with-actual --dry-run --json --csv --timeout --retries --plant --line --history" ;;
        check) opts="--port --json --csv --timeout --retries --plant --line --with-actual --history" ;;
        history)
            opts="-d --device --line --who --since --until --at --count --verify --json --csv --history"
            words_too="TARGET ACTUAL RESET DEBOUNCE0 DEBOUNCE1 DEBOUNCE2 ALARM" ;;
        scan) opts="--port --json --csv --timeout --retries" ;;
        monitor) opts="--port --json --duration --count" ;;
        *) return ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$opts $common" -- "$cur"))
    elif [[ $sub == write ]]; then
        COMPREPLY=($(compgen -W "$words_too" -- "$cur"))
        [[ ${COMPREPLY[*]} == *= ]] && compopt -o nospace 2>/dev/null
    elif [[ $sub == history ]]; then
        COMPREPLY=($(compgen -W "$words_too" -- "$cur"))
    elif [[ $sub == restore || $sub == check ]]; then
        COMPREPLY=($(compgen -f -- "$cur"))
        compopt -o filenames 2>/dev/null
    fi
} &&
    complete -F _kestran_ctl kestran-ctl
