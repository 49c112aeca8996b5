#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (build-fuzz/) and runs each
# for SECONDS (default 60) on a scratch copy of its corpus, so new inputs never
# land in the repository. Prints one line per target with its executions per
# second; exits non-zero when a target crashed, leaving the crash input in
# out/fuzz/<target>/ and saying where.
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
case "$seconds" in
  '' | *[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;;
esac

# clang and its fuzzer runtime (libclang_rt.fuzzer) besides the usual packages.
scripts/install-deps.sh clang libclang-rt-14-dev

cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTESSAR_FUZZ=ON >/dev/null
cmake --build build-fuzz -j 2 --target fuzz_targets

targets=(frame_parser answer_handlers server_reply slot_lines zone_state spool_resend profile_file)
out="$PWD/out/fuzz"
rm -rf "$out"
mkdir -p "$out"
# The targets that go through files use a scratch directory of their own;
# on a memory file system its flushes cost nothing.
scratch_base=/tmp
[ -d /dev/shm ] && [ -w /dev/shm ] && scratch_base=/dev/shm
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

failed=0
summary=()
for target in "${targets[@]}"; do
  work="$out/$target"
  mkdir -p "$work/corpus"
  cp fuzz/corpus/"$target"/* "$work/corpus/"
  scratch="$(mktemp -d "$scratch_base/tessar-fuzz-$target.XXXXXX")"
  echo "== $target: ${seconds} s"
  status=0
  (cd "$work" && TMPDIR="$scratch" "$PWD/../../../build-fuzz/fuzz/${target}_fuzz" \
    -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$work/" corpus >"$work/log.txt" 2>&1) || status=$?
  rm -rf "$scratch"
  runs="$( (sed -n 's/^stat::number_of_executed_units: *//p' "$work/log.txt" | tail -1) || true)"
  rate="$( (sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log.txt" | tail -1) || true)"
  coverage="$( (grep -o 'cov: [0-9]*' "$work/log.txt" | tail -1 | cut -d" " -f2) || true)"
  crashes=("$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*)
  found=()
  for file in "${crashes[@]}"; do
    [ -e "$file" ] && found+=("$file")
  done
  if [ "$status" -ne 0 ] || [ "${#found[@]}" -gt 0 ]; then
    failed=1
    line="$(printf '%-16s FAILED (exit %s) after %s runs: %s; log %s' "$target" "$status" \
      "${runs:-?}" "${found[*]:-no crash file}" "$work/log.txt")"
    tail -40 "$work/log.txt" >&2
  else
    line="$(printf '%-16s %8s exec/s  %10s runs  coverage %s' "$target" "${rate:-?}" \
      "${runs:-?}" "${coverage:-?}")"
  fi
  echo "$line"
  summary+=("$line")
done

echo
echo "Fuzzing summary (${seconds} s per target):"
printf '  %s\n' "${summary[@]}"
exit "$failed"
