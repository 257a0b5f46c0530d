#!/usr/bin/env bash
# Tries the release files as a user would: the installer silently in a
# throwaway Wine prefix (files, shortcut, uninstall entry, keyscour-cli.exe
# --version from the installed folder, then the silent uninstall leaving only
# the undo folder), the zip unpacked and run, the .deb unpacked and run.
#   dist/try-dist.sh VERSION DIST_DIR
set -euo pipefail
version="$1" dist="$(cd "$2" && pwd)"
work="$dist/try"
rm -rf "$work"
mkdir -p "$work"
fail() { printf 'dist check failed: %s\n' "$*" >&2; exit 1; }
(cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS"

export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot -i >/dev/null 2>&1 </dev/null || true
drive="$WINEPREFIX/drive_c"
folder="$drive/KeyscourTest"
wine "$dist/QuillonKeyscour-$version-win64-setup.exe" /S '/D=C:\KeyscourTest' >/dev/null 2>&1 </dev/null
wineserver -w
for file in keyscour.exe keyscour-cli.exe README.txt LICENSE.txt uninstall.exe; do
    [ -f "$folder/$file" ] || fail "not installed: $file"
done
shortcut="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Quillon Keyscour.lnk"
[ -f "$shortcut" ] || fail "no Start-menu shortcut"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\QuillonKeyscour'
entry="$(wine reg query "$key" 2>/dev/null </dev/null | tr -d '\r')"
for field in DisplayName DisplayVersion Publisher EstimatedSize DisplayIcon UninstallString QuietUninstallString; do
    grep -q "$field" <<<"$entry" || fail "uninstall entry without $field"
done
grep -q "DisplayVersion.*$version" <<<"$entry" || fail "uninstall entry with another version"
installed="$(wine 'C:\KeyscourTest\keyscour-cli.exe' --version 2>/dev/null </dev/null | tr -d '\r')"
[ "$installed" = "keyscour-cli $version" ] || fail "installed keyscour-cli.exe --version said: $installed"

# The user's undo files are theirs: the uninstaller leaves them.
undo="$drive/users/$(id -un)/AppData/Local/Quillon Keyscour/Undo"
mkdir -p "$undo"
echo kept > "$undo/2026-12-09 10.00.00.reg"
wine 'C:\KeyscourTest\uninstall.exe' /S >/dev/null 2>&1 </dev/null
wineserver -w
[ ! -e "$folder" ] || fail "the install folder is still there: $(ls "$folder")"
[ ! -e "$shortcut" ] || fail "the shortcut is still there"
if wine reg query "$key" >/dev/null 2>&1 </dev/null; then fail "the uninstall entry is still there"; fi
[ -f "$undo/2026-12-09 10.00.00.reg" ] || fail "the uninstaller took the undo files"
wineserver -k >/dev/null 2>&1 || true

unzip -q "$dist/QuillonKeyscour-$version-win64.zip" -d "$work/zip"
from_zip="$(wine "$work/zip/QuillonKeyscour-$version/keyscour-cli.exe" --version 2>/dev/null </dev/null | tr -d '\r')"
[ "$from_zip" = "keyscour-cli $version" ] || fail "the zip's keyscour-cli.exe --version said: $from_zip"
wineserver -k >/dev/null 2>&1 || true

dpkg-deb -x "$dist/quillon-keyscour_${version}_amd64.deb" "$work/deb"
from_deb="$("$work/deb/usr/bin/keyscour-cli" --version)"
[ "$from_deb" = "keyscour-cli $version" ] || fail "the package's keyscour-cli --version said: $from_deb"
[ -f "$work/deb/usr/share/man/man1/keyscour-cli.1.gz" ] || fail "no man page"
rm -rf "$work"
echo "dist: installer, zip and package tried"
