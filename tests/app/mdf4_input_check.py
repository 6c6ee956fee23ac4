#!/usr/bin/python3
"""A tree of text logs and of MDF4 logs written by python-can's MF4Writer and saved by asammdf
(compression 0, 1 and 2), converted with `quarn -I txt,mf4 -F asc`: python-can's ASC reader must
read every MDF4 log's trace as the frames python-can's MF4 reader reads from that log. Converted
with `-F mf4`, python-can's MF4 reader must find in each MDF4 trace what it finds in its log.

    mdf4_input_check.py QUARN GEN_LOG SHARED_DIR READERS_BUILD_DIR WORK_DIR

python-can's ASC reader takes every CANFD line for an FD frame, a frame of data length 0 for a
remote frame, and counts channels from 0; an error frame's line holds its time and channel (and
in the CAN FD form its direction) only. The check allows for exactly that. Exits 0 when every frame matches, 1 otherwise.
"""

import os
import random
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from can_frames import compare_frames  # noqa: E402

FD_LENGTHS = [12, 16, 20, 24, 32, 48, 64]


def frames(seed, count):
    """Frames of every kind python-can writes, on channels 1 and 2, some at equal times."""
    import can

    rng = random.Random(seed)
    # Times made from a whole number of microseconds each, not by adding steps to a float: sums
    # drift off the microsecond grid, and a time that lies within a rounding step of half a
    # microsecond may print either way, in the trace and in python-can's own reading of the log.
    start_us = 1706702400 * 1000000 + rng.randrange(1000) * 1000
    us = 0
    out = []
    for i in range(count):
        if rng.random() < 0.8:
            us += rng.randrange(0, 3000)
        t = (start_us + us) / 1e6
        channel = rng.choice([1, 2])
        extended = rng.random() < 0.3
        ident = rng.randrange(1 << 29) if extended else rng.randrange(1 << 11)
        kind = rng.random()
        if kind < 0.01:
            out.append(can.Message(timestamp=t, arbitration_id=ident, channel=channel, is_error_frame=True,
                                   check=False))
        elif kind < 0.02:
            # What a logger saw of the broken frame: its identifier, data, direction, FD flags.
            fd = rng.random() < 0.3
            n = rng.choice(FD_LENGTHS) if fd else rng.randrange(9)
            out.append(can.Message(timestamp=t, arbitration_id=ident, is_extended_id=extended, channel=channel,
                                   is_error_frame=True, is_rx=rng.random() < 0.8, is_fd=fd,
                                   bitrate_switch=fd and rng.random() < 0.5, error_state_indicator=fd and rng.random() < 0.2,
                                   data=bytes(rng.randrange(256) for _ in range(n)), check=False))
        elif kind < 0.1:
            out.append(can.Message(timestamp=t, arbitration_id=ident, is_extended_id=extended, channel=channel,
                                   is_rx=rng.random() < 0.8, is_remote_frame=True, dlc=rng.randrange(9),
                                   check=False))
        elif kind < 0.3:
            n = rng.choice(FD_LENGTHS + list(range(9)))
            out.append(can.Message(timestamp=t, arbitration_id=ident, is_extended_id=extended, channel=channel,
                                   is_rx=rng.random() < 0.8, is_fd=True, bitrate_switch=rng.random() < 0.5,
                                   error_state_indicator=rng.random() < 0.2,
                                   data=bytes(rng.randrange(256) for _ in range(n)), check=False))
        else:
            n = rng.randrange(9)
            out.append(can.Message(timestamp=t, arbitration_id=ident, is_extended_id=extended, channel=channel,
                                   is_rx=rng.random() < 0.8, data=bytes(rng.randrange(256) for _ in range(n)),
                                   check=False))
    return out


def write_logs(tree, gen_log):
    from asammdf import MDF
    from can.io.mf4 import MF4Writer

    os.makedirs(os.path.join(tree, "bench", "saved"))
    os.makedirs(os.path.join(tree, "text"))
    original = os.path.join(tree, "bench", "python_can.mf4")
    writer = MF4Writer(original)
    for m in frames(5, 3000):
        writer.on_message_received(m)
    writer.stop()
    mdf = MDF(original)
    for compression in (0, 1, 2):
        mdf.save(os.path.join(tree, "bench", "saved", f"asammdf{compression}.mf4"), compression=compression,
                 overwrite=True)
    mdf.close()
    for k, time_format in enumerate((3, 6)):
        subprocess.run([gen_log, "--frames", "500", "--seed", str(k + 1), "--time-format", str(time_format), "-o",
                        os.path.join(tree, "text", f"log{k}.txt")], check=True)


def compare(log, trace, problems):
    from can.io.mf4 import MF4Reader

    # python-can's MF4 reader counts channels from 1.
    compare_frames(list(MF4Reader(log)), trace, 1, problems)


def compare_mf4(log, trace, problems):
    """python-can's MF4 reader finds in quarn's MDF4 trace every frame of the log, every field of
    its error frames included, times to the microsecond."""
    from can.io.mf4 import MF4Reader

    want = list(MF4Reader(log))
    got = list(MF4Reader(trace))
    name = os.path.relpath(trace)
    if len(got) != len(want):
        problems.append(f"{name}: {len(got)} frames, want {len(want)}")
        return
    for i, (g, w) in enumerate(zip(got, want)):
        for what in ("is_error_frame", "is_remote_frame", "arbitration_id", "is_extended_id", "is_rx", "channel",
                     "is_fd", "dlc", "data", "bitrate_switch", "error_state_indicator"):
            a, b = getattr(g, what), getattr(w, what)
            if a != b and len(problems) < 30:
                problems.append(f"{name} frame {i} {what}: got {a!r}, want {b!r}")
        if round(g.timestamp * 1e6) != round(w.timestamp * 1e6) and len(problems) < 30:
            problems.append(f"{name} frame {i} time: got {g.timestamp!r}, want {w.timestamp!r}")


def main():
    if len(sys.argv) != 6:
        print(__doc__, file=sys.stderr)
        return 2
    quarn, gen_log, shared, build, work = sys.argv[1:]
    shared = os.environ.get("QUARN_SHARED") or shared
    setup = os.path.join(shared, "mdf4", "readers", "setup.sh")
    if not os.path.exists(setup):
        print(f"mdf4_input_check: {setup} is missing (set QUARN_SHARED)", file=sys.stderr)
        return 1
    sys.path.insert(0, subprocess.run([setup, build], check=True, stdout=subprocess.PIPE, text=True).stdout.strip())
    shutil.rmtree(work, ignore_errors=True)
    tree = os.path.join(work, "logs")
    write_logs(tree, gen_log)
    run = subprocess.run([quarn, "-I", "txt,mf4", "-F", "asc", "--verbosity", "3", "logs"], cwd=work,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if run.returncode != 0 or "Converted 6 of 6 logs" not in run.stderr:
        print(f"quarn exited with {run.returncode}:\n{run.stderr}")
        return 1
    problems = []
    for folder, _, names in os.walk(tree):
        for name in sorted(names):
            log = os.path.join(folder, name)
            trace = os.path.join(work, "logs_out", os.path.relpath(log, tree))
            trace = os.path.splitext(trace)[0] + ".asc"
            if not os.path.exists(trace):
                problems.append(f"no trace for {os.path.relpath(log, work)}")
            elif name.endswith(".mf4"):
                compare(log, trace, problems)
    mf4_out = os.path.join(work, "mf4")
    os.makedirs(mf4_out)
    run = subprocess.run([quarn, "-I", "mf4", "-F", "mf4", "-O", mf4_out, "logs"], cwd=work,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if run.returncode != 0:
        print(f"quarn -F mf4 exited with {run.returncode}:\n{run.stderr}")
        return 1
    for folder, _, names in os.walk(tree):
        for name in sorted(n for n in names if n.endswith(".mf4")):
            log = os.path.join(folder, name)
            trace = os.path.join(mf4_out, "logs_out", os.path.relpath(log, tree))
            if not os.path.exists(trace):
                problems.append(f"no MDF4 trace for {os.path.relpath(log, work)}")
            else:
                compare_mf4(log, trace, problems)
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
