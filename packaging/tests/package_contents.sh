#!/usr/bin/env bash
# Examines the built package: its file list with modes and owners, its
# control fields, lintian (no errors), every path that the unit and the
# maintainer scripts name, and systemd-analyze verify on the unpacked unit.
#   package_contents.sh PACKAGE.deb VERSION
set -euo pipefail
source "$(dirname "$0")/package_tools.sh"
package_tools_or_skip

deb="$1"
version="$2"
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
[ -f "$deb" ] || { echo "FAIL: no package $deb (package_build failed?)"; exit 1; }
[ "$(basename "$deb")" = "tessar_${version}_amd64.deb" ] || fail "file name $(basename "$deb")"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

# --- The file list: every file with its mode, owned by root. ---
expected="$scratch/expected"
LC_ALL=C sort -k2,2 >"$expected" <<'LIST'
-rw-r--r-- /lib/systemd/system/tessard.service
-rwxr-xr-x /usr/bin/tessar_server_sim
-rwxr-xr-x /usr/bin/znt_receiver_sim
-rw-r--r-- /usr/lib/tessar/libzntlink.so
-rwxr-xr-x /usr/sbin/tessard
-rw-r--r-- /usr/share/doc/tessar/changelog.gz
-rw-r--r-- /usr/share/doc/tessar/copyright
-rw-r--r-- /usr/share/doc/tessar/examples/tessard.desktop
-rw-r--r-- /usr/share/doc/tessar/examples/tessard-alerts.yml
-rw-r--r-- /usr/share/icons/hicolor/scalable/apps/tessard.svg
-rw-r--r-- /usr/share/man/man1/tessar_server_sim.1.gz
-rw-r--r-- /usr/share/man/man1/znt_receiver_sim.1.gz
-rw-r--r-- /usr/share/man/man8/tessard.8.gz
-rw-r--r-- /usr/share/tessar/tessard.ini.example
LIST
dpkg-deb -c "$deb" >"$scratch/listing"
awk '$1 !~ /^d/ { path = $6; sub(/^\./, "", path); print $1, path }' "$scratch/listing" |
  LC_ALL=C sort -k2,2 >"$scratch/actual"
if ! diff -u "$expected" "$scratch/actual"; then
  fail "file list differs (- expected, + packaged)"
fi
awk '$1 ~ /^d/ && $1 != "drwxr-xr-x" { print "directory mode", $1, $6 }
     $2 != "root/root" { print "owner", $2, $6 }' "$scratch/listing" >"$scratch/odd"
[ -s "$scratch/odd" ] && fail "entries not root-owned or directories not 0755: $(cat "$scratch/odd")"
grep -q '\./var/\|\./etc/' "$scratch/listing" && fail "the package ships files under /var or /etc"

# --- Control fields. ---
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = tessar ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = amd64 ] || fail "Architecture: $(field Architecture)"
depends="$(field Depends)"
echo "Depends: $depends"
for needed in 'libc6 (>=' 'libqt6widgets6' 'libqt6core6' 'libstdc++6' 'adduser' 'qt6-qpa-plugins'; do
  case "$depends" in *"$needed"*) ;; *) fail "Depends lacks $needed" ;; esac
done

# --- lintian: no errors; warnings and information are printed. ---
if ! lintian --fail-on error --display-info "$deb" >"$scratch/lintian" 2>&1; then
  fail "lintian reports errors"
fi
echo "lintian says:"
sed 's/^/  /' "$scratch/lintian"

# --- Unpacked: the paths the unit and the maintainer scripts name. ---
root="$scratch/root"
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$root/DEBIAN"
unit="$root/lib/systemd/system/tessard.service"
value() { sed -n "s/^$1=//p" "$unit"; }

exec_start="$(value ExecStart | cut -d' ' -f1)"
[ -x "$root$exec_start" ] || fail "ExecStart $exec_start is not in the package"
state="/var/lib/$(value StateDirectory)"
[ "$state" = /var/lib/tessar ] || fail "StateDirectory makes $state"
[ "$(value WorkingDirectory)" = "$state" ] || fail "WorkingDirectory is not the state directory"
[ "$(value ReadWritePaths)" = "$state" ] || fail "ReadWritePaths is not the state directory"
[ "$(value Type)" = notify ] || fail "Type is not notify"
[ -n "$(value WatchdogSec)" ] || fail "no WatchdogSec"
[ "$(value Environment | grep -c '^QT_QPA_PLATFORM=offscreen$')" = 1 ] || fail "QT_QPA_PLATFORM"
grep -q '^PrivateDevices=' "$unit" && fail "PrivateDevices hides the serial ports"
for name in ttyS ttyUSB ttyACM; do
  grep -q "^DeviceAllow=char-$name rw$" "$unit" || fail "no DeviceAllow for char-$name"
done
for page in $(value Documentation); do
  case "$page" in
    man:*) file="${page#man:}"; section="${file#*(}"; section="${section%)}"; file="${file%(*}"
      [ -f "$root/usr/share/man/man$section/$file.$section.gz" ] || fail "no manual page $page" ;;
  esac
done

# Every absolute path in the maintainer scripts: the package's own files must
# be in it, the home must be the unit's, anything else must be a system path
# known here (so a mistyped path fails).
for script in postinst prerm postrm; do
  [ -x "$root/DEBIAN/$script" ] || fail "no executable $script"
  sh -n "$root/DEBIAN/$script" || fail "$script does not parse"
  grep -q '@[A-Z_]*@' "$root/DEBIAN/$script" && fail "$script has an unfilled @...@"
  # Paths that start a word, a value or a quoted text; not redirections.
  for path in $(grep -v '^[[:space:]]*#' "$root/DEBIAN/$script" |
    grep -oE "(^|[[:space:]=\"'])/[A-Za-z0-9_./-]+" | sed -E "s/^[[:space:]=\"']//" | sort -u); do
    case "$path" in
      /bin/sh) ;;
      /run/systemd/system) ;;
      /var/lib/tessar) [ "$path" = "$state" ] || fail "$script: home $path is not the unit's" ;;
      /var/lib/tessar/*) ;;
      /usr/* | /lib/*) [ -e "$root$path" ] || fail "$script names $path, which is not in the package" ;;
      *) fail "$script names $path, a path this test does not know" ;;
    esac
  done
done
example_sha256="$(sha256sum <"$root/usr/share/tessar/tessard.ini.example" | cut -d' ' -f1)"
grep -q "^example_sha256=$example_sha256\$" "$root/DEBIAN/postrm" ||
  fail "postrm's checksum is not the packaged example's"

# --- systemd-analyze verify, against the unpacked binary and manual pages. ---
sed "s#^ExecStart=$exec_start#ExecStart=$root$exec_start#" "$unit" >"$scratch/tessard.service"
if ! MANPATH="$root/usr/share/man" systemd-analyze verify "$scratch/tessard.service" \
  >"$scratch/verify" 2>&1; then
  fail "systemd-analyze verify: $(cat "$scratch/verify")"
fi
[ -s "$scratch/verify" ] && echo "systemd-analyze verify says: $(cat "$scratch/verify")"

if [ "$failures" -gt 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "package $(basename "$deb"): file list, control fields, lintian, paths and unit verified"
