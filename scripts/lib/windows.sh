# Shared by scripts/build-windows and scripts/test-windows: the Windows cross-build on Debian.
# Needs scripts/lib/setup.sh sourced first.

# MinGW-w64 with the posix thread model (std::mutex, std::thread), zlib for it, Wine to run the
# programs, GoogleTest's sources for the tests, stb's header, groff for the manual as text, and
# patch and dpkg-dev for argtable2's source package.
quarn_windows_packages=(
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64
  cmake ninja-build googletest libstb-dev groff-base patch dpkg-dev
)

ensure_windows_packages() { install_missing "${quarn_windows_packages[@]}" "$@"; }

# The Debian mirror apt already uses, as a source of source packages (deb-src), added once.
ensure_deb_src() {
  if grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    return 0
  fi
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Adding a deb-src entry for the Debian mirror (argtable2's source package)" >&2
  $sudo tee /etc/apt/sources.list.d/quarn-deb-src.sources >/dev/null <<SOURCES
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
  $sudo apt-get update -qq
}

# argtable2_tarball DIR: Debian's argtable2 upstream tarball in DIR (downloaded once) on standard
# output. Only the .orig.tar.gz is used; cmake/windows/argtable2.cmake checks its SHA-256.
argtable2_tarball() {
  local dir=$1
  local tarball
  mkdir -p "$dir"
  tarball=$(ls "$dir"/argtable2_*.orig.tar.gz 2>/dev/null | head -n 1 || true)
  if [ -z "$tarball" ]; then
    ensure_deb_src
    # The Debian part of the package may be missing from the mirror; apt then fails after the
    # tarball has arrived, which is all that is needed.
    (cd "$dir" && apt-get source --download-only argtable2 >&2) || true
    tarball=$(ls "$dir"/argtable2_*.orig.tar.gz 2>/dev/null | head -n 1 || true)
    if [ -z "$tarball" ]; then
      echo "argtable2's source package could not be downloaded (apt-get source --download-only argtable2)" >&2
      return 1
    fi
  fi
  realpath "$tarball"
}

# windows_build_tree DIR TARBALL [cmake args...]: configures (once) the cross-build in DIR.
windows_build_tree() {
  local dir=$1 tarball=$2
  shift 2
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/windows/toolchain.cmake -DCMAKE_BUILD_TYPE=Release \
      -DQUARN_WERROR=ON -DQUARN_ARGTABLE2_TARBALL="$tarball" "$@" >/dev/null
  fi
}
