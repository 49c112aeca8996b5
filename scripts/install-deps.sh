#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
#   scripts/install-deps.sh [PACKAGE...]   further packages a script needs
set -euo pipefail

packages=(cmake ninja-build g++ make libgtest-dev libgmock-dev qt6-base-dev qt6-qpa-plugins
  prometheus-cpp-dev)
# The Debian package and its tests: dpkg-shlibdeps, lintian, systemd-analyze,
# and what the maintainer scripts call when the package is installed.
packages+=(dpkg-dev lintian systemd adduser)
packages+=("$@")
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
