#!/usr/bin/env bash
# Installs the desktop component into a temporary prefix and checks that every file
# lands where desktops look for it, unchanged, and that the files name each other
# consistently (icon, MIME type, desktop id). Where the MIME and desktop databases'
# tools are installed, builds those databases from the prefix and checks that a
# .dzk file maps to the tool.
# Usage: check_install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

build=${1:?usage: check_install.sh BUILD_DIR SOURCE_DIR}
src=${2:?usage: check_install.sh BUILD_DIR SOURCE_DIR}
id=io.github.korvana.Update
mime=application/x-korvana-package

tmp=$(mktemp -d "${TMPDIR:-/tmp}/korvana-install.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

cmake --install "$build" --prefix "$tmp" --component desktop >/dev/null

declare -A expected=(
    ["share/applications/$id.desktop"]="packaging/$id.desktop"
    ["share/metainfo/$id.metainfo.xml"]="packaging/$id.metainfo.xml"
    ["share/mime/packages/$id.xml"]="packaging/$id.xml"
    ["share/icons/hicolor/scalable/apps/$id.svg"]="resources/icons/korvana.svg"
)
for n in 16 24 32 48 64 128 256; do
    expected["share/icons/hicolor/${n}x${n}/apps/$id.png"]="resources/icons/korvana-$n.png"
done

for dest in "${!expected[@]}"; do
    [ -f "$tmp/$dest" ] || fail "$dest was not installed"
    cmp -s "$tmp/$dest" "$src/${expected[$dest]}" || fail "$dest differs from ${expected[$dest]}"
done
extra=$(cd "$tmp" && find . -type f | sed 's|^\./||' | while read -r f; do
    [ -n "${expected[$f]+set}" ] || echo "$f"
done)
[ -z "$extra" ] || fail "unexpected files installed: $extra"

# The files must agree on the names that tie them together.
desktop=$tmp/share/applications/$id.desktop
key() { sed -n "s/^$1=//p" "$desktop"; }
[ "$(key Icon)" = "$id" ] || fail "Icon= is '$(key Icon)', the icons are installed as $id"
[ "$(key StartupWMClass)" = "$id" ] || fail "StartupWMClass= does not name the desktop id"
[ "$(key MimeType)" = "$mime;" ] || fail "MimeType= is '$(key MimeType)'"
grep -q "<mime-type type=\"$mime\">" "$tmp/share/mime/packages/$id.xml" ||
    fail "the MIME package does not define $mime"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" \
    "$tmp/share/metainfo/$id.metainfo.xml" || fail "the metainfo does not launch $id.desktop"

if command -v update-mime-database >/dev/null; then
    XDG_DATA_DIRS="$tmp/share" update-mime-database "$tmp/share/mime"
    # globs2 lines are weight:type:glob[:flags]; no "cs" flag means any case matches.
    grep -Eq "^[0-9]+:$mime:\*\.dzk$" "$tmp/share/mime/globs2" ||
        fail "the MIME database has no case-insensitive *.dzk glob for $mime"
else
    echo "note: update-mime-database not installed, MIME database not built"
fi
if command -v update-desktop-database >/dev/null; then
    update-desktop-database "$tmp/share/applications"
    grep -qx "$mime=$id.desktop;" "$tmp/share/applications/mimeinfo.cache" ||
        fail "the desktop database does not open $mime with $id.desktop"
else
    echo "note: update-desktop-database not installed, desktop database not built"
fi
echo "installed ${#expected[@]} files"
