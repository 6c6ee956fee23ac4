#!/usr/bin/env python3
"""Times quarn against the I/O floor and another converter on the same frames.

Run through scripts/bench, which builds the release binaries first. Every measurement is a whole
process (wall time and peak resident set), repeated in interleaved rounds so that the machine's
noise falls on all of them alike; the median of each is reported. The main figures are taken on
tmpfs (/dev/shm), where the disk does not blur them, and repeated on the work folder's own file
system beside them.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time


def run(cmd, stdout=None, shell=False):
    """Runs cmd; returns (seconds, peak RSS in KiB). Fails loudly on a non-zero status.

    The peak comes from /usr/bin/time, which forks the command itself: a child forked straight
    from this Python process would count Python's own memory in its peak (Linux keeps the peak
    across exec).
    """
    # What earlier runs left for the disk to write must not land on this one.
    os.sync()
    out = open(stdout, "wb") if stdout else subprocess.DEVNULL
    full = ["/usr/bin/time", "-f", "quarn-bench-peak %M"] + (["bash", "-c", cmd] if shell else cmd)
    try:
        start = time.perf_counter()
        proc = subprocess.run(full, stdout=out, stdin=subprocess.DEVNULL, stderr=subprocess.PIPE)
        elapsed = time.perf_counter() - start
    finally:
        if stdout:
            out.close()
    err = proc.stderr.decode(errors="replace")
    if proc.returncode != 0:
        sys.exit("bench: %s failed with %d\n%s" % (cmd if shell else " ".join(cmd), proc.returncode, err))
    peak = [line for line in err.splitlines() if line.startswith("quarn-bench-peak ")]
    return elapsed, int(peak[-1].split()[1]) if peak else 0


def remove(path):
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.exists(path):
        os.remove(path)


def discard(path, trash):
    """Moves what a run wrote out of the way. Deleting it at once would make the next run pay:
    the file system avoids reusing just-freed inodes and searches longer for each new file."""
    if os.path.exists(path):
        os.makedirs(trash, exist_ok=True)
        os.rename(path, os.path.join(trash, "%d" % len(os.listdir(trash))))


def gen(args, frames, seed, path, candump=None):
    cmd = [args.gen_log, "--frames", str(frames), "--seed", str(seed), "--ids", "400", "--gap-us", "300",
           "--time-format", "3", "-o", path]
    if candump:
        cmd += ["--candump", candump]
    subprocess.check_call(cmd)


def generate(args, work, big):
    """The inputs, made once per set of parameters and kept in the work folder."""
    stamp = "%d %d %d %d %d %d %d v2" % (args.frames, args.big_frames if big else 0, args.small_files,
                                         args.small_frames, args.mid_files, args.mid_frames, big)
    stamp_path = os.path.join(work, "inputs.stamp")
    if os.path.exists(stamp_path) and open(stamp_path).read() == stamp:
        return
    remove(work)
    print("bench: generating the inputs in %s ..." % work, file=sys.stderr)
    os.makedirs(os.path.join(work, "large"))
    gen(args, args.frames, 1, os.path.join(work, "large", "log.txt"), os.path.join(work, "large", "log.candump"))
    if big and args.big_frames > 0:
        os.makedirs(os.path.join(work, "big"))
        gen(args, args.big_frames, 2, os.path.join(work, "big", "log.txt"))
    # Many small logs and a few middling ones, each set in two folders of half, so that two
    # processes can take a folder each.
    for name, files, frames, seed in (("small", args.small_files, args.small_frames, 1000),
                                      ("mid", args.mid_files, args.mid_frames, 500)):
        for half in ("a", "b"):
            os.makedirs(os.path.join(work, name, "logs", half))
        for i in range(files):
            half = "a" if i < files // 2 else "b"
            gen(args, frames, seed + i, os.path.join(work, name, "logs", half, "log%05d.txt" % i))
    open(stamp_path, "w").write(stamp)


LOGCONVERT_FRAMES = 50000


def readers_path(args):
    """The PYTHONPATH of the shared copies of asammdf and python-can, or None when they cannot be set
    up (the rows that need them are left out then)."""
    setup = os.path.join(args.shared, "mdf4", "readers", "setup.sh")
    if not os.path.exists(setup):
        return None
    try:
        return subprocess.run([setup, os.path.abspath(args.work) + "-readers"], check=True, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True).stdout.strip()
    except (subprocess.CalledProcessError, OSError):
        print("bench: the shared MDF4 readers could not be set up; their rows are left out", file=sys.stderr)
        return None


def mf4_inputs(args, work, readers):
    """The large log's frames as MDF4 logs: quarn's own uncompressed file, quarn's default one
    (transposed and deflated), and asammdf's save(compression=2) of the first when the readers
    are there (else None)."""
    folder = os.path.join(work, "mf4in")
    remove(folder)
    os.makedirs(folder)
    subprocess.check_call([args.quarn, "--verbosity", "0", "--format", "mf4", "--mf4-compression", "none", "-X",
                           "-O", folder, os.path.join(work, "large", "log.txt")])
    plain = os.path.join(folder, "plain.mf4")
    os.rename(os.path.join(folder, "log.mf4"), plain)
    subprocess.check_call([args.quarn, "--verbosity", "0", "--format", "mf4", "-X", "-O", folder,
                           os.path.join(work, "large", "log.txt")])
    default = os.path.join(folder, "default.mf4")
    os.rename(os.path.join(folder, "log.mf4"), default)
    # python-can takes some twenty minutes over the large log: it and quarn are compared on a
    # smaller one, by frames per second.
    gen(args, LOGCONVERT_FRAMES, 4, os.path.join(folder, "small.txt"))
    subprocess.check_call([args.quarn, "--verbosity", "0", "--format", "mf4", "--mf4-compression", "none", "-X",
                           "-O", folder, os.path.join(folder, "small.txt")])
    saved = None
    if readers:
        saved = os.path.join(folder, "asammdf.mf4")
        script = "import sys\nfrom asammdf import MDF\nMDF(sys.argv[1]).save(sys.argv[2], compression=2, overwrite=True)\n"
        subprocess.run(["/usr/bin/python3", "-c", script, plain, saved], check=True,
                       env=dict(os.environ, PYTHONPATH=readers), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return plain, default, saved


def mf4_sizes(args, work, plain=None, saved=None):
    """The sizes of the large log's MDF4 file for each compression, of asammdf's compressed save of
    the same frames when the shared readers can be set up, and of a 1000-frame log's file, default
    and uncompressed. `plain` and `saved`, when given, are the uncompressed file and asammdf's save
    that mf4_inputs made already: the 1M-frame files are made once."""
    out = os.path.join(work, "sizes")
    remove(out)
    os.makedirs(out)
    log = os.path.join(work, "large", "log.txt")
    small = os.path.join(out, "small.txt")
    gen(args, 1000, 3, small)
    sizes = {}

    def mf4_of(source, compression, name):
        dest = os.path.join(out, name)
        os.makedirs(dest)
        subprocess.check_call([args.quarn, "--verbosity", "0", "--format", "mf4", "--mf4-compression", compression,
                               "-X", "-O", dest, source])
        return os.path.join(dest, os.path.splitext(os.path.basename(source))[0] + ".mf4")

    if not plain:
        plain = mf4_of(log, "none", "none")
    sizes["none"] = os.path.getsize(plain)
    for compression in ("deflate", "transposed"):
        sizes[compression] = os.path.getsize(mf4_of(log, compression, compression))
    sizes["small"] = os.path.getsize(mf4_of(small, "transposed", "small"))
    sizes["small_none"] = os.path.getsize(mf4_of(small, "none", "small_none"))
    readers = None if saved else readers_path(args)
    if saved:
        sizes["asammdf"] = os.path.getsize(saved)
    elif readers:
        try:
            saved = os.path.join(out, "asammdf.mf4")
            script = ("import sys\nfrom asammdf import MDF\nMDF(sys.argv[1]).save(sys.argv[2], compression=2, "
                      "overwrite=True)\n")
            subprocess.run(["/usr/bin/python3", "-c", script, plain, saved], check=True,
                           env=dict(os.environ, PYTHONPATH=readers), stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            sizes["asammdf"] = os.path.getsize(saved)
        except (subprocess.CalledProcessError, OSError):
            print("bench: asammdf could not be set up; its size is left out", file=sys.stderr)
    remove(out)
    return sizes


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--quarn", required=True)
    p.add_argument("--gen-log", required=True)
    p.add_argument("--work", default="build/bench", help="inputs and outputs on the disk's file system")
    p.add_argument("--tmpfs", default="/dev/shm/quarn-bench", help="the same on tmpfs")
    p.add_argument("--frames", type=int, default=1000000)
    p.add_argument("--big-frames", type=int, default=20000000, help="0 leaves out the memory row of a big log")
    p.add_argument("--small-files", type=int, default=10000)
    p.add_argument("--small-frames", type=int, default=100)
    p.add_argument("--mid-files", type=int, default=32)
    p.add_argument("--mid-frames", type=int, default=200000)
    p.add_argument("--runs", type=int, default=5)
    p.add_argument("--shared", default=os.environ.get("QUARN_SHARED") or os.path.join(os.path.dirname(
        os.path.dirname(os.path.abspath(__file__))), "..", "shared"),
        help="the shared reference folder, for asammdf's size of the same frames (left out when missing)")
    args = p.parse_args()
    args.quarn = os.path.abspath(args.quarn)
    args.gen_log = os.path.abspath(args.gen_log)
    help_text = subprocess.run([args.quarn, "--help"], stdout=subprocess.PIPE).stdout.decode()
    has_formats = "--format" in help_text
    has_jobs = "--jobs" in help_text
    has_input_formats = "--input-format" in help_text
    has_blf = "blf" in help_text
    log2asc = shutil.which("log2asc")

    places = [("tmpfs", os.path.abspath(args.tmpfs)), ("disk", os.path.abspath(args.work))]
    plain = saved = None  # the large log's MDF4 inputs, once made
    for i, (_, work) in enumerate(places):
        generate(args, work, big=i == 0)  # the big log's memory is measured once, on tmpfs
    q = args.quarn
    quiet = [q, "--verbosity", "0"]
    measures = []  # (key, label, frames, function)
    labels = {}
    once = []  # (key, label, function): too slow for rounds, measured one time

    def measure(key, label, frames, fn):
        measures.append((key, fn))
        labels[key] = (label, frames)

    small_frames = args.small_files * args.small_frames
    mid_frames = args.mid_files * args.mid_frames
    for place, work in places:
        large = os.path.join(work, "large")
        log = os.path.join(large, "log.txt")
        trace = os.path.join(large, "log.asc")
        ref = os.path.join(large, "ref.asc")
        floor_out = os.path.join(large, "floor.asc")
        small = os.path.join(work, "small", "logs")
        mid = os.path.join(work, "mid", "logs")
        trash = os.path.join(work, "trash")
        remove(trash)
        # Warm the page cache; keep a trace to copy for the floor.
        run(["cat", log], stdout="/dev/null")
        remove(trace)
        run(quiet + [log])
        os.replace(trace, ref)

        def one_log(fmt=None, log=log, large=large):
            for ext in (".asc", ".mf4", ".blf"):
                remove(os.path.join(large, "log" + ext))
            return run(quiet + (["--format", fmt] if fmt else []) + [log])

        measure(place + ":quarn", "quarn, one log of %d frames (%s)" % (args.frames, place), args.frames, one_log)

        def floor(log=log, ref=ref, out=floor_out):
            remove(out)
            t = run("cat %s >/dev/null; dd if=%s of=%s bs=1M status=none" % (log, ref, out), shell=True)
            remove(out)
            return t

        measure(place + ":floor", "I/O floor: cat log; dd bs=1M of its trace (%s)" % place, args.frames, floor)
        if has_formats:
            measure(place + ":mf4", "quarn --format mf4, the same log (%s)" % place, args.frames,
                    lambda f=one_log: f("mf4"))
            measure(place + ":both", "quarn --format asc,mf4, the same log (%s)" % place, args.frames,
                    lambda f=one_log: f("asc,mf4"))
        if has_blf:
            measure(place + ":blf", "quarn --format blf, the same log (%s)" % place, args.frames,
                    lambda f=one_log: f("blf"))
            measure(place + ":ascblf", "quarn --format asc,blf, the same log (%s)" % place, args.frames,
                    lambda f=one_log: f("asc,blf"))

        def folder_run(cmd, outs, shell=False, trash=trash):
            for out in outs:
                discard(out, trash)
            t = run(cmd, shell=shell)
            for out in outs:
                discard(out, trash)
            return t

        # Bound now: the lambdas below must use this place's function, not the last one defined.
        fr = folder_run

        for name, folder, frames, count in (("small", small, small_frames, args.small_files),
                                            ("mid", mid, mid_frames, args.mid_files)):
            # One input writes logs_out/{a,b}; the inputs a and b write a_out and b_out.
            out = [folder + "_out"]
            halves = [folder + "/a_out", folder + "/b_out"]
            parallel = "%s %s/a & %s %s/b; wait" % (" ".join(quiet), folder, " ".join(quiet), folder)
            what = "%d logs of %d frames" % (count, frames // count)
            measure("%s:%s" % (place, name), "quarn, %s (%s)" % (what, place), frames,
                    lambda c=quiet + [folder], o=out, fr=fr: fr(c, o))
            if has_jobs:
                measure("%s:%s_j2" % (place, name), "quarn --jobs 2, %s (%s)" % (what, place), frames,
                        lambda c=quiet + ["--jobs", "2", folder + "/a", folder + "/b"], o=halves, fr=fr: fr(c, o))
                measure("%s:%s_j0" % (place, name), "quarn --jobs 0, %s (%s)" % (what, place), frames,
                        lambda c=quiet + ["--jobs", "0", folder], o=out, fr=fr: fr(c, o))
            measure("%s:%s_pp" % (place, name), "two quarn processes, a folder each, %s (%s)" % (what, place), frames,
                    lambda c=parallel, o=halves, fr=fr: fr(c, o, shell=True))
        if place == "tmpfs" and has_input_formats:
            readers = readers_path(args)
            plain, default, saved = mf4_inputs(args, work, readers)
            mf4_in = [("mf4in", plain, "quarn's uncompressed MDF4 log"),
                      ("mf4in_default", default, "quarn's default .mf4 (transposed, deflated)")]
            if saved:
                mf4_in.append(("mf4in_asammdf", saved, "asammdf's save(compression=2) of it"))
            if has_blf:
                blf = os.path.join(os.path.dirname(default), "blf", "log.blf")
                os.makedirs(os.path.dirname(blf), exist_ok=True)
                if not os.path.exists(blf):
                    subprocess.check_call([args.quarn, "--verbosity", "0", "--format", "blf", "-X", "-O",
                                           os.path.dirname(blf), os.path.join(work, "large", "log.txt")])
                mf4_in.append(("blfin", blf, "quarn's BLF file"))
            for key, path, what in mf4_in:
                def convert_mf4(path=path):
                    remove(os.path.splitext(path)[0] + ".asc")
                    return run(quiet + [path])

                measure(key, "quarn, %s of the same frames, to ASC (tmpfs)" % what, args.frames, convert_mf4)
            if readers:
                small = os.path.join(os.path.dirname(plain), "small.mf4")

                def convert_small(path=small):
                    remove(os.path.splitext(path)[0] + ".asc")
                    return run(quiet + [path])

                measure("mf4in_small", "quarn, an uncompressed MDF4 log of %d frames, to ASC (tmpfs)" % LOGCONVERT_FRAMES,
                        LOGCONVERT_FRAMES, convert_small)

                def logconvert(path=small, readers=readers):
                    out = os.path.join(os.path.dirname(path), "logconvert.asc")
                    remove(out)
                    cmd = "PYTHONPATH=%s /usr/bin/python3 -m can.logconvert %s %s" % (readers, path, out)
                    t = run(cmd, shell=True)
                    remove(out)
                    return t

                once.append(("logconvert", "python-can logconvert, the same MDF4 log of %d frames to ASC (tmpfs)"
                             % LOGCONVERT_FRAMES, logconvert))
        if place == "tmpfs" and log2asc:
            candump = os.path.join(large, "log.candump")
            out = os.path.join(large, "log2asc.asc")

            def other(candump=candump, out=out):
                remove(out)
                t = run([log2asc, "-f", "-I", candump, "-O", out, "can0"])
                remove(out)
                return t

            measure("log2asc", "log2asc -f, the same frames from a candump log (tmpfs)", args.frames, other)

    results = {key: [] for key, _ in measures}
    for _ in range(args.runs):
        for key, fn in measures:
            results[key].append(fn())
        # What the round wrote goes now, outside the timings: on tmpfs it is memory.
        for _, work in places:
            remove(os.path.join(work, "trash"))

    once_results = {key: (label, fn()) for key, label, fn in once}

    # One run on the big log, for its peak memory: a 20,000,000-frame trace is 3 GB.
    big_peak = None
    if args.big_frames > 0:
        big = os.path.join(places[0][1], "big")
        _, big_peak = run(quiet + [os.path.join(big, "log.txt")])
        remove(os.path.join(big, "log.asc"))

    for _, work in places:
        remove(os.path.join(work, "trash"))

    sizes = mf4_sizes(args, places[0][1], plain, saved) if has_formats else None

    def med(key):
        rows = results[key]
        return statistics.median(r[0] for r in rows), statistics.median(r[1] for r in rows)

    print("quarn bench: %d runs each, medians; tmpfs is %s, disk is %s" % (args.runs, places[0][1], places[1][1]))
    print()
    print("| measurement | time | frames/s | peak memory |")
    print("|---|---:|---:|---:|")
    for key, _ in measures:
        label, frames = labels[key]
        t, rss = med(key)
        print("| %s | %.3f s | %.2f M | %.1f MiB |" % (label, t, frames / t / 1e6, rss / 1024))
    if big_peak is not None:
        print("| quarn, one log of %d frames (tmpfs) | | | %.1f MiB |" % (args.big_frames, big_peak / 1024))
    for key, (label, (t, rss)) in once_results.items():
        print("| %s, one run | %.3f s | %.2f M | %.1f MiB |" % (label, t, LOGCONVERT_FRAMES / t / 1e6, rss / 1024))
    print()

    def ratio(a, b):
        return med(a)[0] / med(b)[0]

    def round_ratio(a, b):
        """The median of each round's own ratio: the two ran in the same round, under the same load."""
        return statistics.median(x[0] / y[0] for x, y in zip(results[a], results[b]))

    print("| ratio | tmpfs | disk | target |")
    print("|---|---:|---:|---:|")
    print("| quarn / I/O floor (cat; dd bs=1M), time | %.2fx | %.2fx | at most 1.25x (tmpfs) |"
          % (ratio("tmpfs:quarn", "tmpfs:floor"), ratio("disk:quarn", "disk:floor")))
    if log2asc:
        print("| quarn / log2asc -f, frames per second (medians' ratio) | %.1fx | | at least 10x |"
              % ratio("log2asc", "tmpfs:quarn"))
        print("| quarn / log2asc -f, frames per second (median of the rounds' ratios) | %.1fx | | at least 10x |"
              % round_ratio("log2asc", "tmpfs:quarn"))
    print("| peak memory, %d frames | %.1f MiB | %.1f MiB | at most 16 MiB |"
          % (args.frames, med("tmpfs:quarn")[1] / 1024, med("disk:quarn")[1] / 1024))
    if big_peak is not None:
        print("| peak memory, %d frames | %.1f MiB | | at most 16 MiB |" % (args.big_frames, big_peak / 1024))
    if has_formats:
        print("| --format mf4 / --format asc, time | %.2fx | %.2fx | at most 1.2x (tmpfs) |"
              % (ratio("tmpfs:mf4", "tmpfs:quarn"), ratio("disk:mf4", "disk:quarn")))
        print("| --format asc,mf4 / --format asc, time | %.2fx | %.2fx | at most 1.25x (tmpfs) |"
              % (ratio("tmpfs:both", "tmpfs:quarn"), ratio("disk:both", "disk:quarn")))
        if has_blf:
            print("| --format blf / --format asc, time | %.2fx | %.2fx | at most 1.0x (tmpfs) |"
                  % (ratio("tmpfs:blf", "tmpfs:quarn"), ratio("disk:blf", "disk:quarn")))
            print("| --format asc,blf / --format asc, time | %.2fx | %.2fx | at most 1.4x (tmpfs) |"
                  % (ratio("tmpfs:ascblf", "tmpfs:quarn"), ratio("disk:ascblf", "disk:quarn")))
        for place in ("tmpfs", "disk"):
            both = med(place + ":both")[0]
            apart = med(place + ":quarn")[0] + med(place + ":mf4")[0]
            print("| --format asc,mf4 / (asc + mf4 apart), %s | %.2fx | | below 1x |" % (place, both / apart))
    if "mf4in" in results:
        print("| MDF4 log (quarn's, uncompressed) to ASC / text log to ASC, time | %.2fx | | at most 1.2x |"
              % ratio("mf4in", "tmpfs:quarn"))
        if "blfin" in results:
            print("| BLF log (quarn's) to ASC / text log to ASC, time | %.2fx | | at most 1.3x |"
                  % ratio("blfin", "tmpfs:quarn"))
        if "mf4in_default" in results:
            print("| MDF4 log (quarn's default .mf4) to ASC / text log to ASC, time | %.2fx | | at most 1.2x |"
                  % ratio("mf4in_default", "tmpfs:quarn"))
        if "mf4in_asammdf" in results:
            print("| MDF4 log (asammdf compression=2) to ASC / text log to ASC, time | %.2fx | | at most 2x |"
                  % ratio("mf4in_asammdf", "tmpfs:quarn"))
        if "logconvert" in once_results:
            print("| python-can logconvert / quarn, an MDF4 log of %d frames to ASC, time | %.0fx | | at least 20x |"
                  % (LOGCONVERT_FRAMES, once_results["logconvert"][1][0] / med("mf4in_small")[0]))
        peaks = [med(k)[1] / 1024 for k in ("mf4in", "mf4in_default", "mf4in_asammdf") if k in results]
        print("| peak memory, MDF4 logs of %d frames to ASC | %s MiB | | at most 16 MiB |"
              % (args.frames, " / ".join("%.1f" % p for p in peaks)))
    if sizes:
        print()
        print("| MDF4 file of %d frames | bytes | bytes a frame | target |" % args.frames)
        print("|---|---:|---:|---:|")
        print("| --mf4-compression none | %d | %.2f | |" % (sizes["none"], sizes["none"] / args.frames))
        print("| --mf4-compression deflate | %d | %.2f | |" % (sizes["deflate"], sizes["deflate"] / args.frames))
        print("| --mf4-compression transposed (the default) | %d | %.2f | at most 11 |"
              % (sizes["transposed"], sizes["transposed"] / args.frames))
        if sizes.get("asammdf"):
            print("| asammdf 7.4.2 save(compression=2) of the same frames | %d | %.2f | |"
                  % (sizes["asammdf"], sizes["asammdf"] / args.frames))
            print("| the default / asammdf's | %.3fx | | at most 1x |" % (sizes["transposed"] / sizes["asammdf"]))
        print("| 1000 frames: the default / none | %d / %d | | at most 1x |" % (sizes["small"], sizes["small_none"]))
        print()

    print("| many small logs / one large log, frames per second | %.2fx | %.2fx | |"
          % (ratio("tmpfs:quarn", "tmpfs:small") * small_frames / args.frames,
             ratio("disk:quarn", "disk:small") * small_frames / args.frames))
    if has_jobs:
        for name in ("small", "mid"):
            print("| %s: --jobs 2 / two processes, time | %.2fx | %.2fx | at most 1.1x (tmpfs) |"
                  % (name, ratio("tmpfs:%s_j2" % name, "tmpfs:%s_pp" % name),
                     ratio("disk:%s_j2" % name, "disk:%s_pp" % name)))
            print("| %s: --jobs 1 / two processes, time | %.2fx | %.2fx | |"
                  % (name, ratio("tmpfs:%s" % name, "tmpfs:%s_pp" % name), ratio("disk:%s" % name, "disk:%s_pp" % name)))


if __name__ == "__main__":
    main()
