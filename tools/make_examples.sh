#!/usr/bin/env bash
# Regenerates examples/ with gen_log: usage tools/make_examples.sh [path/to/gen_log]
# The logs are data, committed as they come out; the same gen_log gives the same bytes.
set -euo pipefail
cd "$(dirname "$0")/.."
gen=${1:-build/gen_log}
e=examples
mkdir -p $e/fleet/truck_0412 $e/fleet/van_07
# A truck logger: time of day only, one log crossing midnight, Windows line ends on the second.
$gen --seed 412 --frames 40 --time-format 3 --start 20240131T120000 -o $e/fleet/truck_0412/LOG00001.TXT
$gen --seed 413 --frames 60 --time-format 3 --start 20240131T235959 --gap-us 40000 --crlf \
     -o $e/fleet/truck_0412/LOG00002.TXT
# A van logger of another model: seconds only (wrapping each minute), comma-separated columns.
$gen --seed 12 --frames 50 --time-format 1 --start 20240305T081530 --gap-us 1000000 --value-sep , \
     --logger TarvikOne --logger-id 00C0FFEE -o $e/fleet/van_07/session_12.txt
# Full date and time in every record, tab-separated, blank between date and time.
$gen --seed 13 --frames 30 --time-format 6 --start 20240306T171500 --value-sep tab --td-sep " " --crlf \
     --logger TarvikThree --logger-id 00C0FFEE -o $e/fleet/van_07/session_13.txt
# Day of month and time, no separators inside the time at all, all identifiers 29-bit.
$gen --seed 99 --frames 25 --time-format 4 --start 20240229T093000 --time-sep none --ms-sep none \
     --extended 100 --ids 6 -o $e/bench_run.txt
