#!/usr/bin/env bash
# Screenshots of the window's states from a real X server (Xvfb) into
# docs/screenshots/. Usage: scripts/screenshots.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
tool="$build/tests/gui/korvana_screenshots"
[ -x "$tool" ] || { echo "screenshots: $tool is not built" >&2; exit 2; }
export QT_QPA_PLATFORM=xcb
xvfb-run -a -s "-screen 0 900x700x24" "$tool" docs/screenshots
for name in no-device connecting main updating success about settings-disabled; do
    [ -s "docs/screenshots/$name.png" ] || { echo "screenshots: $name.png missing" >&2; exit 1; }
done
echo "screenshots: written to docs/screenshots/"
