#!/usr/bin/env bash
# The package's install test: a minimal Debian root (debootstrap) gets the
# package with its dependencies, and everything a family's computer would go
# through is checked there: the programs start from their installed paths,
# dpkg -V is clean, quol:// links reach our handler, the saver is turned on
# for an account and found in its xscreensaver list, an administrator's
# change to the machine hive survives, the client upgrades itself from the
# local service stand-in to the next version (downloaded, signature checked,
# handed to Updater, installed after the client ended), and removal and
# purge take the programs and /etc/quol away but leave every account's data
# and give the account its own screen saver back.
#
# Usage: packaging/install_test.sh OLD.deb NEW.deb SERVICE_PROGRAM [OUT_DIR]
#   OLD.deb, NEW.deb  two builds of the same tree, NEW with a higher version,
#                     both trusting QUOL_TEST_TRUST_KEY (scripts/package.sh --test-key)
#   SERVICE_PROGRAM   quol-devservice, run on this machine (127.0.0.1 only)
#   OUT_DIR           where the screenshot and logs go (default: a temporary folder)
#
# Needs root (chroot, mounts) and the Debian mirror this machine's apt uses.
# The base root and the downloaded packages are cached under
# $QUOL_PACKAGE_TEST_CACHE (default /var/cache/quol-package-test), so later
# runs take well under a minute. Prints "N passed, M failed"; exit 1 on any
# failure. When no Debian mirror can be reached it says so and exits 0
# without testing (the rest of CI needs no network).
set -uo pipefail

if [ "${1:-}" = "--help" ] || [ $# -lt 3 ]; then
  sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'
  [ "${1:-}" = "--help" ] && exit 0 || exit 64
fi
old_deb=$(realpath "$1")
new_deb=$(realpath "$2")
service=$(realpath "$3")
out_dir=${4:-}
for f in "$old_deb" "$new_deb" "$service"; do
  [ -f "$f" ] || { echo "install_test: $f not found" >&2; exit 64; }
done
if [ "$(id -u)" -ne 0 ]; then
  echo "install_test: needs root (debootstrap, chroot)" >&2
  exit 64
fi

cache=${QUOL_PACKAGE_TEST_CACHE:-/var/cache/quol-package-test}
work=$(mktemp -d /tmp/quol-package-test.XXXXXX)
root=$work/root
[ -n "$out_dir" ] || out_dir=$work/out
mkdir -p "$cache/debs" "$out_dir"
out_dir=$(realpath "$out_dir")

service_pid=
xvfb_pid=
cleanup() {
  [ -z "$service_pid" ] || kill "$service_pid" 2>/dev/null
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null
  # The mounts belong to the unshared namespace below and are gone with it;
  # a process still running inside the root would keep files busy.
  if [ -d "$root" ]; then
    for p in /proc/[0-9]*; do
      if [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ]; then kill -9 "${p#/proc/}" 2>/dev/null; fi
    done
  fi
  rm -rf "$work"
}
trap cleanup EXIT

passed=0
failed=0
check() {  # check NAME COMMAND...: one named check, its output kept on failure
  local name=$1
  shift
  local output
  if output=$("$@" 2>&1); then
    passed=$((passed + 1))
    echo "ok   $name"
  else
    failed=$((failed + 1))
    echo "FAIL $name"
    printf '%s\n' "$output" | tail -n 20 | sed 's/^/     /'
  fi
}

# The mirror apt is configured with (deb822 or one-line sources).
mirror=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/*.sources 2>/dev/null)
[ -n "$mirror" ] || mirror=$(awk '/^deb / {print $2; exit}' /etc/apt/sources.list 2>/dev/null)
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")

# The base root: made once, then unpacked from the cache.
base=$cache/$suite-minbase.tar
start=$(date +%s)
if [ ! -s "$base" ]; then
  if [ -z "$mirror" ] || ! timeout 600 debootstrap --variant=minbase --cache-dir="$cache/debs" \
      "$suite" "$work/base" "$mirror" >"$out_dir/debootstrap.log" 2>&1; then
    echo "install_test: SKIPPED: debootstrap could not make a root from the Debian mirror (see $out_dir/debootstrap.log)"
    exit 0
  fi
  tar -C "$work/base" -cf "$base.tmp" . && mv "$base.tmp" "$base"
  rm -rf "$work/base"
fi
mkdir -p "$root"
tar -C "$root" -xf "$base"
echo "root ready in $(( $(date +%s) - start )) s"

# What goes into the root: the two packages, the stand-in installer the
# client's Updater runs (the desktop's package installer on a real desktop),
# the test account's xscreensaver file and data.
cp "$old_deb" "$root/tmp/old.deb"
cp "$new_deb" "$root/tmp/new.deb"
cat >"$root/usr/local/bin/test-installer" <<'EOF'
#!/bin/sh
echo "installer: $*" >>/var/log/quol-upgrade.log
exec dpkg -i "$1" >>/var/log/quol-upgrade.log 2>&1
EOF
chmod 755 "$root/usr/local/bin/test-installer"

# The service stand-in offers NEW as the latest version, signed with a key
# the installed client is told to trust.
new_version=$(dpkg-deb -f "$new_deb" Version)
upstream=${new_version%-*}
mkdir -p "$work/packages"
cp "$new_deb" "$work/packages/Pkg_${upstream//./_}.deb"
"$service" --api-port 0 --web-port 0 --latest-version "$upstream" --package-dir "$work/packages" \
  --public-key-out "$root/root/service.pub" --db "$work/service.sqlite" \
  >"$work/service.out" 2>"$out_dir/service.log" &
service_pid=$!
for _ in $(seq 100); do grep -q listening "$work/service.out" 2>/dev/null && break; sleep 0.1; done
api_port=$(sed -n 's/.*api=\([0-9]*\).*/\1/p' "$work/service.out")
web_port=$(sed -n 's/.*web=\([0-9]*\).*/\1/p' "$work/service.out")
if [ -z "$api_port" ]; then echo "install_test: the service stand-in did not start" >&2; exit 1; fi
config_url="http://127.0.0.1:$api_port/QuolDevuzez/GlobalConfig_v2.xml"
mkdir -p "$root/root/.local/share/Quol/Vevuvov"
cat >"$root/root/.local/share/Quol/Vevuvov/LocalConfig.xml" <<EOF
<quol><default><updateServiceUrl>$config_url</updateServiceUrl><fallBackUpdateServiceUrl>$config_url</fallBackUpdateServiceUrl><homePageUrl>http://127.0.0.1:$web_port/devuzez/</homePageUrl></default></quol>
EOF

# An X server for the client, shared with the root through its socket.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
display=":$(cat "$work/display")"

# Runs a command line inside the root (as root, or as the account given).
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
  DEBIAN_FRONTEND=noninteractive sh -c "$1"; }
as_family() { chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin LANG=C.UTF-8 \
  su -s /bin/sh family -c "$1"; }
export -f in_root as_family
export root

run_checks() {
  mount -t proc proc "$root/proc"
  mount -t tmpfs tmpfs "$root/dev/shm"
  mkdir -p "$root/tmp/.X11-unix"
  mount --bind /tmp/.X11-unix "$root/tmp/.X11-unix"
  mount --bind "$cache/debs" "$root/var/cache/apt/archives"
  cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null

  local t0
  t0=$(date +%s)
  if ! in_root "apt-get update -q" >"$out_dir/apt.log" 2>&1; then
    echo "install_test: SKIPPED: apt cannot reach the Debian mirror (see $out_dir/apt.log)"
    return 2
  fi
  check "installs with its dependencies" in_root \
    "apt-get install -y -q --no-install-recommends /tmp/old.deb desktop-file-utils xdg-utils >>/var/log/quol-install.log 2>&1"
  echo "     (apt: $(( $(date +%s) - t0 )) s)"
  check "QuolDevuzez --help from /usr/bin" in_root "QuolDevuzez --help | grep -q '^Usage: QuolDevuzez'"
  check "QuolScreensaver --help from /usr/bin and as the xscreensaver hack" in_root \
    "QuolScreensaver --help | grep -q '^Usage: QuolScreensaver' && /usr/libexec/xscreensaver/quolsaver --help | grep -q Usage"
  check "Updater and quol-url are installed" in_root \
    "test -x /usr/lib/quol/Updater && quol-url --help | grep -q '^Usage: quol-url'"
  check "dpkg -V quol reports nothing" in_root "test -z \"\$(dpkg -V quol)\""
  check "the machine hive is a conffile naming the installed programs" in_root \
    "dpkg-query -W -f='\${Conffiles}' quol | grep -q /etc/quol/HKLM.reg &&
     grep -qx '\"Vevuvov\"=\"/usr/lib/quol/QuolDevuzez\"' /etc/quol/HKLM.reg &&
     grep -qx '\"ScreenSaver\"=\"/usr/libexec/xscreensaver/quolsaver\"' /etc/quol/HKLM.reg"
  check "xdg-mime names our entry for quol:// links" in_root \
    "out=\$(HOME=/tmp xdg-mime query default x-scheme-handler/quol); echo \"got '\$out'\"; test \"\$out\" = quol-url.desktop"
  check "desktop entries and icons are registered" in_root \
    "grep -q quol-url.desktop /usr/share/applications/mimeinfo.cache &&
     test -f /usr/share/applications/quol-devuzez.desktop && test -f /usr/share/icons/hicolor/48x48/apps/quol.png &&
     test -f /usr/share/xscreensaver/config/quolsaver.xml"

  # A family account with its own xscreensaver file (as xscreensaver
  # writes it) and some data of ours.
  in_root "useradd -m -s /bin/bash family" >/dev/null 2>&1
  cat >"$root/home/family/.xscreensaver" <<'EOF'
# XScreenSaver Preferences File
timeout:	0:05:00
mode:		random
selected:	-1
programs:								      \
		  maze -root						    \n\
		  bsod -root						    \n\
EOF
  mkdir -p "$root/home/family/.local/share/Quol/Vevuvov"
  echo '<?xml version="1.0"?><settings><interPhotoInterval>7</interPhotoInterval></settings>' \
    >"$root/home/family/.local/share/Quol/Vevuvov/Settings.xml"
  in_root "chown -R family:family /home/family"
  cp "$root/home/family/.xscreensaver" "$work/xscreensaver.before"
  local data_sum
  data_sum=$(sha256sum <"$root/home/family/.local/share/Quol/Vevuvov/Settings.xml")

  check "the saver is turned on for the family account" as_family "QuolScreensaver --apply-choice 2"
  check "and is the selected entry of that account's xscreensaver list" sh -c "
    f='$root/home/family/.xscreensaver'; cat \"\$f\"
    grep -Eq '^mode:[[:space:]]+one' \"\$f\" && grep -Eq '^selected:[[:space:]]+2\$' \"\$f\" &&
    grep -q '/usr/libexec/xscreensaver/quolsaver --root' \"\$f\""

  # An administrator's change to the machine hive, kept over the upgrade.
  in_root "printf '\"AdminNote\"=\"kept\"\n' >>/etc/quol/HKLM.reg"

  # The upgrade, as the client does it: the update check finds NEW, the
  # package and its signature are downloaded and checked; a page of the
  # service asks for the upgrade (window.external.UpgradeNow); Updater waits
  # for the client to end and runs the installer.
  local client_env="HOME=/root XDG_RUNTIME_DIR=/tmp/runtime DISPLAY=$display NO_AT_BRIDGE=1 QUOL_LOOPBACK_ONLY=1 \
DevuzezClientMode=local \
QUOL_TEST_TRUST_KEY=/root/service.pub QUOL_INSTALLER=/usr/local/bin/test-installer"
  in_root "mkdir -p -m 700 /tmp/runtime"
  in_root "$client_env timeout 120 QuolDevuzez >/var/log/quol-client.log 2>&1" &
  local client_pid=$!
  local packages=$root/root/.local/share/Quol/Vevuvov/Packages
  for _ in $(seq 300); do [ -f "$packages/Pkg_${upstream//./_}.deb.minisig" ] && break; sleep 0.1; done
  # Time for the first page to be drawn, for the screenshot.
  sleep 4
  /usr/bin/import -display "$display" -window root "$out_dir/client-before-upgrade.png" 2>/dev/null
  for _ in $(seq 20); do
    grep -q '^installer:' "$root/var/log/quol-upgrade.log" 2>/dev/null && break
    in_root "$client_env timeout 20 QuolDevuzez /n 'devuzez/external.htm?call=UpgradeNow'" >/dev/null 2>&1
    sleep 1
  done
  wait "$client_pid"
  for _ in $(seq 300); do
    [ "$(in_root "dpkg-query -W -f='\${Version} \${db:Status-Status}' quol")" = "$new_version installed" ] && break
    sleep 0.1
  done
  cp "$root/var/log/quol-upgrade.log" "$root/var/log/quol-client.log" \
    "$root/root/.local/share/Quol/Vevuvov/"QuolDevuzez-*.log "$out_dir/" 2>/dev/null
  check "the client upgraded the installation to $new_version" in_root \
    "cat /var/log/quol-upgrade.log; grep -q 'Unpacking quol ($new_version) over' /var/log/quol-upgrade.log &&
     test \"\$(dpkg-query -W -f='\${Version} \${db:Status-Status}' quol)\" = '$new_version installed'"
  check "the installer got the private copy, not the shared download" in_root \
    "grep -q '^installer: /tmp/runtime/quol/QuolUpdate' /var/log/quol-upgrade.log"
  check "after the upgrade dpkg -V reports only the administrator's change" in_root \
    "out=\$(dpkg -V quol); echo \"\$out\"; test \"\$out\" = '??5?????? c /etc/quol/HKLM.reg'"
  check "the administrator's change survived the upgrade" in_root \
    "grep -qx '\"AdminNote\"=\"kept\"' /etc/quol/HKLM.reg"

  check "removal succeeds" in_root "apt-get remove -y -q quol >>/var/log/quol-install.log 2>&1"
  check "removal gave the account its own screen saver back, byte for byte" \
    cmp "$work/xscreensaver.before" "$root/home/family/.xscreensaver"
  check "removal took the programs and registrations away" in_root \
    "test ! -e /usr/lib/quol && test ! -e /usr/bin/QuolDevuzez && test ! -e /usr/libexec/xscreensaver/quolsaver &&
     ! grep -q quol /usr/share/applications/mimeinfo.cache && test -z \"\$(HOME=/tmp xdg-mime query default x-scheme-handler/quol)\""
  check "removal kept the machine hive" in_root "test -f /etc/quol/HKLM.reg"
  check "purge removes /etc/quol" in_root "apt-get purge -y -q quol >>/var/log/quol-install.log 2>&1 && test ! -e /etc/quol"
  check "the account's data folder is untouched" sh -c \
    "test \"\$(sha256sum <'$root/home/family/.local/share/Quol/Vevuvov/Settings.xml')\" = '$data_sum'"
  check "the client's own data folder is untouched" test -f "$root/root/.local/share/Quol/Vevuvov/LocalConfig.xml"
  cp "$root/var/log/quol-install.log" "$out_dir/" 2>/dev/null
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
export -f run_checks check
export work out_dir cache display upstream new_version passed failed

# The mounts live in a namespace of their own: they go when it ends, even
# when this script is killed.
unshare -m --propagation private bash -c run_checks
status=$?
[ "$status" -eq 2 ] && exit 0
echo "install test: $(( $(date +%s) - start )) s, logs and screenshot in $out_dir"
exit "$status"
