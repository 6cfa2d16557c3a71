#!/usr/bin/env bash
# Builds the libFuzzer targets (the "fuzz" preset: clang 14, ASan + UBSan,
# binary folder build/fuzz) and fuzzes each for SECONDS (default 60).
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#   scripts/fuzz.sh 600 settings_store config_document
#
# Every target starts from its committed seeds (fuzz/corpus/<name>); inputs
# that reach new code are collected in build/fuzz/corpus/<name>, so the
# committed seeds stay small. Known crash inputs are not fed back in (an
# unfixed one would end every run at once); the replay tests check them. A crash, leak, time-out or memory blow-up is kept in
# fuzz/regressions/<name>/, which the normal build replays as a test: commit
# it with the fix. Logs go to build/fuzz/logs/<name>.log. Exits non-zero when
# any target found something.
set -euo pipefail
cd "$(dirname "$0")/.."

all_targets=(settings_store config_document rest_answer colour_text registry_hive photo_decode
  phone_photo xscreensaver_file)

# Longest input per target: room for a real document or photo, short enough
# that the fuzzer spends its time on structure rather than bulk.
max_len() {
  case "$1" in
    colour_text) echo 64 ;;
    photo_decode | phone_photo) echo 131072 ;;
    *) echo 65536 ;;
  esac
}

seconds=60
if [ $# -gt 0 ]; then
  case "$1" in
    '' | *[!0-9]*) ;;
    *) seconds=$1; shift ;;
  esac
fi
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=("${all_targets[@]}")
fi
for t in "${targets[@]}"; do
  if [[ " ${all_targets[*]} " != *" $t "* ]]; then
    echo "fuzz: unknown target '$t' (known: ${all_targets[*]})" >&2
    exit 2
  fi
done

export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-true} CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]/%/_fuzz}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

status=0
summary=()
for t in "${targets[@]}"; do
  work=build/fuzz/corpus/$t
  kept=fuzz/regressions/$t
  log=build/fuzz/logs/$t.log
  # The targets' scratch folders: libFuzzer ends without running exit
  # handlers, so they are cleared here instead.
  scratch=build/fuzz/tmp/$t
  rm -rf "$scratch"
  mkdir -p "$work" "$kept" "$(dirname "$log")" "$scratch"
  before=$(find "$kept" -type f ! -name '.*' | wc -l)
  echo "fuzz: $t for ${seconds}s (log: $log)"
  set +e
  TMPDIR=$PWD/$scratch "build/fuzz/fuzz/${t}_fuzz" "$work" "fuzz/corpus/$t" \
    -max_total_time="$seconds" -rss_limit_mb=2048 -max_len="$(max_len "$t")" -timeout=25 \
    -artifact_prefix="$kept/" -print_final_stats=1 >"$log" 2>&1
  rc=$?
  set -e
  rm -rf "$scratch"
  after=$(find "$kept" -type f ! -name '.*' | wc -l)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
  rate=$(grep -oE 'exec/s: [0-9]+' "$log" | tail -1 | grep -oE '[0-9]+' || true)
  line="$t: ${execs:-?} runs, ${rate:-?} exec/s, ${cov:-no coverage line}, new findings: $((after - before))"
  if [ $rc -ne 0 ] || [ "$after" -ne "$before" ]; then
    status=1
    line="$line, exit $rc -- see $log"
  fi
  summary+=("$line")
done

echo
printf '%s\n' "${summary[@]}"
exit $status
