#!/usr/bin/env bash
# The Debian package made from this build: built with cpack, installed into and removed from a
# scratch root with its own dpkg database, and its files checked (the program runs, the desktop
# entry and the metainfo validate, the icon and the manual page are there).
#   package_test.sh BUILD_DIR
set -euo pipefail
build=$1
scratch=$(mktemp -d /tmp/panelora-package-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "package_test: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1) ||
  { cat "$scratch/cpack.log" >&2; fail "cpack failed"; }
deb=$(ls "$scratch"/out/panelora_*.deb)
echo "package: $(basename "$deb")"

fields=$(dpkg-deb --field "$deb" Package Section Depends Recommends)
echo "$fields"
grep -q '^Section: x11$' <<<"$fields" || fail "no section"
grep -q '^Depends: .*libavcodec' <<<"$fields" || fail "no library dependencies from shlibdeps"

root=$scratch/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The scratch root has no libraries registered; the dependencies were checked above.
dpkg --root="$root" --force-depends --force-not-root -i "$deb" >"$scratch/dpkg.log" 2>&1 ||
  { cat "$scratch/dpkg.log" >&2; fail "dpkg -i failed"; }

id=app.panelora.Panelora
for file in usr/bin/panelora usr/share/applications/$id.desktop usr/share/metainfo/$id.metainfo.xml \
  usr/share/icons/hicolor/scalable/apps/$id.svg usr/share/icons/hicolor/48x48/apps/$id.png \
  usr/share/icons/hicolor/256x256/apps/$id.png usr/share/man/man1/panelora.1.gz; do
  [[ -s $root/$file ]] || fail "missing $file"
done
version=$("$root/usr/bin/panelora" --version) || fail "the program does not run"
[[ $version == "panelora "* ]] || fail "unexpected --version: $version"
echo "$version"
desktop-file-validate "$root/usr/share/applications/$id.desktop" || fail "desktop entry invalid"
appstreamcli validate --no-net "$root/usr/share/metainfo/$id.metainfo.xml" ||
  fail "metainfo invalid"
zcat "$root/usr/share/man/man1/panelora.1.gz" | groff -man -Tutf8 -ww -z 2>"$scratch/man.err"
[[ ! -s $scratch/man.err ]] || { cat "$scratch/man.err" >&2; fail "manual page has faults"; }

dpkg --root="$root" --force-not-root -r panelora >"$scratch/dpkg.log" 2>&1 ||
  { cat "$scratch/dpkg.log" >&2; fail "dpkg -r failed"; }
left=$(find "$root" -type f -not -path "$root/var/lib/dpkg/*")
[[ -z $left ]] || fail "left after removal: $left"
echo "package_test: ok"
