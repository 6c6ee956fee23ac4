#!/usr/bin/python3
"""BLF logs written by python-can (Debian's 4.1 and the 4.4.2 copy), converted with
`quarn -I blf`: python-can's ASC reader must read every trace as the frames python-can's BLF
reader reads from its log, frame for frame.

    blf_python_can_check.py QUARN SHARED_DIR READERS_BUILD_DIR WORK_DIR

Run with TZ=UTC: python-can takes a BLF header's start time for local time. It rounds a file's
start to the millisecond, so the frames are compared with its reading of the file, not with those
it was given. Its ASC reader takes every CANFD line for an FD frame, a frame of data length 0 for
a remote frame, and counts channels from 0 as its BLF reader does; an error frame's line holds
its time and channel only. Exits 0 when every frame matches, 77 when a python-can is missing, 1
otherwise.
"""

import os
import random
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from can_frames import compare_frames  # noqa: E402

FD_LENGTHS = [12, 16, 20, 24, 32, 48, 64]
SKIP = 77


def frames(seed, count, kinds, channels):
    import can

    rng = random.Random(seed)
    start_us = 1706702400 * 1000000 + rng.randrange(1000000)
    us = 0
    out = []
    for _ in range(count):
        if rng.random() < 0.8:
            us += rng.randrange(0, 3000)
        t = (start_us + us) / 1e6
        channel = rng.choice(channels)
        extended = rng.random() < 0.3
        ident = rng.randrange(1 << 29) if extended else rng.randrange(1 << 11)
        kind = rng.choice(kinds)
        rx = rng.random() < 0.8
        if kind == "error":
            out.append(can.Message(timestamp=t, arbitration_id=ident, is_extended_id=extended, channel=channel,
                                   is_error_frame=True, data=bytes(rng.randrange(256) for _ in range(rng.randrange(9))),
                                   check=False))
        elif kind == "remote":
            out.append(can.Message(timestamp=t, arbitration_id=ident, is_extended_id=extended, channel=channel,
                                   is_rx=rx, is_remote_frame=True, dlc=rng.randrange(9), check=False))
        elif kind == "fd":
            n = rng.choice(FD_LENGTHS + list(range(9)))
            out.append(can.Message(timestamp=t, arbitration_id=ident, is_extended_id=extended, channel=channel,
                                   is_rx=rx, is_fd=True, bitrate_switch=rng.random() < 0.5,
                                   error_state_indicator=rng.random() < 0.2,
                                   data=bytes(rng.randrange(256) for _ in range(n)), check=False))
        else:
            n = rng.randrange(9)
            out.append(can.Message(timestamp=t, arbitration_id=ident, is_extended_id=extended, channel=channel,
                                   is_rx=rx, data=bytes(rng.randrange(256) for _ in range(n)), check=False))
    return out


# name: (seed, frames, kinds, channels as python-can numbers them (BLF's less one), writer options)
LOGS = {
    "classic": (1, 3000, ["data"], [0], {}),
    "fd": (2, 3000, ["fd"], [0], {}),
    "remote": (3, 1000, ["remote", "data"], [0], {}),
    "error": (4, 1000, ["error", "data"], [0, 1], {}),
    "channels": (5, 3000, ["data", "fd", "remote"], [-1, 0, 1, 2, 7], {}),
    # Many containers of the default size, objects cut where a container fills.
    "default_containers": (6, 40000, ["data", "fd", "remote", "error"], [0, 1, 2], {}),
    "stored": (7, 5000, ["data", "fd"], [0, 1], {"compression_level": 0}),
}


def write_logs(folder, prefix):
    import can

    os.makedirs(folder, exist_ok=True)
    for name, (seed, count, kinds, channels, options) in LOGS.items():
        writer = can.BLFWriter(os.path.join(folder, f"{prefix}_{name}.blf"), **options)
        for m in frames(seed, count, kinds, channels):
            writer.on_message_received(m)
        writer.stop()


def write_unfinished(path):
    """A file as python-can leaves it before stop(): its containers written, its header not."""
    import can

    writer = can.BLFWriter(path + ".tmp")
    for m in frames(8, 5000, ["data"], [0]):
        writer.on_message_received(m)
    writer._flush()
    writer.file.flush()
    shutil.copyfile(path + ".tmp", path)
    writer.stop()
    os.remove(path + ".tmp")


def compare(log, trace, problems):
    import can

    compare_frames(list(can.BLFReader(log)), trace, 0, problems)


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--write":
        write_logs(sys.argv[2], sys.argv[3])
        return 0
    if len(sys.argv) != 5:
        print(__doc__, file=sys.stderr)
        return 2
    quarn, shared, readers_build, work = sys.argv[1:]
    shared = os.environ.get("QUARN_SHARED") or shared
    os.environ["TZ"] = "UTC"
    try:
        import can  # noqa: F401
    except ImportError:
        print("python-can 4.1 is missing", file=sys.stderr)
        return SKIP
    setup = os.path.join(shared, "mdf4", "readers", "setup.sh")
    if not os.path.exists(setup):
        print(f"python-can 4.4.2 is missing: {setup}", file=sys.stderr)
        return SKIP
    shutil.rmtree(work, ignore_errors=True)
    logs = os.path.join(work, "logs")
    write_logs(logs, "can41")
    path = subprocess.run([setup, readers_build], check=True, capture_output=True, text=True).stdout.strip()
    subprocess.run([sys.executable, os.path.abspath(__file__), "--write", logs, "can442"], check=True,
                   env=dict(os.environ, PYTHONPATH=path))
    os.makedirs(os.path.join(work, "out"))
    run = subprocess.run([quarn, "-I", "blf", "-O", os.path.join(work, "out"), logs], capture_output=True,
                         text=True)
    problems = []
    # A file python-can never finished is refused, and stays.
    unfinished = os.path.join(work, "unfinished.blf")
    write_unfinished(unfinished)
    refused = subprocess.run([quarn, "-d", "-O", os.path.join(work, "out"), unfinished], capture_output=True, text=True)
    if refused.returncode != 8 or "the file was never finalised" not in refused.stderr or not os.path.exists(unfinished):
        problems.append(f"unfinished file: status {refused.returncode}: {refused.stderr}")
    if run.returncode != 0 or run.stderr:
        problems.append(f"quarn: status {run.returncode}: {run.stderr}")
    names = sorted(n for n in os.listdir(logs) if n.endswith(".blf"))
    if len(names) != 2 * len(LOGS):
        problems.append(f"logs: {names}")
    for n in names:
        trace = os.path.join(work, "out", "logs_out", n[:-4] + ".asc")
        if not os.path.exists(trace):
            problems.append(f"no trace of {n}")
            continue
        compare(os.path.join(logs, n), trace, problems)
    for p in problems:
        print(p, file=sys.stderr)
    if not problems:
        print(f"{len(names)} BLF logs: every trace holds python-can's frames")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
