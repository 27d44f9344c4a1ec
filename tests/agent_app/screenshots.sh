#!/bin/sh
# Manual look at the agent's windows (not part of ctest): runs ToviaSimClient on an X server of its
# own and grabs the screen twice:
#   main.png   the main window after an automatic login against a local account service, with a
#              simulated MEmu farm of two instances (one running) as its inventory
#   login.png  the login dialog, which stays up because the stored login points at an account
#              address where nothing listens
# Usage: tests/agent_app/screenshots.sh BIN_DIR OUT_DIR [DISPLAY_NUMBER]
# Needs Xvfb, ffmpeg (x11grab) and a CJK font. Open the PNGs and check that the Chinese texts render.
set -eu

BIN=$(cd "${1:?BIN_DIR}" && pwd)
OUT=$(mkdir -p "${2:?OUT_DIR}" && cd "$2" && pwd)
DISP=":${3:-97}"
SIZE=800x700
WORK=$(mktemp -d)
PIDS=""

cleanup() {
    for p in $PIDS; do kill "$p" 2>/dev/null || true; done
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

Xvfb "$DISP" -screen 0 "${SIZE}x24" -nolisten tcp >/dev/null 2>&1 &
PIDS="$PIDS $!"
i=0
until [ -e "/tmp/.X11-unix/X${DISP#:}" ] || [ $i -ge 50 ]; do sleep 0.1; i=$((i + 1)); done

grab() { # grab FILE
    ffmpeg -loglevel error -y -f x11grab -video_size "$SIZE" -i "$DISP" -frames:v 1 "$1"
}

# Account service with one user on a free port.
"$BIN/ToviaAccountSvc" --db "$WORK/users.db" adduser 13800000000 demo123 >/dev/null
"$BIN/ToviaAccountSvc" --db "$WORK/users.db" --listen 127.0.0.1:0 >"$WORK/svc.out" 2>&1 &
PIDS="$PIDS $!"
i=0
until grep -q "listening on" "$WORK/svc.out" || [ $i -ge 50 ]; do sleep 0.1; i=$((i + 1)); done
ADDR=$(sed -n 's/.*listening on \([^ ]*\).*/\1/p' "$WORK/svc.out" | head -n 1)

# Main window: a farm, the settings pointing at it, automatic login.
mkdir -p "$WORK/main" "$WORK/farm"
"$BIN/farmsim" init --product memu --instances 2 "$WORK/farm/MEmu" >/dev/null
DISPLAY="$DISP" "$WORK/farm/MEmu/MEmu.exe" MEmu_1 >/dev/null 2>&1 &
INSTANCE=$!
PIDS="$PIDS $INSTANCE"
cat >"$WORK/main/simusInfo.ini" <<EOF
[common]
simuType=1
dir=$WORK/farm/MEmu
daemonModel=2
[account]
url=http://$ADDR
EOF
DISPLAY="$DISP" QT_QPA_PLATFORM=xcb "$BIN/ToviaSimClient" --home "$WORK/main" --batch \
    --remember-login 13800000000 demo123 >"$WORK/main.err" 2>&1 &
AGENT=$!
PIDS="$PIDS $AGENT"
sleep 8 # automatic login waits 3 s, then the window fills its log pane
grab "$OUT/main.png"
kill "$AGENT" "$INSTANCE" 2>/dev/null || true
wait "$AGENT" 2>/dev/null || true

# Login dialog: nobody listens at the account address, so the automatic login fails and it stays.
mkdir -p "$WORK/login"
printf '[account]\nurl=http://127.0.0.1:9\n' >"$WORK/login/simusInfo.ini"
DISPLAY="$DISP" QT_QPA_PLATFORM=xcb "$BIN/ToviaSimClient" --home "$WORK/login" --batch \
    --remember-login 13800000000 wrong >"$WORK/login.err" 2>&1 &
AGENT=$!
PIDS="$PIDS $AGENT"
sleep 6
grab "$OUT/login.png"
cat "$WORK/login.err" >&2
kill "$AGENT" 2>/dev/null || true
wait "$AGENT" 2>/dev/null || true
# The killed agents leave their single-instance segment; the next start of an agent removes it.

echo "wrote $OUT/main.png and $OUT/login.png"
