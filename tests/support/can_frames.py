"""python-can's reading of a trace quarn wrote, frame by frame against its reading of the log the
trace came from: shared by the checks that convert python-can's own MDF4 and BLF logs."""

import os


def compare_frames(log_frames, trace, channel_shift, problems):
    """Appends to `problems` (at most 30) where python-can's ASC reader finds in `trace` other
    frames than `log_frames`, its reading of the log. Its ASC reader takes every CANFD line for an
    FD frame and a frame of data length 0 for a remote frame, and counts channels from 0: one
    less than the log reader's by `channel_shift`. An error frame's line holds its time and
    channel (and in the CAN FD form its direction) only."""
    import can

    want = log_frames
    got = list(can.ASCReader(trace))
    name = os.path.relpath(trace)
    if len(got) != len(want):
        problems.append(f"{name}: {len(got)} frames, want {len(want)}")
        return
    base = int(want[0].timestamp)
    for i, (g, w) in enumerate(zip(got, want)):
        def expect(what, a, b):
            if a != b and len(problems) < 30:
                problems.append(f"{name} frame {i} {what}: got {a!r}, want {b!r}")

        expect("time", round(g.timestamp * 1e6), round((w.timestamp - base) * 1e6))
        expect("error", g.is_error_frame, w.is_error_frame)
        expect("channel", g.channel, w.channel - channel_shift)
        if w.is_error_frame:
            expect("fd", g.is_fd, w.is_fd)
            if w.is_fd:
                expect("rx", g.is_rx, w.is_rx)
            continue
        expect("id", g.arbitration_id, w.arbitration_id)
        expect("extended", g.is_extended_id, w.is_extended_id)
        expect("rx", g.is_rx, w.is_rx)
        if w.is_remote_frame or len(w.data) == 0:
            expect("remote or empty", g.is_remote_frame or len(g.data) == 0, True)
            if w.is_remote_frame:
                expect("remote", g.is_remote_frame, True)
            if w.is_remote_frame or not w.is_fd:
                expect("dlc", g.dlc, w.dlc)
            continue
        expect("remote", g.is_remote_frame, False)
        expect("data", bytes(g.data), bytes(w.data))
        if w.is_fd:
            expect("fd", g.is_fd, True)
            expect("brs", g.bitrate_switch, w.bitrate_switch)
            expect("esi", g.error_state_indicator, w.error_state_indicator)
