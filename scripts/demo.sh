#!/usr/bin/env bash
# The main job, for a newcomer: the whole road of an alarm. Builds what is
# missing, prepares a fresh demo home under out/ and starts three programs in
# it: the receiver simulator on a pseudo-terminal (the port link
# zntlog/COM3) with its scenario, the message-server simulator on a free
# loopback port, and the driver tessard between them (in a window when a
# display is available, else offscreen). Every line is labelled with the
# program that printed it. Ctrl-C, or the end of DEMO_SECONDS, stops the
# driver first, then the two simulators.
#   DEMO_SECONDS=N scripts/demo.sh   runs for N seconds (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds="${DEMO_SECONDS:-30}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "demo: DEMO_SECONDS must be a whole number of seconds, at least 1" >&2
  exit 2
fi

say() { printf '%(%H:%M:%S)T [demo]     %s\n' -1 "$*"; }

# --- Build what is missing. Two demos started together build one at a time.
scripts/install-deps.sh
mkdir -p build out
say "building what is missing (the first build takes about a minute on 2 cores)"
(
  flock 9
  [ -f build/build.ninja ] ||
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j "$(nproc)" --target tessard zntlink znt_receiver_sim tessar_server_sim
) 9>build/.demo-build.lock
if [ ! -x build/driver/tessard ]; then
  echo "demo: the driver build/driver/tessard was not built (is Qt 6 Widgets installed?)" >&2
  exit 1
fi

# --- A home of its own. The homes of finished demos are cleared away; a home
# whose demo still runs holds the lock in its .lock and is left alone. The
# clearing and the taking of a new home's lock happen under one common lock.
exec 8>out/.demo-homes.lock
flock 8
for old in out/demo-*/; do
  [ -f "$old.lock" ] || continue
  flock -n "$old.lock" true 2>/dev/null && rm -rf "$old"
done
home=$(mktemp -d "$root/out/demo-XXXXXX")
exec 7>"$home/.lock"
flock 7
exec 8>&-
mkdir -p "$home/zntlog"
ln -s "$root/build/zntlink/libzntlink.so" "$home/zntlog/libzntlink.so"
cd "$home"

# Prefixes each line with the time and a label. It ignores SIGINT, so Ctrl-C
# does not cut off the programs' last lines.
label() {
  trap '' INT
  local line
  while IFS= read -r line; do
    printf '%(%H:%M:%S)T %-11s %s\n' -1 "[$1]" "$line"
  done
}

# The server's decoded packets, with a gloss on each event. The keep-alive
# tests (one every half second) and their answers stay in server.log only.
server_view() {
  trap '' INT
  local line code
  while IFS= read -r line; do
    case "$line" in
      *" CMD_TEST") continue ;; # the packet and "answered CMD_TEST"
    esac
    printf '%(%H:%M:%S)T %-11s %s\n' -1 "[server]" "$line"
    if [[ "$line" =~ CMD_EVENT.*code\ \"([0-9A-F]*)\"\ object\ (-?[0-9]+).*zone\ ([0-9]+) ]]; then
      case "${BASH_REMATCH[1]}" in
        1130) code="zone in alarm" ;;
        3130) code="zone back at rest" ;;
        1603) code="periodic test" ;;
        *) code="event" ;;
      esac
      printf '%(%H:%M:%S)T %-11s   = %s: object %s, zone %s, code %s\n' -1 "[server]" \
        "$code" "${BASH_REMATCH[2]}" "${BASH_REMATCH[3]}" "${BASH_REMATCH[1]}"
    fi
  done
}

# The driver's own lines without its time stamp (the label has one).
driver_view() {
  trap '' INT
  local line
  while IFS= read -r line; do
    [[ "$line" =~ ^(<[0-9]>)?[0-9-]+\ [0-9:]+\ tessard:\ (.*)$ ]] && line=${BASH_REMATCH[2]}
    printf '%(%H:%M:%S)T %-11s %s\n' -1 "[driver]" "$line"
  done
}

# The library inside the driver writes what it does to its log files in
# zntlog/: the session log (link up, down) and the message log (one line for
# each message fetched from the receiver). They are shown as the driver's.
library_view() {
  trap '' INT
  local line
  while IFS= read -r line; do
    case "$line" in
      *"> Slot"*) line="fetched from the receiver: $line" ;;
      *"> "*) line="receiver link: $line" ;;
      *) line="receiver link:   $line" ;;
    esac
    printf '%(%H:%M:%S)T %-11s %s\n' -1 "[driver]" "$line"
  done
}

server_pid=""
receiver_pid=""
driver_pid=""
logs_pid=""

# Stops one program with SIGTERM, waits up to 5 s, then kills it.
stop() {
  local name=$1 pid=$2 status=0
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    say "$name did not stop within 5 s; killing it"
    kill -KILL "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || status=$?
  say "$name stopped (exit status $status)"
}

finished=0
finish() {
  [ "$finished" = 0 ] || return 0
  finished=1
  trap '' INT TERM
  echo
  say "stopping: the driver first, then the receiver and the server"
  stop "driver" "$driver_pid"
  if [ -n "$logs_pid" ]; then
    sleep 0.3  # the library's last log lines
    kill -TERM "$logs_pid" 2>/dev/null || true
    wait "$logs_pid" 2>/dev/null || true
  fi
  stop "receiver simulator" "$receiver_pid"
  stop "server simulator" "$server_pid"
  sleep 0.2  # the labels' last lines
  say "the demo home stays for a look until the next demo: $home"
  say "  tessard.ini, sost.mem (zone states), server.log (every packet), zntlog/*.log (library logs)"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Each program gets a session of its own (setsid), so Ctrl-C reaches only this
# script, which then stops them in order.
say "demo home: $home"
say "the message-server simulator listens on a free loopback port and prints every packet"
setsid "$root/build/tools/tessar_server_sim" --port 0 </dev/null \
  > >(trap '' INT; tee server.log | server_view) 2>&1 &
server_pid=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' server.log 2>/dev/null || true)
  [ -n "$port" ] && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$port" ]; then
  say "the server simulator did not start"
  exit 1
fi

say "the receiver simulator serves a pseudo-terminal as zntlog/COM3; its scenario stores a message every 2 s"
setsid "$root/build/tools/znt_receiver_sim" --dir zntlog --port 3 --scenario --interval 2 \
  </dev/null > >(label receiver) 2>&1 &
receiver_pid=$!
for _ in $(seq 50); do
  [ -e zntlog/COM3 ] && break
  kill -0 "$receiver_pid" 2>/dev/null || break
  sleep 0.1
done
if [ ! -e zntlog/COM3 ]; then
  say "the receiver simulator did not start"
  exit 1
fi

printf '[main]\r\nComPort=COM3\r\nFirstNumber=1\r\n[ServerHost]\r\nAddress=127.0.0.1\r\nPort=%s\r\n' \
  "$port" >tessard.ini
if [ "${QT_QPA_PLATFORM:-}" != offscreen ] &&
  { [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || [ -n "${QT_QPA_PLATFORM:-}" ]; }; then
  say "the driver tessard starts with its window (close it with its password, or press Ctrl-C here)"
else
  say "the driver tessard starts without a window (no display: offscreen)"
  if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    mkdir -m 700 runtime
    export XDG_RUNTIME_DIR="$home/runtime"
  fi
fi
say "it reads tessard.ini (receiver on COM3, server 127.0.0.1:$port, FirstNumber 1),"
say "polls the receiver, and sends each zone change to the server as a CMD_EVENT"
say "(object number = FirstNumber * 10000 + device). Running $seconds s; Ctrl-C stops earlier."
echo
setsid "$root/build/driver/tessard" </dev/null > >(driver_view) 2>&1 &
driver_pid=$!
# The library's log file names follow the date: syYYYYMM.log, YYYYMM_P.log
# with P the ten-day period. Made empty beforehand, so that tail follows them
# from the first line on.
month=$(date +%Y%m)
library_logs=("zntlog/sy$month.log" "zntlog/${month}_$(($(date +%-d) / 10 + 1)).log")
touch "${library_logs[@]}"
tail -n +1 -q -s 0.1 -F "${library_logs[@]}" 2>/dev/null > >(library_view) &
logs_pid=$!

end=$((SECONDS + seconds))
while [ "$SECONDS" -lt "$end" ]; do
  if ! kill -0 "$driver_pid" 2>/dev/null; then
    say "the driver ended by itself"
    break
  fi
  sleep 0.5 &
  wait $! || true
done
