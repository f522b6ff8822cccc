#!/bin/sh
# Starts the one wine server that every Windows test of a ctest run shares,
# creating the wine prefix on first use (about 700 MB and several seconds).
# Expects WINEPREFIX, WINE64 and WINESERVER in the environment.
set -u
mkdir -p "$WINEPREFIX" || exit 1
log="$WINEPREFIX/../wineboot.log"
# A server left behind by an interrupted run would keep stale state.
"$WINESERVER" -k >/dev/null 2>&1
# Daemons must not hold ctest's output pipe open: send all their output away.
"$WINESERVER" -p </dev/null >/dev/null 2>&1 || { echo "wineserver -p failed"; exit 1; }
# Without 32-bit wine, wineboot reports the missing syswow64 helpers and may
# exit non-zero; the prefix is usable all the same, which is checked below.
DISPLAY= WINEDLLOVERRIDES="mscoree,mshtml=" "$WINE64" wineboot -i </dev/null >"$log" 2>&1
if [ ! -d "$WINEPREFIX/drive_c/windows/system32" ]; then
  echo "wine prefix was not created in $WINEPREFIX:"
  cat "$log"
  exit 1
fi
exit 0
