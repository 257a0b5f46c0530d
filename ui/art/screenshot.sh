#!/usr/bin/env bash
# Makes the README's screenshots from the real build: keyscour.exe in a
# throwaway Wine prefix with a small demo tree: the window as it opens,
# after a search for "Northwind", and after Replace All. Given a DPI other
# than 96, it sets that DPI in the prefix and shoots only the searched
# window, as keyscour-<DPI>dpi.png.
#   ui/art/screenshot.sh [OUTPUT_DIR] [DPI]     (default: ui/art 96)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
out="${1:-$root/ui/art}"
dpi="${2:-96}"
# At a high DPI, a common screen: the window must fit it.
screen=1280x1400
[ "$dpi" = 96 ] || screen=1280x1024
windows="$root/build/windows"
"$root/build.sh" build-windows
export WINEPREFIX="$root/build/screenshot-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
n=93
while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 "${screen}x24" -nolisten tcp >/dev/null 2>&1 </dev/null &
xvfb=$!
trap 'wineserver -k >/dev/null 2>&1 || true; kill $xvfb 2>/dev/null || true' EXIT
export DISPLAY=":$n"
sleep 1
wineboot -i >/dev/null 2>&1 </dev/null
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1 </dev/null
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "$screen" /f >/dev/null 2>&1 </dev/null
wineserver -k >/dev/null 2>&1 </dev/null || true   # the desktop setting takes effect at the next start
wineboot -i >/dev/null 2>&1 </dev/null
wine reg import "$(winepath -w "$root/ui/art/demo.reg" 2>/dev/null)" >/dev/null 2>&1 </dev/null
if [ "$dpi" != 96 ]; then
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1 </dev/null
else
    wine reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1 </dev/null || true
fi
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
if [ "$dpi" != 96 ]; then
    wine "$windows/ui/keyscour-drive.exe" 2 "$demo" Northwind </dev/null
    shoot "$out/keyscour-${dpi}dpi.png"
    exit 0
fi
shoot "$out/keyscour-idle.png"
wine "$windows/ui/keyscour-drive.exe" 2 "$demo" Northwind </dev/null
shoot "$out/keyscour.png"
wine "$windows/ui/keyscour-drive.exe" 2 "$demo" Northwind 'C:\Program Files\Fabrikam' </dev/null
shoot "$out/keyscour-replaced.png"
wine "$windows/ui/keyscour-drive.exe" 2 "$demo" Fabrikam --menu </dev/null
shoot "$out/keyscour-menu.png"
