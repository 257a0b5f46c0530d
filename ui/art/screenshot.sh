#!/usr/bin/env bash
# Makes the README's screenshots from the real build: keyscour.exe in a
# throwaway Wine prefix with a small demo tree: the window as it opens,
# after a search for "Northwind", and after Replace All.
#   ui/art/screenshot.sh [OUTPUT_DIR]     (default: ui/art)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
out="${1:-$root/ui/art}"
windows="$root/build/windows"
"$root/build.sh" build-windows
export WINEPREFIX="$root/build/screenshot-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
n=93
while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 1280x1400x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
xvfb=$!
trap 'wineserver -k >/dev/null 2>&1 || true; kill $xvfb 2>/dev/null || true' EXIT
export DISPLAY=":$n"
sleep 1
wineboot -i >/dev/null 2>&1 </dev/null
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1 </dev/null
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1280x1400 /f >/dev/null 2>&1 </dev/null
wineserver -k >/dev/null 2>&1 </dev/null || true   # the desktop setting takes effect at the next start
wineboot -i >/dev/null 2>&1 </dev/null
wine reg import "$(winepath -w "$root/ui/art/demo.reg" 2>/dev/null)" >/dev/null 2>&1 </dev/null
# The desktop trimmed to the window, frame included.
shoot() {
    local shot
    shot="$(mktemp --suffix=.png)"
    sleep 1
    import -display "$DISPLAY" -window root "$shot"
    convert "$shot" -trim +repage "$1"
    rm -f "$shot"
    echo "$1"
}
demo='Software\Quillon Keyscour Demo'
wine "$windows/ui/keyscour.exe" >/dev/null 2>&1 </dev/null &
sleep 4
shoot "$out/keyscour-idle.png"
wine "$windows/ui/keyscour-drive.exe" 2 "$demo" Northwind </dev/null
shoot "$out/keyscour.png"
wine "$windows/ui/keyscour-drive.exe" 2 "$demo" Northwind 'C:\Program Files\Fabrikam' </dev/null
shoot "$out/keyscour-replaced.png"
