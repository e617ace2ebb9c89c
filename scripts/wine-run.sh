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
status=0
(
  flock 9
  # Exit status 2: a server for this prefix is already running.
  status=0
  "$wine_dir/wineserver" -p 9>&- || status=$?
  if [ "$status" -eq 0 ]; then
    "$wine_dir/wine64" cmd /c exit 0 9>&- || status=$?
  fi
  [ "$status" -eq 0 ] || [ "$status" -eq 2 ] || exit "$status"
) 9>"$WINEPREFIX.lock" </dev/null >/dev/null 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  echo "wine-run.sh: starting Wine's server failed ($status); going on" >&2
fi

exec "$wine_dir/wine64" "$@"
