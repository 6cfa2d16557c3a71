#!/usr/bin/env bash
# Collage benchmark: real photographs from Debian's wallpaper packages, all
# measured in one run on this machine.
#   (a) median time to build one 1920x1080 collage with quol-collage
#   (b) the decode floor: decoding the same photos at the DCT scales the
#       loader picks for their places on the collages
#   (c) the peer: ImageMagick montage of the same photos into 1920x1080,
#       with default settings and with -define jpeg:size=...
#   (d) peak memory over 200 collages (and over 20, to show it stays flat)
#   (e) phone photos: the same twelve photos as 12-megapixel camera JPEGs and
#       as HEIC (heif-enc, with a 320-pixel thumbnail as phones embed one):
#       median build time, decode floor and peak memory of each; HEIC cold
#       (an empty photo cache: every photo decoded from HEVC the first time
#       it is dealt, and its reduced copy written) and warm (the same
#       collages again with the cache filled), each against the JPEG
# Usage: bench/collage/run.sh [build-dir]   (default build/default)
#   PHOTOS=DIR uses the photos in DIR instead of the fetched wallpapers.
#   PHONE_COLLAGES=N collages for (e) (default 10; HEIC decodes are slow).
#   PARTS=e runs only the parts named (default abcde; a and b run together).
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/default}
work="$build/bench/collage-data"
photos=${PHOTOS:-$work/photos}
count=${COLLAGES:-30}
parts=${PARTS:-abcde}
part() { [[ $parts == *"$1"* ]]; }

for tool in "$build/screensaver/quol-collage" "$build/bench/collage/quol-decode-floor"; do
  [ -x "$tool" ] || { echo "missing $tool: build first (cmake --build --preset default)"; exit 1; }
done
if part c; then
  [ -x /usr/bin/montage ] || { echo "missing /usr/bin/montage: run scripts/setup.sh"; exit 1; }
fi

mkdir -p "$work"
# The photo cache of these runs lives in the work folder, never in the home
# of whoever measures.
export QUOL_PHOTO_CACHE_DIR="$(cd "$work" && pwd)/photo-cache"
[ -n "${PHOTOS:-}" ] || scripts/fetch-photos.sh "$photos"
echo "photos: $(find "$photos" -name '*.jpg' | wc -l) in $photos"

median() { sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }

if part a || part b; then
  # (a) build times and the photos of each collage
  "$build/screensaver/quol-collage" --folder "$photos" --count "$count" --seed 11 --no-write \
    --timings --print-photos >"$work/photos.txt" 2>"$work/timings.txt"
  build_ms=$(sed -n 's/.*build \([0-9.]*\) ms.*/\1/p' "$work/timings.txt" | median)

  # (b) decode floor of the same collages: it lays them out again from the same
  # seed (untimed) to know each photo's place, and checks them against
  # photos.txt (twice; the second run has warm caches like the collage run had)
  floor=("$build/bench/collage/quol-decode-floor" --folder "$photos" --count "$count" --seed 11)
  "${floor[@]}" <"$work/photos.txt" >/dev/null
  floor_ms=$("${floor[@]}" <"$work/photos.txt" | sed -n 's/floor [0-9]*: //p' | median)
fi

if part c; then
  # (c) montage of the same photos, on the first five collages
  montage_ms() {
    local total=() line files start end
    while IFS= read -r line; do
      IFS='|' read -r -a files <<<"${line#collage *: }"
      start=$(date +%s%N)
      /usr/bin/montage "${files[@]}" "$@" -geometry 640x540+0+0 -tile 3x2 -background black \
        "$work/montage.png" 2>/dev/null
      end=$(date +%s%N)
      total+=($(( (end - start) / 1000000 )))
    done < <(head -n 5 "$work/photos.txt")
    printf '%s\n' "${total[@]}" | median
  }
  montage_default=$(montage_ms)
  montage_size=$(montage_ms -define jpeg:size=1280x1080)
fi

if part d; then
  # (d) peak memory
  peak_kib() {
    /usr/bin/time -f '%M' "$build/screensaver/quol-collage" --folder "$photos" --count "$1" \
      --seed 3 --no-write 2>&1 >/dev/null | tail -n 1
  }
  peak20=$(peak_kib 20)
  peak200=$(peak_kib 200)
  # The wallpapers are progressive JPEGs, which libjpeg-turbo decodes through a
  # whole-image coefficient buffer (88 MB for a 5120x2880 4:4:4 picture).
  # Cameras write baseline JPEGs: measure those too, from re-encoded copies.
  baseline="$work/baseline"
  [ -z "${PHOTOS:-}" ] || baseline="$work/baseline-$(printf %s "$photos" | md5sum | cut -c1-8)"
  if [ ! -d "$baseline" ]; then
    mkdir -p "$baseline"
    for f in "$photos"/*/*.jpg; do
      /usr/bin/convert "$f" -interlace none -quality 92 "$baseline/$(basename "$f")" 2>/dev/null
    done
  fi
  peak_baseline=$(/usr/bin/time -f '%M' "$build/screensaver/quol-collage" --folder "$baseline" \
    --count 200 --seed 3 --no-write 2>&1 >/dev/null | tail -n 1)
fi

# (e) phone photos, made once from the first twelve photos: cropped to
# 4032x3024 (12 MP, what phone cameras write) as baseline JPEG, and the same
# JPEGs encoded as HEIC.
phone="$work/phone-$(printf %s "$photos" | md5sum | cut -c1-8)"
phone_count=${PHONE_COLLAGES:-10}
if part e && [ ! -d "$phone/heic" ]; then
  rm -rf "$phone"
  mkdir -p "$phone/jpeg" "$phone/heic.tmp"
  find "$photos" -name '*.jpg' | sort | head -n 12 | while IFS= read -r f; do
    name=$(basename "$f" .jpg)
    /usr/bin/convert "$f" -resize '4032x3024^' -gravity center -extent 4032x3024 \
      -interlace none -quality 92 "$phone/jpeg/$name.jpg"
    /usr/bin/heif-enc -q 80 -t 320 -o "$phone/heic.tmp/$name.heic" "$phone/jpeg/$name.jpg" >/dev/null
  done
  mv "$phone/heic.tmp" "$phone/heic"
fi
# Each run keeps its timings and photo lists as phone-<name>-timings.txt and
# phone-<name>-photos.txt.
phone_run() {
  "$build/screensaver/quol-collage" --folder "$1" --count "$phone_count" --seed 11 --no-write \
    --timings --print-photos >"$work/phone-$2-photos.txt" 2>"$work/phone-$2-timings.txt"
}
build_times() { sed -n 's/^collage \([0-9]*\):.*build \([0-9.]*\) ms.*/\1 \2/p' "$work/phone-$1-timings.txt"; }
phone_build_ms() { build_times "$1" | cut -d' ' -f2 | median; }
phone_floor_ms() {
  "$build/bench/collage/quol-decode-floor" --folder "$1" --count "$phone_count" --seed 11 \
    <"$work/phone-$2-photos.txt" | sed -n 's/floor [0-9]*: //p' | median
}
phone_peak_kib() {
  /usr/bin/time -f '%M' "$build/screensaver/quol-collage" --folder "$1" --count "$2" --seed 3 \
    --no-write 2>&1 >/dev/null | tail -n 1
}
# The collages of a run that deal at least one photo for the first time: on
# an empty cache, those decode HEVC and write copies.
first_deals() {
  awk -F'[:|]' '{ fresh = 0
    for (i = 2; i <= NF; i++) { n = $i; sub(/^ /, "", n); sub(/.*\//, "", n); sub(/\.[^.]*$/, "", n)
      if (!(n in seen)) { seen[n] = 1; fresh = 1 } }
    if (fresh) { sub(/^collage /, "", $1); print $1 } }' "$work/phone-$1-photos.txt"
}
# Mean build time of the collages listed on stdin, from a run's timings.
mean_of() {
  awk 'NR == FNR { want[$1] = 1; next } ($1 in want) { s += $2; n++ } END { printf "%.1f", n ? s / n : 0 }' \
    - <(build_times "$1")
}

if part e; then
  cache="$QUOL_PHOTO_CACHE_DIR"
  phone_run "$phone/jpeg" jpeg
  jpeg12_ms=$(phone_build_ms jpeg)
  jpeg12_floor=$(phone_floor_ms "$phone/jpeg" jpeg)
  jpeg12_peak=$(phone_peak_kib "$phone/jpeg" 20)
  rm -rf "$cache"
  phone_run "$phone/heic" heic-cold
  heic_cold_ms=$(phone_build_ms heic-cold)
  cold_collages=$(first_deals heic-cold)
  heic_cold_first=$(mean_of heic-cold <<<"$cold_collages")
  cold_count=$(wc -w <<<"$cold_collages")
  copies=$(find "$cache" -name '*.jpg' | wc -l)
  copies_kib=$(du -sk "$cache" | cut -f1)
  phone_run "$phone/heic" heic-warm
  heic_warm_ms=$(phone_build_ms heic-warm)
  heic12_floor=$(phone_floor_ms "$phone/heic" heic-warm)
  # Peaks: from an empty cache (decoding HEVC and writing copies), then warm.
  rm -rf "$cache"
  heic12_peak_cold=$(phone_peak_kib "$phone/heic" 20)
  heic12_peak5=$(phone_peak_kib "$phone/heic" 5)
  heic12_peak=$(phone_peak_kib "$phone/heic" 20)
fi

if part a || part b; then
  count="$count" awk -v a="$build_ms" -v b="$floor_ms" 'BEGIN {
    printf "collage build (median of %s)   %8.1f ms\n", ENVIRON["count"], a
    printf "decode floor (median)           %8.1f ms   a/b = %.2f  (target <= 1.3)\n", b, a / b
  }'
fi
if part c; then
  awk -v a="${build_ms:-0}" -v c="$montage_default" -v d="$montage_size" 'BEGIN {
    printf "montage, defaults (median of 5) %8.1f ms   c/a = %.1f  (target >= 8)\n", c, a ? c / a : 0
    printf "montage, jpeg:size (median)     %8.1f ms   c/a = %.1f  (target >= 3)\n", d, a ? d / a : 0
  }'
fi
if part d; then
  awk -v p20="$peak20" -v p200="$peak200" -v pb="$peak_baseline" 'BEGIN {
    printf "peak memory, 20 collages        %8.1f MiB\n", p20 / 1024
    printf "peak memory, 200 collages       %8.1f MiB  (target < 100, flat)\n", p200 / 1024
    printf "peak, 200 collages, baseline    %8.1f MiB  (same photos as cameras write them)\n", pb / 1024
  }'
fi
if part e; then
  phone_count="$phone_count" awk -v ja="$jpeg12_ms" -v jf="$jpeg12_floor" -v jp="$jpeg12_peak" \
      -v hc="$heic_cold_ms" -v hcf="$heic_cold_first" -v cn="$cold_count" \
      -v hw="$heic_warm_ms" -v hf="$heic12_floor" -v hpc="$heic12_peak_cold" -v hp="$heic12_peak" \
      -v hp5="$heic12_peak5" -v cc="$copies" -v ck="$copies_kib" 'BEGIN {
    n = ENVIRON["phone_count"]
    printf "12 MP JPEG: build (median of %s)        %8.1f ms   floor %8.1f ms   peak (20 collages) %6.1f MiB\n", n, ja, jf, jp / 1024
    printf "12 MP HEIC cold: first deals (mean of %s) %8.1f ms   HEIC/JPEG %6.2f   (the collages dealing a photo for the first time)\n", cn, hcf, hcf / ja
    printf "12 MP HEIC cold: build (median of %s)   %8.1f ms   HEIC/JPEG %6.2f   (%d copies, %.1f MiB)\n", n, hc, hc / ja, cc, ck / 1024
    printf "12 MP HEIC warm: build (median of %s)   %8.1f ms   HEIC/JPEG %6.2f   (target <= 2)\n", n, hw, hw / ja
    printf "12 MP HEIC: HEVC decode floor (median)  %8.1f ms   (what a collage costs without copies)\n", hf
    printf "12 MP HEIC: peak, 20 collages cold %6.1f MiB, warm %6.1f MiB, 5 warm %6.1f MiB  (target < 200, flat)\n", hpc / 1024, hp / 1024, hp5 / 1024
  }'
fi
