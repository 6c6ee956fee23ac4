#!/usr/bin/env python3
"""Times quarn against the I/O floor and another converter on the same frames.

Run through scripts/bench, which builds the release binaries first. Every measurement is a whole
process (wall time and peak resident set from wait4), repeated several times in interleaved
rounds so that the machine's noise falls on all of them alike; the median of each is reported.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time


def run(cmd, stdout=None, stdin=None):
    """Runs cmd; returns (seconds, peak RSS in KiB). Fails loudly on a non-zero status.

    The peak comes from /usr/bin/time, which forks the command itself: a child forked straight
    from this Python process would count Python's own memory in its peak (Linux keeps the peak
    across exec).
    """
    # What earlier runs left for the disk to write must not land on this one.
    os.sync()
    out = open(stdout, "wb") if stdout else subprocess.DEVNULL
    inp = open(stdin, "rb") if stdin else subprocess.DEVNULL
    try:
        start = time.perf_counter()
        proc = subprocess.run(["/usr/bin/time", "-f", "quarn-bench-peak %M", *cmd], stdout=out, stdin=inp,
                              stderr=subprocess.PIPE)
        elapsed = time.perf_counter() - start
    finally:
        if stdout:
            out.close()
        if stdin:
            inp.close()
    err = proc.stderr.decode(errors="replace")
    if proc.returncode != 0:
        sys.exit("bench: %s failed with %d\n%s" % (" ".join(cmd), proc.returncode, err))
    peak = [line for line in err.splitlines() if line.startswith("quarn-bench-peak ")]
    return elapsed, int(peak[-1].split()[1]) if peak else 0


def discard(path, trash):
    """Moves what a run wrote out of the way. Deleting it at once would make the next run pay:
    the file system avoids reusing just-freed inodes and searches longer for each new file."""
    if os.path.exists(path):
        os.makedirs(trash, exist_ok=True)
        os.rename(path, os.path.join(trash, "%d" % len(os.listdir(trash))))


def remove(path):
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.exists(path):
        os.remove(path)


def generate(args, work):
    """The inputs, made once per set of parameters and kept in the work folder."""
    stamp = "%d %d %d v1" % (args.frames, args.small_files, args.small_frames)
    stamp_path = os.path.join(work, "inputs.stamp")
    if os.path.exists(stamp_path) and open(stamp_path).read() == stamp:
        return
    remove(work)
    os.makedirs(os.path.join(work, "large"))
    os.makedirs(os.path.join(work, "small", "logs"))
    print("bench: generating %d frames, and %d logs of %d frames ..." % (args.frames, args.small_files, args.small_frames),
          file=sys.stderr)
    common = ["--ids", "400", "--gap-us", "300", "--time-format", "3"]
    subprocess.check_call([args.gen_log, "--frames", str(args.frames), "--seed", "1", *common,
                           "-o", os.path.join(work, "large", "log.txt"),
                           "--candump", os.path.join(work, "large", "log.candump")])
    for i in range(args.small_files):
        subprocess.check_call([args.gen_log, "--frames", str(args.small_frames), "--seed", str(1000 + i), *common,
                               "-o", os.path.join(work, "small", "logs", "log%05d.txt" % i)])
    open(stamp_path, "w").write(stamp)


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--quarn", required=True)
    p.add_argument("--gen-log", required=True)
    p.add_argument("--work", default="build/bench")
    p.add_argument("--frames", type=int, default=1000000)
    p.add_argument("--small-files", type=int, default=10000)
    p.add_argument("--small-frames", type=int, default=100)
    p.add_argument("--runs", type=int, default=5)
    args = p.parse_args()
    args.quarn = os.path.abspath(args.quarn)
    args.gen_log = os.path.abspath(args.gen_log)
    work = os.path.abspath(args.work)
    generate(args, work)

    large = os.path.join(work, "large")
    log = os.path.join(large, "log.txt")
    trace = os.path.join(large, "log.asc")
    candump = os.path.join(large, "log.candump")
    small = os.path.join(work, "small", "logs")
    small_out = os.path.join(work, "small", "logs_out")
    floor_file = os.path.join(large, "floor.bin")
    log2asc = shutil.which("log2asc")
    small_frames = args.small_files * args.small_frames

    # Warm the page cache and learn the trace's size.
    run(["cat", log], stdout="/dev/null")
    remove(trace)
    run([args.quarn, "--verbosity", "0", log])
    trace_size = os.path.getsize(trace)
    in_size = os.path.getsize(log)

    trash = os.path.join(work, "trash")
    remove(trash)
    small_copy = os.path.join(work, "small", "copy")
    results = {k: [] for k in ("quarn", "log2asc", "floor", "floor_dd", "small", "small_floor")}
    for _ in range(args.runs):
        remove(trace)
        results["quarn"].append(run([args.quarn, "--verbosity", "0", log]))
        if log2asc:
            out = os.path.join(large, "log2asc.asc")
            remove(out)
            results["log2asc"].append(run([log2asc, "-f", "-I", candump, "-O", out, "can0"]))
        remove(floor_file)
        read = run(["cat", log], stdout="/dev/null")
        write = run(["head", "-c", str(trace_size), "/dev/zero"], stdout=floor_file)
        results["floor"].append((read[0] + write[0], max(read[1], write[1])))
        remove(floor_file)
        blocks = (trace_size + (1 << 20) - 1) >> 20
        write = run(["dd", "if=/dev/zero", "of=" + floor_file, "bs=1M", "count=%d" % blocks, "status=none"])
        results["floor_dd"].append((read[0] + write[0], max(read[1], write[1])))
        remove(floor_file)
        discard(small_out, trash)
        results["small"].append(run([args.quarn, "--verbosity", "0", small]))
        discard(small_out, trash)
        # The least any tool pays for as many small files: read each and write a new one.
        results["small_floor"].append(run(["cp", "-r", small, small_copy]))
        discard(small_copy, trash)
    remove(trash)

    def med(key):
        rows = results[key]
        return statistics.median(r[0] for r in rows), statistics.median(r[1] for r in rows)

    print("quarn bench: %d frames (%.1f MB in, %.1f MB of trace out); %d runs each, medians"
          % (args.frames, in_size / 1e6, trace_size / 1e6, args.runs))
    print()
    print("| measurement | time | frames/s | peak memory |")
    print("|---|---:|---:|---:|")

    def row(name, key, frames):
        t, rss = med(key)
        print("| %s | %.3f s | %.2f M | %.1f MB |" % (name, t, frames / t / 1e6, rss * 1024 / 1e6))

    row("quarn, one log of %d frames" % args.frames, "quarn", args.frames)
    if log2asc:
        row("log2asc -f, the same frames from a candump log", "log2asc", args.frames)
    row("I/O floor: cat log + head -c trace-size > file", "floor", args.frames)
    row("I/O floor with 1 MiB writes: cat log + dd bs=1M", "floor_dd", args.frames)
    row("quarn, %d logs of %d frames" % (args.small_files, args.small_frames), "small", small_frames)
    row("I/O floor for those logs: cp -r of their folder", "small_floor", small_frames)
    print()

    q_t, q_rss = med("quarn")
    q_fps = args.frames / q_t
    s_fps = small_frames / med("small")[0]
    print("| ratio | measured | target |")
    print("|---|---:|---:|")
    if log2asc:
        l_fps = args.frames / med("log2asc")[0]
        print("| quarn / log2asc -f, frames per second | %.1fx | at least 5x |" % (q_fps / l_fps))
    print("| quarn / I/O floor (cat + head -c), time | %.2fx | at most 1.5x |" % (q_t / med("floor")[0]))
    print("| quarn / I/O floor with 1 MiB writes, time | %.2fx | |" % (q_t / med("floor_dd")[0]))
    print("| peak memory per frame | %.0f bytes | at most 100 |" % (q_rss * 1024 / args.frames))
    print("| many small logs / one large log, frames per second | %.2fx | at least 0.5x |" % (s_fps / q_fps))
    print("| many small logs / their I/O floor (cp -r), time | %.2fx | |" % (med("small")[0] / med("small_floor")[0]))


if __name__ == "__main__":
    main()
