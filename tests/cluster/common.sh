# shellcheck shell=bash
# Shared by the scheduler tests: the generated recording tree, the comparison with one local run,
# and how a test that cannot run ends. Sourced, not run.

fail=0
problem() {
  echo "FAIL: $*" >&2
  fail=1
}

# cannot_run REASON: a machine without the scheduler skips the test (status 77, which CTest
# counts as skipped), but CI must run it, so there the same reason fails it.
cannot_run() {
  if [ "${CI:-}" = true ]; then
    echo "FAIL: $* (CI=true: this test must run here)" >&2
    exit 1
  fi
  echo "SKIP: $*"
  exit 77
}

need_commands() {
  local c
  for c in "$@"; do
    command -v "$c" >/dev/null || cannot_run "$c is not installed (scripts/lib/setup.sh installs it)"
  done
}

# make_tree GEN_LOG DIR: a fleet's night of recordings, 8 loggers of 3 days with 88 logs each and
# one more at each logger's top (2,120 logs), 20 of them broken (a header and nothing else), and a file that is
# no log. The logs are copies of 48 generated ones, which keeps the tree quick to make; the
# broken ones sit in the second and third logger only, so that a split by logger leaves some
# tasks without a failure.
make_tree() {
  local gen_log=$1 dir=$2
  local seeds=$dir.seeds
  mkdir -p "$seeds"
  local s
  for s in $(seq 1 48); do
    "$gen_log" --seed "$s" --frames $((20 + s * 3)) --time-format $((s % 6 + 1)) \
      --start "202401$(printf %02d $((s % 28 + 1)))T0${s: -1}0000" -o "$seeds/$s.txt"
  done
  # One process lays out the copies: a process per file would take longer than the conversions.
  python3 - "$seeds" "$dir" <<'PY'
import os, shutil, sys
seeds, top = sys.argv[1:]
for logger in range(1, 9):
    for day in (1, 2, 3):
        folder = f"{top}/truck_0{logger}/day{day}"
        os.makedirs(folder)
        for n in range(1, 89):
            path = f"{folder}/LOG{n:05d}.TXT"
            if logger in (2, 3) and (day * 88 + n) % 26 == 0:
                with open(path, "w") as f:
                    f.write("# a header and nothing else\n")
            else:
                shutil.copyfile(f"{seeds}/{(logger * 7 + day * 5 + n) % 48 + 1}.txt", path)
    # A log at the top of a logger's folder, beside its days.
    shutil.copyfile(f"{seeds}/{logger}.txt", f"{top}/truck_0{logger}/LOG00000.TXT")
PY
  echo "not;a;log" >"$dir/truck_01/notes.csv"
  rm -rf "$seeds"
}

# same_trees REFERENCE OUT: the traces of the tasks together must be one run's, byte for byte:
# the same files, the same bytes, nothing left over (no *.part of an interrupted write).
same_trees() {
  local ref=$1 out=$2
  if ! diff -r "$ref" "$out" >"$out.diff" 2>&1; then
    problem "the tasks' traces differ from one run's: $(head -20 "$out.diff")"
  fi
  local n
  n=$(find "$out" -type f | wc -l)
  [ "$n" -gt 2000 ] || problem "only $n traces in $out"
  echo "$n traces, equal to one run's"
}

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
