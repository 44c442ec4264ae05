# Shared by the scripts: messages, the Debian packages the build and the tests
# need, the two build folders, and which of Wine's loaders this host can run.
# Sourced, not run.

MENUTOOLS_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# The 32-bit programs (the product) and the 64-bit ones.
BUILD_DIR_32="$MENUTOOLS_ROOT/build/mingw-i686"
BUILD_DIR_64="$MENUTOOLS_ROOT/build/mingw-x86_64"

# Cross compilers for both architectures, Wine (32-bit and 64-bit), CMake,
# GoogleTest's sources, and the independent readers the tests use: lnkinfo for
# shortcuts, icoutils and pefile for the programs' resources; wixl, msitools
# and nsis for the sample installers; osslsigncode and openssl for signing;
# SoftHSM, pkcs11-tool and OpenSSL's pkcs11 engine for signing with a key on a
# token.
REQUIRED_PACKAGES=(g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  wine wine32:i386 wine64 cmake googletest liblnk-utils icoutils python3-pefile python3
  wixl msitools nsis osslsigncode openssl softhsm2 opensc libengine-pkcs11-openssl)

# How often, and how far apart, a failed apt-get update is tried again.
APT_UPDATE_ATTEMPTS=5
APT_UPDATE_PAUSE_SECONDS=30

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
# there. 32-bit Wine installs also on a host that cannot run it.
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
  # A mirror that is being synced serves index files that do not match its
  # release file for a while; apt then fails the whole update, and an
  # install on half the indexes could mix package versions. So the update is
  # tried again after a pause, and a download that breaks off is retried.
  local attempt=1
  until "${as_root[@]}" apt-get update -q -o Acquire::Retries=3; do
    [ "$attempt" -lt "$APT_UPDATE_ATTEMPTS" ] ||
      fail "apt-get update failed $APT_UPDATE_ATTEMPTS times (a package mirror that is out of step or out of reach; its messages are above)"
    say "apt-get update failed (attempt $attempt of $APT_UPDATE_ATTEMPTS); trying again in $APT_UPDATE_PAUSE_SECONDS s"
    sleep "$APT_UPDATE_PAUSE_SECONDS"
    attempt=$((attempt + 1))
  done
  # shellcheck disable=SC2086
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    -o Acquire::Retries=3 $missing ||
    fail "installing packages failed: $(echo $missing)"
}

# Configures and builds one preset ($1) into its build folder ($2), the log of
# each step kept there.
build_preset() {
  local preset=$1 folder=$2
  cd "$MENUTOOLS_ROOT" || fail "cannot enter $MENUTOOLS_ROOT"
  mkdir -p "$folder"
  say "Configuring (cmake --preset $preset)"
  cmake --preset "$preset" >"$folder/configure.log" 2>&1 || {
    tail -n 40 "$folder/configure.log" >&2
    fail "configuring failed (cmake --preset $preset); the whole log is in $folder/configure.log"
  }
  say "Building (cmake --build --preset $preset)"
  cmake --build --preset "$preset" >"$folder/build.log" 2>&1 || {
    tail -n 40 "$folder/build.log" >&2
    fail "the build failed (cmake --build --preset $preset); the whole log is in $folder/build.log"
  }
}

# Builds the 32-bit and the 64-bit programs, with the tests of both.
build_all() {
  build_preset mingw-i686 "$BUILD_DIR_32"
  build_preset mingw-x86_64 "$BUILD_DIR_64"
}

# Whether Wine's loader $1 starts on this host. Returns 0 when it does;
# otherwise sets LOADER_PROBLEM to why not, in words for the user.
LOADER_PROBLEM=
loader_runs() {
  local loader=$1 bits=$2 output
  if [ ! -e "$loader" ]; then
    LOADER_PROBLEM="$bits-bit Wine is not installed ($loader is missing)"
    return 1
  fi
  output=$("$loader" --version 2>&1 </dev/null) && return 0
  case "$output" in
    *"Exec format error"*)
      LOADER_PROBLEM="this host's kernel runs no $bits-bit programs, so $bits-bit Wine cannot start ($loader: Exec format error)" ;;
    *)
      LOADER_PROBLEM="$bits-bit Wine does not start ($loader: ${output:-no output})" ;;
  esac
  return 1
}
