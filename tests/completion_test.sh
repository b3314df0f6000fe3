#!/usr/bin/env bash
# The bash completion of flashupdate-cli, as bash runs it: options, and port names from
# --list-ports, only those that lead somewhere, also after "--port=". Arguments: the program, the
# completion file.
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

[[ $(completions --ret) == " --retries " ]] || fail "--ret gives '$(completions --ret)'"
[[ $(completions --tls-k) == " --tls-key " ]] || fail "--tls-k gives '$(completions --tls-k)'"
present=$(mktemp)
trap 'rm -f "$present"' EXIT
export FLASHUPDATE_COM3=$present FLASHUPDATE_COM4=/dev/ttyUSB9
for words in "-p|" "--port|" "--port|=|"; do
    IFS='|' read -r -a split <<< "$words"
    ports=$(completions "${split[@]}" "")
    [[ $ports == *" 1 "* && $ports == *" 4 "* ]] || fail "no Com numbers after $words in '$ports'"
    [[ $ports == *" $present "* ]] || fail "the map's device that is there is missing in '$ports'"
    [[ $ports != *"/dev/ttyUSB9"* ]] || fail "a device that is not there is offered: '$ports'"
done
# Tab right after "--port=": the word bash hands over is the "=" itself.
ports=$(completions --port =)
[[ $ports == *" 1 "* && $ports == *" $present "* ]] || fail "nothing after '--port=': '$ports'"
[[ $(completions "--port=/dev/ttyUSB") != *ttyUSB9* ]] || fail "--port=PREFIX offers a missing device"
echo "completion: ok"
