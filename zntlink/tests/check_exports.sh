#!/usr/bin/env bash
# The shared library exports exactly the 32 ZNT_ functions of the public header
# and, unless built with sanitizers, needs nothing at run time but the platform.
set -euo pipefail
library="$1"
header="$2"
check_needed="${3:-1}"

expected=$(grep -oE '\bZNT_[A-Za-z]+\(' "$header" | tr -d '(' | sort -u)
exported=$(nm -D --defined-only "$library" | awk '{print $3}' | sort -u)

if [ "$(echo "$expected" | wc -l)" -ne 32 ]; then
  echo "the header declares $(echo "$expected" | wc -l) exports, not 32" >&2
  exit 1
fi
if [ "$expected" != "$exported" ]; then
  echo "exported symbols differ from the header's 32 exports:" >&2
  diff <(echo "$expected") <(echo "$exported") >&2 || true
  exit 1
fi

if [ "$check_needed" = 1 ]; then
  needed=$(readelf -d "$library" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | sort)
  for lib in $needed; do
    case "$lib" in
      libc.so.*|libpthread.so.*|ld-linux*.so.*|libm.so.*) ;;
      *) echo "libzntlink.so needs $lib" >&2; exit 1 ;;
    esac
  done
fi
echo "32 exports, run-time needs: $(readelf -d "$library" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | tr '\n' ' ')"
