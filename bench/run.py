#!/usr/bin/env python3
"""Times particion against shuf (what a user would pick instead) and
`cat LIST > COPY; sync COPY` (the input/output floor) on synthetic pixel lists
of 1, 10 and 30 million records.

Usage: bench/run.py [--build DIR] [--runs N] [--sizes 1000000,10000000,30000000]
                    [--baseline PROGRAM] [--no-shuf] [--cold] [--phases]
       bench/run.py --large [--free MIB] [--limit KIB] [--build DIR]
                    [--runs N] [--baseline PROGRAM]
       bench/run.py --starved MIB,MIB [--runs N]
       bench/run.py --top [--free MIB] [--limit KIB] [--build DIR] [--runs N]
                    [--baseline PROGRAM]

The lists are made with a fixed seed in bench/data/ and kept between runs.
Every tool reads the same file; runs alternate between the tools so that a
noisy machine slows them alike. Prints the median wall time and peak resident
memory of each, the spread (least and most), particion's peak against the
README's formula for the way it holds the list, and the ratios per pair of
runs (particion / cat+sync, shuf / particion, particion / baseline). --no-shuf
leaves shuf out (at 300 million records it would take most of an hour);
--cold drops the page cache before every run (root); --phases times the
steps of one more run (load, draw, filing, buckets, writing, sync, commit)
with the `phases` program built beside particion.

--large times a list larger than the memory left to it: 60 million records
of 13 bands and a label (3.8 GB), split 70/30, with memory held back by a
filled tmpfs so that only --free MiB (default 1536) stay available, and the
page cache dropped before every run; against `cat LIST > COPY; sync COPY`
under the same conditions. Needs root (mount, drop_caches); the tmpfs is
unmounted at the end, whatever happens.

--top times the top of the range: 2,147,483,647 records of one band and a
label (14.45 GB), split 70/30 of all, cold, against cat + sync, with all the
machine's memory unless --free is given. The list is made once (a block of
random records written again and again, about 20 s); the disk it needs is
checked first and said.

--starved 384,240 runs particion on a list of 80 million records (1 GB)
with only that many MiB left (a filled tmpfs), below what it needs held
either way: each run must end at once with "No hay memoria suficiente",
exit status 1 and the earlier pair kept, never be killed by the system.

--limit KIB runs particion under an address-space limit (ulimit -v KIB) and,
beside it, once unlimited on the same clock second (through a small library
that fixes time() for both, built here), and checks that the two pairs are
byte for byte the same.
"""

import argparse
import contextlib
import os
import random
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")


# Past this many records a list repeats a block of this many random ones (with
# a running block number in its first value), so that 300 million records
# take a minute, not half an hour; the tool never looks inside a record.
REPEAT_FROM = 30000000
BLOCK = 1000000
TOP = 2147483647


def make_list(records, bands=3):
    """Header 4 (or 14), then `bands` band values and a class label a
    line."""
    name = "pixels-%d.txt" % records if bands == 3 else \
        "pixels-%dx%d.txt" % (records, bands)
    path = os.path.join(DATA, name)
    if os.path.exists(path):
        return path
    os.makedirs(DATA, exist_ok=True)
    rng = random.Random(records)
    # Build from a table of the values so ten million lines take seconds.
    values = ["%d" % v for v in range(4096 if bands > 3 else 256)]
    bits = 12 if bands > 3 else 8
    line = " ".join(["%s"] * bands) + " %d\n"

    def lines(n):
        return "".join(line % (tuple(values[rng.getrandbits(bits)]
                                     for _ in range(bands))
                               + (rng.randrange(10),))
                       for _ in range(n))
    with open(path + ".part", "w") as f:
        f.write("%d\n" % (bands + 1))
        if records <= REPEAT_FROM:
            for start in range(0, records, 100000):
                f.write(lines(min(100000, records - start)))
        else:
            block = lines(BLOCK)
            for start in range(0, records, BLOCK):
                n = min(BLOCK, records - start)
                text = block if n == BLOCK else "".join(
                    block.splitlines(True)[:n])
                f.write("%d " % (start // BLOCK) + text.replace(
                    "\n", "\n%d " % (start // BLOCK), n - 1))
    os.replace(path + ".part", path)
    return path


def make_top_list():
    """2,147,483,647 records of one band value and a label ("2266 5"), the
    shortest records a pixel list of real use has: a block of 65536 random
    ones written again and again, at the disk's speed."""
    path = os.path.join(DATA, "top.txt")
    if os.path.exists(path):
        return path
    rng = random.Random(TOP)
    lines = ["%d %d\n" % (rng.randrange(4096), rng.randrange(10))
             for _ in range(1 << 16)]
    block = "".join(lines).encode()
    os.makedirs(DATA, exist_ok=True)
    need = len(block) * (TOP >> 16) + (1 << 30)
    if shutil.disk_usage(DATA).free < need:
        sys.exit("the top of the range needs %.1f GB of disk for its list "
                 "in %s" % (need / 1e9, DATA))
    with open(path + ".part", "wb") as f:
        f.write(b"2\n")
        full, rest = divmod(TOP, 1 << 16)
        for _ in range(full):
            f.write(block)
        f.write("".join(lines[:rest]).encode())
    os.replace(path + ".part", path)
    return path


def timed(argv, stdin_bytes=b"", stdout_path=os.devnull, cwd=None,
          preexec_fn=None, env=None, outcome=None):
    """Runs argv; returns (wall seconds, peak resident MiB). A failure ends
    the benchmark, unless `outcome` (a list) is given: it then gets the exit
    status and standard error.

    GNU time measures the peak memory: a child forked from this Python
    process would count Python's own pages in its peak.
    """
    report = os.path.join(DATA, "time.out")
    start = time.perf_counter()
    with open(stdout_path, "wb") as out:
        done = subprocess.run(["/usr/bin/time", "-o", report, "-f", "%M"]
                              + argv, input=stdin_bytes, stdout=out,
                              stderr=subprocess.PIPE, cwd=cwd,
                              preexec_fn=preexec_fn, env=env)
    wall = time.perf_counter() - start
    if outcome is not None:
        outcome[:] = [done.returncode, done.stderr]
    elif done.returncode != 0:
        sys.exit("%s failed (%d): %s" % (argv, done.returncode, done.stderr))
    with open(report) as f:
        return wall, int(f.read().split()[-1]) / 1024.0


def available_mib():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) // 1024
    sys.exit("no MemAvailable in /proc/meminfo")


def drop_caches():
    subprocess.run(["sync"], check=True)
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


@contextlib.contextmanager
def memory_held_back(free_mib):
    """Leaves about `free_mib` MiB available by filling a tmpfs (nothing,
    with no `free_mib`)."""
    if free_mib is None:
        yield available_mib()
        return
    hold = os.path.join(DATA, "hold")
    os.makedirs(hold, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=100%", "tmpfs", hold],
                   check=True)
    try:
        drop_caches()
        fill = available_mib() - free_mib
        if fill > 0:
            with open(os.path.join(hold, "fill"), "wb") as f:
                chunk = b"\xff" * (1 << 20)
                for _ in range(fill):
                    f.write(chunk)
        yield available_mib()
    finally:
        if subprocess.run(["umount", hold], check=False).returncode != 0:
            print("the tmpfs at %s holding memory back is still mounted: "
                  "umount it" % hold, file=sys.stderr)


def fixed_second():
    """A library that makes time() return FIXED_TIME, for two runs of the
    same draw: the acceptance tests' own, built here."""
    library = os.path.join(DATA, "fixed_time.so")
    if not os.path.exists(library):
        source = os.path.join(HERE, "..", "tests", "acceptance",
                              "fixed_time.c")
        subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-o", library,
                        source], check=True)
    return dict(os.environ, LD_PRELOAD=library,
                FIXED_TIME=str(int(time.time())))


def address_space(kib):
    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (kib << 10, kib << 10))
    return limit


def same_pair(a, b):
    """Whether the set files in folders `a` and `b` are byte for byte the
    same."""
    for name in ("Entrenamiento.txt", "Test.txt"):
        done = subprocess.run(["cmp", "-s", os.path.join(a, name),
                               os.path.join(b, name)])
        if done.returncode != 0:
            return False
    return True


def spread(values):
    return "median %.2f, least %.2f, most %.2f" % (
        statistics.median(values), min(values), max(values))


# Regular files from this size up are streamed (the README's rule).
STREAM_FROM = 1 << 30
# What the program holds at start-up, beside what the formulas count.
STARTUP_MIB = 6


def formula_mib(path, records):
    """The README's bound on a run's memory for the list at `path`: in
    memory below STREAM_FROM bytes, streamed from there; with the program's
    own start-up size."""
    size = os.path.getsize(path)
    if size >= STREAM_FROM:
        need = 5 * records + (108 << 20)
    else:
        need = size + (4 if size < 1 << 32 else 8) * records + (8 << 20)
    return need / 2**20 + STARTUP_MIB


def print_ratios(results, floor="cat+sync"):
    """Each particion's time over the floor's and over shuf's, and the
    baseline's, per pair of runs."""
    def per_pair(a, b):
        return [x[0] / y[0] for x, y in zip(results[a], results[b])]
    for name in results:
        if name.startswith("particion"):
            print("  %s / %s, per pair of runs: %s" % (
                name, floor, spread(per_pair(name, floor))))
    if "shuf" in results:
        print("  shuf / particion, per pair of runs: %s" %
              spread(per_pair("shuf", "particion")))
    if "baseline" in results:
        print("  particion / baseline, per pair of runs: %s" %
              spread(per_pair("particion", "baseline")))


def report(results, source, records):
    """Medians, spreads, peaks against the README's formula, and ratios."""
    size_mib = os.path.getsize(source) / 2**20
    bound = formula_mib(source, records)
    for name, runs in results.items():
        walls = [r[0] for r in runs]
        rss = statistics.median(r[1] for r in runs)
        against = " (formula %.0f MiB: %.2f of it)" % (bound, rss / bound) \
            if name.startswith("particion") else ""
        print("  %-20s %s s; peak %8.0f MiB, %.2fx the list%s" %
              (name, spread(walls), rss, rss / size_mib, against))
    print_ratios(results)


def cold(args, program, source, records):
    """A list drawn cold, against cat + sync; --limit adds a run under an
    address-space limit, checked against an unlimited run of the same
    second."""
    size_mib = os.path.getsize(source) / 2**20
    work = os.path.join(DATA, "work")
    limited = os.path.join(DATA, "work-limited")
    for folder in (work, limited):
        os.makedirs(folder, exist_ok=True)
    copy = os.path.join(work, "copy.txt")
    n_entr = records * 7 // 10
    answers = b"%s %d %d\n" % (source.encode(), n_entr, records - n_entr)
    same = fixed_second() if args.limit else None
    tools = {"particion": lambda: timed([program], answers, cwd=work,
                                        env=same)}
    if args.limit:
        tools["particion, limited"] = lambda: timed(
            [program], answers, cwd=limited, env=same,
            preexec_fn=address_space(args.limit))
    def cat_sync():
        # The copy goes once timed: beside a list larger than memory, the
        # disk holds the old pair, the new one and the buckets, not a copy.
        figures = timed(["sh", "-c", 'cat "$1" > "$2" && sync "$2"', "sh",
                         source, copy])
        os.remove(copy)
        return figures
    tools["cat+sync"] = cat_sync
    if args.baseline:
        baseline = os.path.abspath(args.baseline)
        # Beside a limited run, a folder of its own: its pair is not one
        # of those compared. Otherwise the same folder, so that a list
        # larger than memory needs no third pair's disk.
        elsewhere = os.path.join(DATA, "work-baseline") if args.limit \
            else work
        os.makedirs(elsewhere, exist_ok=True)
        tools["baseline"] = lambda: timed([baseline], answers, cwd=elsewhere)
    results = {name: [] for name in tools}
    with memory_held_back(args.free) as left:
        print("list %.0f MiB, %d records; memory available %d MiB; cold "
              "cache each run%s" % (size_mib, records, left,
                                    "; limit %d KiB" % args.limit
                                    if args.limit else ""))
        # Whatever runs first once memory is held back runs slower, while
        # the system settles (3.8 GB list: 8.4 s of system time against
        # 5.5 s): a run of cat + sync, not counted, takes that.
        drop_caches()
        tools["cat+sync"]()
        for _ in range(args.runs):
            for name, run in tools.items():
                drop_caches()
                results[name].append(run())
                print("  %-20s %8.2f s %8.0f MiB" % ((name,) +
                                                     results[name][-1]))
            if args.limit:
                print("  the limited pair is %s the unlimited one" % (
                    "byte for byte" if same_pair(work, limited)
                    else "NOT"))
    report(results, source, records)
    if args.phases:
        with memory_held_back(args.free):
            print_phases(program, answers, work, cold=True)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def starved(args, program):
    """A list of 80 million records (1 GB) with less memory left than
    either way of holding it needs: each run must end with the message and
    the earlier pair, never be killed."""
    records = 80000000
    source = make_list(records)
    work = os.path.join(DATA, "work")
    os.makedirs(work, exist_ok=True)
    pair = [os.path.join(work, n) for n in ("Entrenamiento.txt", "Test.txt")]
    for path in pair:
        with open(path, "wb") as f:
            f.write(b"the earlier pair\n")
    answers = b"%s %d %d\n" % (source.encode(), records * 7 // 10,
                                records - records * 7 // 10)
    faults = 0
    for free in [int(f) for f in args.starved.split(",")]:
        with memory_held_back(free) as left:
            for _ in range(args.runs):
                drop_caches()
                outcome = []
                wall, rss = timed([program], answers, cwd=work,
                                  outcome=outcome)
                status, err = outcome
                kept = all(read(p) == b"the earlier pair\n" for p in pair)
                told = status == 1 and b"No hay memoria suficiente" in err
                faults += not (told and kept)
                print("  %d MiB available: exit %d after %.2f s, peak %.0f "
                      "MiB, %s; earlier pair %s" % (
                          left, status, wall, rss,
                          "told" if told else "NOT told: %r" % err,
                          "kept" if kept else "NOT kept"))
    print("%d of the starved runs were killed, went on or lost the pair"
          % faults)


def warm(args, program):
    """The lists of --sizes, warm (the list in the page cache), against
    `cat LIST > COPY; sync COPY` and shuf; with --cold, the cache dropped
    before every run."""
    work = os.path.join(DATA, "work")
    os.makedirs(work, exist_ok=True)
    copy = os.path.join(work, "copy.txt")
    per_record = {}
    for records in [int(s) for s in args.sizes.split(",")]:
        source = make_list(records)
        answers = b"%s %d %d\n" % (source.encode(), records * 7 // 10,
                                   records - records * 7 // 10)
        tools = {
            "particion": lambda: timed([program], answers, cwd=work),
            "cat+sync": lambda: timed(
                ["sh", "-c", 'cat "$1" > "$2" && sync "$2"', "sh", source,
                 copy]),
            "shuf": lambda: timed(
                ["shuf", "-n", str(records), "-o",
                 os.path.join(work, "shuf.txt"), source]),
        }
        if args.no_shuf:
            del tools["shuf"]
        if args.baseline:
            baseline = os.path.abspath(args.baseline)
            tools["baseline"] = lambda: timed([baseline], answers, cwd=work)
        results = {name: [] for name in tools}
        print("%d records, %.0f MiB, %s" % (
            records, os.path.getsize(source) / 2**20,
            "cold (the page cache dropped before each run)" if args.cold
            else "warm"))
        for _ in range(args.runs):
            for name, run in tools.items():
                if args.cold:
                    drop_caches()
                results[name].append(run())
        report(results, source, records)
        per_record[records] = statistics.median(
            r[0] for r in results["particion"]) / records * 1e9
        if args.phases:
            print_phases(program, answers, work, cold=args.cold)
    sizes = sorted(per_record)
    for smaller, larger in zip(sizes, sizes[1:]):
        print("particion time per record at %d records / at %d: %.2f"
              " (1.00 is linear)" % (larger, smaller,
                                     per_record[larger] / per_record[smaller]))


def print_phases(program, answers, cwd, cold=False):
    """Where the time of one run goes: the run's steps as they tell their
    progress, timed by the phases program built beside particion."""
    if cold:
        drop_caches()
    phases = os.path.join(os.path.dirname(program), "phases")
    done = subprocess.run([phases] + answers.decode().split(), cwd=cwd,
                          capture_output=True, text=True)
    if done.returncode != 0:
        print("  phases: %s" % done.stderr.strip())
        return
    steps = [line.rsplit(" ", 1) for line in done.stdout.splitlines()]
    total = sum(float(seconds) for _, seconds in steps)
    print("  phases of one run, %.2f s: " % total + "; ".join(
        "%s %.2f s (%.0f %%)" % (name, float(seconds),
                                 100 * float(seconds) / total)
        for name, seconds in steps))


def main():
    # Ended by a signal (a timeout, say), the benchmark still gives back the
    # memory it holds: the tmpfs is unmounted on the way out.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--sizes", default="1000000,10000000,30000000")
    parser.add_argument("--baseline", help="another particion build (say, "
                        "of an earlier commit) to time side by side")
    parser.add_argument("--no-shuf", action="store_true",
                        help="leave shuf out")
    parser.add_argument("--cold", action="store_true",
                        help="--sizes with the page cache dropped before "
                        "each run (needs root)")
    parser.add_argument("--phases", action="store_true",
                        help="also time the steps of one run (load, draw, "
                        "filing, buckets, writing, sync, commit)")
    parser.add_argument("--large", action="store_true",
                        help="the 3.8 GB list with memory held back")
    parser.add_argument("--top", action="store_true",
                        help="2,147,483,647 records of one band and a label")
    parser.add_argument("--starved", metavar="MIB,MIB",
                        help="runs on a 1 GB list with only these MiB "
                        "left, and checks each ends with the message")
    parser.add_argument("--free", type=int, default=None,
                        help="MiB left available (--large: 1536 unless "
                        "given; --top: all unless given)")
    parser.add_argument("--limit", type=int, default=None,
                        help="also run particion under ulimit -v of this "
                        "many KiB, and check its pair against an unlimited "
                        "run's")
    args = parser.parse_args()
    program = os.path.abspath(os.path.join(args.build, "particion"))
    if not os.access(program, os.X_OK):
        sys.exit("no %s: build first (see README)" % program)
    os.makedirs(DATA, exist_ok=True)
    if args.large:
        if args.free is None:
            args.free = 1536
        cold(args, program, make_list(60000000, bands=13), 60000000)
    elif args.starved:
        starved(args, program)
    elif args.top:
        source = make_top_list()
        # Beside the list: the earlier pair, the new one, and as much again
        # for the buckets of a list larger than memory, at most (cat's copy
        # goes before particion runs).
        need = 3 * os.path.getsize(source)
        free = shutil.disk_usage(DATA).free
        print("the top of the range needs %.1f GB of free disk beside its "
              "list; %.1f GB are free" % (need / 1e9, free / 1e9))
        if free < need:
            sys.exit("not enough disk")
        cold(args, program, source, TOP)
    else:
        warm(args, program)


if __name__ == "__main__":
    main()
