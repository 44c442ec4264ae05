# Shared by the scripts: messages, the Debian packages the build and the tests
# need, and the build folder. Sourced, not run.

MENUTOOLS_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD_DIR="$MENUTOOLS_ROOT/build/mingw-i686"

# Cross compilers, Wine (32-bit), CMake, GoogleTest's sources, and the
# independent readers the tests use: lnkinfo for shortcuts, icoutils and pefile
# for the programs' resources; wixl, msitools and nsis for the sample installers.
REQUIRED_PACKAGES=(g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
  wine wine32:i386 wine64 cmake googletest liblnk-utils icoutils python3-pefile python3
  wixl msitools nsis)

say() { printf '==> %s\n' "$*"; }
fail() { printf 'error: %s\n' "$*" >&2; exit 1; }

missing_packages() {
  local package
  for package in "${REQUIRED_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      printf '%s\n' "$package"
    fi
  done
}

# Installs what is missing, as root or through sudo; does nothing when all is
# there.
ensure_packages() {
  command -v dpkg-query >/dev/null 2>&1 ||
    fail "this script installs its tools with Debian's apt; on another system install: ${REQUIRED_PACKAGES[*]}"
  local missing
  missing=$(missing_packages)
  if [ -z "$missing" ]; then
    return 0
  fi
  local as_root=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 ||
      fail "missing packages: $(echo $missing); run as root or install sudo"
    as_root=(sudo)
  fi
  say "Installing missing packages: $(echo $missing)"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    say "Enabling the i386 architecture (32-bit Wine)"
    "${as_root[@]}" dpkg --add-architecture i386 || fail "dpkg --add-architecture i386 failed"
  fi
  "${as_root[@]}" apt-get update -q || fail "apt-get update failed"
  # shellcheck disable=SC2086
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing ||
    fail "installing packages failed: $(echo $missing)"
}

# Configures and builds both programs and the tests with the mingw-i686 preset.
build_all() {
  cd "$MENUTOOLS_ROOT" || fail "cannot enter $MENUTOOLS_ROOT"
  say "Configuring (cmake --preset mingw-i686)"
  mkdir -p "$BUILD_DIR"
  cmake --preset mingw-i686 >"$BUILD_DIR/configure.log" 2>&1 || {
    tail -n 40 "$BUILD_DIR/configure.log" >&2
    fail "configuring failed (cmake --preset mingw-i686); the whole log is in $BUILD_DIR/configure.log"
  }
  say "Building (cmake --build --preset mingw-i686)"
  local log="$BUILD_DIR/build.log"
  if ! cmake --build --preset mingw-i686 >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    fail "the build failed; the whole log is in $log"
  fi
}
