#!/bin/bash
# ToviaMpeg.exe on Linux: the agent's desktop grabber. The agent writes the command line of the
# Windows grabber ("-f gdigrab ... -i desktop"); here the distribution's ffmpeg grabs the X display
# of $DISPLAY with x11grab instead, every other argument unchanged. The process keeps this script's
# path as its argv[0], so it is found and killed as ToviaMpeg.exe of its install, like on Windows.
ffmpeg=$(command -v ffmpeg)
if [ -z "$ffmpeg" ]; then
    echo "ToviaMpeg.exe: ffmpeg is not installed (package ffmpeg)" >&2
    exit 127
fi
if [ -z "${DISPLAY:-}" ]; then
    echo "ToviaMpeg.exe: no X display to grab (\$DISPLAY is not set)" >&2
    exit 2
fi
args=()
while [ $# -gt 0 ]; do
    if [ "$1" = -f ] && [ "${2:-}" = gdigrab ]; then
        args+=(-f x11grab)
        shift 2
    elif [ "$1" = -i ] && [ "${2:-}" = desktop ]; then
        args+=(-i "$DISPLAY")
        shift 2
    else
        args+=("$1")
        shift
    fi
done
case $0 in
/*) self=$0 ;;
*) self=$PWD/$0 ;;
esac
exec -a "$self" "$ffmpeg" "${args[@]}"
