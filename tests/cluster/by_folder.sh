#!/bin/bash
# Stands in for quarn, in the array script and the parallel recipe, for a quarn that has no
# --shard, --report and --files-from yet: it drops those options and converts shard K of N's
# share of the sub-folders of the one input, or of the manifest's folder (folder K, K + N, ...
# in name order), so that the schedulers, the recipes and the checks run all the same.
#   QUARN=by_folder.sh (or a link named quarn on PATH), with REAL_QUARN the program.
set -eu
args=()
out='' input='' k='' n=''
while [ $# -gt 0 ]; do
  case $1 in
  --report=*) ;;
  --shard=auto)
    k=$(((SLURM_ARRAY_TASK_ID - SLURM_ARRAY_TASK_MIN) / ${SLURM_ARRAY_TASK_STEP:-1}))
    n=$SLURM_ARRAY_TASK_COUNT
    ;;
  --shard=auto/*)
    k=${JOB_COMPLETION_INDEX:-$AWS_BATCH_JOB_ARRAY_INDEX}
    n=${1#--shard=auto/}
    ;;
  --shard=*)
    k=${1#--shard=}
    n=${k#*/}
    k=${k%/*}
    ;;
  --files-from=*)
    # The folder that holds every listed log; the recipes list a tree with find.
    input=$(python3 -c 'import os, sys
print(os.path.commonpath([os.path.dirname(l.rstrip("\n")) for l in open(sys.argv[1]) if l.strip()]))' "${1#--files-from=}")
    ;;
  -O)
    out=$2
    shift
    ;;
  -*) args+=("$1") ;;
  *) input=$1 ;;
  esac
  shift
done
mine=()
i=0
for d in "$input"/*/; do
  [ $((i % n)) -eq "$k" ] && mine+=("$d")
  i=$((i + 1))
done
[ ${#mine[@]} -gt 0 ] || exit 0
exec "$REAL_QUARN" "${args[@]}" -O "$out" "${mine[@]}"
