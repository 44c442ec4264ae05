# Shared by the scripts: messages, the Debian packages the build and the tests
# need, the two build folders, and which of Wine's loaders this host can run.
# Sourced, not run.

MENUTOOLS_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# The 32-bit programs (the product) and the 64-bit ones.
BUILD_DIR_32="$MENUTOOLS_ROOT/build/mingw-i686"
BUILD_DIR_64="$MENUTOOLS_ROOT/build/mingw-x86_64"

# What building the programs needs: the cross compilers for both
# architectures and CMake.
BUILD_PACKAGES=(g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev cmake)
# What every pass of the tests needs besides: 64-bit Wine, GoogleTest's
# sources, and the independent readers the tests use: lnkinfo for shortcuts,
# icoutils and pefile for the programs' resources; wixl, msitools and nsis for
# the sample installers; osslsigncode and openssl for signing; SoftHSM,
# pkcs11-tool and OpenSSL's pkcs11 engine for signing with a key on a token.
TEST_PACKAGES=(wine wine64 googletest liblnk-utils icoutils python3-pefile python3
  wixl msitools nsis osslsigncode openssl softhsm2 opensc libengine-pkcs11-openssl)
# 32-bit Wine, which only the win32 and wow64 passes need. It is installed in
# a step of its own, so that a host that cannot have it still gets the rest.
# MENUTOOLS_WINE32_PACKAGE names another package, so that this can be tested.
WINE32_PACKAGE=${MENUTOOLS_WINE32_PACKAGE:-wine32:i386}

say() { printf '==> %s\n' "$*"; }
warn() { printf 'warning: %s\n' "$*" >&2; }
fail() { printf 'error: %s\n' "$*" >&2; exit 1; }

# Prints those of the packages given that are not installed; one query for
# all, which a loaded host answers in a fraction of the time of one each.
missing_packages() {
  local installed package native
  installed=$'\n'$(dpkg-query -W -f='${db:Status-Status} ${binary:Package}\n' "$@" 2>/dev/null)$'\n'
  native=$(dpkg --print-architecture)
  for package in "$@"; do
    [[ "$installed" == *$'\n'"installed $package"$'\n'* ||
      "$installed" == *$'\n'"installed $package:$native"$'\n'* ]] || printf '%s\n' "$package"
  done
}

# Why 32-bit Wine is not installed, when ensure_packages left it out or apt
# refused it; empty otherwise. loader_runs reports it for a missing loader.
WINE32_NOT_INSTALLED=

# Whether this host's kernel runs 32-bit x86 programs, found out without
# 32-bit Wine, so that a host that could never start it does not download it:
# a 32-bit program of 93 bytes that only exits is run. Returns 1 only when the
# kernel refuses it, setting KERNEL_PROBLEM to what it said; a probe that
# cannot even be written decides nothing. MENUTOOLS_32BIT_PROBE names another
# program to run instead, so that this can be tested.
KERNEL_PROBLEM=
kernel_runs_32bit() {
  local probe=${MENUTOOLS_32BIT_PROBE:-} output
  if [ -z "$probe" ]; then
    probe="$MENUTOOLS_ROOT/build/exit32"
    # ELF header, one loadable segment, then mov eax,1; xor ebx,ebx; int 0x80.
    mkdir -p "$MENUTOOLS_ROOT/build" &&
      printf '%b' '\x7fELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x03\0\x01\0\0\0\x54\x80\x04\x08' \
        '\x34\0\0\0\0\0\0\0\0\0\0\0\x34\0\x20\0\x01\0\0\0\0\0\0\0' \
        '\x01\0\0\0\0\0\0\0\0\x80\x04\x08\0\x80\x04\x08\x5d\0\0\0\x5d\0\0\0\x05\0\0\0\0\x10\0\0' \
        '\xb8\x01\0\0\0\x31\xdb\xcd\x80' >"$probe" && chmod +x "$probe" || return 0
  fi
  output=$("$probe" 2>&1 </dev/null) && return 0
  case "$output" in
    *"Exec format error"*)
      KERNEL_PROBLEM="${output##*: }"
      return 1 ;;
  esac
  return 0
}

AS_ROOT=()
# Whether this script may install packages: as root, or through sudo.
can_install() {
  [ "$(id -u)" -eq 0 ] && return 0
  command -v sudo >/dev/null 2>&1 || return 1
  AS_ROOT=(sudo)
}

# Runs apt-get with the arguments given, as root, its output shown as it
# comes. When it fails, APT_REASON holds apt's own reason in one line: the
# first unmet dependency, then its error lines.
APT_REASON=
apt_get() {
  local output status
  { output=$(set -o pipefail
      "${AS_ROOT[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "$@" 2>&1 | tee /dev/fd/3)
    status=$?; } 3>&1
  [ "$status" -eq 0 ] && return 0
  APT_REASON=$(printf '%s\n' "$output" | sed -n -e '/^ *[^ ]* : \(Pre\)\{0,1\}Depends:/{s/^ *//;p;q;}')
  APT_REASON+=$(printf '%s\n' "$output" | sed -n -e 's/^E: /; /p' | tr -d '\n')
  APT_REASON=${APT_REASON#; }
  APT_REASON=${APT_REASON:-exit status $status}
  return "$status"
}

# Fetches the package indexes. A mirror can serve an index that does not match
# its release file, for days; apt then fails the update but keeps every index
# it could fetch, and refuses on its own to install packages whose versions do
# not fit together. So a failed update is a warning, and what can be installed
# from the indexes apt has is installed. Once a run, unless an architecture
# was added since.
APT_UPDATED=
apt_update() {
  [ -z "$APT_UPDATED" ] || return 0
  APT_UPDATED=1
  apt_get update -q -o Acquire::Retries=3 ||
    warn "apt-get update failed ($APT_REASON); installing from the package indexes apt has"
}

# Installs the packages given that are missing, as root or through sudo; fails
# naming them when apt cannot. Does nothing when all are there.
install_missing() {
  command -v dpkg-query >/dev/null 2>&1 ||
    fail "this script installs its tools with Debian's apt; on another system install: $*"
  local missing
  missing=$(missing_packages "$@")
  [ -n "$missing" ] || return 0
  can_install || fail "missing packages: $(echo $missing); run as root or install sudo"
  say "Installing missing packages: $(echo $missing)"
  apt_update
  # shellcheck disable=SC2086
  apt_get install -y -q --no-install-recommends -o Acquire::Retries=3 $missing ||
    fail "installing packages failed: $(echo $missing) ($APT_REASON)"
}

# What building the programs needs, and nothing of Wine.
ensure_build_packages() {
  install_missing "${BUILD_PACKAGES[@]}"
}

# What the build and every pass of the tests need, then 32-bit Wine where the
# kernel runs 32-bit programs and apt can install it; where it is left out,
# WINE32_NOT_INSTALLED says why.
ensure_packages() {
  install_missing "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
  [ -n "$(missing_packages "$WINE32_PACKAGE")" ] || return 0
  if ! kernel_runs_32bit; then
    WINE32_NOT_INSTALLED="this host's kernel runs no 32-bit programs, so 32-bit Wine is not installed (a 32-bit program gives: $KERNEL_PROBLEM)"
    return 0
  fi
  if ! can_install; then
    WINE32_NOT_INSTALLED="32-bit Wine is not installed, and installing it needs root or sudo"
    return 0
  fi
  say "Installing 32-bit Wine ($WINE32_PACKAGE), for the win32 and wow64 passes"
  local added=
  if [[ "$WINE32_PACKAGE" == *:i386 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    say "Enabling the i386 architecture"
    "${AS_ROOT[@]}" dpkg --add-architecture i386 || fail "dpkg --add-architecture i386 failed"
    added=1 APT_UPDATED=
  fi
  apt_update
  apt_get install -y -q --no-install-recommends -o Acquire::Retries=3 "$WINE32_PACKAGE" && return 0
  WINE32_NOT_INSTALLED="32-bit Wine cannot be installed (apt-get install $WINE32_PACKAGE: $APT_REASON)"
  warn "$WINE32_NOT_INSTALLED"
  # An architecture enabled for nothing would only make every later update
  # fetch its indexes, the very ones that may be out of step.
  [ -z "$added" ] || "${AS_ROOT[@]}" dpkg --remove-architecture i386 || true
}

# Configures and builds one preset ($1) into its build folder ($2), the log of
# each step kept there; further arguments go to the configuring cmake.
build_preset() {
  local preset=$1 folder=$2
  cd "$MENUTOOLS_ROOT" || fail "cannot enter $MENUTOOLS_ROOT"
  mkdir -p "$folder"
  say "Configuring (cmake --preset $preset${3:+ ${*:3}})"
  cmake --preset "$preset" "${@:3}" >"$folder/configure.log" 2>&1 || {
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
# otherwise sets LOADER_PROBLEM to why not, in words for the user: for a
# missing 32-bit loader, why ensure_packages left 32-bit Wine out, if it did.
LOADER_PROBLEM=
loader_runs() {
  local loader=$1 bits=$2 output
  if [ ! -e "$loader" ]; then
    LOADER_PROBLEM="$bits-bit Wine is not installed ($loader is missing)"
    [ "$bits" != 32 ] || LOADER_PROBLEM=${WINE32_NOT_INSTALLED:-$LOADER_PROBLEM}
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
