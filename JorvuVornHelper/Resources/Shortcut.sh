#!/bin/sh
# Makes the desktop shortcut of an installed game.
#
#   Shortcut.sh <game folder> <executable name> <game code>[@<tag>]
#
# The shortcut is a bundle <desktop>/<name>.app (name: the executable name
# without ".app") holding Contents/Info.plist, whose key ZQLaunchIdentifier is
# the Base64 of the app's start URL for the game, and the `run` stub as
# Contents/MacOS/run when the stub is installed beside the helper. With the
# stub, a launcher <desktop>/<name>.desktop whose Exec runs the bundle's stub
# (through /bin/sh) goes beside the bundle (executable, and marked trusted where the desktop
# keeps such marks), so that a double click on the desktop opens the start URL.
# The desktop folder is $XDG_DESKTOP_DIR, else the one named in the user's
# user-dirs.dirs, else $HOME/Desktop. A bundle or launcher there that is not
# one of our shortcuts is never replaced. The shortcut is placed whole or not
# at all: a desktop folder or name that the launcher cannot hold (a control
# character, bytes that are not UTF-8) is refused before anything is made.
set -eu
# Nothing made here is writable by others, nor more open than the player's
# umask leaves it.
umask "$(printf '%o' $(( $(umask) | 022 )))"

START_URL_PREFIX='jorvuvorn://launch?game='

fail() {
  printf 'Shortcut.sh: %s\n' "$*" >&2
  exit 1
}

[ "$#" -eq 3 ] || fail "usage: Shortcut.sh <game folder> <executable name> <game code>[@tag]"
folder=$1
executable=$2
game=$3

newline='
'
case $folder$executable$game in
  *"$newline"*) fail "arguments must not hold line breaks" ;;
esac

case $folder in
  /*) ;;
  *) fail "the game folder is not an absolute path: $folder" ;;
esac
[ -d "$folder" ] || fail "no game folder: $folder"

case $executable in
  '' | . | .. | .app | */* | -*) fail "invalid executable name: $executable" ;;
esac
name=${executable%.app}

# The game code (decimal, 32 bits) and the optional tag after "@".
code=${game%%@*}
tag=
case $game in
  *@*) tag=${game#*@} ;;
esac
case $code in
  '' | *[!0-9]*) fail "invalid game code: $game" ;;
esac
[ "${#code}" -le 10 ] && [ "$code" -le 4294967295 ] || fail "invalid game code: $game"
case $tag in
  *[!A-Za-z0-9._/-]*) fail "invalid tag: $tag" ;;
esac
# "/" only between segments that are real names ("678e/dev").
case $tag in
  */*)
    case /$tag/ in
      *//* | */./* | */../*) fail "invalid tag: $tag" ;;
    esac
    ;;
esac
case $game in
  *@) fail "invalid tag: empty" ;;
esac

desktop_folder() {
  if [ -n "${XDG_DESKTOP_DIR:-}" ]; then
    printf '%s' "$XDG_DESKTOP_DIR"
    return
  fi
  home=${HOME:-}
  [ -n "$home" ] || fail "HOME is not set"
  dirs=${XDG_CONFIG_HOME:-$home/.config}/user-dirs.dirs
  if [ -r "$dirs" ]; then
    # Read, never sourced: only "$HOME/..." and absolute paths count.
    value=$(sed -n 's/^XDG_DESKTOP_DIR="\(.*\)"[[:space:]]*$/\1/p' "$dirs" | tail -n 1)
    case $value in
      '$HOME') value=$home ;;
      '$HOME'/*) value=$home${value#\$HOME} ;;
    esac
    case $value in
      /*)
        printf '%s' "$value"
        return
        ;;
    esac
  fi
  printf '%s' "$home/Desktop"
}

# Whether $1 is one line of UTF-8 text without control characters, as the
# property list and the launcher's lines must be.
is_line_of_text() {
  case $1 in
    *[[:cntrl:]]*) return 1 ;;
  esac
  printf '%s' "$1" | iconv -f UTF-8 -t UTF-8 >/dev/null 2>&1
}

xml_escape() {
  printf '%s' "$1" | sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g'
}

# A .desktop string value: backslashes doubled, a leading blank as \s.
desktop_string() {
  printf '%s' "$1" | sed -e 's/\\/\\\\/g' -e 's/^ /\\s/'
}

# One Exec argument: double-quoted with \ " ` $ escaped inside the quotes and
# % doubled (field codes), then written as a .desktop string value.
desktop_exec_argument() {
  quoted=$(printf '%s' "$1" | sed -e 's/\\/\\\\/g' -e 's/"/\\"/g' -e 's/`/\\`/g' -e 's/\$/\\$/g' -e 's/%/%%/g')
  printf '%s' "\"$quoted\"" | sed -e 's/\\/\\\\/g'
}

launcher_marker='X-Jorvu-Shortcut='

desktop=$(desktop_folder)
case $desktop in
  /*) ;;
  *) fail "the desktop folder is not an absolute path: $desktop" ;;
esac
is_line_of_text "$desktop" ||
  fail "the desktop folder's path holds a control character or bytes that are not UTF-8; no shortcut made"
is_line_of_text "$name" ||
  fail "the executable name holds a control character or bytes that are not UTF-8; no shortcut made"
mkdir -p "$desktop"
bundle=$desktop/$name.app
if [ -e "$bundle" ] || [ -L "$bundle" ]; then
  grep -qs '<key>ZQLaunchIdentifier</key>' "$bundle/Contents/Info.plist" ||
    fail "$bundle exists and is not a game shortcut; left alone"
fi
launcher=$desktop/$name.desktop
if [ -e "$launcher" ] || [ -L "$launcher" ]; then
  { [ -f "$launcher" ] && [ ! -L "$launcher" ] && grep -qs "^$launcher_marker" "$launcher"; } ||
    fail "$launcher exists and is not a game shortcut; left alone"
fi

start_url=$START_URL_PREFIX$game
identifier=$(printf '%s' "$start_url" | base64 -w 0)

# The stub: Contents/MacOS beside Resources in a bundle, bin/ in a build tree.
here=$(cd "$(dirname "$0")" && pwd)
stub=
for candidate in "$here/../MacOS/run" "$here/../bin/run" "$here/run"; do
  if [ -f "$candidate" ] && [ -x "$candidate" ]; then
    stub=$candidate
    break
  fi
done

work=$(mktemp -d "$desktop/.jorvu-shortcut.XXXXXX")
trap 'rm -rf "$work"' EXIT
new=$work/$name.app
mkdir -p "$new/Contents/MacOS" "$new/Contents/Resources"
if [ -n "$stub" ]; then
  cp "$stub" "$new/Contents/MacOS/run"
  chmod +x "$new/Contents/MacOS/run"
fi

{
  printf '<?xml version="1.0" encoding="UTF-8"?>\n'
  printf '<plist version="1.0">\n<dict>\n'
  if [ -n "$stub" ]; then
    printf '\t<key>CFBundleExecutable</key>\n\t<string>run</string>\n'
  fi
  printf '\t<key>CFBundleIdentifier</key>\n\t<string>com.jorvu.vorn.shortcut.%s</string>\n' "$code"
  printf '\t<key>CFBundleName</key>\n\t<string>%s</string>\n' "$(xml_escape "$name")"
  printf '\t<key>CFBundlePackageType</key>\n\t<string>APPL</string>\n'
  printf '\t<key>ZQLaunchIdentifier</key>\n\t<string>%s</string>\n' "$identifier"
  printf '</dict>\n</plist>\n'
} >"$new/Contents/Info.plist"

# The desktop launcher, only when there is a stub for it to run; written
# before anything is placed.
if [ -n "$stub" ]; then
  {
    printf '[Desktop Entry]\n'
    printf 'Type=Application\n'
    printf 'Version=1.0\n'
    printf 'Name=%s\n' "$(desktop_string "$name")"
    # The program is /bin/sh and the stub's path only its argument: GLib looks
    # the program up before it turns "%%" back into "%", so a program path
    # holding "%" would make it refuse the whole launcher.
    printf 'Exec=/bin/sh -c %s %s\n' "$(desktop_exec_argument 'exec "$0"')" \
      "$(desktop_exec_argument "$bundle/Contents/MacOS/run")"
    printf 'Icon=applications-games\n'
    printf 'Terminal=false\n'
    printf 'Categories=Game;\n'
    printf '%s%s\n' "$launcher_marker" "$game"
  } >"$work/launcher"
  chmod +x "$work/launcher"
fi

# Puts the previous bundle, if any, back in its place.
restore_previous() {
  if [ -e "$work/previous" ] || [ -L "$work/previous" ]; then
    mv "$work/previous" "$bundle"
  fi
}

# Swap the new bundle in, then its launcher; an old shortcut goes only once
# the new one is in place, and comes back when the new one cannot be placed
# whole (a name too long for the launcher's file name).
if [ -e "$bundle" ] || [ -L "$bundle" ]; then
  mv "$bundle" "$work/previous"
fi
if ! mv "$new" "$bundle"; then
  restore_previous
  fail "cannot place $bundle"
fi
if [ -n "$stub" ] && ! mv -f "$work/launcher" "$launcher"; then
  rm -rf "$bundle"
  restore_previous
  fail "cannot place $launcher"
fi
printf '%s\n' "$bundle"

if [ -n "$stub" ]; then
  # Desktops that ask before running a launcher skip the question for trusted
  # ones; where no metadata store runs, this fails and changes nothing.
  if command -v gio >/dev/null 2>&1; then
    gio set "$launcher" metadata::trusted true >/dev/null 2>&1 || true
  fi
  printf '%s\n' "$launcher"
fi
