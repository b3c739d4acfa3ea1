# Functions for running Windows programs under Wine in a throwaway prefix with
# an X display of its own. Source it, then:
#   wine_prefix_up                 # temp prefix, Xvfb, wineboot, CJK font replacements,
#                                  # unmanaged windows (no window manager runs on Xvfb)
#   wine_font_replacements         # the replacements and Marlett alone, in the current WINEPREFIX
#   wine_dpi 144                   # the screen's resolution (LogPixels), for the next programs
#   wine_map_com 5 /dev/pts/3      # the pseudo-terminal appears as \\.\COM5 and in SerialComm
#   wine_prefix_down               # ends this prefix's Wine processes and Xvfb, removes the prefix
#   "$(wine_loader X.exe)" X.exe   # starts X.exe with the Wine loader of its machine type
# Everything it starts is ended by wine_prefix_down (also on exit, by trap),
# and so are the processes whose ids the caller adds to WINE_HELPER_PIDS.

wine_loader() {  # wine_loader EXE: the Wine loader that runs EXE itself
  # Where 32-bit Wine is installed, `wine` is its loader, which runs a 64-bit
  # program only as the child of a 32-bit start.exe.
  local pe machine
  pe=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  machine=$(od -An -tx2 -j$((${pe:-0} + 4)) -N2 "$1" 2>/dev/null | tr -d ' ')
  case "$machine" in
    8664) [ -x /usr/lib/wine/wine64 ] && echo /usr/lib/wine/wine64 || echo wine64 ;;
    014c) [ -x /usr/lib/wine/wine ] && echo /usr/lib/wine/wine || echo wine ;;
    *) echo wine ;;
  esac
}

wine_reg_import() {  # wine_reg_import FILE-with-UTF-8-.reg-text
  # regedit reads UTF-16 with a byte-order mark, which also carries the Chinese names.
  local utf16="$1.utf16"
  { printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE "$1"; } >"$utf16"
  wine regedit /S "$(winepath -w "$utf16")" >/dev/null 2>&1
}

wine_font_replacements() {  # the dialog font's names, drawn with an installed CJK font
  # An argument is more .reg text, imported with them in the same regedit run.
  local reg
  reg=$(mktemp "${TMPDIR:-/tmp}/plinkor-fonts.XXXXXX.reg")
  # Tahoma is Wine's caption, menu and message font: drawn with the CJK font
  # too, the Chinese caption and menu entry are whole. (Debian's fonts-wine
  # Tahoma has no CJK glyphs, and Wine drops any font link to it in a
  # non-CJK locale, so it must not be used.)
  cat >"$reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]
"宋体"="AR PL UMing CN"
"SimSun"="AR PL UMing CN"
"Tahoma"="AR PL UMing CN"

${1:-}
REG
  wine_reg_import "$reg"
  rm -f "$reg" "$reg.utf16"
  # Marlett draws the caption buttons and the menu marks; Debian's Wine does
  # not look where fonts-wine puts it, and without it they show as letters.
  local fonts
  fonts=$(wine_data_fonts)
  if [ -n "$fonts" ] && [ -f "$fonts/marlett.ttf" ]; then
    cp "$fonts/marlett.ttf" "$WINEPREFIX/drive_c/windows/Fonts/"
  fi
}

wine_data_fonts() {  # the folder of Wine's own fonts (fonts-wine), if any
  local dir
  for dir in /usr/share/wine/fonts /usr/lib/wine/fonts /opt/wine-stable/share/wine/fonts; do
    [ -d "$dir" ] && { echo "$dir"; return; }
  done
}

wine_dpi() {  # wine_dpi 144: the prefix's screen resolution, in dots per inch
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
}

wine_prefix_up() {
  WINE_ROOT=$(mktemp -d "${TMPDIR:-/tmp}/plinkor-wine.XXXXXX")
  export WINEPREFIX="$WINE_ROOT/prefix"
  export WINEDEBUG="${WINEDEBUG:--all}"
  # No Mono or Gecko: nothing here uses them, and they cannot be fetched.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  # Xvfb picks a free display itself and tells us which.
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$WINE_ROOT/display" >/dev/null 2>&1 &
  WINE_XVFB_PID=$!
  local i
  for i in $(seq 100); do
    [ -s "$WINE_ROOT/display" ] && break
    sleep 0.1
  done
  export DISPLAY=":$(head -n1 "$WINE_ROOT/display")"
  trap wine_prefix_down EXIT
  wineboot -i >/dev/null 2>&1
  wineserver -w
  # No window manager runs on this display: unmanaged, Wine's windows need
  # not wait for one, which it otherwise does for 2 s at each program's end.
  wine_font_replacements '[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"'
  # Until its server ends the registry lives in memory only: a copy of the
  # prefix (tests/win/program_win.sh) would not have the replacements.
  wineserver -w
  echo "wine prefix $WINEPREFIX on display $DISPLAY ($(wine --version 2>/dev/null))"
}

wine_map_com() {  # wine_map_com N DEVICE-PATH
  local device
  device=$(readlink -f "$2")
  wine reg add 'HKLM\Software\Wine\Ports' /v "COM$1" /d "$device" /f >/dev/null 2>&1
  # The device map is made when Wine's services start: restart them.
  # A persistent server also spares every later Wine call its start-up.
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  wineserver -p 2>/dev/null || true
  wine cmd /c exit >/dev/null 2>&1 || true
}

wine_prefix_down() {
  trap - EXIT
  local pid
  for pid in ${WINE_HELPER_PIDS:-}; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  WINE_HELPER_PIDS=
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
    # Waited for: a server is found by its prefix's inode, which the next
    # prefix made may get again.
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
  fi
  if [ -n "${WINE_XVFB_PID:-}" ]; then
    kill "$WINE_XVFB_PID" 2>/dev/null || true
    wait "$WINE_XVFB_PID" 2>/dev/null || true
    WINE_XVFB_PID=
  fi
  [ -n "${WINE_ROOT:-}" ] && rm -rf "$WINE_ROOT"
  WINE_ROOT=
}
