#!/usr/bin/env bash
# Starts the viewer on a virtual display, waits until it shows an image, and saves a
# screenshot of the whole screen.
#   scripts/screenshot.sh <output.png> [image or folder] [viewer binary]
# Defaults: the first sample image, ./build/src/app/oxlume. Settings and the single-instance
# marker go to a temporary folder, so a viewer that is already running is not disturbed.
# The environment chooses what is shown:
#   SHOT_WINDOW=main|tip|about|options|hint   the window to show (default main: the Tip of
#                                             the Day is closed first)
#   SHOT_SCREEN=800x600                       the virtual screen's size
#   SHOT_FONT_POINTS=14                       texts as large as that many points would be at
#                                             the toolkit's 9-point default (a font DPI for
#                                             the run; the layout's pixels stay as they are)
#   QT_SCALE_FACTOR=1.5                       the toolkit's own scaling, passed on as it is
set -euo pipefail
out=${1:?usage: screenshot.sh <output.png> [image] [binary]}
here=$(cd "$(dirname "$0")/.." && pwd)
target=${2:-$(ls "$here"/samples/*.jpg | head -n 1)}
binary=${3:-$here/build/src/app/oxlume}
window=${SHOT_WINDOW:-main}
screen=${SHOT_SCREEN:-800x600}
case $out in /*) ;; *) out=$PWD/$out ;; esac
case $target in /*) ;; *) target=$PWD/$target ;; esac
case $window in main | tip | about | options | hint) ;; *)
    echo "screenshot.sh: unknown SHOT_WINDOW $window" >&2
    exit 2
    ;;
esac
if [ -n "${SHOT_FONT_POINTS:-}" ]; then
    # Fonts only: without this the toolkit would scale the whole window by the DPI.
    export QT_FONT_DPI=$((96 * SHOT_FONT_POINTS / 9)) QT_ENABLE_HIGHDPI_SCALING=0
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/config" "$scratch/data" "$scratch/runtime"
chmod 700 "$scratch/runtime"

inner=$scratch/inner.sh
cat >"$inner" <<'INNER'
#!/usr/bin/env bash
set -u
binary=$1 target=$2 out=$3 window=$4
"$binary" -newinst "$target" &
viewer=$!
# Shown means: the caption names the file (or, for a folder, the window exists).
for _ in $(seq 1 100); do
    if [ -f "$target" ]; then
        xwininfo -root -tree 2>/dev/null | grep -qF "\"Oxlume: $target\"" && break
    else
        xwininfo -root -tree 2>/dev/null | grep -qF '"Oxlume' && break
    fi
    sleep 0.1
done
# Without a window manager nothing activates the window, and the Tip of the Day waits for
# its first activation: give it the keyboard.
main=$(xdotool search --name '^Oxlume' 2>/dev/null | head -n 1)
tip() { xdotool search --name '^Tip of the Day$' 2>/dev/null | head -n 1; }
for _ in $(seq 1 20); do
    [ -n "$main" ] && xdotool windowfocus --sync "$main" 2>/dev/null
    sleep 0.2
    [ -n "$(tip)" ] && break
done
if [ "$window" != tip ] && [ -n "$(tip)" ]; then
    xdotool windowfocus --sync "$(tip)" key Escape
    sleep 0.3
fi
if [ -n "$main" ]; then
    case $window in
    about) xdotool windowfocus --sync "$main" key F1 ;;
    options) xdotool windowfocus --sync "$main" key ctrl+o ;;
    hint) xdotool windowfocus --sync "$main" key alt+h ;; # the Hide List button
    esac
fi
sleep 1 # let the last repaint land
import -window root "$out"
status=$?
kill "$viewer" 2>/dev/null
wait "$viewer" 2>/dev/null
exit $status
INNER
chmod +x "$inner"

XDG_CONFIG_HOME=$scratch/config XDG_DATA_HOME=$scratch/data XDG_RUNTIME_DIR=$scratch/runtime \
    xvfb-run -a -s "-screen 0 ${screen}x24" "$inner" "$binary" "$target" "$out" "$window"
echo "screenshot: $out"
