#!/bin/sh
# Undoes install-url-handler.sh.
#
#   uninstall-url-handler.sh                    for the current user
#   uninstall-url-handler.sh --prefix PREFIX    the system-wide entry under
#                                               $DESTDIR$PREFIX
#
# Removes quol-url.desktop only when this suite wrote it, refreshes that
# folder's cache where update-desktop-database is installed and, per user,
# takes the line "x-scheme-handler/quol=quol-url.desktop" out of the user's
# mimeapps.list (every other line kept as it was).
set -eu

entry_name=quol-url.desktop

usage() {
  echo "Usage: $0 [--prefix PREFIX]" >&2
  exit 64
}

prefix=
while [ $# -gt 0 ]; do
  case "$1" in
    --prefix) [ $# -ge 2 ] || usage; prefix=$2; shift 2 ;;
    --help|-h) echo "Usage: $0 [--prefix PREFIX]"; exit 0 ;;
    *) usage ;;
  esac
done

if [ -n "$prefix" ]; then
  case "$prefix" in /*) ;; *) echo "$0: --prefix must be an absolute path" >&2; exit 64 ;; esac
  apps="${DESTDIR:-}$prefix/share/applications"
else
  if [ -z "${XDG_DATA_HOME:-}" ] && [ -z "${HOME:-}" ]; then
    echo "$0: neither XDG_DATA_HOME nor HOME is set" >&2
    exit 1
  fi
  apps="${XDG_DATA_HOME:-$HOME/.local/share}/applications"
fi

target="$apps/$entry_name"
if [ -e "$target" ]; then
  if ! grep -qx 'X-Quol-Url-Handler=true' "$target"; then
    echo "$0: $target was not written by this suite; left alone" >&2
    exit 1
  fi
  rm -f "$target"
  if command -v update-desktop-database >/dev/null 2>&1; then
    update-desktop-database -q "$apps" || true
  fi
fi

if [ -z "$prefix" ] && [ -n "${XDG_CONFIG_HOME:-${HOME:-}}" ]; then
  list="${XDG_CONFIG_HOME:-$HOME/.config}/mimeapps.list"
  line="x-scheme-handler/quol=$entry_name;"
  if [ -f "$list" ] && grep -qx -e "$line" -e "x-scheme-handler/quol=$entry_name" "$list"; then
    tmp=$(mktemp "$list.XXXXXX")
    trap 'rm -f "$tmp"' EXIT
    grep -vx -e "$line" -e "x-scheme-handler/quol=$entry_name" "$list" >"$tmp" || true
    chmod --reference="$list" "$tmp" 2>/dev/null || true
    mv -f "$tmp" "$list"
    trap - EXIT
  fi
fi
echo "Removed $target"
