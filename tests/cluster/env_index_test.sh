#!/usr/bin/env bash
# The README's Kubernetes Indexed Job and AWS Batch array job, with their variables set by hand:
# 4 tasks, started together as a scheduler would, each with its own index in
# JOB_COMPLETION_INDEX (or AWS_BATCH_JOB_ARRAY_INDEX) and the count in --shard=auto/4, over a
# generated tree of 2,120 logs, some of them broken. Their traces together must be one local
# run's, their reports must name every log once with that run's results, and each task's status
# must be the one its report gives.
#   env_index_test.sh QUARN GEN_LOG WORK_DIR
set -euo pipefail
quarn=$(realpath "$1")
gen_log=$(realpath "$2")
work=$3
here=$(dirname "$(realpath "$0")")
source "$here/common.sh"
need_commands python3
tasks=4

rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")
cd "$work"
make_tree "$gen_log" recordings
broken=$(grep -rlx '# a header and nothing else' recordings | wc -l)

# A Slurm variable left over from the machine that runs the test would take precedence.
for v in $(compgen -e | grep '^SLURM_' || true); do unset "$v"; done

local_status=0
mkdir -p traces
"$quarn" --non-interactive --jobs 2 --report=ref.jsonl -O traces recordings 2>ref.err || local_status=$?
[ "$local_status" -eq 8 ] || problem "the local run exited with $local_status"
mv traces ref

for variable in JOB_COMPLETION_INDEX AWS_BATCH_JOB_ARRAY_INDEX; do
  rm -rf traces reports
  mkdir -p traces reports
  pids=()
  for k in $(seq 0 $((tasks - 1))); do
    env "$variable=$k" "$quarn" --non-interactive --jobs=1 --shard=auto/$tasks \
      --report="reports/shard-$k.jsonl" -O traces recordings 2>"reports/shard-$k.err" &
    pids+=($!)
  done
  failed=0
  for k in $(seq 0 $((tasks - 1))); do
    status=0
    wait "${pids[$k]}" || status=$?
    reported=$(python3 "$here/reports.py" status "reports/shard-$k.jsonl") || reported=missing
    [ "$reported" = "$status" ] || problem "$variable=$k: quarn exited with $status, its report says $reported"
    shard=$(python3 "$here/reports.py" shard "reports/shard-$k.jsonl") || shard=missing
    [ "$shard" = "$k/$tasks" ] || problem "$variable=$k: the task took itself for shard $shard"
    case $status in
    0) ;;
    8) failed=$((failed + 1)) ;;
    *) problem "$variable=$k: quarn exited with $status: $(head -3 "reports/shard-$k.err")" ;;
    esac
  done
  [ "$failed" -gt 0 ] || problem "$variable: no task failed, though $broken logs are broken"
  [ "$(cat reports/shard-*.err | grep -c 'Error during conversion')" -eq "$broken" ] ||
    problem "$variable: the tasks did not name the $broken broken logs once each"
  same_trees ref traces
  python3 "$here/reports.py" union ref.jsonl reports/shard-*.jsonl || problem "$variable: the reports are not one run's"
  echo "$variable: $failed of $tasks tasks failed, as their logs did"
done

[ $fail -eq 0 ] || exit 1
echo "the tasks' traces are those of one run, for both variables"
cd /
rm -rf "$work"
