#!/usr/bin/env bash
# The demo: the local service stand-in with the demo family, real photos,
# collages rendered to PNG files, the screen saver itself, then the desktop
# client QuolDevuzez on the stand-in's web application.
#
# With a desktop (DISPLAY set) the saver runs on it: press Escape to end it;
# the client then opens: close its window to end the demo. Without one (or
# with QUOL_DEMO_XVFB=1) both run on a virtual two-monitor screen for a
# while and screenshots go to build/demo/shots/.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

demo=build/demo
rm -rf "$demo/data" "$demo/registry" "$demo/shots" "$demo/collages"
mkdir -p "$demo/data" "$demo/registry" "$demo/shots" "$demo/collages" "$demo/home"

use_xvfb=${QUOL_DEMO_XVFB:-}
[ -z "${DISPLAY:-}" ] && use_xvfb=1
xvfb_pid=""
cleanup() {
  [ -n "${saver_pid:-}" ] && kill "$saver_pid" 2>/dev/null || true
  [ -n "${client_pid:-}" ] && kill "$client_pid" 2>/dev/null || true
  [ -n "${service_pid:-}" ] && kill "$service_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT

if [ -n "$use_xvfb" ]; then
  # Started first: a saver that starts after a minute without input opens
  # with a tip, as it does when the computer falls idle.
  number=$(( 90 + RANDOM % 100 ))
  while [ -e "/tmp/.X$number-lock" ]; do number=$((number + 1)); done
  /usr/bin/Xvfb ":$number" -screen 0 3200x1080x24 -noreset -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  xvfb_started=$(date +%s)
  export DISPLAY=":$number"
fi

cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
bin=build/default

scripts/fetch-photos.sh "$demo/photos"
# Phone formats, converted once from the three smallest wallpapers, in
# place of those JPEGs (a collage never shows one picture twice): a HEIC (as
# iPhones write them), a WebP and an AVIF (as Android phones and messaging
# apps do), shown beside the other JPEGs of the folder.
if ! ls "$demo/photos/Places/"phone-* >/dev/null 2>&1; then
  mapfile -t phone_sources < <(ls -Sr "$demo/photos/Places/"*.jpg | head -n 3)
  phone_to() { printf '%s/photos/Places/phone-%s.%s' "$demo" "$(basename "$1" .jpg)" "$2"; }
  # Made under temporary names and put in place together, so a failed
  # encoder leaves the folder as it was (and the next run tries again).
  if [ ${#phone_sources[@]} -eq 3 ]; then
    echo "demo: converting three wallpapers to HEIC, WebP and AVIF"
    tmp="$demo/photos/.phone"
    rm -rf "$tmp" && mkdir -p "$tmp"
    heif-enc -q 80 -t 320 -o "$tmp/a.heic" "${phone_sources[0]}" >/dev/null
    cwebp -quiet -q 85 -metadata exif "${phone_sources[1]}" -o "$tmp/b.webp"
    avifenc -s 8 "${phone_sources[2]}" "$tmp/c.avif" >/dev/null
    mv "$tmp/a.heic" "$(phone_to "${phone_sources[0]}" heic)"
    mv "$tmp/b.webp" "$(phone_to "${phone_sources[1]}" webp)"
    mv "$tmp/c.avif" "$(phone_to "${phone_sources[2]}" avif)"
    rm -rf "$tmp"
    rm -f "${phone_sources[@]}"
  fi
fi

# The service stand-in in the local client mode: API on 11110, web on 2175.
export DevuzezClientMode=local
export QUOL_DATA_DIR="$PWD/$demo/data" QUOL_REGISTRY_DIR="$PWD/$demo/registry"
export HOME="$PWD/$demo/home" XDG_CONFIG_HOME="$PWD/$demo/home/.config"
# The demo reaches nothing but this machine: the update check asks the
# stand-in too (its built-in host is not used).
export QUOL_LOOPBACK_ONLY=1
cat >"$demo/data/LocalConfig.xml" <<'XML'
<quol><default>
  <updateServiceUrl>http://127.0.0.1:11110/QuolDevuzez/GlobalConfig_v2.xml</updateServiceUrl>
  <fallBackUpdateServiceUrl>http://127.0.0.1:11110/QuolDevuzez/GlobalConfig_v2.xml</fallBackUpdateServiceUrl>
</default></quol>
XML
"$bin/service/quol-devservice" --demo --db "$demo/service.sqlite" >"$demo/service.out" 2>"$demo/service.log" &
service_pid=$!
for _ in $(seq 50); do grep -q listening "$demo/service.out" 2>/dev/null && break; sleep 0.1; done
grep -q listening "$demo/service.out" || { echo "demo: the service did not start (see $demo/service.log)"; exit 1; }
email=$(sed -n 's/^demo account \([^ ]*\) password .*/\1/p' "$demo/service.out")
password=$(sed -n 's/^demo account [^ ]* password \(.*\)$/\1/p' "$demo/service.out")

"$bin/foundation/quol-settings" --account "$email" --password "$password" \
  --my-pictures off --shared-pictures off --interval 8 \
  --add-folder "$PWD/$demo/photos" >/dev/null

echo "demo: rendering collages into $demo/collages"
"$bin/screensaver/quol-collage" --folder "$demo/photos" --count 4 --out "$demo/collages"

if [ -z "$use_xvfb" ]; then
  echo "demo: the screen saver runs on $DISPLAY; press Escape to end it"
  "$bin/screensaver/QuolScreensaver" /s
  echo "demo: the desktop client opens on $DISPLAY; close its window to end the demo"
  "$bin/client/QuolDevuzez" || true
  exit 0
fi

xrandr --setmonitor '*LEFT' 1920/508x1080/286+0+0 screen >/dev/null
xrandr --setmonitor RIGHT 1280/338x1024/270+1920+0 none >/dev/null
waited=$(( $(date +%s) - xvfb_started ))
[ "$waited" -lt 62 ] && sleep $(( 62 - waited ))

"$bin/screensaver/QuolScreensaver" /s &
saver_pid=$!
shot() { sleep "$1"; /usr/bin/import -window root "$demo/shots/$2.png"; echo "demo: $demo/shots/$2.png"; }
shot 4 1-opening-tip
shot 8 2-collage
shot 8 3-collage
shot 8 4-collage
xdotool key Escape
wait "$saver_pid" || true
saver_pid=""

# The desktop client on the stand-in's web application (home page on the
# web port), signed in with the demo account stored above.
WEBKIT_DISABLE_COMPOSITING_MODE=1 QUOL_SOUND_PLAYER= "$bin/client/QuolDevuzez" &
client_pid=$!
shot 0.4 5-client-splash
shot 5 6-client-frame
kill -TERM "$client_pid" 2>/dev/null || true
# A normal close ends with 1; a client that does not end within 10 s is killed.
for _ in $(seq 100); do kill -0 "$client_pid" 2>/dev/null || break; sleep 0.1; done
kill -KILL "$client_pid" 2>/dev/null || true
wait "$client_pid" || true
client_pid=""
echo "demo: log in $demo/data/; screenshots in $demo/shots/"
