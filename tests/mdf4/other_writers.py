#!/usr/bin/python3
"""Makes MDF4 files with the writers of asammdf 7.4.2 and python-can 4.4.2 from files and frames
that mdf4_file_kinds_test wrote, and checks with asammdf that the test's logger-style files hold
the frames listed beside them, so that the test's reader runs are over files other software
wrote or reads alike.

    other_writers.py SHARED_DIR READERS_BUILD_DIR DIR

DIR holds quarn.mf4 (quarn's writer), its frames quarn.json (the JSON of frames_json), later.mf4
(frames after those) and request.json: {"cut": [START, STOP], "check": [FILE.mf4, ...]}, START
and STOP in seconds after quarn.mf4's start time, each FILE with FILE.json beside it. Writes into
DIR:

    save0.mf4 save1.mf4 save2.mf4  quarn.mf4 saved by asammdf with compression 0, 1 and 2
    cut.mf4                        asammdf's cut from START to STOP, without interpolated ends
    concatenate.mf4                asammdf's concatenate of quarn.mf4 and later.mf4
    filter_all.mf4                 asammdf's filter keeping every CAN_DataFrame member
    filter_lacking.mf4             asammdf's filter keeping only CAN_DataFrame.ID, .BusChannel, .DataBytes
    columns.mf4                    the three CAN groups appended to an MDF of version 4.20
    python_can.mf4                 python-can's MF4Writer given the CAN frames of quarn.json

Exits 0 when every file was written and every checked file reads as listed, 1 otherwise.
"""

import json
import os
import subprocess
import sys

KINDS = {"CAN_DataFrame": "data", "CAN_RemoteFrame": "remote", "CAN_ErrorFrame": "error", "LIN_Frame": "lin"}


def make_files(folder, cut):
    from asammdf import MDF

    quarn = os.path.join(folder, "quarn.mf4")
    out = lambda name: os.path.join(folder, name)
    mdf = MDF(quarn)
    for compression in (0, 1, 2):
        mdf.save(out(f"save{compression}.mf4"), compression=compression, overwrite=True)
    mdf.cut(start=cut[0], stop=cut[1], whence=0, include_ends=False).save(out("cut.mf4"), overwrite=True)
    MDF.concatenate([quarn, out("later.mf4")]).save(out("concatenate.mf4"), overwrite=True)
    members = [ch.name for ch in mdf.groups[0].channels if ch.name.startswith("CAN_DataFrame.")]
    mdf.filter(members).save(out("filter_all.mf4"), overwrite=True)
    lacking = ["CAN_DataFrame.ID", "CAN_DataFrame.BusChannel", "CAN_DataFrame.DataBytes"]
    mdf.filter(lacking).save(out("filter_lacking.mf4"), overwrite=True)
    columns = MDF(version="4.20")
    for index, name in enumerate(["CAN_DataFrame", "CAN_ErrorFrame", "CAN_RemoteFrame"]):
        columns.append(mdf.get(name, group=index, raw=True))
    columns.save(out("columns.mf4"), overwrite=True)
    mdf.close()


def write_python_can(folder):
    import can
    from can.io.mf4 import MF4Writer

    with open(os.path.join(folder, "quarn.json")) as f:
        frames = json.load(f)["frames"]
    writer = MF4Writer(os.path.join(folder, "python_can.mf4"))
    for f in frames:
        if f["kind"] == "lin":
            continue
        t = f["us"] / 1e6
        data = bytes.fromhex(f["data"])
        fd = f["kind"] != "remote" and f["edl"] == 1
        writer.on_message_received(can.Message(
            timestamp=t, arbitration_id=f["id"], is_extended_id=f["ext"] == 1, channel=f["ch"],
            is_error_frame=f["kind"] == "error",
            is_rx=f["dir"] == 0, is_remote_frame=f["kind"] == "remote", is_fd=fd,
            bitrate_switch=fd and f["brs"] == 1, error_state_indicator=fd and f["esi"] == 1,
            dlc=len(data) if fd else f["dlc"], data=data, check=False))
    writer.stop()


def check_file(path):
    """The frames asammdf finds in `path`, group by group, against those listed beside it."""
    from asammdf import MDF

    with open(os.path.splitext(path)[0] + ".json") as f:
        frames = json.load(f)["frames"]
    problems = []
    mdf = MDF(path)
    try:
        start = mdf.header.start_time.timestamp()
        for index, group in enumerate(mdf.groups):
            names = [ch.name for ch in group.channels]
            prefix = next((n.split(".")[0] for n in names if n.split(".")[0] in KINDS), None)
            if prefix is None:
                continue
            kind = KINDS[prefix]
            want = [f for f in frames if f["kind"] == kind]

            def column(member):
                for name in (prefix + "." + member, member):
                    if name in names:
                        return mdf.get(name, group=index, raw=True)
                return None

            ids = column("ID")
            if len(ids.timestamps) != len(want):
                problems.append(f"{kind}: {len(ids.timestamps)} records, want {len(want)}")
                continue
            fields = {m: column(m) for m in ("BusChannel", "IDE", "DLC", "DataLength", "DataBytes", "Dir", "EDL",
                                             "BRS", "ESI", "ReceivedDataByteCount")}
            # Error groups that keep their channel and identifier alone are checked for those.
            whole = kind != "error" or all(fields[m] is not None for m in ("DataLength", "DataBytes", "IDE", "DLC",
                                                                          "Dir", "EDL", "BRS", "ESI"))
            for i, f in enumerate(want):
                got = {"us": round((start + float(ids.timestamps[i])) * 1e6), "id": int(ids.samples[i]),
                       "ch": int(fields["BusChannel"].samples[i])}
                if whole and kind in ("data", "lin", "error"):
                    n = int(fields["DataLength"].samples[i])
                    got["data"] = bytes(fields["DataBytes"].samples[i])[:n].hex()
                if whole and kind in ("data", "remote", "error"):
                    got.update(ext=int(fields["IDE"].samples[i]), dlc=int(fields["DLC"].samples[i]),
                               dir=int(fields["Dir"].samples[i]))
                if whole and kind in ("data", "error"):
                    got.update({k.lower(): int(fields[k].samples[i]) for k in ("EDL", "BRS", "ESI")})
                if kind == "lin":
                    got.update(dir=int(fields["Dir"].samples[i]), rdbc=int(fields["ReceivedDataByteCount"].samples[i]))
                for key, value in got.items():
                    if value != f[key] and len(problems) < 20:
                        problems.append(f"{kind} frame {i} {key}: got {value!r}, want {f[key]!r}")
    finally:
        mdf.close()
    return problems


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    shared, build, folder = sys.argv[1:]
    shared = os.environ.get("QUARN_SHARED") or shared
    setup = os.path.join(shared, "mdf4", "readers", "setup.sh")
    if not os.path.exists(setup):
        print(f"other_writers: {setup} is missing (set QUARN_SHARED)", file=sys.stderr)
        return 1
    sys.path.insert(0, subprocess.run([setup, build], check=True, stdout=subprocess.PIPE, text=True).stdout.strip())
    with open(os.path.join(folder, "request.json")) as f:
        request = json.load(f)
    make_files(folder, request["cut"])
    write_python_can(folder)
    failed = False
    for name in request["check"]:
        problems = check_file(os.path.join(folder, name))
        if problems:
            failed = True
            print(f"{name}: asammdf reads otherwise:\n  " + "\n  ".join(problems))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
