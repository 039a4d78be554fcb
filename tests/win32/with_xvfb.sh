#!/bin/sh
# with_xvfb.sh WINEPREFIX SCREENSHOT_DIR COMMAND...
# Runs COMMAND under Wine's X11 driver on a private X display (Xvfb picks a free display number
# itself) and in a Wine prefix of the window tests alone, then stops both. Screenshots that the
# command leaves as BMP in SCREENSHOT_DIR become PNG. Exit code 77 (skipped) when no X server can
# be started.
set -u
prefix=$1
shots=$2
shift 2
command -v Xvfb >/dev/null 2>&1 || { echo "SKIPPED: Xvfb is not installed"; exit 77; }

fdfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -nolisten unix 3>"$fdfile" >/dev/null 2>&1 &
xvfb=$!
cleanup() {
  WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1
  kill "$xvfb" 2>/dev/null
  wait "$xvfb" 2>/dev/null
  rm -f "$fdfile"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
i=0
while [ ! -s "$fdfile" ] && kill -0 "$xvfb" 2>/dev/null && [ $i -lt 200 ]; do
  sleep 0.05
  i=$((i + 1))
done
display=$(tr -d '\n' <"$fdfile")
[ -n "$display" ] || { echo "SKIPPED: Xvfb did not start"; exit 77; }

export DISPLAY=":$display" WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winealsa.drv="
if [ ! -d "$prefix" ]; then
  wineboot --init >/dev/null 2>&1
  # No window manager runs here: Wine draws the frames and captions itself.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  wineserver -w
fi
mkdir -p "$shots"
rm -f "$shots"/*.bmp
R9_SCREENSHOT_DIR="$shots" "$@"
status=$?
if command -v convert >/dev/null 2>&1; then
  for bmp in "$shots"/*.bmp; do
    [ -e "$bmp" ] && convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
  done
fi
exit $status
