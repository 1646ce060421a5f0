# bash completion for btsetter.  Installed as
# share/bash-completion/completions/btsetter; to try it by hand:
#   source scripts/btsetter-completion.bash
# BTSETTER_COMPLETION_DEV replaces /dev when looking for ports (for tests).

# The rates btsetter accepts, ascending as its help text lists them.
_btsetter_rates='1200 2400 4800 9600 19200 38400 57600 115200 230400 460800 921600 1382400'

# Device nodes matching the patterns of btsetter's port list, in its order,
# that begin with $1.  Without any, file names: a port may be any path (a
# symbolic link, a pseudo-terminal).
_btsetter_ports() {
    local cur=$1 dev=${BTSETTER_COMPLETION_DEV:-/dev} pattern node
    local -a nodes=()
    # Byte order within a pattern, as the port list sorts; the user's glob
    # options stay as they were.
    local LC_ALL=C restore
    restore=$(shopt -p nullglob failglob dotglob nocaseglob)
    shopt -s nullglob
    shopt -u failglob dotglob nocaseglob
    for pattern in 'ttyACM*' 'ttyS*' 'ttyUSB*' 'tty.*' 'cu.*' 'ttyAMA*'; do
        for node in "$dev"/$pattern; do
            [[ -e $node && $node == "$cur"* ]] && nodes+=("$node")
        done
    done
    eval "$restore"
    if ((${#nodes[@]} > 0)); then
        COMPREPLY=("${nodes[@]}")
    elif [[ -n $cur ]]; then
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
}

_btsetter() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()

    case $prev in
        -b | --baud | --set-baud)
            mapfile -t COMPREPLY < <(compgen -W "$_btsetter_rates" -- "$cur")
            return 0
            ;;
        -p | --port)
            _btsetter_ports "$cur"
            return 0
            ;;
        --set-name | --set-pin)
            return 0 # free text
            ;;
    esac

    # Each option once: a value option given twice is a parse error.  Forms
    # of one option share a line.
    local groups='-p --port
-b --baud
--set-name
--set-pin
--set-baud
--detect-ports
-h --help
--version'
    local group word i used offered=()
    while IFS= read -r group; do
        used=
        for ((i = 1; i < COMP_CWORD; i++)); do
            for word in $group; do
                [[ ${COMP_WORDS[i]} == "$word" ]] && used=1
            done
        done
        [[ -z $used ]] && offered+=($group)
    done <<<"$groups"
    mapfile -t COMPREPLY < <(compgen -W "${offered[*]}" -- "$cur")
    return 0
}

complete -F _btsetter btsetter
