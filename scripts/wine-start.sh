#!/usr/bin/env bash
# Starts Wine for a run of Windows programs: makes the prefix when missing,
# and starts the wineserver with Wine's own background programs (services,
# explorer, ...) up front. Otherwise the first program of a run starts them,
# they inherit its standard output and error, and whoever reads those (ctest,
# a pipe) waits for them to end: that is, for the whole run. The server
# stays for 60 s after the last program; `wineserver -k` ends it sooner.
# Usage: wine-start.sh WINE_LOADER   (WINEPREFIX and WINEDEBUG from the caller)
set -euo pipefail
wine="${1:?usage: wine-start.sh WINE_LOADER}"
dir="$(dirname "$wine")"
server="$dir/wineserver64"
[ -x "$server" ] || server="$dir/wineserver"
: "${WINEPREFIX:?WINEPREFIX must be set}"
mkdir -p "$WINEPREFIX"
# Exit status 2: a server for this prefix runs already, which will do. The
# server, too, must not keep our standard streams.
"$server" -p60 </dev/null >/dev/null 2>&1 || [ $? = 2 ]
if ! "$wine" wineboot.exe -i </dev/null >/dev/null 2>&1; then
  echo "### ERROR: Wine cannot start ($wine, prefix $WINEPREFIX)" >&2
  exit 1
fi
