#!/usr/bin/python3
"""Converts logs with `quarn -F asc,blf` and checks that python-can 4.1 (Debian's) and 4.4.2 read
from each BLF file exactly the CAN frames of the ASC trace written beside it: time to the
microsecond, identifier, extended flag, direction, DLC, data, channel, remote, error and FD flags.
The logs: those named, and ones made with gen_log (every time format, CR LF, one frame, enough
frames for many containers).

    blf_readers_check.py QUARN GEN_LOG SHARED_DIR READERS_BUILD_DIR WORK_DIR [LOG...]

python-can reads the header's start time as local time, so every reader runs with TZ=UTC.
Exits 0 when every file reads as its ASC trace, 77 when no python-can is there, 1 otherwise.
"""

import calendar
import json
import os
import shutil
import subprocess
import sys
import time

FD_LENGTHS = [0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64]
ASC_REMOTE, ASC_EDL, ASC_BRS, ASC_ESI = 0x10, 0x1000, 0x2000, 0x4000


def read_blf(path):
    """Run under the python-can to test: prints the frames as JSON."""
    import can

    frames = []
    for m in can.BLFReader(path):
        frames.append(
            {
                "us": round(m.timestamp * 1e6),
                "id": m.arbitration_id,
                "ext": m.is_extended_id,
                "rx": m.is_rx,
                "dlc": m.dlc,
                "data": bytes(m.data).hex(),
                "ch": m.channel,
                "remote": m.is_remote_frame,
                "error": m.is_error_frame,
                "fd": m.is_fd,
                "brs": m.bitrate_switch,
                "esi": m.error_state_indicator,
            }
        )
    print(json.dumps({"version": can.__version__, "frames": frames}))


def asc_frames(path):
    """The CAN frames of one of quarn's ASC traces, as python-can should read them from the BLF
    file: an FD object's DLC is its length, a classic object's DLC is the DLC itself."""
    frames = []
    base = None
    with open(path) as f:
        for line in f:
            t = line.split()
            if not t:
                continue
            if t[0] == "date":
                base = calendar.timegm(time.strptime(" ".join(t[1:]), "%a %b %d %H:%M:%S %Y"))
                continue
            try:
                offset = float(t[0])
            except ValueError:
                continue
            us = base * 1000000 + round(offset * 1e6)
            if t[-1] == "ErrorFrame":
                ch = int(t[2]) if t[1] == "CANFD" else int(t[1])
                frames.append({"us": us, "ch": ch - 1, "error": True})
                continue
            assert t[1] == "CANFD", line
            ch, rx, ident = int(t[2]), t[3] == "Rx", t[4]
            ext = ident.endswith("x")
            brs, esi, dlc, n = int(t[5]), int(t[6]), int(t[7], 16), int(t[8])
            data = "".join(t[9 : 9 + n]).lower()
            flags = int(t[9 + n + 2], 16)
            remote, edl = bool(flags & ASC_REMOTE), bool(flags & ASC_EDL)
            fd_object = edl or (not remote and (n > 8 or n != dlc))
            frames.append(
                {
                    "us": us,
                    "id": int(ident.rstrip("x"), 16),
                    "ext": ext,
                    "rx": rx,
                    "dlc": FD_LENGTHS[dlc] if fd_object else dlc,
                    "data": None if remote else data,
                    "ch": ch - 1,
                    "remote": remote,
                    "error": False,
                    "fd": edl,
                    "brs": bool(brs) if fd_object else False,
                    "esi": bool(esi) if fd_object else False,
                }
            )
    return frames


def compare(name, got, want, problems):
    if len(got) != len(want):
        problems.append(f"{name}: {len(got)} frames, want {len(want)}")
    for i, (g, w) in enumerate(zip(got, want)):
        for key, value in w.items():
            if key == "data" and value is None:
                continue
            if g[key] != value:
                problems.append(f"{name}: frame {i} {key}: got {g[key]!r}, want {value!r}")
                if len(problems) > 40:
                    return


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "--read":
        read_blf(sys.argv[2])
        return 0
    quarn, gen_log, shared, readers_build, work = sys.argv[1:6]
    logs = sys.argv[6:]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)

    # The python-cans to test: Debian's, and 4.4.2 when its setup works.
    readers = []
    env = dict(os.environ, TZ="UTC")
    env.pop("PYTHONPATH", None)
    if subprocess.run(["/usr/bin/python3", "-c", "import can"], env=env, capture_output=True).returncode == 0:
        readers.append(env)
    setup = os.path.join(shared, "mdf4", "readers", "setup.sh")
    if os.path.exists(setup):
        out = subprocess.run([setup, readers_build], capture_output=True, text=True)
        if out.returncode == 0:
            readers.append(dict(env, PYTHONPATH=out.stdout.strip()))
    if len(readers) < 2:
        print("blf_readers_check: python-can 4.1 or 4.4.2 is missing", file=sys.stderr)
        return 77

    inputs = []
    for i, log in enumerate(logs):
        target = os.path.join(work, f"given{i}_{os.path.basename(log)}")
        shutil.copyfile(log, target)
        inputs.append(target)
    made = [
        ["--time-format", str(tf), "--frames", "300", "--seed", str(tf)] for tf in range(1, 7)
    ] + [
        ["--crlf", "--frames", "200"],
        ["--frames", "1", "--seed", "9"],
        ["--frames", "30000", "--seed", "5", "--extended", "50"],
    ]
    for i, args in enumerate(made):
        target = os.path.join(work, f"made{i}.txt")
        with open(target, "wb") as f:
            subprocess.run([gen_log] + args + ["-o", "-"], stdout=f, check=True)
        inputs.append(target)

    problems = []
    versions = set()
    for path in inputs:
        r = subprocess.run([quarn, "--non-interactive", "-F", "asc,blf", path], capture_output=True, text=True)
        if r.returncode != 0:
            problems.append(f"{path}: quarn exited with {r.returncode}: {r.stderr.strip()}")
            continue
        stem = os.path.splitext(path)[0]
        want = asc_frames(stem + ".asc")
        for reader_env in readers:
            out = subprocess.run(
                ["/usr/bin/python3", __file__, "--read", stem + ".blf"], env=reader_env, capture_output=True, text=True
            )
            if out.returncode != 0:
                problems.append(f"{stem}.blf: the reader failed: {out.stderr.strip()[-400:]}")
                continue
            got = json.loads(out.stdout)
            versions.add(got["version"])
            compare(f"{stem}.blf (python-can {got['version']})", got["frames"], want, problems)
    if versions != {"4.1.0", "4.4.2"}:
        problems.append(f"python-can versions read: {sorted(versions)}")
    for p in problems[:60]:
        print(p)
    print(f"blf_readers_check: {len(inputs)} logs, python-can {', '.join(sorted(versions))}: "
          + ("ok" if not problems else f"{len(problems)} problems"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
