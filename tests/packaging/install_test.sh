#!/usr/bin/env bash
# `cmake --install` of a build tree puts the program and its manual page where a user's PATH and
# man find them, and the licence beside the other packages' ones; the installed program converts
# a log as the built one does.
#   install_test.sh BUILD_DIR SOURCE_DIR WORK_DIR
set -euo pipefail
build=$1
source_dir=$2
work=$3
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >"$work/install.log"

fail=0
problem() {
  echo "FAIL: $*" >&2
  fail=1
}

installed=$prefix/bin/quarn
page=$prefix/share/man/man1/quarn.1
copyright=$prefix/share/doc/quarn/copyright
[ -x "$installed" ] || problem "no program at $installed; installed: $(cd "$prefix" && find . -type f)"
[ -f "$page" ] || problem "no manual page at $page"
[ -f "$copyright" ] || problem "no licence at $copyright"
[ $fail -eq 0 ] || exit 1
cmp -s "$page" "$source_dir/man/quarn.1" || problem "the installed page differs from man/quarn.1"
cmp -s "$copyright" "$source_dir/LICENSE" || problem "the installed licence differs from LICENSE"
if command -v man >/dev/null; then
  found=$(man -M "$prefix/share/man" -w quarn 2>&1) || true
  [ "$found" = "$page" ] || problem "man finds '$found' instead of $page"
fi

# Exactly these three files: a test binary or a helper tool must not come along.
files=$(cd "$prefix" && find . -type f | sort | tr '\n' ' ')
[ "$files" = "./bin/quarn ./share/doc/quarn/copyright ./share/man/man1/quarn.1 " ] || problem "installed files: $files"

# The installed program is the built one: same help, same trace.
[ "$("$installed" --help)" = "$("$build/quarn" --help)" ] || problem "--help differs from the built quarn"
cp "$source_dir/examples/fleet/truck_0412/LOG00001.TXT" "$work/trip.txt"
(cd "$work" && PATH=$prefix/bin:$PATH quarn --non-interactive trip.txt) || problem "the installed quarn failed"
grep -q '^Begin Triggerblock$' "$work/trip.asc" 2>/dev/null || problem "no trace from the installed quarn"
mv "$work/trip.asc" "$work/installed.asc"
"$build/quarn" --non-interactive "$work/trip.txt"
cmp -s "$work/trip.asc" "$work/installed.asc" || problem "the installed quarn wrote another trace"

[ $fail -eq 0 ] || exit 1
echo "installed: $files"
rm -rf "$work"
