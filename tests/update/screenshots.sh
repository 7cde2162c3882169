#!/usr/bin/env bash
# Pictures of the update check's dialogs as Qt shows them under Xvfb, cropped
# into docs/screenshots/. Usage: tests/update/screenshots.sh BUILD_DIR
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$(cd "${1:?usage: screenshots.sh BUILD_DIR}" && pwd)"
shots="$(mktemp -d)"
trap 'rm -rf "$shots"' EXIT
PAKFORGE_SCREENSHOT_DIR="$shots" QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 800x600x24" "$build/bin/update_qt_tests" --gtest_filter='*DialogsAsShown*'
names=(update-new-version update-latest update-failed)
for i in 0 1 2; do
  convert "$shots/update-dialog-$((i + 1)).png" -trim +repage "$root/docs/screenshots/${names[$i]}.png"
done
echo "wrote ${names[*]/%/.png} to docs/screenshots/"
