#!/usr/bin/env bash
# Runs a Windows test program under Wine against the receiver simulator: the
# simulator serves a Linux pseudo-terminal holding one stored kind-3 message,
# Wine's dosdevices/com<PORT> link maps it as COM<PORT>, and the program runs
# in a fresh working directory with ZNT_E2E_PORT=<PORT> and, when DLL is given
# (not "-"), that library as zntlog\zntlink.dll. Lines the program appends to
# the file "to-simulator" in that directory reach the simulator as commands.
#   wine_receiver_port.sh LOADER SIMULATOR TEST_PROGRAM DLL|- [PORT]
# WINEPREFIX names a prefix made with `wineboot -i`, its server already up.
set -euo pipefail
loader="$1"
simulator="$2"
program="$3"
dll="$4"
port="${5:-9}"
: "${WINEPREFIX:?WINEPREFIX must name the Wine prefix}"

work=$(mktemp -d /tmp/zntlink-wine.XXXXXX)
link="$WINEPREFIX/dosdevices/com$port"
simulator_pid=""
tail_pid=""
cleanup() {
  [ -n "$tail_pid" ] && kill "$tail_pid" 2>/dev/null
  exec 3>&- 2>/dev/null || true
  [ -n "$simulator_pid" ] && kill "$simulator_pid" 2>/dev/null && wait "$simulator_pid" 2>/dev/null
  rm -f "$link"
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/zntlog" "$work/simulator"
[ "$dll" = - ] || cp "$dll" "$work/zntlog/zntlink.dll"
mkfifo "$work/commands"
"$simulator" --dir "$work/simulator" --port "$port" <"$work/commands" >"$work/simulator.out" 2>&1 &
simulator_pid=$!
exec 3>"$work/commands"  # the simulator's standard input stays open
for _ in $(seq 100); do
  [ -L "$work/simulator/COM$port" ] && break
  sleep 0.1
done
[ -L "$work/simulator/COM$port" ] || { cat "$work/simulator.out" >&2; echo "the simulator did not start" >&2; exit 1; }
ln -sfn "$(readlink -f "$work/simulator/COM$port")" "$link"

echo "clock 2003-07-09 10:30:48" >&3
echo "msg3 1 000007B2040000000000000000" >&3
touch "$work/to-simulator"
tail -n +1 -f "$work/to-simulator" >&3 &
tail_pid=$!

cd "$work"
status=0
ZNT_E2E_PORT="$port" WINEDEBUG="${WINEDEBUG:--all}" "$loader" "$program" || status=$?
if [ "$status" -ne 0 ]; then
  echo "--- simulator output" >&2
  cat "$work/simulator.out" >&2
fi
exit "$status"
