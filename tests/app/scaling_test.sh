#!/usr/bin/env bash
# The README's recipe for many cores, run as the README gives it on a generated recording tree,
# must write the very traces that one quarn over all the sub-folders writes.
#   scaling_test.sh QUARN GEN_LOG README WORK_DIR
set -euo pipefail
quarn=$1
gen_log=$2
readme=$3
work=$4
rm -rf "$work"
mkdir -p "$work"
cd "$work"

fail=0
problem() {
  echo "FAIL: $*" >&2
  fail=1
}

# The recipe: the fenced block right after the marker line.
recipe=$(awk '/<!-- scaling recipe:/ { found = 1; next }
              found && /^```/ { if (inside) exit; inside = 1; next }
              inside { print }' "$readme")
[ -n "$recipe" ] || {
  echo "FAIL: no scaling recipe in $readme" >&2
  exit 1
}
printf 'recipe:\n%s\n' "$recipe"

# A recording tree as loggers leave it: several loggers, nested days, time formats and line ends
# of every kind, a file that is no log, a log that fails, a folder without logs.
t=recordings
mkdir -p $t/truck_0412 $t/truck_0413/day1 $t/truck_0413/day2 $t/van_07 $t/van_08 $t/empty
"$gen_log" --seed 1 --frames 400 -o $t/truck_0412/LOG00001.TXT
"$gen_log" --seed 2 --frames 300 --crlf --start 20240131T235959 -o $t/truck_0412/LOG00002.TXT
"$gen_log" --seed 3 --frames 200 --time-format 1 --value-sep , -o $t/truck_0412/LOG00003.TXT
"$gen_log" --seed 4 --frames 500 --time-format 4 --start 20240229T093000 -o $t/truck_0413/day1/LOG00001.TXT
"$gen_log" --seed 5 --frames 250 --time-format 5 --extended 100 -o $t/truck_0413/day2/LOG00001.TXT
"$gen_log" --seed 6 --frames 350 --time-format 6 --value-sep tab --td-sep " " --crlf \
  --logger TarvikThree -o $t/van_07/session_12.txt
"$gen_log" --seed 7 --frames 150 --time-format 2 --logger TarvikOne -o $t/van_07/session_13.TxT
echo "not;a;log" >$t/van_07/notes.csv
echo "# a header and nothing else" >$t/van_08/broken.txt
"$gen_log" --seed 8 --frames 100 -o $t/van_08/LOG00001.TXT
logs=$(find $t -iname '*.txt' | wc -l)

# Many processes, as the README says, with quarn found on PATH as an installed one would be.
mkdir -p bin
ln -s "$quarn" bin/quarn
status=0
PATH=$PWD/bin:$PATH bash -c "$recipe" >recipe.out 2>recipe.err || status=$?

# One process over all the sub-folders.
mkdir -p single
single_status=0
"$quarn" --non-interactive -O single $t/*/ >single.out 2>single.err || single_status=$?

# broken.txt fails in both: one quarn reports 8, xargs reports that a command failed (123).
[ "$single_status" -eq 8 ] || problem "the single run exited with $single_status"
[ "$status" -eq 123 ] || problem "the recipe exited with $status"
for err in single.err recipe.err; do
  grep -q "Error during conversion of van_08/broken.txt" $err || problem "$err does not name broken.txt: $(cat $err)"
  [ "$(grep -c . $err)" -eq 2 ] || problem "$err holds more than the failure of broken.txt: $(cat $err)"
done

traces=$(find single -type f | wc -l)
[ "$traces" -eq $((logs - 1)) ] || problem "$traces traces from $logs logs, one of them broken"
[ ! -e single/empty_out ] || problem "a folder without logs got an output folder"
if ! diff -r traces single >diff.out; then
  problem "the recipe's traces differ from one run's: $(head -20 diff.out)"
fi

[ $fail -eq 0 ] || exit 1
echo "the recipe wrote the $traces traces that one run writes"
cd /
rm -rf "$work"
