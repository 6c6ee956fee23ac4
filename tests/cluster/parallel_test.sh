#!/usr/bin/env bash
# The README's GNU parallel recipe, run as it stands over a generated tree of 2,120 logs, some of
# them broken: a manifest split into shards across the hosts of an --sshloginfile. Here the
# hosts are local slots (":" lines, no ssh) and HOME a temporary folder, so that parallel's own
# files stay out of the user's. The shards' traces together must be one local run's, their
# reports must name every log once with that run's results, and parallel must exit with the
# number of shards that failed.
#   parallel_test.sh QUARN GEN_LOG README WORK_DIR
set -euo pipefail
quarn=$(realpath "$1")
gen_log=$(realpath "$2")
readme=$(realpath "$3")
work=$4
here=$(dirname "$(realpath "$0")")
source "$here/common.sh"

need_commands parallel python3

# The recipe: the fenced block right after the marker line.
recipe=$(awk '/<!-- parallel recipe:/ { found = 1; next }
              found && /^```/ { if (inside) exit; inside = 1; next }
              inside { print }' "$readme")
[ -n "$recipe" ] || {
  echo "FAIL: no parallel recipe in $readme" >&2
  exit 1
}
printf 'recipe:\n%s\n' "$recipe"

rm -rf "$work"
mkdir -p "$work/home" "$work/bin"
work=$(realpath "$work")
cd "$work"
make_tree "$gen_log" recordings
broken=$(grep -rlx '# a header and nothing else' recordings | wc -l)

# quarn found on PATH, as an installed one would be.
ln -s "$quarn" bin/quarn

# The reference, into the folder the recipe writes to afterwards (so that the reports name the
# same trace paths).
mkdir -p traces
local_status=0
find recordings -iname '*.txt' >all.txt
"$quarn" --non-interactive --jobs 2 --files-from=all.txt --report=ref.jsonl -O traces 2>ref.err || local_status=$?
[ "$local_status" -eq 8 ] || problem "the local run exited with $local_status"
mv traces ref

# Two "hosts" of one slot each, both this machine.
printf '1/:\n1/:\n' >hosts.txt
status=0
start=$(now)
HOME=$work/home PATH=$work/bin:$PATH bash -c "$recipe" >recipe.out 2>recipe.err || status=$?
echo "the recipe took $(elapsed "$start" "$(now)") s and exited with $status"

# parallel's status is the number of jobs that failed: here the shards with a broken log.
failed=0
for r in reports/shard-*.jsonl; do
  s=$(python3 "$here/reports.py" status "$r") || problem "no status in $r"
  [ "$s" = 0 ] || failed=$((failed + 1))
done
python3 "$here/reports.py" union ref.jsonl reports/shard-*.jsonl || problem "the reports are not one run's"
[ "$failed" -gt 0 ] || problem "no shard failed, though $broken logs are broken"
[ "$status" -eq "$failed" ] || problem "parallel exited with $status, but $failed shards failed: $(tail -5 recipe.err)"
[ "$(grep -c 'Error during conversion' recipe.err)" -eq "$broken" ] ||
  problem "the shards did not name the $broken broken logs once each: $(head -5 recipe.err)"
same_trees ref traces

[ $fail -eq 0 ] || exit 1
echo "the shards' traces are those of one run"
cd /
rm -rf "$work"
