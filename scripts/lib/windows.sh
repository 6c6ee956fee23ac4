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

# debian_orig_tarball PACKAGE DIR: the upstream tarball of Debian's source package PACKAGE in DIR
# (downloaded once) on standard output. Only the .orig.tar.gz is used; cmake/windows/ checks its
# SHA-256.
debian_orig_tarball() {
  local package=$1 dir=$2
  local tarball
  mkdir -p "$dir"
  tarball=$(ls "$dir"/"${package}"_*.orig.tar.gz 2>/dev/null | head -n 1 || true)
  if [ -z "$tarball" ]; then
    ensure_deb_src
    # The Debian part of a package may be missing from the mirror (argtable2's is); apt then fails
    # after the tarball has arrived, which is all that is needed.
    (cd "$dir" && apt-get source --download-only "$package" >&2) || true
    tarball=$(ls "$dir"/"${package}"_*.orig.tar.gz 2>/dev/null | head -n 1 || true)
    if [ -z "$tarball" ]; then
      echo "$package's source package could not be downloaded (apt-get source --download-only $package)" >&2
      return 1
    fi
  fi
  realpath "$tarball"
}

# windows_build_tree DIR [cmake args...]: configures (once) the cross-build in DIR, with the
# source tarballs of argtable2 and libdeflate from build/windows-deps.
windows_build_tree() {
  local dir=$1
  shift
  local argtable2 libdeflate
  argtable2=$(debian_orig_tarball argtable2 build/windows-deps)
  libdeflate=$(debian_orig_tarball libdeflate build/windows-deps)
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/windows/toolchain.cmake -DCMAKE_BUILD_TYPE=Release \
      -DQUARN_WERROR=ON -DQUARN_ARGTABLE2_TARBALL="$argtable2" -DQUARN_LIBDEFLATE_TARBALL="$libdeflate" "$@" >/dev/null
  else
    cmake "$dir" -DQUARN_ARGTABLE2_TARBALL="$argtable2" -DQUARN_LIBDEFLATE_TARBALL="$libdeflate" >/dev/null
  fi
}
