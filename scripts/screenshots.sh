#!/usr/bin/env bash
# Regenerates the pictures of the driver window's two pages in docs/:
# docs/tessard-default.png (page "Default") and docs/tessard-setup.png (page
# "setup"), taken from a virtual X screen (Xvfb). Installs Xvfb when it is
# missing; without it (or with --offscreen) the window paints itself instead.
set -euo pipefail
cd "$(dirname "$0")/.."

offscreen=0
[ "${1:-}" = "--offscreen" ] && offscreen=1

if [ "$offscreen" = 0 ] && ! command -v xvfb-run >/dev/null; then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq && apt-get install -y -qq xvfb xauth >/dev/null
  elif command -v sudo >/dev/null; then
    sudo apt-get update -qq && sudo apt-get install -y -qq xvfb xauth >/dev/null
  fi
fi

[ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j 2 --target window_screenshots
mkdir -p docs

if [ "$offscreen" = 0 ] && command -v xvfb-run >/dev/null; then
  QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24" \
    build/driver/tests/window_screenshots docs
else
  echo "no Xvfb: the window paints itself (offscreen)" >&2
  QT_QPA_PLATFORM=offscreen build/driver/tests/window_screenshots docs
fi
ls -l docs/tessard-default.png docs/tessard-setup.png
