#!/usr/bin/env bash
# Builds the Debian package tessar_<version>_amd64.deb from the plain build
# (build/, configured and built first when needed) and prints its path.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)"
rm -f build/tessar_*_amd64.deb
(cd build && cpack -G DEB -B "$PWD" >cpack.log 2>&1) || {
  cat build/cpack.log
  exit 1
}
ls "$PWD"/build/tessar_*_amd64.deb
