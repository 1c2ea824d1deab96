#!/usr/bin/env bash
# Runs a freedesktop validator on a packaging file; exits 77 (skipped) when the
# validator is not installed, so a machine without it does not fail the suite.
# Usage: validate_metadata.sh desktop|metainfo FILE
set -uo pipefail

kind=${1:?usage: validate_metadata.sh desktop|metainfo FILE}
file=${2:?usage: validate_metadata.sh desktop|metainfo FILE}
case $kind in
desktop) tool=(desktop-file-validate) ;;
metainfo) tool=(appstreamcli validate --no-net) ;;
*)
    echo "unknown kind: $kind" >&2
    exit 2
    ;;
esac
if ! command -v "${tool[0]}" >/dev/null; then
    echo "SKIP: ${tool[0]} is not installed (package desktop-file-utils / appstream)"
    exit 77
fi
[ -f "$file" ] || {
    echo "no such file: $file" >&2
    exit 1
}
out=$("${tool[@]}" "$file" 2>&1)
rc=$?
printf '%s\n' "$out"
# desktop-file-validate reports some errors with status 0 on older versions.
if [ $rc -ne 0 ] || grep -q '^[^:]*: error:' <<<"$out"; then
    echo "FAIL: $file does not validate" >&2
    exit 1
fi
