#!/usr/bin/env bash
# Installs the package for real in a throw-away root: an overlay over / in a
# private mount and network namespace, so every change lands in a scratch
# directory and the host is left as it was. It installs, runs the installed
# driver as the user tessar in its home, installs again (an upgrade), removes
# and purges, and checks what the maintainer scripts did at each step. No
# systemd runs in that root, so the scripts must enable the unit without
# starting anything.
#   package_install.sh PACKAGE.deb
set -euo pipefail
source "$(dirname "$0")/package_tools.sh"
package_tools_or_skip unshare chroot dpkg setpriv runuser

deb="$1"
[ -f "$deb" ] || { echo "FAIL: no package $deb (package_build failed?)"; exit 1; }
if [ "$(id -u)" != 0 ]; then
  echo "SKIPPED: installing into a throw-away root needs root"
  exit 77
fi
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/upper" "$scratch/work" "$scratch/root"
if ! unshare --mount --net --propagation private mount -t overlay overlay \
  -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" "$scratch/root" 2>"$scratch/why"; then
  echo "SKIPPED: no overlay mount in a private namespace here: $(cat "$scratch/why")"
  exit 77
fi
cp "$deb" "$scratch/upper/tessar.deb"

# The steps, run as root inside the throw-away root.
cat >"$scratch/upper/steps.sh" <<'STEPS'
set -u
home=/var/lib/tessar
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { local what="$1"; shift; "$@" || fail "$what"; }
mode_owner() { stat -c '%a %U:%G' "$1"; }

# The manual-page index is not what this test is about, and rebuilding it
# would take most of its time.
rm -f /var/lib/man-db/auto-update

echo "--- install"
dpkg -i /tessar.deb || fail "dpkg -i"
entry="$(getent passwd tessar)" || fail "no user tessar"
uid="$(echo "$entry" | cut -d: -f3)"
check "tessar is no system user (uid $uid)" [ "$uid" -lt 1000 ]
check "home of tessar: $entry" [ "$(echo "$entry" | cut -d: -f6)" = "$home" ]
check "tessar not in group dialout: $(id -nG tessar)" sh -c 'id -nG tessar | grep -qw dialout'
check "home $(mode_owner $home)" [ "$(mode_owner $home)" = "750 tessar:tessar" ]
check "zntlog $(mode_owner $home/zntlog)" [ "$(mode_owner $home/zntlog)" = "750 tessar:tessar" ]
check "library link" [ "$(readlink $home/zntlog/libzntlink.so)" = /usr/lib/tessar/libzntlink.so ]
check "library link does not resolve" [ -f $home/zntlog/libzntlink.so ]
check "tessard.ini is not the example" cmp -s $home/tessard.ini /usr/share/tessar/tessard.ini.example
check "tessard.ini $(mode_owner $home/tessard.ini)" [ "$(mode_owner $home/tessard.ini)" = "640 tessar:tessar" ]
check "unit not enabled" [ -L /etc/systemd/system/multi-user.target.wants/tessard.service ]

echo "--- the installed driver, as tessar in its home"
cp $home/tessard.ini /saved.ini
# No receiver port and no server in here; the local service's port is free
# in this network namespace.
printf '[main]\nComPort=COM255\n[ServerHost]\nAddress=127.0.0.1\nPort=1\n' >$home/tessard.ini
# The unit's user, groups, home and file mode mask; setpriv execs the driver
# itself, so the signal below reaches it.
(
  cd $home
  umask "$(sed -n 's/^UMask=//p' /lib/systemd/system/tessard.service)"
  exec setpriv --reuid=tessar --regid=tessar --init-groups \
    env HOME=$home QT_QPA_PLATFORM=offscreen /usr/sbin/tessard --headless
) >/driver.log 2>&1 &
driver=$!
# The local TCP service listening on 8901 (0x22C5) is the last start-up step.
listening=no
for _ in $(seq 200); do
  if grep -q ':22C5 00000000:0000 0A' /proc/net/tcp; then listening=yes; break; fi
  kill -0 $driver 2>/dev/null || break
  sleep 0.05
done
check "the driver did not finish its start-up: $(cat /driver.log)" [ $listening = yes ]
check "sost.mem $(mode_owner $home/sost.mem 2>&1)" [ "$(mode_owner $home/sost.mem)" = "640 tessar:tessar" ]
kill -TERM $driver 2>/dev/null
status=0
wait $driver || status=$?
check "the driver's exit status after SIGTERM: $status" [ $status = 0 ]
echo "the driver said:"
sed 's/^/  /' /driver.log
cp /saved.ini $home/tessard.ini

echo "--- upgrade: the operator's tessard.ini and data stay"
echo "; changed by the operator" >>$home/tessard.ini
cp $home/tessard.ini /changed.ini
rm $home/zntlog/libzntlink.so
runuser -u tessar -- touch $home/20261210120000.dd8
dpkg -i /tessar.deb || fail "dpkg -i again"
check "the upgrade changed tessard.ini" cmp -s $home/tessard.ini /changed.ini
check "the upgrade did not make the library link again" [ -L $home/zntlog/libzntlink.so ]
check "unit not enabled after the upgrade" [ -L /etc/systemd/system/multi-user.target.wants/tessard.service ]

echo "--- remove"
dpkg -r tessar || fail "dpkg -r"
check "tessard still installed" [ ! -e /usr/sbin/tessard ]
check "the unit is not masked" [ "$(readlink /etc/systemd/system/tessard.service)" = /dev/null ]
check "remove took the home" [ -f $home/tessard.ini ] && [ -f $home/sost.mem ]

echo "--- purge: the operator's data stays"
dpkg -P tessar || fail "dpkg -P"
check "the library link is left" [ ! -L $home/zntlog/libzntlink.so ]
check "the changed tessard.ini is gone" cmp -s $home/tessard.ini /changed.ini
check "sost.mem is gone" [ -f $home/sost.mem ]
check "the spool file is gone" [ -f $home/20261210120000.dd8 ]
check "the mask is left" [ ! -e /etc/systemd/system/tessard.service ]
check "the unit's enablement is left" [ ! -e /etc/systemd/system/multi-user.target.wants/tessard.service ]

echo "--- install and purge with nothing of the operator's: nothing stays"
rm -rf $home
dpkg -i /tessar.deb >/dev/null || fail "dpkg -i after the purge"
dpkg -P tessar >/dev/null || fail "dpkg -P again"
check "purge left $(ls -A $home 2>&1)" [ ! -e $home ]
check "user tessar removed (it must stay)" getent passwd tessar

echo "$failures failures"
[ $failures = 0 ]
STEPS

unshare --mount --net --propagation private bash -c '
  set -e
  root="$1"
  mount -t overlay overlay -o "lowerdir=/,upperdir=$2/upper,workdir=$2/work" "$root"
  mount --rbind /dev "$root/dev"
  mount -t proc proc "$root/proc"
  mount -t tmpfs tmpfs "$root/run"
  mount -t tmpfs tmpfs "$root/tmp"
  chroot "$root" bash /steps.sh' inner "$scratch/root" "$scratch"
