#!/usr/bin/env bash
# Starts the viewer on a virtual display, waits until it shows an image, and saves a
# screenshot of the whole screen.
#   scripts/screenshot.sh <output.png> [image or folder] [viewer binary]
# Defaults: the first sample image, ./build/src/app/oxlume. Settings and the single-instance
# marker go to a temporary folder, so a viewer that is already running is not disturbed.
set -euo pipefail
out=${1:?usage: screenshot.sh <output.png> [image] [binary]}
here=$(cd "$(dirname "$0")/.." && pwd)
target=${2:-$(ls "$here"/samples/*.jpg | head -n 1)}
binary=${3:-$here/build/src/app/oxlume}
case $out in /*) ;; *) out=$PWD/$out ;; esac
case $target in /*) ;; *) target=$PWD/$target ;; esac

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/config" "$scratch/data" "$scratch/runtime"
chmod 700 "$scratch/runtime"

inner=$scratch/inner.sh
cat >"$inner" <<'INNER'
#!/usr/bin/env bash
set -u
binary=$1 target=$2 out=$3
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
sleep 0.5 # let the last repaint land
import -window root "$out"
status=$?
kill "$viewer" 2>/dev/null
wait "$viewer" 2>/dev/null
exit $status
INNER
chmod +x "$inner"

XDG_CONFIG_HOME=$scratch/config XDG_DATA_HOME=$scratch/data XDG_RUNTIME_DIR=$scratch/runtime \
    xvfb-run -a -s "-screen 0 800x600x24" "$inner" "$binary" "$target" "$out"
echo "screenshot: $out"
