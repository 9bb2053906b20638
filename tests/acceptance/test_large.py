"""A source larger than the memory the run may take."""

import collections
import os
import random
import resource
import shutil
import signal
import subprocess
import threading
import time

from test_sources import ChangedSource
from harness import *  # noqa: F401,F403 (the cases' common words)


class LargerThanMemory(Folder):
    """A source larger than the memory the run may take is drawn from the
    file itself, exactly as it would be in memory."""

    # Of address space above the program's own at start-up: less than the
    # list's 40 MB.
    KIB = 31000

    def setUp(self):
        super().setUp()
        if RUN.sanitized:
            self.skipTest("a sanitizer reserves far more address space")
        self.records, source = large_list()
        self.write("Pixeles.txt", source)
        self.assertGreater(len(source) >> 10, self.KIB)

    def test_files_equal_the_c_library_draw_under_a_memory_limit(self):
        # The tighter limit reads the list on the run's own thread; the
        # looser one, still too small to hold it, on two reading threads.
        for kib in (self.KIB, 94000):
            before = int(time.time())
            done = self.run_tool(b"Pixeles.txt 400000 200000\n",
                                 preexec_fn=address_space(kib))
            after = int(time.time())
            self.assertEqual((done.returncode, done.stderr), (0, b""), kib)
            got = [self.read("Entrenamiento.txt"), self.read("Test.txt")]
            self.assertTrue(got in [one_at_a_time(self.records, 14, 400000,
                                                  200000, libc_rand(seed))
                                    for seed in seeds_between(before, after)],
                            kib)
            self.assert_only("Pixeles.txt", "Entrenamiento.txt", "Test.txt")

    def test_the_stated_bound_is_enough_for_short_records(self):
        """Under an address-space limit of 5 bytes a record and 128 MiB above
        the program's size at start-up, a list whose index would not fit
        beside it is split through the file, into the very pair of a run
        without the limit."""
        records = 16 << 20
        self.write("cortos.txt", short_records(records))
        env = fixed_clock(self)
        answers = b"../cortos.txt %d %d\n" % (records * 7 // 10,
                                              records - records * 7 // 10)
        for folder, limit in (("limitado", address_space(
                (5 * records + (128 << 20)) >> 10)), ("libre", no_core)):
            os.mkdir(folder)
            self.assert_run(answers, cwd=folder, env=env, preexec_fn=limit,
                            label=folder)
        for name in ("Entrenamiento.txt", "Test.txt"):
            self.assertTrue(self.read("limitado/" + name)
                            == self.read("libre/" + name), name)

    def test_change_while_a_count_question_waits(self):
        source = self.read("Pixeles.txt")
        for label, change, status in ChangedSource.CHANGES:
            self.write("Pixeles.txt", source)
            self.change_while_asked(
                change, len(self.records), b"300000 300000\n", status, label,
                preexec_fn=address_space(self.KIB))
            if status == 0:
                # Drawn from what was loaded: the records of the list.
                sets = [self.read(n).split(b"\n")
                        for n in ("Entrenamiento.txt", "Test.txt")]
                drawn = set(sets[0][1:] + sets[1][1:])
                self.assertEqual(len(drawn), 600000, label)
                self.assertTrue(drawn <= set(self.records), label)

    def test_read_error_while_reading_again_keeps_the_old_pair(self):
        if not strace_runs():
            self.skipTest("needs strace")

        def traced(*inject):
            return self.run_tool(b"Pixeles.txt 300000 300000\n", args=[
                "strace", "-f", "-o", "trace.out", "-e", "trace=pread64",
                "-P", "Pixeles.txt", *inject, RUN.program],
                preexec_fn=address_space(self.KIB))
        # At this limit each half of the list's second read is read on its
        # own thread, the former half on the thread that read the list
        # first; strace counts each thread's calls apart. The error comes
        # in one of that thread's last two reads, the former half's last.
        self.assertEqual(traced().returncode, 0)
        reads = max(collections.Counter(
            line.split()[0] for line in self.read("trace.out").splitlines()
            if b"pread64(" in line).values())
        self.write_old_pair()
        done = traced("-e", "inject=pread64:error=EIO:when=%d+" % (reads - 1))
        os.remove("trace.out")
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertTrue(done.stderr.endswith(
            b"Error al leer el fichero Origen\n"), done.stderr)
        self.assertEqual(self.pair(), "old")
        self.assert_only("Pixeles.txt", "Entrenamiento.txt", "Test.txt")

    def test_a_failed_sync_while_the_sets_grow_keeps_the_old_pair(self):
        """A sync of a set made while the set is still written fails: the
        bytes it was to keep may be lost, even if the sync at the end then
        succeeds, so the run ends with that failure."""
        if not strace_runs():
            self.skipTest("needs strace")
        n = len(self.records)
        answers = b"Pixeles.txt %d %d\n" % (n * 7 // 10, n - n * 7 // 10)
        # The training set, some 28 MB, is synced while it grows; the syncs
        # that end the run are not the ones that fail.
        for label, limit in (("in memory", no_core),
                             ("through the file", address_space(94000))):
            self.write_old_pair()
            done = self.run_tool(answers, preexec_fn=limit, args=[
                "strace", "-f", "-o", "trace.out", "-e", "trace=fdatasync",
                "-e", "inject=fdatasync:error=EIO", RUN.program])
            failed = b"EIO" in self.read("trace.out")
            os.remove("trace.out")
            # Where no thread could be had for it, no such sync is made.
            if failed or label == "in memory":
                self.assertEqual((done.returncode, self.pair()), (1, "old"),
                                 label)
                self.assertTrue(done.stderr.endswith(
                    b"Entrenamiento.txt: Input/output error\n"), done.stderr)
            else:
                self.assertEqual((done.returncode, self.pair()), (0, "new"),
                                 label)
            self.assert_only("Pixeles.txt", "Entrenamiento.txt", "Test.txt")

    def test_signals_and_a_kill_leave_the_old_pair_and_nothing_else(self):
        rng = random.Random(3)
        began = time.perf_counter()
        self.run_tool(b"Pixeles.txt 300000 300000\n",
                      preexec_fn=address_space(self.KIB))
        span = time.perf_counter() - began
        for trial in range(trials(12)):
            self.write_old_pair()
            sig = (signal.SIGKILL,) + ENDING
            sig = sig[trial % len(sig)]
            proc = self.start(b"Pixeles.txt 300000 300000\n",
                              preexec_fn=address_space(self.KIB))
            if sig == signal.SIGKILL:
                # Once the buckets are open: more unnamed files than the
                # two sets.
                while proc.poll() is None and unnamed_files(proc.pid) < 3:
                    time.sleep(0.0005)
            else:
                time.sleep(rng.uniform(0, span))
            proc.send_signal(sig)
            status = proc.wait(timeout=60)
            label = "trial %d, signal %d, status %d" % (trial, sig, status)
            self.assertIn(status, (0, -sig), label)
            if status == 0:
                self.assertEqual(self.pair(), "new", label)
            else:
                self.assertNotEqual(self.pair(), "mixed", label)
            self.assert_only("Pixeles.txt", "Entrenamiento.txt", "Test.txt")
