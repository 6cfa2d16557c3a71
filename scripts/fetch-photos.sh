#!/usr/bin/env bash
# Puts real photographs (camera pictures of 4 to 20 megapixels from Debian's
# wallpaper packages) into a folder, once: DEST/Places and DEST/Landscapes.
# They are downloaded into the build tree and never committed.
# Usage: scripts/fetch-photos.sh DEST
set -euo pipefail
dest=${1:?usage: fetch-photos.sh DEST}
if [ -d "$dest/Places" ] && [ -n "$(ls -A "$dest/Places" 2>/dev/null)" ]; then
  exit 0
fi
work="$dest.download"
rm -rf "$work"
mkdir -p "$work/debs" "$dest/Landscapes" "$dest/Places"
(cd "$work/debs" && apt-get download -q plasma-workspace-wallpapers lomiri-wallpapers-16.04 >/dev/null 2>&1)
for deb in "$work"/debs/*.deb; do dpkg-deb -x "$deb" "$work/unpacked"; done
cp "$work"/unpacked/usr/share/backgrounds/*.jpg "$dest/Places/"
for theme in "$work"/unpacked/usr/share/wallpapers/*/; do
  biggest=$(ls -S "$theme"contents/images/*.jpg 2>/dev/null | head -n 1 || true)
  [ -n "$biggest" ] && cp "$biggest" "$dest/Landscapes/$(basename "$theme").jpg"
done
rm -rf "$work"
