#!/usr/bin/env bash
# The Debian package: built with CPack from an optimised build of the program alone (no
# sanitizer, which the packaged binary could not load), it declares the packages of every
# library the program loads, unpacks to /usr/bin/quarn, its manual page and its licence (where
# Debian wants it: /usr/share/doc/quarn/copyright), and the unpacked program converts an example
# exactly as the tested one does.
#   deb_package_test.sh SOURCE_DIR WORK_DIR TESTED_QUARN C_COMPILER CXX_COMPILER GENERATOR
set -euo pipefail
source_dir=$1
work=$2
tested=$3
c_compiler=$4
cxx_compiler=$5
generator=$6

for tool in cpack dpkg-deb dpkg readelf; do
  if ! command -v $tool >/dev/null; then
    echo "$tool is not installed"
    exit 77
  fi
done

fail=0
problem() {
  echo "FAIL: $*" >&2
  fail=1
}

# The build stays between runs, so that a second run only packages; the rest starts afresh.
build=$work/build
mkdir -p "$build"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$source_dir" -B "$build" -G "$generator" -DCMAKE_BUILD_TYPE=Release -DQUARN_BUILD_TESTS=OFF \
    -DCMAKE_C_COMPILER="$c_compiler" -DCMAKE_CXX_COMPILER="$cxx_compiler" >"$work/configure.log"
fi
cmake --build "$build" --target quarn -j "$(nproc)" >"$work/build.log"
rm -rf "$work/packages" "$work/root" "$work/run"
(cd "$build" && cpack -G DEB -B "$work/packages" >"$work/cpack.log" 2>&1)
shopt -s nullglob
debs=("$work"/packages/quarn_*.deb)
[ ${#debs[@]} -eq 1 ] || {
  echo "FAIL: expected one package, found: ${debs[*]:-none}; see $work/cpack.log" >&2
  exit 1
}
deb=${debs[0]}

[ "$(dpkg-deb -f "$deb" Package)" = quarn ] || problem "package name: $(dpkg-deb -f "$deb" Package)"
version=$(sed -n 's/^project(quarn VERSION \([0-9.]*\) .*/\1/p' "$source_dir/CMakeLists.txt")
[ -n "$version" ] && [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] ||
  problem "package version $(dpkg-deb -f "$deb" Version), project version $version"
[ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || problem "no maintainer"
[ -n "$(dpkg-deb -f "$deb" Description)" ] || problem "no description"

dpkg-deb -x "$deb" "$work/root"
installed=$work/root/usr/bin/quarn
[ -x "$installed" ] || problem "no /usr/bin/quarn in the package"
[ -f "$work/root/usr/share/man/man1/quarn.1" ] || problem "no manual page in the package"
copyright=$work/root/usr/share/doc/quarn/copyright
if [ -f "$copyright" ]; then
  cmp -s "$copyright" "$source_dir/LICENSE" || problem "/usr/share/doc/quarn/copyright differs from LICENSE"
else
  problem "no /usr/share/doc/quarn/copyright in the package: $(cd "$work/root" && find . -type f | tr '\n' ' ')"
fi
[ $fail -eq 0 ] || exit 1

# Every library the program loads belongs to a package that Depends names; the two it is
# built on must be among them.
depends=$(dpkg-deb -f "$deb" Depends)
# "libc6 (>= 2.34), libfoo | libbar" -> one package name a line.
declared_packages=$(sed 's/([^)]*)//g; s/|/,/g' <<<"$depends" | tr ',' '\n' | tr -d ' ')
needed=$(readelf -d "$installed" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for library in libargtable2.so.0 libstb.so.0; do
  grep -qx "$library" <<<"$needed" || problem "the program does not load $library: $needed"
done
for library in $needed; do
  # "libstdc++6:amd64, lib32stdc++6: /usr/lib32/libstdc++.so.6" -> the package names.
  owners=$(dpkg -S "*/$library" 2>/dev/null | sed 's/: .*//; s/, /\n/g' | sed 's/:.*//' | sort -u)
  [ -n "$owners" ] || {
    problem "no installed package holds $library"
    continue
  }
  declared=no
  for owner in $owners; do
    grep -qxF -- "$owner" <<<"$declared_packages" && declared=yes
  done
  [ $declared = yes ] || problem "$library comes from $(echo $owners) which Depends does not name: $depends"
done

# The unpacked program, run as it is (the libraries are on this machine), on an example.
mkdir -p "$work/run/packaged" "$work/run/tested"
cp -r "$source_dir/examples" "$work/run/examples"
(cd "$work/run" && "$installed" --non-interactive -O packaged examples) || problem "the packaged quarn failed"
(cd "$work/run" && "$tested" --non-interactive -O tested examples) || problem "the tested quarn failed"
traces=$(cd "$work/run/packaged" && find . -name '*.asc' | wc -l)
[ "$traces" -ge 3 ] || problem "the packaged quarn wrote $traces traces"
diff -r "$work/run/packaged" "$work/run/tested" >&2 || problem "the packaged quarn wrote other traces"
"$installed" --version | grep -qx "Version: $version" || problem "packaged --version: $("$installed" --version)"

[ $fail -eq 0 ] || exit 1
echo "$(basename "$deb"): Depends: $depends; $traces traces as the tested quarn writes them"
rm -rf "$work/packages" "$work/root" "$work/run"
