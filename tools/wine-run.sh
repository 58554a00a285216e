#!/usr/bin/env bash
# Runs a Windows program of the cross build under Wine: the emulator that ctest puts in front of
# every test command of that build (CMAKE_CROSSCOMPILING_EMULATOR), usable by hand as well:
#   tools/wine-run.sh build-windows/tst_manifest.exe [arguments...]
# WINEPREFIX defaults to a prefix beside the program; one wineserver per prefix keeps later starts
# quick.
set -euo pipefail
program=$1
shift
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine || true)
if [ -z "$wine" ]; then
    echo "wine-run: Wine is not installed (Debian: wine64)" >&2
    exit 127
fi
export WINEPREFIX=${WINEPREFIX:-$(cd "$(dirname "$program")" && pwd)/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
# no Mono or Gecko installer dialogs when a prefix is made
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree=;mshtml=}
# A Qt Test program's log reaches neither a pipe nor a redirected file under Wine, only a file
# it opens itself: it is written to one and shown afterwards.
case "$(basename "$program")" in
tst_*)
    case " $* " in *" -o "*) exec "$wine" "$program" "$@" ;; esac
    log=$(mktemp)
    trap 'rm -f "$log"' EXIT
    status=0
    "$wine" "$program" "$@" -o "$log,txt" || status=$?
    cat "$log"
    exit "$status"
    ;;
esac
exec "$wine" "$program" "$@"
