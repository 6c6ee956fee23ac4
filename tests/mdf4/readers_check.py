#!/usr/bin/python3
"""Reads MDF4 files that quarn's writer made with two independent readers, python-can 4.4.2's
MF4Reader and asammdf 7.4.2, and checks that both find exactly the frames listed in the JSON file
beside each (X.mf4 and X.json, written by mdf4_readers_files): time to the microsecond,
identifier, extended flag, direction, DLC, data, channel, remote and error frames, the FD flags
(of error frames too, and their error type as asammdf reads it);
asammdf also the LIN group and the groups' names and sources, and, where the JSON file gives them,
the header comment's description and properties and the CAN source's name.

    readers_check.py SHARED_DIR READERS_BUILD_DIR FILE.mf4...

SHARED_DIR/mdf4/readers/setup.sh makes the readers importable (it installs the Debian packages
they need when missing). Exits 0 when every file reads as listed, 1 otherwise.
"""

import json
import os
import subprocess
import sys
import xml.etree.ElementTree as ET

FD_LENGTHS = [0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64]
GROUPS = ["CAN_DataFrame", "CAN_ErrorFrame", "CAN_RemoteFrame", "LIN_Frame"]
KIND_GROUP = {"data": 0, "error": 1, "remote": 2, "lin": 3}


class Checker:
    def __init__(self, name):
        self.name = name
        self.problems = []

    def expect(self, what, got, want):
        if got != want and len(self.problems) < 20:
            self.problems.append(f"{self.name}: {what}: got {got!r}, want {want!r}")


def micros(seconds):
    return round(seconds * 1e6)


def check_python_can(path, frames, c):
    from can.io.mf4 import MF4Reader

    # MF4Reader merges groups 0 to 2 by time, the lower group first at equal times, and keeps
    # each group's own order.
    want = sorted((f for f in frames if f["kind"] != "lin"), key=lambda f: (f["us"], KIND_GROUP[f["kind"]]))
    got = list(MF4Reader(path))
    c.expect("python-can frame count", len(got), len(want))
    for i, (m, f) in enumerate(zip(got, want)):
        at = f"python-can frame {i}"
        c.expect(at + " time", micros(m.timestamp), f["us"])
        c.expect(at + " id", m.arbitration_id, f["id"])
        c.expect(at + " channel", m.channel, f["ch"])
        c.expect(at + " error", m.is_error_frame, f["kind"] == "error")
        c.expect(at + " remote", m.is_remote_frame, f["kind"] == "remote")
        c.expect(at + " extended", m.is_extended_id, f["ext"] == 1)
        c.expect(at + " rx", m.is_rx, f["dir"] == 0)
        fd = f["kind"] != "remote" and f["edl"] == 1
        c.expect(at + " fd", m.is_fd, fd)
        c.expect(at + " dlc", m.dlc, FD_LENGTHS[f["dlc"]] if fd else f["dlc"])
        c.expect(at + " data", bytes(m.data).hex(), f["data"])
        if fd:
            c.expect(at + " brs", m.bitrate_switch, f["brs"] == 1)
            c.expect(at + " esi", m.error_state_indicator, f["esi"] == 1)


def check_header(mdf, expected, c):
    """The header comment as asammdf shows it, parsed back: its description and its properties in
    order; and the CAN source's name and path."""
    if "description" in expected:
        comment = ET.fromstring(mdf.header.comment)
        c.expect("asammdf header description", comment.findtext("TX"), expected["description"])
        got = [[e.get("name"), e.text or ""] for e in comment.iter("e")]
        c.expect("asammdf header properties", got, expected["properties"])
    if "can_source" in expected:
        for g in range(3):
            source = mdf.groups[g].channel_group.acq_source
            c.expect("asammdf source name of group %d" % g, source.name, expected["can_source"])
            c.expect("asammdf source path of group %d" % g, source.path, "quarn")


def check_asammdf(path, frames, c, expected=None):
    from asammdf import MDF

    mdf = MDF(path)
    try:
        check_header(mdf, expected or {}, c)
        c.expect("asammdf version", mdf.version, "4.10")
        start = mdf.header.start_time.timestamp()
        with_lin = any(f["kind"] == "lin" for f in frames)
        c.expect("asammdf groups", len(mdf.groups), 4 if with_lin else 3)
        for g, name in enumerate(GROUPS[: len(mdf.groups)]):
            at = f"asammdf {name}"
            group = mdf.groups[g]
            c.expect(at + " composed channel", group.channels[1].name, name)
            c.expect(at + " acquisition name", group.channel_group.acq_name, "LIN" if g == 3 else "CAN")
            c.expect(at + " bus type", group.channel_group.acq_source.bus_type, 3 if g == 3 else 2)
            want = [f for f in frames if KIND_GROUP[f["kind"]] == g]
            signal = mdf.get(name, group=g, raw=True)
            got = signal.samples
            c.expect(at + " records", len(got), len(want))
            for i, f in enumerate(want[: len(got)]):
                rec = got[i]
                field = lambda member: rec[f"{name}.{member}"]
                where = f"{at} record {i}"
                c.expect(where + " time", micros(start + float(signal.timestamps[i])), f["us"])
                c.expect(where + " id", int(field("ID")), f["id"])
                c.expect(where + " channel", int(field("BusChannel")), f["ch"])
                if g == 3:
                    n = int(field("DataLength"))
                    c.expect(where + " data", bytes(field("DataBytes")[:n]).hex(), f["data"])
                    c.expect(where + " dir", int(field("Dir")), f["dir"])
                    c.expect(where + " received count", int(field("ReceivedDataByteCount")), f["rdbc"])
                    continue
                c.expect(where + " extended", int(field("IDE")), f["ext"])
                c.expect(where + " dir", int(field("Dir")), f["dir"])
                c.expect(where + " dlc", int(field("DLC")), f["dlc"])
                if g == 1:
                    c.expect(where + " error type", int(field("ErrorType")), f["type"])
                if g != 2:
                    n = int(field("DataLength"))
                    c.expect(where + " data", bytes(field("DataBytes")[:n]).hex(), f["data"])
                    for flag in ("EDL", "BRS", "ESI"):
                        c.expect(where + " " + flag, int(field(flag)), f[flag.lower()])
    finally:
        mdf.close()


def main():
    if len(sys.argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    shared, build, files = sys.argv[1], sys.argv[2], sys.argv[3:]
    shared = os.environ.get("QUARN_SHARED") or shared
    setup = os.path.join(shared, "mdf4", "readers", "setup.sh")
    if not os.path.exists(setup):
        print(f"readers_check: {setup} is missing (set QUARN_SHARED)", file=sys.stderr)
        return 1
    readers = subprocess.run([setup, build], check=True, stdout=subprocess.PIPE, text=True).stdout.strip()
    sys.path.insert(0, readers)
    failed = False
    for path in files:
        with open(os.path.splitext(path)[0] + ".json", encoding="utf-8") as f:
            expected = json.load(f)
        frames = expected["frames"]
        c = Checker(os.path.basename(path))
        check_python_can(path, frames, c)
        check_asammdf(path, frames, c, expected)
        if c.problems:
            failed = True
            print("\n".join(c.problems))
        else:
            print(f"{c.name}: {len(frames)} frames read alike by python-can and asammdf")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
