#!/bin/sh
# Runs a Windows program under wine as the tests do: no debug chatter, no
# display, and a prefix of the build's own unless WINEPREFIX says otherwise.
# The exit status is the program's.
: "${WINEPREFIX:=${TMPDIR:-/tmp}/veltor-wine}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY
exec wine "$@"
