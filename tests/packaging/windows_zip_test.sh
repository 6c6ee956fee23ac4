#!/usr/bin/env bash
# What the Windows zip holds, as cpack puts it together from `cmake --install` of the Windows
# build tree: the program, the Windows README and manual, the licences; every text file with CR LF
# line ends; and a program that says it runs on Windows 7.
#   windows_zip_test.sh BUILD_DIR WORK_DIR
set -euo pipefail
build=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
zip=$work/zip
cmake --install "$build" --prefix "$zip" >"$work/install.log"

fail=0
problem() {
  echo "FAIL: $*" >&2
  fail=1
}

files=$(cd "$zip" && find . -type f | sort | tr '\n' ' ')
expected="./LICENSE.txt ./README.txt ./THIRD-PARTY.txt ./libargtable2-0.dll ./licenses/argtable2-COPYING.txt \
./licenses/argtable2.patch ./licenses/libdeflate-COPYING.txt ./licenses/mingw-w64-copyright.txt \
./licenses/zlib-copyright.txt ./quarn.exe ./quarn.txt "
[ "$files" = "$expected" ] || problem "the zip's files: $files"

# Every line ends in CR LF, the last one too: Notepad before Windows 10 shows LF alone as nothing.
for f in README.txt quarn.txt LICENSE.txt THIRD-PARTY.txt $(cd "$zip" && ls licenses/*.txt); do
  [ -s "$zip/$f" ] || { problem "$f is missing or empty"; continue; }
  lines=$(tr -cd '\n' <"$zip/$f" | wc -c)
  crlf=$(grep -c $'\r$' "$zip/$f" || true)
  [ "$lines" -eq "$crlf" ] || problem "$f: $((lines - crlf)) of $lines lines end in LF alone"
  [ "$(tail -c 2 "$zip/$f" | od -An -c | tr -d ' ')" = '\r\n' ] || problem "$f does not end in CR LF"
done

# The texts as one line each, as they read: blanks squeezed, words hyphenated at a line's end made
# whole again.
flat() { tr -d '\r' <"$1" | sed -e ':a' -e 'N' -e '$!ba' -e 's/\([a-z]\)-\n */\1/g' | tr -s ' \n' '  '; }

# The manual is the Windows one: Windows paths and statuses, none of the Linux examples.
manual=$(flat "$zip/quarn.txt")
for want in 'WINDOWS' 'quarn C:\data\logs' '\\fileserver\fleet\van_07' '-O D:\traces' '0xC000013A' 'Ctrl-Break' \
  'UTF-8' 'Could not remove input file after conversion' '--verbosity 2' 'README.txt'; do
  grep -qF -- "$want" <<<"$manual" || problem "the manual does not say '$want'"
done
for unwanted in ' /data/' 'xargs' 'asc2log' 'SIGINT'; do
  if grep -qF -- "$unwanted" <<<"$manual"; then problem "the manual still says '$unwanted'"; fi
done
# The options are those of man/quarn.1, whose own test holds them to --help.
[ "$(tr -d '\r' <"$zip/quarn.txt" | grep -c '^       -')" -ge 10 ] || problem "the manual lists no options"

readme=$(flat "$zip/README.txt")
for want in 'Windows 7' '.\quarn.exe' 'quarn /?' '& rem' 'schtasks /Create' 'SetEnvironmentVariable("Path"' \
  'reaches quarn as C:\data\my logs"' '\\fileserver\fleet\logs' '*.txt' '--verbosity 2' '$LASTEXITCODE' \
  'Could not remove input file after conversion'; do
  grep -qF -- "$want" <<<"$readme" || problem "README.txt does not say '$want'"
done
head -n 1 "$zip/README.txt" | grep -qE $'^quarn [0-9]+\\.[0-9]+\\.[0-9]+ for Windows\r$' ||
  problem "README.txt's title is not 'quarn <version> for Windows': $(head -n 1 "$zip/README.txt")"

# The program claims Windows 7 (6.1) in its header, as README.txt does.
objdump=x86_64-w64-mingw32-objdump
if command -v "$objdump" >/dev/null; then
  header=$("$objdump" -p "$zip/quarn.exe")
  for field in MajorOSystemVersion MajorSubsystemVersion; do
    grep -qE "^$field[[:space:]]+6$" <<<"$header" || problem "quarn.exe's $field is not 6"
  done
  for field in MinorOSystemVersion MinorSubsystemVersion; do
    grep -qE "^$field[[:space:]]+1$" <<<"$header" || problem "quarn.exe's $field is not 1"
  done
else
  echo "($objdump missing: the program's header was not checked)"
fi

[ $fail -eq 0 ] || exit 1
echo "zip: $files"
rm -rf "$work"
