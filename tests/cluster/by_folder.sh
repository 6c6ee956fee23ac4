#!/bin/bash
# Stands in for quarn in the array script for a quarn that has no --shard and --report yet: it
# takes the options the script passes, drops those two, and converts the task's share of the
# sub-folders of the one input (folder K, K + N, ... in name order), so that the cluster, the
# array script and the checks run all the same.
#   QUARN=by_folder.sh with REAL_QUARN set, in place of quarn.
set -eu
args=()
out= input=
while [ $# -gt 0 ]; do
  case $1 in
  --shard=* | --report=*) ;;
  -O)
    out=$2
    shift
    ;;
  -*) args+=("$1") ;;
  *) input=$1 ;;
  esac
  shift
done
k=$(((SLURM_ARRAY_TASK_ID - SLURM_ARRAY_TASK_MIN) / ${SLURM_ARRAY_TASK_STEP:-1}))
n=$SLURM_ARRAY_TASK_COUNT
mine=()
i=0
for d in "$input"/*/; do
  [ $((i % n)) -eq "$k" ] && mine+=("$d")
  i=$((i + 1))
done
[ ${#mine[@]} -gt 0 ] || exit 0
exec "$REAL_QUARN" "${args[@]}" -O "$out" "${mine[@]}"
