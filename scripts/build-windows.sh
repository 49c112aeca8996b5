#!/usr/bin/env bash
# Builds the receiver library for 32-bit Windows with Debian's mingw-w64 cross
# compiler (posix thread model): build-win32/zntlink/zntlink.dll, and checks
# its export table, imports and version resource.
#   scripts/build-windows.sh          build and check zntlink.dll
#   scripts/build-windows.sh --test   also run the Windows tests under Wine
#
# The Windows tests (the library's protocol tests built for Windows, and
# zntlink.dll loaded by a Windows program against the receiver simulator on a
# pseudo-terminal mapped as a COM port) run on the 32-bit build where this
# machine can execute 32-bit programs. A kernel without 32-bit support cannot
# start 32-bit Wine; the same tests then run on a 64-bit build of the same
# sources (build-win64/) under 64-bit Wine, and the script says so. When Wine
# cannot be installed the tests are skipped, and the script says that too.
set -euo pipefail
cd "$(dirname "$0")/.."
mode="${1:-}"
case "$mode" in
  "" | --test) ;;
  *) echo "usage: $0 [--test]" >&2; exit 2 ;;
esac

say() { echo "build-windows: $*"; }

configure_and_build() {  # DIR TOOLCHAIN [CMAKE ARGS...]
  local dir="$1" toolchain="$2"
  shift 2
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain" \
    -DCMAKE_BUILD_TYPE=Release "$@"
  cmake --build "$dir" -j "$(nproc)"
}

scripts/install-deps.sh g++-mingw-w64-i686
configure_and_build build-win32 mingw-i686.cmake
ctest --test-dir build-win32 -R '^zntlink_dll_exports$' --output-on-failure
say "built build-win32/zntlink/zntlink.dll"
[ "$mode" = --test ] || exit 0

# True when this machine executes 32-bit x86 programs: a static one that only
# exits, assembled here, runs.
runs_32bit_programs() {
  local dir
  dir=$(mktemp -d)
  printf '.globl _start\n_start:\n  movl $1, %%eax\n  xorl %%ebx, %%ebx\n  int $0x80\n' >"$dir/exit.s"
  local status=1
  if as --32 "$dir/exit.s" -o "$dir/exit.o" 2>/dev/null &&
    ld -m elf_i386 "$dir/exit.o" -o "$dir/exit" 2>/dev/null && "$dir/exit" 2>/dev/null; then
    status=0
  fi
  rm -rf "$dir"
  return "$status"
}

# Wine: 64-bit always; 32-bit where this machine can run it.
if ! scripts/install-deps.sh wine wine64; then
  say "SKIPPED the Windows tests under Wine: the wine packages could not be installed"
  exit 0
fi
if runs_32bit_programs; then
  if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
    dpkg --add-architecture i386 && scripts/install-deps.sh wine32:i386 ||
      say "wine32 could not be installed; only 64-bit Wine is available"
  fi
fi

# The receiver simulator is the Linux program of the normal build.
simulator="$PWD/build/tools/znt_receiver_sim"
if [ ! -x "$simulator" ]; then
  scripts/install-deps.sh
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build --target znt_receiver_sim -j "$(nproc)"
fi

if runs_32bit_programs && [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
  dir=build-win32
  loader=wine
  say "running the Windows tests on the 32-bit zntlink.dll under 32-bit Wine"
else
  dir=build-win64
  loader=/usr/lib/wine/wine64
  scripts/install-deps.sh g++-mingw-w64-x86-64
  configure_and_build build-win64 mingw-x86_64.cmake
  say "this machine cannot execute 32-bit programs (its kernel has no 32-bit support), so"
  say "32-bit Wine cannot start: the Windows tests run on a 64-bit build of the same sources"
  say "(build-win64/) under 64-bit Wine; the 32-bit zntlink.dll had the export checks above"
fi
cmake "$dir" -DTESSAR_RECEIVER_SIMULATOR="$simulator" >/dev/null
cmake --build "$dir" -j "$(nproc)"

# One prefix per build, made once. Wine's server and the services that the
# first program starts keep the output they were started with; started here
# with their output in files, they cannot hold the test runner's pipes open.
export WINEPREFIX="$PWD/$dir/wine-prefix"
export WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
# A server already running for this prefix (an earlier run's) serves as well.
wineserver -p >"$dir/wineserver.log" 2>&1 || true
if ! "$loader" wineboot -i >"$dir/wineboot.log" 2>&1; then
  cat "$dir/wineboot.log" >&2
  wineserver -k || true
  echo "build-windows: wineboot failed" >&2
  exit 1
fi
status=0
ctest --test-dir "$dir" --output-on-failure --timeout 120 || status=$?
wineserver -k >/dev/null 2>&1 || true
exit "$status"
