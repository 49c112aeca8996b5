#!/usr/bin/env bash
# Runs tessar_server_sim (path in $1) as a user would: reads the port it
# listens on, sends it frames over loopback TCP, gives it commands on stdin
# and checks the decoded lines it prints and the answers it sends.
set -euo pipefail
program="$1"
work=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  echo "--- output:"
  cat "$work/out"
  exit 1
}
wait_for() {  # a pattern the output must come to match
  for _ in $(seq 100); do
    grep -q -- "$1" "$work/out" && return 0
    sleep 0.05
  done
  fail "no line matching '$1'"
}
answer() { head -c 39 <&3 | od -An -tx1 | tr -d ' \n'; }

mkfifo "$work/in"
"$program" --port 0 <"$work/in" >"$work/out" 2>&1 &
pid=$!
exec 4>"$work/in"

wait_for "^listening on 127.0.0.1:[0-9]*$"
port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$work/out")
exec 3<>"/dev/tcp/127.0.0.1/$port"

# Frame header (marker, N = 20 at offsets 5 and 17), then CMD_HELLO, sequence 0, value 18.
hello='\xff\x00\x00\x00\x00\x14\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x14\x00\x00\x00'
hello+='\xff\x01\x00\x00\x02\x02\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\xfe\x12\x00'
header='ff000000001200000000000000000000001200000'
test_answer="${header}0ff00000002000000000000000000000000fe"
drop_answer="${header}0fffeffff02000000000000000000000000fe"

printf "$hello" >&3
wait_for "^\[1\] seq 0 CMD_HELLO 18$"
[ "$(answer)" = "$test_answer" ] || fail "CMD_HELLO not answered with CMD_TEST"

echo "drop" >&4
wait_for "^ok: next answer CMD_DROP$"
printf "$hello" >&3
[ "$(answer)" = "$drop_answer" ] || fail "the queued CMD_DROP was not sent"

echo "nonsense" >&4
wait_for "^error: unknown command 'nonsense'"
echo "quit" >&4
wait "$pid" || fail "exit status $?"
pid=
grep -q "^ok: bye$" "$work/out" || fail "no goodbye"

# SIGTERM stops it cleanly too.
"$program" --port 0 </dev/null >"$work/out" 2>&1 &
pid=$!
wait_for "^listening on"
kill -TERM "$pid"
wait "$pid" || fail "exit status $? after SIGTERM"
pid=
echo "server_sim smoke test passed"
