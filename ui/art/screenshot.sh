#!/usr/bin/env bash
# Makes the README's screenshot from the real build: keyscour.exe in a
# throwaway Wine prefix with a small demo tree, searched for "Northwind".
#   ui/art/screenshot.sh [OUTPUT.png]     (default: ui/art/keyscour.png)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
out="${1:-$root/ui/art/keyscour.png}"
windows="$root/build/windows"
"$root/build.sh" build-windows
export WINEPREFIX="$root/build/screenshot-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
n=93
while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 1024x900x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
xvfb=$!
trap 'wineserver -k >/dev/null 2>&1 || true; kill $xvfb 2>/dev/null || true' EXIT
export DISPLAY=":$n"
sleep 1
wineboot -i >/dev/null 2>&1 </dev/null
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1 </dev/null
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x900 /f >/dev/null 2>&1 </dev/null
wine reg import "$(winepath -w "$root/ui/art/demo.reg" 2>/dev/null)" >/dev/null 2>&1 </dev/null
wine "$windows/ui/keyscour.exe" >/dev/null 2>&1 </dev/null &
wine "$windows/ui/keyscour-drive.exe" 2 'Software\Quillon Keyscour Demo' Northwind </dev/null
sleep 1
# The desktop trimmed to the window, frame included.
shot="$(mktemp --suffix=.png)"
import -display "$DISPLAY" -window root "$shot"
convert "$shot" -trim +repage "$out"
rm -f "$shot"
echo "$out"
