#!/usr/bin/env bash
# The window started where there is no desktop: one line that says it needs a graphical session
# and names flashupdate-cli, exit status 1, and none of Qt's report of its platform plugins nor
# an abort. Argument: the program.
set -uo pipefail
window=$1
fail() { echo "no display: $*" >&2; exit 1; }
# what, then the environment the window gets on top of one without any display.
check() {
    local what=$1 out status
    shift
    # Bounded: a window that did open somewhere must not outlive the test.
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$@" timeout 30 "$window" 2>&1 </dev/null)
    status=$?
    [[ $status -eq 1 ]] || fail "$what: exit status $status, said: $out"
    [[ $(printf '%s\n' "$out" | wc -l) -eq 1 ]] || fail "$what: more than one line: $out"
    [[ $out == "flashupdate: the window needs a graphical session, "*"flashupdate-cli"* ]] ||
        fail "$what: said '$out'"
}
check "no display variable"
# Named but not there: only Qt's platform finds out, when it cannot connect.
display=31999
[[ -e /tmp/.X11-unix/X$display ]] && fail "an X server runs on :$display; pick another display"
check "a display that is not there" DISPLAY=:$display
echo "no display: ok"
