#!/usr/bin/env bash
# The main job, for a newcomer: builds the library and the tools, starts the
# receiver simulator on a pseudo-terminal (published as zntlog/COM3) with its
# demo scenario, and runs a program that loads zntlog/libzntlink.so like the
# driver does and prints the link state and every message the library fetches.
#   DEMO_SECONDS=N scripts/demo.sh   runs for N seconds (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target zntlink znt_receiver_sim zntlink_demo

home="$root/out/demo"
rm -rf "$home"
mkdir -p "$home/zntlog"
cp build/zntlink/libzntlink.so "$home/zntlog/"
cd "$home"

"$root/build/tools/znt_receiver_sim" --dir zntlog --port 3 --scenario --interval 2 </dev/null \
  > >(sed -u 's/^/    [receiver] /') &
simulator=$!
trap 'kill "$simulator" 2>/dev/null || true; wait "$simulator" 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e zntlog/COM3 ] && break; sleep 0.1; done

"$root/build/tools/zntlink_demo" --port 3 --seconds "${DEMO_SECONDS:-20}"

echo
echo "Library log files in $home/zntlog:"
for log in zntlog/*.log; do
  echo "--- $log"
  tail -n 12 "$log"
done
