# Wine settings shared by the scripts and the test wrapper. Expects WINEPREFIX
# and HOME to be set to folders of the build; sourced, not run.

# Headless and quiet; Wine's shell integration off, so that saved shortcuts
# create no desktop-menu files under HOME.
wine_environment() {
  export WINEARCH=win32
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
    echo "wine-env: preparing the Wine prefix $WINEPREFIX" >&2
    wineboot -i >/dev/null 2>&1 || { echo "wine-env: wineboot failed in $WINEPREFIX" >&2; exit 1; }
    # A crashing program exits (with 5) instead of waiting in the debugger.
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    # Windows exist off-screen, so that message boxes block as on Windows.
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    wineserver -w
    touch "$stamp"
  ) 9>"$WINEPREFIX.lock"
}

# Starts the prefix's server, and its desktop process, detached. The first
# program to touch a window would otherwise start the desktop process itself,
# which then holds that program's output pipes open until the server ends, and
# whoever reads those pipes (CTest) waits for it.
wine_start_server() {
  wine cmd /c exit 0 </dev/null >/dev/null 2>&1
  wine cmd /c start /b explorer.exe /desktop </dev/null >/dev/null 2>&1
}

# Ends the prefix's server and with it every Wine process of the prefix.
wine_stop_server() {
  [ -d "$WINEPREFIX" ] && wineserver -k 2>/dev/null
  return 0
}
