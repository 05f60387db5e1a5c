#!/bin/sh
# Installs the build into a temporary prefix and checks what a desktop sees:
# the program runs from there, the desktop entry and the metainfo file pass
# their validators, and every icon size is in place at its size.
# Arguments: CMAKE BUILD_DIR PNGS (1 when the build draws the PNG icons)
set -eu
cmake_bin=$1
build=$2
pngs=${3:-1}
prefix=$(mktemp -d /tmp/kf-install-XXXXXX)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cmake_bin" --install "$build" --prefix "$prefix" >/dev/null

app=com.marrowgate.Kerfline
desktop=$prefix/share/applications/$app.desktop
metainfo=$prefix/share/metainfo/$app.metainfo.xml
[ -x "$prefix/bin/kerfline" ] || fail "no program in bin"
version=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/kerfline" --version | head -n 1)
[ "${version%% *}" = kerfline ] || fail "installed program says '$version'"

desktop-file-validate "$desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate"

grep -qx 'Exec=kerfline %U' "$desktop" || fail "Exec line"
grep -qx "Icon=$app" "$desktop" || fail "Icon line"
grep -q '^MimeType=.*x-scheme-handler/kerfline;' "$desktop" || fail "link scheme"
grep -q "<release version=\"${version#kerfline }\"" "$metainfo" || fail "metainfo has no release for ${version#kerfline }"
grep -q "<launchable type=\"desktop-id\">$app.desktop</launchable>" "$metainfo" || fail "launchable"

[ -f "$prefix/share/icons/hicolor/scalable/apps/$app.svg" ] || fail "scalable icon"
[ "$pngs" = 1 ] || sizes=""
for size in ${sizes-16 24 32 48 64 128 256 512}; do
  png=$prefix/share/icons/hicolor/${size}x${size}/apps/$app.png
  [ -f "$png" ] || fail "no ${size}px icon"
  got=$(identify -format '%wx%h' "$png")
  [ "$got" = "${size}x${size}" ] || fail "${size}px icon is $got"
done
echo "installed and validated under $prefix"
