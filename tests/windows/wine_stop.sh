#!/bin/sh
# Stops the wine server of this build's prefix (and every process under it).
"$WINESERVER" -k >/dev/null 2>&1
"$WINESERVER" -w >/dev/null 2>&1
exit 0
