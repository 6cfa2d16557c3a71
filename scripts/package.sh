#!/usr/bin/env bash
# Builds the Debian package quol_<version>-1_<arch>.deb: a release build
# (Debian's hardening flags, no tests, no development tools) packed by CPack,
# then checked with lintian. Install it with
#   sudo apt install ./build/quol_<version>-1_amd64.deb
#
# Options:
#   --version V      the suite's version (four dotted numbers; default: the tree's)
#   --build-dir DIR  where to build (default build/package; the .deb goes to its parent)
#   --test-key       let QUOL_TEST_TRUST_KEY name an extra package signing key
#                    (for install and upgrade tests only; never for release)
#   --no-lintian     skip the lintian run
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

usage() { sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; }

version=
build_dir=build/package
test_key=OFF
run_lintian=1
while [ $# -gt 0 ]; do
  case "$1" in
    --version) [ $# -ge 2 ] || { usage >&2; exit 64; }; version=$2; shift 2 ;;
    --build-dir) [ $# -ge 2 ] || { usage >&2; exit 64; }; build_dir=$2; shift 2 ;;
    --test-key) test_key=ON; shift ;;
    --no-lintian) run_lintian=0; shift ;;
    --help|-h) usage; exit 0 ;;
    *) echo "package.sh: unknown option $1" >&2; usage >&2; exit 64 ;;
  esac
done
if [ -n "$version" ] && ! [[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
  echo "package.sh: --version needs four dotted numbers, not '$version'" >&2
  exit 64
fi

./scripts/setup.sh

# Debian's hardening flags; CMake ignores CPPFLAGS, so they join the
# compiler flags.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
# The prefix map names this checkout's path, which would make every clone
# miss the compiler cache; the packed programs carry no debug paths anyway
# (they are stripped).
CFLAGS=$(echo "$CFLAGS" | sed 's/-ffile-prefix-map=[^ ]*//g')
CXXFLAGS=$(echo "$CXXFLAGS" | sed 's/-ffile-prefix-map=[^ ]*//g')
export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"
export CCACHE_BASEDIR="$source_dir" CCACHE_NOHASHDIR=true

args=(-S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr
      -DBUILD_TESTING=OFF -DQUOL_WERROR=ON -DQUOL_ALLOW_TEST_TRUST_KEY="$test_key")
[ -z "$version" ] || args+=(-DQUOL_VERSION="$version")
cmake "${args[@]}" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
rm -f "$build_dir"/quol_*.deb
(cd "$build_dir" && cpack -G DEB >/dev/null)
deb=$(ls "$build_dir"/quol_*.deb)
out_dir=$(dirname "$build_dir")
cp "$deb" "$out_dir/"
deb="$out_dir/$(basename "$deb")"
echo "package: $deb"
if [ "$run_lintian" = 1 ]; then
  # Errors fail the build; warnings and notes are printed.
  lintian --fail-on error "$deb"
fi
