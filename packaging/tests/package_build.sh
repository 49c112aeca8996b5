#!/usr/bin/env bash
# Builds the Debian package from a built tree with cpack into a directory of
# its own, as scripts/package.sh does.
#   package_build.sh BUILD_DIR OUTPUT_DIR
set -euo pipefail
source "$(dirname "$0")/package_tools.sh"
package_tools_or_skip

build="$1"
output="$2"
rm -rf "$output"
mkdir -p "$output"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$output" >"$output/cpack.log" 2>&1 || {
  cat "$output/cpack.log"
  exit 1
}
ls "$output"/*.deb
