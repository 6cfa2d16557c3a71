#!/usr/bin/env bash
# Builds this tree's package twice (its own version and the next one, both
# trusting the test signing key) and runs packaging/install_test.sh on them:
# install into a minimal Debian root, upgrade through the client, removal
# and purge. lintian must report no errors on the package. Needs root and
# build/default/service/quol-devservice (./test.sh builds it).
set -euo pipefail
cd "$(dirname "$0")/.."

service=build/default/service/quol-devservice
[ -x "$service" ] || { echo "package_test: $service is missing: run ./test.sh first" >&2; exit 1; }

version=$(sed -n 's/^set(QUOL_VERSION "\([0-9.]*\)".*/\1/p' CMakeLists.txt)
next="${version%.*}.$(( ${version##*.} + 1 ))"
out=build/ci-package
rm -f "$out"/quol_*.deb
./scripts/package.sh --test-key --no-lintian --build-dir "$out/old" >"$out.old.log" 2>&1 ||
  { tail -n 30 "$out.old.log"; exit 1; }
./scripts/package.sh --test-key --no-lintian --version "$next" --build-dir "$out/new" >"$out.new.log" 2>&1 ||
  { tail -n 30 "$out.new.log"; exit 1; }
old_deb=$out/quol_${version}-1_amd64.deb
new_deb=$out/quol_${next}-1_amd64.deb
echo "lintian $old_deb:"
lintian --fail-on error "$old_deb"
packaging/install_test.sh "$old_deb" "$new_deb" "$service" "$out/install-test"
