#!/usr/bin/env python3
"""Reads quarn's JSON Lines reports: one object per log the run converted or failed, then one
summary object.

  reports.py status REPORT            prints the exit status the summary gives
  reports.py shard REPORT             prints the summary's shard as K/N
  reports.py union REFERENCE SHARD... the shards' log records, together, are the reference run's:
                                      every log once, with the same results (times aside), and
                                      their summaries add up to its summary
"""
import json
import re
import sys

# Fields that differ between two runs of the same logs.
CLOCK = re.compile(r"time|elapsed|duration|seconds|started|ended|pid", re.I)


def read(path):
    with open(path, encoding="utf-8") as f:
        lines = [json.loads(line) for line in f if line.strip()]
    if not lines:
        sys.exit(f"{path}: empty report")
    return lines[:-1], lines[-1]


def without_clock(value):
    if isinstance(value, dict):
        return {k: without_clock(v) for k, v in value.items() if not CLOCK.search(k)}
    if isinstance(value, list):
        return [without_clock(v) for v in value]
    return value


def status(summary):
    for key in ("status", "exit_status", "exit_code", "exit"):
        if key in summary:
            return summary[key]
    for value in summary.values():
        if isinstance(value, dict):
            found = status(value)
            if found is not None:
                return found
    return None


def canonical(records):
    return sorted(json.dumps(without_clock(r), sort_keys=True) for r in records)


def main():
    if sys.argv[1] == "status":
        found = status(read(sys.argv[2])[1])
        if found is None:
            sys.exit(f"{sys.argv[2]}: the summary gives no status")
        print(found)
        return
    if sys.argv[1] == "shard":
        shard = read(sys.argv[2])[1].get("shard")
        print(f"{shard['index']}/{shard['count']}" if shard else "none")
        return
    records, summary = read(sys.argv[2])
    reference = canonical(records)
    parts = [read(path) for path in sys.argv[3:]]
    shards = canonical(r for part in parts for r in part[0])
    # The counts of the shards add up to one run's; the logs each passed over are the others'.
    totals = summary.get("summary", {})
    for key, value in totals.items():
        if key == "other_shards" or not isinstance(value, int):
            continue
        added = sum(part[1].get("summary", {}).get(key, 0) for part in parts)
        if added != value:
            sys.exit(f"the shards' summaries count {added} {key}, one run {value}")
    if shards == reference:
        print(f"{len(shards)} log records, those of one run")
        return
    missing = sorted(set(reference) - set(shards))
    extra = sorted(set(shards) - set(reference))
    print(f"{len(reference)} records in one run, {len(shards)} in the shards", file=sys.stderr)
    for what, lines in (("missing", missing), ("not in one run", extra)):
        for line in lines[:5]:
            print(f"{what}: {line}", file=sys.stderr)
    if not missing and not extra:
        print("a log is named more than once", file=sys.stderr)
    sys.exit(1)


if __name__ == "__main__":
    main()
