#!/bin/sh
# Manual look at the console's windows (not part of ctest): runs ToviaSim on an X server of its own,
# inside a network namespace of its own (so its discovery queries stay there), and grabs:
#   login.png       the login window (the stored login points where no account service listens)
#   main-empty.png  the main window signed in, no agent answering: placeholder and empty-area text
#   main-two.png    the main window with two agent PCs of six emulators each, answered by
#                   consoleloadgen with replies recorded from the agent's responder (thumbnails live)
#   main-groups.png the same two PCs, the second kept in the group "一楼", an empty group "二楼"
# Usage: tests/console/screenshots.sh BIN_DIR OUT_DIR [DISPLAY_NUMBER]
# Needs root (unshare -n), Xvfb, ffmpeg (x11grab) and a CJK font. Open the PNGs and check that the
# Chinese texts render.
set -eu

BIN=$(cd "${1:?BIN_DIR}" && pwd)
OUT=$(mkdir -p "${2:?OUT_DIR}" && cd "$2" && pwd)
DISP=":${3:-96}"
SIZE=1280x800
WORK=$(mktemp -d)
XPID=""

cleanup() {
    [ -n "$XPID" ] && kill "$XPID" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

Xvfb "$DISP" -screen 0 "${SIZE}x24" -nolisten tcp -noreset >/dev/null 2>&1 &
XPID=$!
i=0
until [ -e "/tmp/.X11-unix/X${DISP#:}" ] || [ $i -ge 50 ]; do sleep 0.1; i=$((i + 1)); done

cat >"$WORK/inner.sh" <<'INNER'
set -eu
BIN=$1 OUT=$2 DISP=$3 SIZE=$4 WORK=$5
ip link set lo up
PIDS=""
trap 'for p in $PIDS; do kill "$p" 2>/dev/null || true; done' EXIT
grab() { ffmpeg -loglevel error -y -f x11grab -video_size "$SIZE" -i "$DISP" -frames:v 1 "$1"; }
console() { # console HOME: ToviaSim signed in as shot/pw-shot
    DISPLAY="$DISP" QT_QPA_PLATFORM=xcb "$BIN/ToviaSim" --home "$1" --batch \
        --remember-login shot pw-shot >"$1.err" 2>&1 &
    PIDS="$PIDS $!"
    CONSOLE=$!
}

"$BIN/ToviaAccountSvc" --db "$WORK/users.db" adduser shot pw-shot >/dev/null
"$BIN/ToviaAccountSvc" --db "$WORK/users.db" --listen 127.0.0.1:8750 >"$WORK/svc.out" 2>&1 &
PIDS="$PIDS $!"
sleep 1

# Login window: nobody listens at the account address.
mkdir -p "$WORK/login"
printf '[account]\nurl=http://127.0.0.1:9\n[discovery]\ntargets=127.0.0.1\n' >"$WORK/login/simusInfo.ini"
console "$WORK/login"
sleep 6
grab "$OUT/login.png"
kill "$CONSOLE"

# Signed in, nobody answers.
mkdir -p "$WORK/empty"
printf '[account]\nurl=http://127.0.0.1:8750\n[discovery]\ntargets=127.0.0.1\n' >"$WORK/empty/simusInfo.ini"
console "$WORK/empty"
sleep 7
grab "$OUT/main-empty.png"
kill "$CONSOLE"

# Two PCs of six emulators on the agents' port of this namespace.
TOVIA_BIN_DIR="$BIN" "$BIN/consoleloadgen" --agents 2 --simus 6 --port 7777 >"$WORK/gen.out" 2>&1 &
PIDS="$PIDS $!"
sleep 3
mkdir -p "$WORK/two"
cp "$WORK/empty/simusInfo.ini" "$WORK/two/"
console "$WORK/two"
sleep 10
grab "$OUT/main-two.png"
grep -h "PC listed" "$WORK/two/log/"*.txt || true
kill "$CONSOLE"

# The same two PCs, the second kept in a group of its own.
mkdir -p "$WORK/groups"
cp "$WORK/empty/simusInfo.ini" "$WORK/groups/"
cat >"$WORK/groups/devGroups.json" <<'JSON'
{"groups":[{"id":"default","name":"默认分组","devices":["BENCH-PC-000"]},
           {"id":"g1","name":"一楼","devices":["BENCH-PC-001"]},{"id":"g2","name":"二楼","devices":[]}],
 "nextId":3}
JSON
console "$WORK/groups"
sleep 10
grab "$OUT/main-groups.png"
INNER
unshare -n sh "$WORK/inner.sh" "$BIN" "$OUT" "$DISP" "$SIZE" "$WORK"
echo "wrote $OUT/login.png $OUT/main-empty.png $OUT/main-two.png $OUT/main-groups.png"
