#!/usr/bin/env bash
# A real Slurm cluster of one node, started here as root, runs the array script the README gives
# (tools/cluster/quarn-array.sbatch) as a job array of 4 tasks over a generated tree of 2,120
# logs, some of them broken. The tasks' traces together must be those of one local run, byte for
# byte, their reports must name every log once with that run's results, and each task's exit
# state must be the status its quarn gave.
#   slurm_test.sh QUARN GEN_LOG SOURCE_DIR WORK_DIR
# Not root or no Slurm: skipped (77), except in CI (CI=true), where it must run.
set -euo pipefail
quarn=$(realpath "$1")
gen_log=$(realpath "$2")
source_dir=$(realpath "$3")
work=$4
here=$(dirname "$(realpath "$0")")
source "$here/common.sh"
tasks=4

[ "$(id -u)" -eq 0 ] || cannot_run "the daemons of a Slurm cluster must be started by root"
need_commands munged slurmctld slurmd sbatch squeue scontrol scancel python3

rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")
cd "$work"

make_tree "$gen_log" recordings
logs=$(find recordings -name '*.TXT' | wc -l)
broken=$(grep -rlx '# a header and nothing else' recordings | wc -l)
echo "$logs logs, $broken of them broken"

# The reference: one local run over the same tree, on both cores, into the folder the tasks
# write to afterwards, so that the reports name the same trace paths.
mkdir -p out
local_status=0
start=$(now)
"$quarn" --non-interactive --jobs 2 --report=ref.jsonl -O out recordings 2>ref.err || local_status=$?
local_time=$(elapsed "$start" "$(now)")
mv out ref
[ "$local_status" -eq 8 ] || problem "the local run exited with $local_status"
[ "$(grep -c 'Error during conversion' ref.err)" -eq "$broken" ] ||
  problem "the local run did not name the $broken broken logs: $(head -5 ref.err)"

# The cluster's files: a folder munged accepts (not writable by others, 755 rather than
# mktemp's 700 so that the clients can reach the socket), short enough for a socket's path.
cluster=$(mktemp -d /tmp/quarn-slurm.XXXXXX)
chmod 755 "$cluster"
mkdir -m 755 "$cluster/munge" "$cluster/state" "$cluster/spool"
munged_pid='' slurmctld_pid='' slurmd_pid='' job=''

# stop PID NAME: SIGTERM, a wait, then SIGKILL; slurmd may take seconds to act on SIGTERM.
stop() {
  local pid=$1 name=$2 i
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for i in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    echo "$name ($pid) ignored SIGTERM for 10 s: SIGKILL"
    kill -KILL "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || true
}

queue_empty() { [ -z "$(squeue -h -o %i 2>/dev/null)" ]; }

# Pass or fail, nothing of the cluster outlives the test: its jobs are cancelled, the queue
# drains, the daemons are stopped by their process ids and their files removed.
cleanup() {
  local status=$? i
  trap - EXIT
  if [ -n "$slurmctld_pid" ] && kill -0 "$slurmctld_pid" 2>/dev/null; then
    [ -z "$job" ] || scancel "$job" 2>/dev/null || true
    for i in $(seq 1 100); do
      queue_empty && break
      sleep 0.2
    done
  fi
  stop "$slurmd_pid" slurmd
  stop "$slurmctld_pid" slurmctld
  stop "$munged_pid" munged
  if [ "$status" -ne 0 ] && [ "$status" -ne 77 ]; then
    for f in "$cluster"/*.log; do
      [ -f "$f" ] && echo "--- last lines of $f" && tail -15 "$f"
    done
  fi
  rm -rf "$cluster"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# munged in the foreground, so that its process id is the one started here.
key=$cluster/munge/munge.key
dd if=/dev/urandom of="$key" bs=1024 count=1 status=none
chmod 400 "$key"
socket=$cluster/munge/munge.socket.2
munged --foreground --force --key-file="$key" --socket="$socket" --pid-file="$cluster/munge/munged.pid" \
  --log-file="$cluster/munged.log" --seed-file="$cluster/munge/seed" >/dev/null 2>&1 &
munged_pid=$!
for i in $(seq 1 50); do
  [ -S "$socket" ] && break
  kill -0 $munged_pid 2>/dev/null || break
  sleep 0.1
done
[ -S "$socket" ] || cannot_run "munged did not start: $(tail -3 "$cluster/munged.log" 2>/dev/null)"

# Two free ports on the loopback, the node's own name and its processors as slurmd sees them.
read -r ctld_port slurmd_port < <(python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')
node=$(hostname -s)
hardware=$(slurmd -C | head -1 | sed -e 's/^NodeName=[^ ]* //' -e 's/ RealMemory=[^ ]*//')
export SLURM_CONF=$cluster/slurm.conf
cat >"$SLURM_CONF" <<CONF
ClusterName=quarntest
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$socket
CredType=cred/munge
StateSaveLocation=$cluster/state
SlurmdSpoolDir=$cluster/spool
SlurmctldPidFile=$cluster/slurmctld.pid
SlurmdPidFile=$cluster/slurmd.pid
SlurmctldLogFile=$cluster/slurmctld.log
SlurmdLogFile=$cluster/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SchedulerType=sched/backfill
ReturnToService=2
MinJobAge=600
NodeName=$node NodeAddr=127.0.0.1 $hardware State=UNKNOWN
PartitionName=quarn Nodes=$node Default=YES MaxTime=INFINITE State=UP
CONF

slurmctld -D -i >/dev/null 2>&1 &
slurmctld_pid=$!
slurmd -D >/dev/null 2>&1 &
slurmd_pid=$!
ready=no
for i in $(seq 1 150); do
  if sinfo -h -N -o %t 2>/dev/null | grep -Eq '^(idle|mix|alloc)'; then
    ready=yes
    break
  fi
  kill -0 $slurmctld_pid 2>/dev/null && kill -0 $slurmd_pid 2>/dev/null || break
  sleep 0.2
done
[ $ready = yes ] || cannot_run "the node did not come up: $(sinfo -N 2>&1 | tail -2)"
echo "cluster up: node $node ($hardware), slurmctld on port $ctld_port"

# The array, as the README submits it; all files lie in this folder, the "shared" file system.
mkdir -p out reports
export QUARN=$quarn
start=$(now)
job=$(sbatch --parsable --array=0-$((tasks - 1)) --output="$work/slurm-%A_%a.out" --chdir="$work" \
  "$source_dir/tools/cluster/quarn-array.sbatch" out reports recordings)
job=${job%%;*}
finished=no
for i in $(seq 1 1500); do
  if queue_empty; then
    finished=yes
    break
  fi
  sleep 0.2
done
array_time=$(elapsed "$start" "$(now)")
[ $finished = yes ] || problem "the array $job did not finish within 300 s: $(squeue 2>&1 | head -5)"

# The state and exit code of each task, which slurmctld keeps for MinJobAge after its end.
scontrol show job -o "$job" >tasks.txt || problem "scontrol knows no job $job"
declare -A state code
while read -r line; do
  id=$(grep -o ' ArrayTaskId=[0-9]*' <<<"$line" | cut -d= -f2)
  [ -n "$id" ] || continue
  state[$id]=$(grep -o ' JobState=[A-Z_]*' <<<"$line" | cut -d= -f2)
  code[$id]=$(grep -o ' ExitCode=[0-9:]*' <<<"$line" | cut -d= -f2)
done <tasks.txt
[ ${#state[@]} -eq $tasks ] || problem "$job ran ${#state[@]} tasks, not $tasks: $(cat tasks.txt)"

# Each task's status, as its quarn gave it, from its report's summary.
for k in $(seq 0 $((tasks - 1))); do
  status=$(python3 "$here/reports.py" status "reports/shard-$k.jsonl") || status=missing
  shard=$(python3 "$here/reports.py" shard "reports/shard-$k.jsonl") || shard=missing
  [ "$shard" = "$k/$tasks" ] || problem "task $k took itself for shard $shard"
  want_state=COMPLETED
  [ "$status" = 0 ] || want_state=FAILED
  [ "${code[$k]:-}" = "$status:0" ] && [ "${state[$k]:-}" = $want_state ] ||
    problem "task $k: state ${state[$k]:-none}, exit code ${code[$k]:-none}; its quarn gave $status"
  errors=$(grep -c 'Error during conversion' "slurm-${job}_$k.out" || true)
  if [ "$status" = 0 ] && [ "$errors" -ne 0 ]; then
    problem "task $k ended with 0 but named $errors failed logs"
  fi
  if [ "$status" = 8 ] && [ "$errors" -eq 0 ]; then
    problem "task $k ended with 8 but named no failed log"
  fi
done
echo "task exit codes: $(for k in "${!code[@]}"; do printf '%s=%s ' "$k" "${code[$k]}"; done)"
[ "$(cat slurm-"${job}"_*.out | grep -c 'Error during conversion')" -eq "$broken" ] ||
  problem "the tasks together did not name the $broken broken logs once each"

same_trees ref out
python3 "$here/reports.py" union ref.jsonl reports/shard-*.jsonl || problem "the reports are not one run's"

# A task retried as the README says, by requeueing it: it runs again over traces already in
# place and must give the same traces, report and exit state.
cp reports/shard-1.jsonl first-1.jsonl || problem "task 1 left no report"
requeued=$(now)
scontrol requeue "${job}_1" || problem "scontrol requeue ${job}_1 failed"
# Slurm holds a requeued job back for two minutes; a test need not wait for that.
scontrol update JobId="${job}_1" StartTime=now || problem "task 1 cannot be started now"
for i in $(seq 1 1500); do
  sleep 0.2
  again=$(scontrol show job -o "${job}_1" 2>/dev/null || true)
  grep -Eq ' JobState=(COMPLETED|FAILED) ' <<<"$again" && grep -q ' Restarts=1 ' <<<"$again" && break
done
grep -q ' Restarts=1 ' <<<"$again" || problem "task 1 did not run again: $again"
grep -q " ExitCode=${code[1]} " <<<"$again" || problem "task 1 ran again with another exit code: $again"
echo "task 1 requeued and done again in $(elapsed "$requeued" "$(now)") s"
same_trees ref out
python3 "$here/reports.py" union first-1.jsonl reports/shard-1.jsonl || problem "the retried task's report differs"

# Where the time goes: the array's wall time (submission to an empty queue) against the same
# tree on both cores of this machine; the difference is what the scheduler costs.
first_start=$(scontrol show job -o "$job" | grep -o ' StartTime=[^ ]*' | cut -d= -f2 | sort | head -1)
submitted=$(scontrol show job -o "$job" | grep -o ' SubmitTime=[^ ]*' | cut -d= -f2 | sort | head -1)
echo "local run, --jobs 2: $local_time s; array of $tasks tasks: $array_time s" \
  "(submitted $submitted, first task started $first_start)"

[ $fail -eq 0 ] || exit 1
echo "the array's traces are those of one run"
cd /
rm -rf "$work"
