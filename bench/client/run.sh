#!/usr/bin/env bash
# QuolDevuzez start-up and memory, measured on a private Xvfb against the
# service stand-in on free loopback ports (nothing here is a test: the
# numbers are printed, never checked).
#
#   bench/client/run.sh [BUILD_DIR] [RUNS]      (default build/default, 5 runs)
#
# Per run: process start to the splash on screen, process start to the frame
# on screen (the frame shows at the first finished page, or when the 2 s
# splash ends: a frame time under 2 s is the first page painted), and the
# resident memory of the client's processes (UI, web and network processes)
# once the page is up. The first run is cold (WebKit's caches empty) and is
# shown apart; the others are warm.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/default}
runs=${2:-5}
client="$build/client/QuolDevuzez"
service="$build/service/quol-devservice"
for program in "$client" "$service" /usr/bin/Xvfb /usr/bin/xdotool; do
  [ -x "$program" ] || { echo "bench: $program is missing (build first, scripts/setup.sh)"; exit 1; }
done

work=$(mktemp -d)
xvfb_pid="" service_pid="" client_pid=""
cleanup() {
  [ -n "$client_pid" ] && kill -9 "$client_pid" 2>/dev/null || true
  [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

exec 3<> <(:)
/usr/bin/Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset >/dev/null 2>&1 &
xvfb_pid=$!
read -r -t 10 number <&3 || { echo "bench: Xvfb did not start"; exit 1; }
export DISPLAY=":$number" GDK_BACKEND=x11 NO_AT_BRIDGE=1 WEBKIT_DISABLE_COMPOSITING_MODE=1
export QUOL_SOUND_PLAYER= DevuzezClientMode=local QUOL_FORCE_OFFLINE=0
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share"
export XDG_CACHE_HOME="$work/home/.cache" XDG_RUNTIME_DIR="$work/run"
export QUOL_DATA_DIR="$work/data" QUOL_REGISTRY_DIR="$work/registry"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$QUOL_DATA_DIR" "$QUOL_REGISTRY_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

# Free ports chosen by the service itself; it names them on its last line.
"$service" --demo --db "$work/service.sqlite" --api-port 0 --web-port 0 >"$work/service.out" 2>&1 &
service_pid=$!
for _ in $(seq 100); do grep -q listening "$work/service.out" 2>/dev/null && break; sleep 0.05; done
api=$(sed -n 's/.*listening api=\([0-9]*\) web=.*/\1/p' "$work/service.out")
web=$(sed -n 's/.*listening api=[0-9]* web=\([0-9]*\).*/\1/p' "$work/service.out")
[ -n "$api" ] && [ -n "$web" ] || { echo "bench: the service did not start"; cat "$work/service.out"; exit 1; }
cat >"$QUOL_DATA_DIR/LocalConfig.xml" <<XML
<quol><default><homePageUrl>http://127.0.0.1:$web/devuzez/</homePageUrl><updateServiceUrl>http://127.0.0.1:$api/quoldevuzez/globalconfig_v2.xml</updateServiceUrl></default></quol>
XML

now_ms() { date +%s%3N; }
# Memory of a process and all its descendants, in KiB: "PSS RSS". The sum of
# the proportional set sizes is what the processes take together (pages the
# UI, web and network processes share are counted once); the sum of resident
# sizes counts every shared library once per process and is shown beside it.
tree_memory() {
  local pids=("$1") all=() pid pss=0 rss=0 p r
  while [ ${#pids[@]} -gt 0 ]; do
    pid=${pids[0]}; pids=("${pids[@]:1}"); all+=("$pid")
    for child in $(pgrep -P "$pid" || true); do pids+=("$child"); done
  done
  for pid in "${all[@]}"; do
    p=$(awk '/^Pss:/ {print $2}' "/proc/$pid/smaps_rollup" 2>/dev/null || echo 0)
    r=$(awk '/^Rss:/ {print $2}' "/proc/$pid/smaps_rollup" 2>/dev/null || echo 0)
    pss=$(( pss + ${p:-0} )); rss=$(( rss + ${r:-0} ))
  done
  echo "$pss $rss"
}

printf '%-6s %12s %12s %14s %14s\n' run "splash ms" "frame ms" "PSS MiB" "RSS sum MiB"
for run in $(seq "$runs"); do
  start=$(now_ms)
  "$client" >/dev/null 2>&1 &
  client_pid=$!
  splash="" frame=""
  deadline=$(( start + 20000 ))
  while [ -z "$frame" ] && [ "$(now_ms)" -lt "$deadline" ]; do
    ids=$(xdotool search --onlyvisible --pid "$client_pid" 2>/dev/null || true)
    if [ -n "$ids" ] && [ -z "$splash" ]; then splash=$(( $(now_ms) - start )); fi
    if xdotool search --onlyvisible --name '^Quol$' >/dev/null 2>&1; then frame=$(( $(now_ms) - start )); fi
    sleep 0.005
  done
  sleep 1  # the page settled: its processes at their working size
  read -r pss rss < <(tree_memory "$client_pid")
  label=$run; [ "$run" = 1 ] && label="1 cold"
  printf '%-6s %12s %12s %14.1f %14.1f\n' "$label" "${splash:--}" "${frame:--}" \
    "$(awk -v k="$pss" 'BEGIN { print k / 1024 }')" "$(awk -v k="$rss" 'BEGIN { print k / 1024 }')"
  kill -TERM "$client_pid" 2>/dev/null || true
  # Bounded: a client that does not end within 10 s is killed.
  for _ in $(seq 100); do kill -0 "$client_pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$client_pid" 2>/dev/null || true
  wait "$client_pid" 2>/dev/null || true
  client_pid=""
done
echo "targets: frame (first page painted) <= 500 ms warm, splash <= 100 ms, memory (PSS) <= 350 MiB"
