# Wine settings shared by the scripts and the test wrapper. Expects WINEPREFIX
# and HOME to be set to folders of the build (wine_select_platform does that
# for the tests); sourced, not run.

# Wine's loaders. Debian's wine, wineboot and winepath pick the 32-bit loader
# whenever it is installed, even on a host whose kernel cannot run it; the
# 64-bit programs are therefore started by the 64-bit loader itself, through
# the wrappers in scripts/lib/wine64, which name it.
WINE32_LOADER=/usr/lib/wine/wine
WINE64_LOADER=/usr/lib/wine/wine64

# Wine 8 cannot lay out every process in an address space that Linux
# randomises: about one start in 8,000 here, it finds the address of its
# shared user data page taken ("failed to map the shared user data:
# c0000018", shown only while Wine's error messages are on) and the process
# exits with 1 before any code of its program runs. Runs the calling script
# again ($0, with the arguments given here) with the randomisation off, which
# every process it starts inherits, Wine's included; once, and only where the
# host allows it (a container may not).
wine_fixed_layout() {
  [ -z "${MENUTOOLS_FIXED_LAYOUT:-}" ] || return 0
  export MENUTOOLS_FIXED_LAYOUT=1
  setarch -R true 2>/dev/null || return 0
  exec setarch -R "$0" "$@"
}

# Makes `wine`, `wineboot` and `winepath` start the programs of one
# architecture: x86, the 32-bit programs, through Debian's wrappers (as
# before), or x64, the 64-bit programs, through the 64-bit loader. Needs
# MENUTOOLS_ROOT, the source tree.
wine_use_loader() {
  [ "$1" = x64 ] || return 0
  export WINELOADER="$WINE64_LOADER"
  case ":$PATH:" in
    *":$MENUTOOLS_ROOT/scripts/lib/wine64:"*) ;;
    *) PATH="$MENUTOOLS_ROOT/scripts/lib/wine64:$PATH" ;;
  esac
  export PATH
}

# The Windows platform the tests of the build folder $1, whose programs are of
# the architecture $2 (x86 unless given), run on, from MENUTOOLS_WINEARCH:
# - 32-bit programs: win32 (the default), a 32-bit Windows, or win64, a 64-bit
#   Windows that runs them under WOW64;
# - 64-bit programs: win64 only (the default), started by the 64-bit loader.
# Each platform has a prefix and a HOME of its own in the build folder, so that
# both can be prepared and used side by side. Exports MENUTOOLS_WINEARCH,
# WINEPREFIX and HOME; returns 2 for a value that does not fit.
wine_select_platform() {
  if [ "${2:-x86}" = x64 ]; then
    MENUTOOLS_WINEARCH=${MENUTOOLS_WINEARCH:-win64}
    if [ "$MENUTOOLS_WINEARCH" != win64 ]; then
      echo "wine: the 64-bit programs run on win64 only, not '$MENUTOOLS_WINEARCH'" >&2
      return 2
    fi
    WINEPREFIX="$1/wineprefix" HOME="$1/home"
    wine_use_loader x64
    wine_own_prefix
    export MENUTOOLS_WINEARCH WINEPREFIX HOME
    return 0
  fi
  MENUTOOLS_WINEARCH=${MENUTOOLS_WINEARCH:-win32}
  case "$MENUTOOLS_WINEARCH" in
    win32) WINEPREFIX="$1/wineprefix" HOME="$1/home" ;;
    win64) WINEPREFIX="$1/wineprefix64" HOME="$1/home64" ;;
    *)
      echo "wine: MENUTOOLS_WINEARCH is win32 or win64, not '$MENUTOOLS_WINEARCH'" >&2
      return 2
      ;;
  esac
  wine_own_prefix
  export MENUTOOLS_WINEARCH WINEPREFIX HOME
}

# A test that stops its Wine server again and again (the races) names a prefix
# and a HOME of its own in MENUTOOLS_OWN_PREFIX, beside the platform's, so that
# no other test waits for a server it stopped.
wine_own_prefix() {
  [ -n "${MENUTOOLS_OWN_PREFIX:-}" ] || return 0
  WINEPREFIX="$WINEPREFIX-$MENUTOOLS_OWN_PREFIX" HOME="$HOME-$MENUTOOLS_OWN_PREFIX"
}

# Headless and quiet; Wine's shell integration off, so that saved shortcuts
# create no desktop-menu files under HOME. The prefix's architecture follows
# MENUTOOLS_WINEARCH (win32 unless set).
wine_environment() {
  export WINEARCH="${MENUTOOLS_WINEARCH:-win32}"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'
  unset DISPLAY WAYLAND_DISPLAY
  mkdir -p "$HOME"
}

# Creates and configures the prefix once; later calls return at once. Safe to
# call from several processes at a time.
wine_prepare_prefix() {
  stamp="$WINEPREFIX/.menutools-prepared"
  [ -f "$stamp" ] && return 0
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    [ -f "$stamp" ] && exit 0
    echo "wine-env: preparing the Wine prefix $WINEPREFIX ($WINEARCH)" >&2
    # wineboot's own words are kept beside the prefix, and shown when it fails.
    wineboot -i >"$WINEPREFIX.boot.log" 2>&1 || {
      echo "wine-env: wineboot failed in $WINEPREFIX; its last words ($WINEPREFIX.boot.log):" >&2
      tail -n 5 "$WINEPREFIX.boot.log" >&2
      exit 1
    }
    # Both settings lie under HKCU\Software, which a 64-bit Windows shares
    # between its 32-bit and 64-bit programs: whichever reg writes them, both
    # kinds read them.
    # A crashing program exits (with 5) instead of waiting in the debugger.
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    # Windows exist off-screen, so that message boxes block as on Windows.
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    wineserver -w
    touch "$stamp"
  ) 9>"$WINEPREFIX.lock"
}

# Makes the prefix a copy of the prepared prefix $1, whose HOME was $2, unless
# it is prepared already: a copy takes a few seconds, a boot 10 to 20. The
# source's server must not run. The links that a prefix keeps into its HOME
# (Desktop, Documents and the like) are pointed at this prefix's HOME.
wine_copy_prefix() {
  local source=$1 source_home=$2 link target
  [ -f "$WINEPREFIX/.menutools-prepared" ] && return 0
  rm -rf "$WINEPREFIX" "$WINEPREFIX.copy"
  mkdir -p "$(dirname "$WINEPREFIX")" "$HOME"
  # Into place only when whole, so that a copy cut short is never taken for one.
  cp -a "$source" "$WINEPREFIX.copy" || return 1
  find "$WINEPREFIX.copy/drive_c/users" -type l -lname "$source_home*" |
    while IFS= read -r link; do
      target=$(readlink "$link")
      ln -sfn "$HOME${target#"$source_home"}" "$link"
    done
  mv "$WINEPREFIX.copy" "$WINEPREFIX"
}

# Starts the prefix's server, and its desktop process, detached. The first
# program to touch a window would otherwise start the desktop process itself,
# which then holds that program's output pipes open until the server ends, and
# whoever reads those pipes (CTest) waits for it.
wine_start_server() {
  wine cmd /c exit 0 </dev/null >/dev/null 2>&1
  wine cmd /c start /b explorer.exe /desktop </dev/null >/dev/null 2>&1
}

# Keeps the prefix's desktop, and with it the server, until wine_stop_server,
# for a caller that ends them itself (scripts/test's passes). The desktop
# closes about a second after the last program that used it ends, the server
# ends with it, and the next program starts both anew, holding its own output
# pipes open: a pause between two tests would hang the test after it. The
# keeper is Wine's own notepad, a window and nothing else.
wine_keep_desktop() {
  wine cmd /c start /b notepad.exe </dev/null >/dev/null 2>&1
}

# Ends the prefix's server and with it every Wine process of the prefix.
wine_stop_server() {
  [ -d "$WINEPREFIX" ] && wineserver -k 2>/dev/null
  return 0
}
