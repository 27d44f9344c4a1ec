#!/usr/bin/env bash
# Windows check of UpdateShifter: cross-compiles it with mingw-w64 and runs it under wine.
#  1. A running program named in the list is killed and replaced, a download copy of UpdateShifter
#     itself is left alone, and the host program starts after the countdown with the arguments it
#     handed over (TOVIA_HOST_ARGS), quoted for its command line.
#  2. A destination that cannot be written: three failure lines, the closing countdown, exit code 2,
#     no host start.
#  3. No list: the message naming the list file, exit code 2.
# Uses the exported WINEPREFIX of scripts/wincheck; run alone, it prepares a private one.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
CXX=${MINGW_CXX:-x86_64-w64-mingw32-g++}
WORK=$(mktemp -d /tmp/wincheck-updateshifter.XXXXXX)
OWN_PREFIX=""
VICTIM_PID=""

cleanup() {
  if [ -n "$VICTIM_PID" ] && kill -0 "$VICTIM_PID" 2>/dev/null; then kill "$VICTIM_PID" 2>/dev/null || true; fi
  if [ -n "$OWN_PREFIX" ]; then WINEPREFIX="$OWN_PREFIX" wineserver -k 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT

fail() { echo "updateshifter wincheck: FAIL: $*" >&2; exit 1; }
note() { echo "updateshifter wincheck: $*"; }

export WINEDEBUG=-all
if [ -z "${WINEPREFIX:-}" ]; then
  OWN_PREFIX="$WORK/prefix"
  export WINEPREFIX="$OWN_PREFIX"
  note "preparing a private wine prefix"
  timeout 300 wineboot -i >/dev/null 2>&1 || fail "wineboot failed"
fi
# The list tool and UpdateShifter run under the Chinese locale: ANSI code page 936 as on the target
# PCs (wine takes it from the name even where the C library lacks that locale; output is then GBK).
export TOVIA_SHIFTER_TICK_MS=20

note "compiling with $CXX"
CXXFLAGS=(-std=c++17 -O2 -Wall -Wextra -Werror -static -municode -I"$ROOT/updateshifter" -I"$ROOT/common/platform")
CORE=("$ROOT"/updateshifter/{filestream,textconv,updaterserializer,shifteros_win}.cpp)
# The platform layer (process scan and kill) with the definitions and libraries of its own build.
PLATFORM=()
for src in "$ROOT"/common/platform/*.cpp "$ROOT"/common/platform/win/*.cpp; do
  obj="$WORK/platform_$(basename "$src" .cpp).o"
  "$CXX" "${CXXFLAGS[@]}" -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -DNOMINMAX -c "$src" -o "$obj"
  PLATFORM+=("$obj")
done
"$CXX" "${CXXFLAGS[@]}" "${CORE[@]}" "$ROOT"/updateshifter/{updateshifter,main}.cpp "${PLATFORM[@]}" \
  -o "$WORK/UpdateShifter.exe" -lws2_32 -liphlpapi -luser32
"$CXX" "${CXXFLAGS[@]}" "${CORE[@]}" "$ROOT/tests/update/win/make_list.cpp" -o "$WORK/make_list.exe"
"$CXX" "${CXXFLAGS[@]}" "$ROOT/tests/update/win/shifter_probe.cpp" -o "$WORK/probe.exe"

winpath() { echo "Z:${1//\//\\}"; }

# Sets up an application directory: UpdateShifter.exe, the host and an empty download directory.
make_app() {
  local app=$1
  mkdir -p "$app/TempDldFile"
  cp "$WORK/UpdateShifter.exe" "$app/"
  cp "$WORK/probe.exe" "$app/ProbeHost.exe"
}

make_list() {
  local app=$1; shift
  timeout 60 env LC_ALL=zh_CN.UTF-8 wine "$WORK/make_list.exe" "$(winpath "$app/")" "$(winpath "$app/ProbeHost.exe")" "$@" \
    || fail "make_list failed"
}

# Runs UpdateShifter, leaves its output (UTF-8, no CR) in $app/out.txt and its exit code in RC.
run_shifter() {
  local app=$1
  set +e
  timeout 60 env LC_ALL=zh_CN.UTF-8 wine "$app/UpdateShifter.exe" > "$app/out.raw" 2>/dev/null
  RC=$?
  set -e
  iconv -f GBK -t UTF-8 "$app/out.raw" | tr -d '\r' > "$app/out.txt" || fail "output is not in code page 936"
}

wait_for() { # path seconds
  local i
  for ((i = 0; i < $2 * 10; i++)); do [ -e "$1" ] && return 0; sleep 0.1; done
  return 1
}

expect_line() { grep -qxF -- "$2" "$1/out.txt" || { cat "$1/out.txt" >&2; fail "missing line: $2"; }; }

# --- 1. replace a running program, start the host ---
A="$WORK/a"
make_app "$A"
cp "$WORK/probe.exe" "$A/UsVictimProbe.exe"
wine "$A/UsVictimProbe.exe" >/dev/null 2>&1 &
VICTIM_PID=$!
wait_for "$A/UsVictimProbe.exe.running" 30 || fail "the test program did not start"
printf 'new build' > "$A/TempDldFile/UsVictimProbe.exe"
printf 'not a program' > "$A/TempDldFile/UpdateShifter.exe"
printf 'data' > "$A/TempDldFile/readme.txt"
make_list "$A" UsVictimProbe.exe UpdateShifter.exe readme.txt
export TOVIA_HOST_ARGS='--home C%3A%5CTovia%20data%5C say%20%22hi%22 %E4%B8%80%E6%A5%BC'
run_shifter "$A"
unset TOVIA_HOST_ARGS
[ "$RC" -eq 0 ] || { cat "$A/out.txt" >&2; fail "exit code $RC, expected 0"; }
for ((i = 0; i < 100; i++)); do kill -0 "$VICTIM_PID" 2>/dev/null || break; sleep 0.1; done
kill -0 "$VICTIM_PID" 2>/dev/null && fail "the running program was not killed"
VICTIM_PID=""
[ "$(cat "$A/UsVictimProbe.exe")" = "new build" ] || fail "the running program was not replaced"
[ ! -e "$A/TempDldFile/UsVictimProbe.exe" ] || fail "the download copy was not deleted"
cmp -s "$A/UpdateShifter.exe" "$WORK/UpdateShifter.exe" || fail "UpdateShifter replaced itself"
[ -e "$A/TempDldFile/UpdateShifter.exe" ] || fail "the own entry left the download directory"
[ "$(cat "$A/readme.txt" 2>/dev/null)" = "data" ] || fail "readme.txt was not moved"
wait_for "$A/host_started.txt" 20 || { cat "$A/out.txt" >&2; fail "the host program did not start"; }
sleep 0.5
printf 'host started\n--home\nC:\\Tovia data\\\nsay "hi"\n一楼\n' > "$A/args.expected"
tr -d '\r' < "$A/host_started.txt" | cmp -s - "$A/args.expected" \
  || { cat "$A/host_started.txt" >&2; fail "the host did not get its arguments back"; }
for line in "3秒后开始移动文件" "1秒后开始移动文件" "开始移动文件" \
  "正在移动$(winpath "$A/TempDldFile/UsVictimProbe.exe")到$(winpath "$A/")目录中" \
  "下载完成" "3秒后开启宿主程序" "1秒后开启宿主程序"; do
  expect_line "$A" "$line"
done
note "scenario 1 passed: running program killed and replaced, own copy skipped, host started with its arguments"

# --- 2. a destination that cannot be written ---
B="$WORK/b"
make_app "$B"
mkdir -p "$B/blocked.dat/inside"
printf 'payload' > "$B/TempDldFile/blocked.dat"
make_list "$B" blocked.dat
run_shifter "$B"
[ "$RC" -eq 2 ] || { cat "$B/out.txt" >&2; fail "exit code $RC, expected 2"; }
n=$(grep -cF "$(winpath "$B/TempDldFile/blocked.dat")文件移动失败，iRet=0,LastErrcode = " "$B/out.txt" || true)
[ "$n" -eq 3 ] || { cat "$B/out.txt" >&2; fail "$n failure lines, expected 3"; }
expect_line "$B" "移动文件的过程中出错,未能移动的文件：blocked.dat"
expect_line "$B" "10秒后关闭"
expect_line "$B" "1秒后关闭"
sleep 0.5
[ ! -e "$B/host_started.txt" ] || fail "the host started after a failed move"
note "scenario 2 passed: three failed attempts, closing countdown, host not started"

# --- 3. no list ---
C="$WORK/c"
make_app "$C"
run_shifter "$C"
[ "$RC" -eq 2 ] || fail "exit code $RC without a list, expected 2"
expect_line "$C" "移动文件的过程中出错,没有升级文件：$(winpath "$C/")SerialLizeFile.dat"
expect_line "$C" "请重新打开exe文件"
note "scenario 3 passed: missing list reported"
note "all passed"
