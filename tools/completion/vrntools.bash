# bash completion for the vrntools programs: vrnprog, vrnstat, vrndump,
# vrnrec, vrnscan and vrnsim. Installed once per program name, where
# bash-completion looks them up (share/bash-completion/completions); it
# needs nothing of bash-completion's own functions, so that `source`-ing
# it works too.
#
# The options are those each program's --help lists; the package checks
# (scripts/package-tests.sh) compare the two.

# Sets COMPREPLY to the words of $1 that start with $2.
_vrn_reply_words() {
    local IFS=$' \t\n'
    COMPREPLY=($(compgen -W "$1" -- "$2"))
}

# Sets COMPREPLY to the file and folder names that start with $1.
_vrn_reply_files() {
    compopt -o filenames 2>/dev/null
    local IFS=$'\n'
    COMPREPLY=($(compgen -f -- "$1"))
}

# Reads the command line into _vrn_cur (the word being completed),
# _vrn_option (the option whose value it is, or empty), _vrn_args (the
# plain arguments before it, options and their values left out) and
# _vrn_argc. $1: the options that take a value, space-separated.
# "--opt=value" counts as one option: bash splits it at the '='.
_vrn_read_line() {
    local takes=" $1 " i word
    _vrn_cur=${COMP_WORDS[COMP_CWORD]}
    _vrn_option=
    _vrn_args=()
    if ((COMP_CWORD >= 2)) && [[ ${COMP_WORDS[COMP_CWORD - 1]} == "=" ]]; then
        _vrn_option=${COMP_WORDS[COMP_CWORD - 2]}
    elif [[ $_vrn_cur == "=" ]] && ((COMP_CWORD >= 1)); then
        _vrn_option=${COMP_WORDS[COMP_CWORD - 1]}
        _vrn_cur=
    elif ((COMP_CWORD >= 1)) && [[ $takes == *" ${COMP_WORDS[COMP_CWORD - 1]} "* ]]; then
        _vrn_option=${COMP_WORDS[COMP_CWORD - 1]}
    fi
    [[ $_vrn_option == -* && $takes == *" $_vrn_option "* ]] || _vrn_option=
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ $word == -* ]]; then
            if [[ ${COMP_WORDS[i + 1]} == "=" ]]; then
                i=$((i + 2))
            elif [[ $takes == *" $word "* ]]; then
                i=$((i + 1))
            fi
        else
            _vrn_args+=("$word")
        fi
    done
    _vrn_argc=${#_vrn_args[@]}
}

_vrnprog() {
    _vrn_read_line "--wait --in-flight --backup --jobs"
    case $_vrn_option in
    --wait) _vrn_reply_words "auto" "$_vrn_cur"; return ;;
    --backup) _vrn_reply_files "$_vrn_cur"; return ;;
    --jobs | --in-flight) COMPREPLY=(); return ;;
    esac
    if [[ $_vrn_cur == -* ]]; then
        _vrn_reply_words "--skip-erased --changed-only --wait --in-flight --backup --jobs --json --help --version" "$_vrn_cur"
    elif ((_vrn_argc == 3)); then
        _vrn_reply_files "$_vrn_cur"  # ip port sector FILE
    else
        COMPREPLY=()
    fi
}

_vrnstat() {
    _vrn_read_line "--wait --in-flight"
    case $_vrn_option in
    --wait) _vrn_reply_words "auto" "$_vrn_cur"; return ;;
    --in-flight) COMPREPLY=(); return ;;
    esac
    COMPREPLY=()
    [[ $_vrn_cur == -* ]] && _vrn_reply_words "--wait --in-flight --json --help --version" "$_vrn_cur"
}

_vrndump() {
    _vrn_read_line "--wait --in-flight"
    case $_vrn_option in
    --wait) _vrn_reply_words "auto" "$_vrn_cur"; return ;;
    --in-flight) COMPREPLY=(); return ;;
    esac
    if [[ $_vrn_cur == -* ]]; then
        _vrn_reply_words "--wait --in-flight --help --version" "$_vrn_cur"
    elif ((_vrn_argc == 4)); then
        _vrn_reply_files "$_vrn_cur"  # ip port sector count FILE
    else
        COMPREPLY=()
    fi
}

_vrnrec() {
    local netcfg="--sig --ip --mask --gate --port --timeout --comment"
    local icr="--sig --size --serial --type --ver --devid --date --comment"
    local common="--from --force -o --output --help"
    _vrn_read_line "--from -o --output --as $netcfg $icr"
    case $_vrn_option in
    --from | -o | --output) _vrn_reply_files "$_vrn_cur"; return ;;
    --as) _vrn_reply_words "netcfg icr" "$_vrn_cur"; return ;;
    -*) COMPREPLY=(); return ;;  # a field's value
    esac
    local command=${_vrn_args[0]-}
    if [[ -z $command ]]; then
        if [[ $_vrn_cur == -* ]]; then
            _vrn_reply_words "--help --version" "$_vrn_cur"
        else
            _vrn_reply_words "netcfg icr show" "$_vrn_cur"
        fi
        return
    fi
    case $command in
    netcfg) [[ $_vrn_cur == -* ]] && _vrn_reply_words "$netcfg $common" "$_vrn_cur" || COMPREPLY=() ;;
    icr) [[ $_vrn_cur == -* ]] && _vrn_reply_words "$icr $common" "$_vrn_cur" || COMPREPLY=() ;;
    show)
        if [[ $_vrn_cur == -* ]]; then
            _vrn_reply_words "--as --help" "$_vrn_cur"
        else
            _vrn_reply_files "$_vrn_cur"
        fi
        ;;
    *) COMPREPLY=() ;;
    esac
}

_vrnscan() {
    _vrn_read_line "--port --wait --in-flight --jobs"
    case $_vrn_option in
    --wait) _vrn_reply_words "auto" "$_vrn_cur"; return ;;
    --port | --jobs | --in-flight) COMPREPLY=(); return ;;
    esac
    COMPREPLY=()
    [[ $_vrn_cur == -* ]] && _vrn_reply_words "--port --wait --in-flight --info --jobs --json --csv --help --version" "$_vrn_cur"
}

_vrnsim() {
    local values="--address --port --chip --maker --flash --dfa --vrbus --pcap --answer-delay --latency --queue --jitter --seed
        --drop-request --drop-ack --dup-ack --delay-ack --hold-request --dup-request --split-ack --corrupt-magic --other-port --foreign-address
        --outage --faults-after --fault-limit --busy-polls --stuck-cell --bridge-grant-after --bridge-done-after"
    local flags="--trace --erase-never-ends --dead-chip --bridge-never-grants --help --version"
    _vrn_read_line "$values"
    case $_vrn_option in
    --flash | --pcap) _vrn_reply_files "$_vrn_cur"; return ;;
    --chip) _vrn_reply_words "amd:0xA3:8 intel:0x18:16" "$_vrn_cur"; return ;;
    --address) _vrn_reply_words "127.0.0.1" "$_vrn_cur"; return ;;
    -*) COMPREPLY=(); return ;;
    esac
    COMPREPLY=()
    [[ $_vrn_cur == -* ]] && _vrn_reply_words "$values $flags" "$_vrn_cur"
}

complete -F _vrnprog vrnprog
complete -F _vrnstat vrnstat
complete -F _vrndump vrndump
complete -F _vrnrec vrnrec
complete -F _vrnscan vrnscan
complete -F _vrnsim vrnsim
