#!/usr/bin/env bash
# Converts the same inputs with the Linux quarn and with quarn.exe under Wine, and checks that the
# two agree: the files left behind (traces, and the logs that remain), the exit statuses,
# standard output, and the diagnostics apart from their prefix (time, process and thread id) and
# the drive letter Wine puts in front of the Linux paths.
#   compare_with_linux.sh LINUX_QUARN QUARN_EXE GEN_LOG EXAMPLES WORK
# Wine's settings (WINEPREFIX, WINEDEBUG) come from the environment. Prints one line per case and
# exits 1 when any case differs.
set -uo pipefail
linux=$(realpath "$1")
windows=$(realpath "$2")
gen_log=$(realpath "$3")
examples=$(realpath "$4")
work=$5

rm -rf "$work"
mkdir -p "$work/inputs/gen/day2" "$work/results"
work=$(realpath "$work")

# The generated logs: every time format, CR LF, separators of every kind, and damaged ones.
gen() { "$gen_log" "$@" || { echo "gen_log $* failed" >&2; exit 2; }; }
for f in 1 2 3 4 5 6; do
  gen --time-format "$f" --frames 400 --seed "$f" -o "$work/inputs/gen/format$f.txt"
done
gen --crlf --frames 300 --seed 7 -o "$work/inputs/gen/crlf.TXT"
gen --value-sep tab --time-sep none --ms-sep none --frames 200 --seed 8 -o "$work/inputs/gen/day2/tabs.txt"
gen --time-format 6 --date-sep none --td-sep none --frames 250 --seed 9 --extended 80 -o "$work/inputs/gen/day2/full.txt"
# Stray lines, a frame line with junk in its fields, a line too long, a log joined to another.
{
  gen --frames 50 --seed 10 -o -
  printf 'ERROR: SD card write failure\n\n12:00:09.000;0;0;XYZ;8;ZZZZ\n'
  printf '12:00:09.100;0;0;123;8;%0300d\n' 0
  gen --frames 20 --seed 11 -o -
} >"$work/inputs/gen/damaged.txt"
# Zero padding (converts), and data behind a zero byte (fails and is kept).
{ gen --frames 30 --seed 12 -o -; head -c 64 /dev/zero; } >"$work/inputs/gen/padded.txt"
{ gen --frames 30 --seed 13 -o -; printf '\0\n12:00:10.000;0;0;1;1;01\n'; } >"$work/inputs/gen/cut.txt"
printf 'this is no log\n' >"$work/inputs/gen/notes.txt"
printf 'not;a;log\n' >"$work/inputs/gen/table.csv"
cp -r "$examples" "$work/inputs/examples"
# BLF logs, as the Linux side writes them, to be read on both.
mkdir -p "$work/inputs/blf"
(cd "$work/inputs/gen" && "$linux" --non-interactive -F blf -X -O "$work/inputs/blf" format1.txt format6.txt crlf.TXT) ||
  { echo "could not make the BLF logs" >&2; exit 2; }

# name | input folder | arguments (run from the folder that holds the input)
cases=(
  "examples|examples|--verbosity 4 examples"
  "generated|gen|--verbosity 4 gen"
  "delete|gen|--verbosity 4 -d gen"
  "jobs|gen|--verbosity 4 --jobs 2 gen"
  "formats|gen|--verbosity 4 --format asc,mf4 gen"
  "jobs-formats-delete|gen|--verbosity 4 -j 2 -F asc,mf4 -d gen"
  "blf|gen|--verbosity 4 -F asc,blf gen"
  "blf-in|blf|--verbosity 4 -I blf -F asc,mf4,blf -O . blf"
  "files|gen|--verbosity 4 -X gen/format3.txt gen/missing.txt gen/cut.txt gen/crlf.TXT"
  "no-append|gen|--verbosity 3 -X gen"
  "overflow|gen|-b 3000000000 gen"
  "usage|gen|--help"
  # A Linux shell expands the wildcards; cmd.exe leaves them to quarn.exe (run_side keeps them so).
  "wildcards|gen|--verbosity 4 -X gen/format?.txt gen/*d*.txt gen/nothing*.txt"
)

# The diagnostics without their prefix, with Wine's drive letter taken off the paths.
strip_diagnostics() {
  sed -E 's/^[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} +-?[0-9]+ +-?[0-9]+ //; s#Z:/#/#g' "$1"
}

run_side() {  # run_side SIDE PROGRAM... : one case, in $work/run, results into $work/results/$name.$side
  local side=$1
  shift
  rm -rf "$work/run"
  mkdir -p "$work/run"
  cp -r "$work/inputs/$input" "$work/run/$input"
  local status=0
  # Windows shells hand "*" and "?" to the program as typed.
  (cd "$work/run" && if [ "$side" = windows ]; then set -f; fi && "$@" $args >"$work/results/$name.$side.out" \
    2>"$work/results/$name.$side.err") || status=$?
  echo "$status" >"$work/results/$name.$side.status"
  strip_diagnostics "$work/results/$name.$side.err" >"$work/results/$name.$side.diag"
  mv "$work/run" "$work/results/$name.$side.tree"
}

differing=0
for c in "${cases[@]}"; do
  IFS='|' read -r name input args <<<"$c"
  run_side linux "$linux"
  run_side windows wine "$windows"
  problems=()
  cmp -s "$work/results/$name.linux.status" "$work/results/$name.windows.status" ||
    problems+=("status $(cat "$work/results/$name.linux.status") on Linux, $(cat "$work/results/$name.windows.status") under Wine")
  cmp -s "$work/results/$name.linux.out" "$work/results/$name.windows.out" || problems+=("standard output")
  cmp -s "$work/results/$name.linux.diag" "$work/results/$name.windows.diag" || problems+=("diagnostics")
  diff -r "$work/results/$name.linux.tree" "$work/results/$name.windows.tree" >/dev/null || problems+=("files")
  if [ ${#problems[@]} -eq 0 ]; then
    echo "same: $name (status $(cat "$work/results/$name.linux.status"), $(wc -l <"$work/results/$name.linux.diag") diagnostic lines)"
  else
    differing=$((differing + 1))
    echo "DIFFERENT: $name: ${problems[*]}"
    diff "$work/results/$name.linux.diag" "$work/results/$name.windows.diag" | head -20
    diff -r "$work/results/$name.linux.tree" "$work/results/$name.windows.tree" | head -20
  fi
done
echo "$((${#cases[@]} - differing)) passed, $differing failed"
[ "$differing" -eq 0 ]
