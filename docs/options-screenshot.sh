#!/usr/bin/env bash
# Makes docs/options.png: the options dialog as the agent opens it, with Qt's
# Spanish translations installed, grabbed offscreen by the GUI test that
# checks its buttons (KELVOR_OPTIONS_SCREENSHOT). Needs the build,
# qt6-translations-l10n and a font (fonts-dejavu-core): scripts/install-deps.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d /tmp/kelvor-options-XXXXXX)
trap 'rm -rf "$work"' EXIT
rm -f docs/options.png
CI=true QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$work \
  KELVOR_OPTIONS_SCREENSHOT=$PWD/docs/options.png \
  "$build/tests/gui/gui_window_tests" \
  --gtest_filter=Spanish.OptionsAndPasswordWindowsHaveSpanishButtons >/dev/null
test -s docs/options.png
echo "docs/options.png"
