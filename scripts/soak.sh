#!/usr/bin/env bash
# The fault soak: builds what is missing, then runs tessar_soak, which starts
# the real tessard between the receiver simulator and the message-server
# simulator and injects faults at random on both sides and on the local TCP
# service for MINUTES minutes (default 10), then kills the driver with SIGKILL
# a few times. It prints messages stored, events delivered, lost and
# duplicated, the driver's RSS and descriptors, and the restarts; exit status
# 0 when nothing was lost outside the SIGKILL phase. The driver's home is
# out/soak/ (kept for a look after the run).
#   scripts/soak.sh [MINUTES] [tessar_soak options, e.g. --seed N --kills K]
set -euo pipefail
cd "$(dirname "$0")/.."
minutes="${1:-10}"
if ! [[ "$minutes" =~ ^[0-9]+([.][0-9]+)?$ ]]; then
  echo "usage: $0 [MINUTES] [--seed N] [--kills K]" >&2
  exit 2
fi
shift || true

scripts/install-deps.sh
mkdir -p build out
(
  flock 9
  [ -f build/build.ninja ] ||
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j "$(nproc)" --target tessar_soak
) 9>build/.soak-build.lock
if [ ! -x build/tools/tessar_soak ]; then
  echo "soak: build/tools/tessar_soak was not built (is Qt 6 Widgets installed?)" >&2
  exit 1
fi
exec build/tools/tessar_soak --minutes "$minutes" --home out/soak "$@"
