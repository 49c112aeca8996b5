# Sourced by the package tests: skips the test (status 77) with a message
# when a Debian packaging tool is missing. scripts/install-deps.sh installs
# them all.
package_tools_or_skip() {
  local missing=()
  for tool in cpack dpkg-deb dpkg-shlibdeps lintian systemd-analyze "$@"; do
    command -v "$tool" >/dev/null || missing+=("$tool")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "SKIPPED: missing ${missing[*]} (scripts/install-deps.sh installs dpkg-dev, lintian, systemd)"
    exit 77
  fi
}
