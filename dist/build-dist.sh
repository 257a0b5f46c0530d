#!/usr/bin/env bash
# Builds the release files from finished builds: the Windows installer (NSIS),
# the portable zip, the Debian package of the native keyscour-cli, and
# SHA256SUMS over the three.
#   dist/build-dist.sh VERSION NATIVE_BUILD WINDOWS_BUILD OUT_DIR
set -euo pipefail
version="$1" native="$2" windows="$3" out="$4"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
stage="$out/stage"
# Reproducible: every file's time is the last commit's, or a fixed one.
export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 1765238400)}"
export TZ=UTC
rm -rf "$out"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
stage="$out/stage"
mkdir -p "$stage"

# ----- Windows: the files both the installer and the zip hold -----
win="$stage/QuillonKeyscour-$version"
mkdir -p "$win"
for exe in ui/keyscour.exe cli/keyscour-cli.exe; do
    x86_64-w64-mingw32-strip -o "$win/$(basename "$exe")" "$windows/$exe"
done
sed 's/$/\r/' "$root/README.md" > "$win/README.txt"
sed 's/$/\r/' "$root/LICENSE" > "$win/LICENSE.txt"
find "$win" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
size_kb="$(du -sk "$win" | cut -f1)"

setup="QuillonKeyscour-$version-win64-setup.exe"
makensis -V2 -DVERSION="$version" -DBUILD="$win" -DOUT="$out/$setup" -DSIZE_KB="$size_kb" "$root/dist/installer.nsi"

zipfile="QuillonKeyscour-$version-win64.zip"
(cd "$stage" && find "QuillonKeyscour-$version" -print | LC_ALL=C sort | zip -q -X -D -@ "$out/$zipfile")

# ----- Debian: the native keyscour-cli -----
deb="$stage/deb"
package=quillon-keyscour
install -d -m 0755 "$deb/DEBIAN" "$deb/usr/bin" "$deb/usr/share/man/man1" "$deb/usr/share/doc/$package"
install -m 0755 "$native/cli/keyscour-cli" "$deb/usr/bin/keyscour-cli"
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$deb/usr/bin/keyscour-cli"
sed "s/@VERSION@/$version/" "$root/dist/keyscour-cli.1" | gzip -9n > "$deb/usr/share/man/man1/keyscour-cli.1.gz"
cat > "$deb/usr/share/doc/$package/copyright" <<COPYRIGHT
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Quillon Keyscour

Files: *
Copyright: 2026 Quillon
License: Expat
$(sed -e 's/^$/./' -e 's/^/ /' "$root/LICENSE" | tail -n +4)
COPYRIGHT
printf '%s (%s) unstable; urgency=medium\n\n  * Release %s.\n\n -- Quillon <keyscour@example.com>  %s\n' \
    "$package" "$version" "$version" "$(date -R -d "@$SOURCE_DATE_EPOCH")" | gzip -9n > "$deb/usr/share/doc/$package/changelog.gz"
chmod 0644 "$deb/usr/share/doc/$package/"* "$deb/usr/share/man/man1/"*
# What the program links decides what the package depends on.
shlibs="$(mktemp -d)"
mkdir -p "$shlibs/debian"
printf 'Source: %s\n\nPackage: %s\nArchitecture: amd64\n' "$package" "$package" > "$shlibs/debian/control"
depends="$(cd "$shlibs" && dpkg-shlibdeps -O -e"$deb/usr/bin/keyscour-cli" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')"
rm -rf "$shlibs"
installed_kb="$(du -sk --exclude=DEBIAN "$deb" | cut -f1)"
cat > "$deb/DEBIAN/control" <<CONTROL
Package: $package
Version: $version
Architecture: amd64
Maintainer: Quillon <keyscour@example.com>
Installed-Size: $installed_kb
Depends: ${depends:-libc6, libhivex0, libstdc++6, libgcc-s1}
Section: utils
Priority: optional
Homepage: https://www.example.com/quillon-keyscour
Description: search and replace in Windows registry hives and .reg files
 keyscour-cli finds every key and value that holds a text in the offline
 hive files of a Windows that is not running (SYSTEM, SOFTWARE, NTUSER.DAT)
 or in a registry export, and replaces it inside string data, keeping each
 value's type, with an undo file written before the first change.
CONTROL
(cd "$deb" && find usr -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum > DEBIAN/md5sums)
chmod 0644 "$deb/DEBIAN/control" "$deb/DEBIAN/md5sums"
find "$deb" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
debfile="${package}_${version}_amd64.deb"
dpkg-deb --root-owner-group -Zxz --build "$deb" "$out/$debfile" >/dev/null
lintian --fail-on error --suppress-tags no-manual-page "$out/$debfile"

(cd "$out" && sha256sum "$setup" "$zipfile" "$debfile" > SHA256SUMS)
rm -rf "$stage"
ls -l "$out"
