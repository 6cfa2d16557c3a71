#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the demo and
# scripts/fuzz.sh (clang 14 with its libFuzzer runtime) need.
# Idempotent and non-interactive: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config git
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libpugixml-dev libsodium-dev libglib2.0-dev libglib2.0-dev-bin
  libcurl4-openssl-dev libcpp-httplib-dev libsqlite3-dev sqlite3
  minisign xdg-utils
  libcairo2-dev libpango1.0-dev libfontconfig-dev
  libturbojpeg0-dev libjpeg62-turbo-dev libpng-dev libexif-dev
  libheif-dev libheif-examples libwebp-dev webp libavif-bin liblcms2-dev
  imagemagick time procps
  xvfb xauth x11-xserver-utils xdotool libgl1-mesa-dri xscreensaver
  libx11-dev libxext-dev libxrandr-dev libxfixes-dev libxtst-dev libgl-dev
  libxss-dev libgtk-3-dev libwebkit2gtk-4.1-dev
  fonts-league-spartan
  clang-14 libclang-rt-14-dev
  dpkg-dev lintian debootstrap desktop-file-utils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if ! "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"; then
  "${sudo_cmd[@]}" apt-get update -q
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
