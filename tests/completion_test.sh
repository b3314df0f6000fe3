#!/usr/bin/env bash
# The bash completion of flashupdate-cli, as bash runs it: options, and port names from
# --list-ports. Arguments: the program, the completion file.
set -euo pipefail
cli=$1
# shellcheck source=/dev/null
source "$2"
completions() {
    COMP_WORDS=("$cli" "$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _flashupdate_cli
    echo " ${COMPREPLY[*]} "
}
fail() { echo "completion: $*" >&2; exit 1; }

[[ $(completions --re) == " --retries " ]] || fail "--re gives '$(completions --re)'"
ports=$(FLASHUPDATE_COM3=rfc2217://rack7:4001 FLASHUPDATE_COM4=/dev/ttyUSB9 completions -p "")
[[ $ports == *" 1 "* && $ports == *" 4 "* ]] || fail "no Com numbers in '$ports'"
[[ $ports == *" /dev/ttyUSB9 "* ]] || fail "no device of the map in '$ports'"
