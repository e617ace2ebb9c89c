#!/usr/bin/env bash
# Runs a Windows program under Wine with no display, as CTest's emulator
# for the mingw-w64 builds: scripts/wine-run.sh PROGRAM.exe ARGS...
#
# WINEPREFIX defaults to a folder of its own under $TMPDIR. The first call
# starts a persistent wineserver and Wine's services with their standard
# streams detached: started by a test they would inherit CTest's pipes and
# keep it waiting, and a fresh server per program costs seconds. Stop the
# server with `WINEPREFIX=... /usr/lib/wine/wineserver -k` (never -w: a
# persistent server does not exit by itself).
set -euo pipefail
wine_dir=/usr/lib/wine
export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/edgemap-wine-$(id -u)}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
# Wine opens Unix names outside ASCII only under a UTF-8 locale.
export LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY

mkdir -p "$WINEPREFIX"
server_pid_file="$WINEPREFIX.server"
server_running() {
  local pid
  pid=$(cat "$server_pid_file" 2>/dev/null) || return 1
  [[ $(cat "/proc/$pid/comm" 2>/dev/null) == wineserver* ]]
}
# Only the first call starts anything; later calls just check the server's
# process id. Asking wineserver itself every time made a program now and
# then exit at once without a word.
if ! server_running; then
  (
    flock 9
    if ! server_running; then
      setsid "$wine_dir/wineserver" --foreground --persistent \
        9>&- </dev/null >/dev/null 2>&1 &
      echo $! >"$server_pid_file"
      "$wine_dir/wine64" cmd /c exit 0 9>&- </dev/null >/dev/null 2>&1 ||
        echo "wine-run.sh: Wine's first program failed; going on" >&2
    fi
  ) 9>"$WINEPREFIX.lock"
fi

exec "$wine_dir/wine64" "$@"
