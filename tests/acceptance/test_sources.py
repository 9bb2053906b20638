"""Sources of every kind, and sources that change while a run uses them."""

import collections
import os
import random
import resource
import shutil
import signal
import subprocess
import threading
import time

from harness import *  # noqa: F401,F403 (the cases' common words)


class Sources(Folder):
    def test_fifo_holding_a_finite_list_loads_like_a_file(self):
        records, source = pixel_list(3, 5000)
        os.mkfifo("lista")
        writer = threading.Thread(target=self.write, args=("lista", source))
        writer.start()
        done = self.run_tool(b"lista 5000 0\n")
        writer.join()
        self.assertEqual(done.returncode, 0, done.stderr)
        entr = self.read("Entrenamiento.txt").split(b"\n")
        self.assertEqual(sorted(entr[1:]), sorted(records))

    def test_inherited_descriptor_path_loads_like_a_file(self):
        records, source = pixel_list(3, 3000)
        read_end, write_end = os.pipe()
        writer = threading.Thread(target=lambda: (os.write(write_end, source),
                                                  os.close(write_end)))
        writer.start()
        try:
            done = subprocess.run(
                [RUN.program], input=b"/dev/fd/%d 0 3000\n" % read_end,
                capture_output=True, timeout=60, pass_fds=(read_end,))
        finally:
            writer.join()
            os.close(read_end)
        self.assertEqual(done.returncode, 0, done.stderr)
        test = self.read("Test.txt").split(b"\n")
        self.assertEqual(sorted(test[1:]), sorted(records))

    def test_source_cut_while_it_loads_is_refused(self):
        lines = b"4\n" + b"17 203 96 2\n" * 4000000
        cut = lines[:2 + 12 * 83]  # 83 whole records
        n_cut = cut.count(b"\n") - 1
        # The bound of each count question says what the run loaded. Cut
        # before it was read, the list is the cut one (and the names after
        # the first are counts refused); cut while it was read, the list is
        # refused and a later name loads the cut one (the system may show the
        # cut's time a little after its size: a load in between is refused
        # too); cut after, the run has loaded the whole list, and the check
        # before the commit refuses it unless the pair was in place before
        # the cut. Where the cut lands is luck; a run that loaded part of a
        # list, or put in place sets drawn from one that changed, must never
        # happen.
        names = 4

        def asked(n, refused):
            return ((ask_entr(n) + NOT_VALID) * refused + ask_entr(n)
                    + ask_test(n - 5))
        outcomes = {ASK_NAME + (CHANGED + ASK_NAME) * k
                    + asked(n_cut, names - 1 - k): [(0, b"")]
                    for k in range(names)}
        outcomes[ASK_NAME + asked(4000000, names - 1)] = [(1, CHANGED[:-1]),
                                                          (0, b"")]
        seen = collections.Counter()
        for trial in range(trials(12)):
            self.write("Pixeles.txt", lines)
            proc = self.start(b"Pixeles.txt\n" * names + b"5\n5\n",
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            time.sleep(0.012 * trial)  # from before loading to after it
            os.truncate("Pixeles.txt", len(cut))
            out, err = proc.communicate(timeout=60)
            label = "trial %d: %r" % (trial, out[-200:])
            self.assertIn(out, outcomes, label)
            self.assertIn((proc.returncode, err), outcomes[out], label)
            seen[("before", "while", "while", "while", "after")[
                list(outcomes).index(out)], proc.returncode] += 1
            if proc.returncode == 0:
                for name in ("Entrenamiento.txt", "Test.txt"):
                    self.assertEqual(self.read(name),
                                     b"4" + b"\n17 203 96 2" * 5, label)
            else:
                self.assert_only("Pixeles.txt")
            for name in ("Entrenamiento.txt", "Test.txt"):
                if os.path.exists(name):
                    os.unlink(name)
        print("where the cut landed, and the exit status:", dict(seen))

    def test_endless_source_is_refused_soon(self):
        _, source = pixel_list(3, 10)
        self.write("Pixeles.txt", source)
        # An endless source, and an endless name: neither is kept whole.
        for endless, refusal in ((b"/dev/zero", long_line(1)),
                                 (b"x" * (200 << 20), OPEN_ERROR)):
            done = subprocess.run(
                ["/usr/bin/time", "-f", "%M", RUN.program],
                input=endless + b"\nPixeles.txt 1 1\n", capture_output=True,
                timeout=30)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertTrue(done.stdout.startswith(ASK_NAME + refusal
                                                   + ASK_NAME), done.stdout)
            peak_kib = int(done.stderr.split()[-1])
            self.assertLess(peak_kib, 64 * 1024, endless[:20])


def rewrite_same_size(name):
    with open(name, "r+b") as f:
        data = f.read()
        f.seek(0)
        f.write(data.replace(b"1", b"7"))


def rewrite_shorter(name):
    with open(name, "wb") as f:
        f.write(b"3\nAAAAAAAAAAAAA\nBBBBBBBBBBB\n" * 30)


def rewrite_keeping_time(name):
    before = os.stat(name)
    rewrite_same_size(name)
    os.utime(name, ns=(before.st_atime_ns, before.st_mtime_ns))


def write_through_mapping(name):
    import mmap
    with open(name, "r+b") as f, mmap.mmap(f.fileno(), 0) as m:
        m[2:8] = b"AAAAAA"


def append(name):
    with open(name, "ab") as f:
        f.write(b"9 9 9\n" * 50)


def replace_by_rename(name):
    with open("nuevo.txt", "wb") as f:
        f.write(b"3\nAAAAAAAAAAAAA\nBBBBBBBBBBB\nCCCC\n" * 40)
    os.replace("nuevo.txt", name)


class ChangedSource(Folder):
    """Another program changes the source after it was loaded: the run
    refuses it and keeps the earlier pair, save for the changes that leave
    what it loaded as it was, where it draws what it loaded."""

    CHANGES = (  # label, change, exit status
        ("rewritten, same size", rewrite_same_size, 1),
        ("rewritten, other size", rewrite_shorter, 1),
        ("truncated", lambda name: os.truncate(name, 40), 1),
        ("appended to", append, 0),
        ("rewritten, time set back", rewrite_keeping_time, 1),
        ("written through a shared mapping", write_through_mapping, 1),
        ("replaced by a rename", replace_by_rename, 0),
    )

    def test_change_while_a_count_question_waits(self):
        records, source = pixel_list(3, 300)
        for label, change, status in self.CHANGES:
            self.write("Pixeles.txt", source)
            before = int(time.time())
            self.change_while_asked(change, 300, b"200 100\n", status, label)
            after = int(time.time())
            if status == 0:
                got = [self.read("Entrenamiento.txt"), self.read("Test.txt")]
                self.assertTrue(got in [one_at_a_time(records, 3, 200, 100,
                                                      libc_rand(seed))
                                        for seed in seeds_between(before, after)],
                                label)

    def test_change_while_a_large_run_writes(self):
        records = [b"%d %d" % (i, i * 7) for i in range(2000000)]
        source = b"\n".join([b"4"] + records) + b"\n"
        allowed = set(records)
        for trial, change in enumerate((rewrite_same_size, append,
                                        write_through_mapping)):
            self.write("Pixeles.txt", source)
            self.write_old_pair()
            proc = self.start(b"Pixeles.txt 1000000 1000000\n",
                              stderr=subprocess.PIPE)
            while proc.poll() is None and not writing(proc.pid):
                time.sleep(0.0005)
            change("Pixeles.txt")
            _, err = proc.communicate(timeout=60)
            status = proc.returncode
            if status == 0:
                sets = [self.read(n).split(b"\n")[1:]
                        for n in ("Entrenamiento.txt", "Test.txt")]
                drawn = sets[0] + sets[1]
                self.assertEqual(len(set(drawn)), 2000000, trial)
                self.assertTrue(set(drawn) <= allowed, trial)
            else:
                self.assertEqual((status, err), (1, CHANGED[:-1]), trial)
                self.assertEqual(self.pair(), "old", trial)
            self.assert_only("Pixeles.txt", "Entrenamiento.txt", "Test.txt")
