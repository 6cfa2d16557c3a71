#!/bin/sh
# Registers quol-url as the handler of quol:// links (x-scheme-handler/quol)
# for browsers other than the desktop client.
#
#   install-url-handler.sh [--exec PATH]
#       for the current user: the desktop entry goes to
#       ${XDG_DATA_HOME:-~/.local/share}/applications, that folder's cache is
#       refreshed (update-desktop-database) and the entry made the default
#       handler (xdg-mime default), each where the tool is installed.
#       PATH defaults to quol-url beside this script, else the one on $PATH.
#   install-url-handler.sh --prefix PREFIX [--exec PATH]
#       system-wide, for packaging: the entry goes to
#       $DESTDIR$PREFIX/share/applications with Exec=PATH (default
#       PREFIX/bin/quol-url); the package system's triggers refresh the
#       cache, and users' own choices stay theirs.
#
# Touches nothing but the entry, that folder's cache and, per user, the
# user's own mimeapps.list (through xdg-mime). An existing quol-url.desktop
# that this script did not write is left alone (exit 1).
set -eu

entry_name=quol-url.desktop
here=$(CDPATH= cd -- "$(dirname -- "$0")" && pwd)
template="$here/quol-url.desktop.in"

usage() {
  echo "Usage: $0 [--prefix PREFIX] [--exec PATH]" >&2
  exit 64
}

prefix=
exec_path=
while [ $# -gt 0 ]; do
  case "$1" in
    --prefix) [ $# -ge 2 ] || usage; prefix=$2; shift 2 ;;
    --exec) [ $# -ge 2 ] || usage; exec_path=$2; shift 2 ;;
    --help|-h) echo "Usage: $0 [--prefix PREFIX] [--exec PATH]"; exit 0 ;;
    *) usage ;;
  esac
done

if [ -n "$prefix" ]; then
  case "$prefix" in /*) ;; *) echo "$0: --prefix must be an absolute path" >&2; exit 64 ;; esac
  apps="${DESTDIR:-}$prefix/share/applications"
  [ -n "$exec_path" ] || exec_path="$prefix/bin/quol-url"
else
  if [ -z "${XDG_DATA_HOME:-}" ] && [ -z "${HOME:-}" ]; then
    echo "$0: neither XDG_DATA_HOME nor HOME is set" >&2
    exit 1
  fi
  apps="${XDG_DATA_HOME:-$HOME/.local/share}/applications"
  if [ -z "$exec_path" ]; then
    if [ -x "$here/quol-url" ]; then
      exec_path="$here/quol-url"
    else
      exec_path=$(command -v quol-url || true)
    fi
  fi
  if [ -z "$exec_path" ]; then
    echo "$0: quol-url not found (give --exec PATH)" >&2
    exit 1
  fi
fi

# The desktop entry's Exec line has its own quoting rules; a path made only
# of these characters needs none, so none is attempted.
case "$exec_path" in
  /*) ;;
  *) echo "$0: --exec must be an absolute path" >&2; exit 64 ;;
esac
case "$exec_path" in
  *[!A-Za-z0-9/._+-]*) echo "$0: the quol-url path may hold only letters, digits and / . _ + -" >&2; exit 64 ;;
esac

# Per user the entry must name a program that is there; a package's
# PREFIX/bin is staged elsewhere at this point.
if [ -z "$prefix" ] && [ ! -x "$exec_path" ]; then
  echo "$0: $exec_path is not an executable program" >&2
  exit 1
fi

target="$apps/$entry_name"
if [ -e "$target" ] && ! grep -qx 'X-Quol-Url-Handler=true' "$target"; then
  echo "$0: $target exists and was not written by this script; left alone" >&2
  exit 1
fi

mkdir -p "$apps"
tmp=$(mktemp "$apps/.$entry_name.XXXXXX")
trap 'rm -f "$tmp"' EXIT
sed "s|@QUOL_URL_EXEC@|$exec_path|" "$template" >"$tmp"
chmod 0644 "$tmp"
mv -f "$tmp" "$target"
trap - EXIT

if command -v update-desktop-database >/dev/null 2>&1; then
  update-desktop-database -q "$apps" || true
fi
if [ -z "$prefix" ]; then
  if command -v xdg-mime >/dev/null 2>&1; then
    xdg-mime default "$entry_name" x-scheme-handler/quol
  else
    echo "$0: xdg-mime not installed; $entry_name is registered only through its MimeType line" >&2
  fi
fi
echo "Installed $target"
