"""The faults and limits of real machines: writes that fail, folders whose
calls fail, kills in the middle of the commit, few files to open. Each case
counts its outcomes and asserts what must never happen: a wrong pair, a
hang, an exit 0 after a failed write."""

import collections
import os
import re
import resource
import signal
import subprocess
import time

from harness import *  # noqa: F401,F403 (the cases' common words)
import test_large


def file_size_limit(bytes_, kib=None):
    """A limit on the size of any file the run writes, and on its address
    space where `kib` is given (which makes a large list streamed)."""
    def limit():
        resource.setrlimit(resource.RLIMIT_FSIZE, (bytes_, bytes_))
        if kib is not None:
            address_space(kib)()
        else:
            no_core()
    return limit


class Faults(Folder):

    def setUp(self):
        super().setUp()
        if RUN.sanitized:
            self.skipTest("a sanitizer reserves far more address space")

    def ways(self):
        """The two ways a list is drawn from, as (label, answers, limit):
        held in memory, and streamed from the file under a limit on the
        address space."""
        self.write("memoria.txt", pixel_list(3, 2000000)[1])
        self.write("grande.txt", large_list()[1])
        return (("in memory", b"memoria.txt 1900000 100000\n", None),
                ("streamed", b"grande.txt 400000 200000\n",
                 test_large.LargerThanMemory.KIB))

    def test_a_set_file_refused_at_its_first_write_ends_the_run(self):
        # The training set is refused at once while the draw has far to go:
        # whichever thread meets the failure, the other must not wait for it.
        for label, answers, kib in self.ways():
            for trial in range(trials(8)):
                self.write_old_pair()
                what = "%s, trial %d" % (label, trial)
                try:
                    done = self.run_tool(answers, timeout=20,
                                         preexec_fn=file_size_limit(1, kib))
                except subprocess.TimeoutExpired:
                    self.fail("%s: the run never ended" % what)
                self.assertEqual(done.returncode, 1, what)
                self.assertRegex(done.stderr, rb"^Error al escribir el fichero "
                                 rb"\S+: File too large\n$", what)
                self.assertEqual(self.pair(), "old", what)

    def test_a_failed_write_ends_the_run_with_its_own_reason(self):
        if not strace_runs():
            self.skipTest("needs strace")
        # The n-th write of each thread fails once, then the disk has room
        # again: whatever was written of it, the run must not go on as if the
        # write had not failed.
        for label, answers, kib in self.ways():
            for n in (2, 4, 9, 40):
                self.write_old_pair()
                done = self.run_tool(answers, args=[
                    "strace", "-f", "-y", "-o", "trace.log", "-e",
                    "trace=write", "-e",
                    "inject=write:error=ENOSPC:when=%d" % n, RUN.program],
                    preexec_fn=address_space(kib) if kib else no_core)
                injected = [line for line in
                            self.read("trace.log").splitlines()
                            if b"(INJECTED)" in line]
                os.remove("trace.log")
                failed = [line for line in injected if b"<pipe:" not in line]
                # The message itself may be the write that fails.
                told = not any(re.search(rb"write\(2<", line)
                               for line in injected)
                what = "%s, write %d: %r" % (label, n, done.stderr)
                if not failed:
                    self.assertEqual(done.returncode, 0, what)
                    continue
                self.assertEqual(done.returncode, 1, what)
                if told:
                    self.assertTrue(done.stderr.endswith(
                        b": No space left on device\n"), what)
                self.assertEqual(self.pair(), "old", what)
        self.assert_only("memoria.txt", "grande.txt", "Entrenamiento.txt",
                         "Test.txt")

    def test_folder_calls_that_fail_never_hang_the_commit(self):
        if not strace_runs():
            self.skipTest("needs strace")
        _, source = pixel_list(3, 12)
        self.write("Pixeles.txt", source)
        env = dict(os.environ, LC_ALL="C")
        answers = b"Pixeles.txt 5 5\n"
        # Each call that looks at a file or a folder, from the first answer
        # on, fails in turn, as a network file system's EIO or ESTALE.
        plain = self.run_tool(answers, env=env, args=[
            "strace", "-o", "trace.log", "-e",
            "trace=read,newfstatat,fstat,statx,openat", RUN.program])
        self.assertEqual(plain.returncode, 0, plain.stderr)
        lines = [line for line in self.read("trace.log").splitlines()
                 if b"(" in line]
        os.remove("trace.log")
        calls = [line.split(b"(")[0] for line in lines]
        first_answer = next(i for i, line in enumerate(lines)
                            if line.startswith(b"read(0,"))
        seen = collections.Counter(calls[:first_answer])
        after = collections.Counter(calls[first_answer:])
        outcomes = collections.Counter()
        for call in (b"newfstatat", b"fstat", b"statx", b"openat"):
            for k in range(seen[call] + 1, seen[call] + after[call] + 1):
                for errno in ("EIO", "ESTALE"):
                    self.write_old_pair()
                    what = "%s number %d fails with %s" % (call.decode(), k,
                                                           errno)
                    try:
                        done = self.run_tool(answers, env=env, timeout=20,
                                             args=[
                            "strace", "-o", "/dev/null", "-e",
                            "trace=" + call.decode(), "-e", "inject=%s:error="
                            "%s:when=%d" % (call.decode(), errno, k),
                            RUN.program])
                    except subprocess.TimeoutExpired:
                        self.fail(what + ": the run never ended")
                    self.assertIn(done.returncode, (0, 1), what)
                    self.assertEqual(self.pair(), "new" if done.returncode == 0
                                     else "old", what)
                    self.assert_only("Pixeles.txt", "Entrenamiento.txt",
                                     "Test.txt")
                    outcomes[done.returncode] += 1
        self.assertGreater(outcomes[1], 0, outcomes)

    def test_kill_during_the_commit_of_a_large_pair_leaves_only_what_the_next_run_removes(self):
        self.write("Pixeles.txt", pixel_list(3, 1500000)[1])
        old = (b"1\n" + b"old entr\n" * 2000000, b"1\n" + b"old test\n" * 2000000)
        answers = b"Pixeles.txt 1000000 400000\n"
        began = time.perf_counter()
        self.run_tool(answers)
        span = time.perf_counter() - began
        left = collections.Counter()
        for trial in range(trials(10)):
            self.write("Entrenamiento.txt", old[0])
            self.write("Test.txt", old[1])
            proc = self.start(answers, preexec_fn=no_core)
            # Late in the run, where the commit lies.
            time.sleep(span * (0.5 + 0.5 * trial / trials(10)))
            proc.kill()
            status = proc.wait(timeout=60)
            what = "trial %d, status %d" % (trial, status)
            self.assertIn(status, (0, -signal.SIGKILL), what)
            got = (self.read("Entrenamiento.txt"), self.read("Test.txt"))
            if status == 0:
                self.assertNotIn(old[0], got, what)
                self.assertNotIn(old[1], got, what)
            hidden = sorted(n for n in os.listdir(".") if n.startswith("."))
            left[len(hidden)] += 1
            # The next run removes whatever the killed one left.
            self.assertEqual(self.run_tool(b"Pixeles.txt 1 1\n").returncode, 0,
                             what)
            self.assert_only("Pixeles.txt", "Entrenamiento.txt", "Test.txt")
        # What the kills left, for whoever reads the log: the window in which
        # a name can be left is a fraction of a millisecond.
        print("hidden files left by %d kills: %s" % (trials(10), dict(left)))

    def test_few_files_to_open_still_split_or_say_so_before_the_load(self):
        self.write("Pixeles.txt", large_list()[1])
        env = fixed_clock(self)
        answers = b"Pixeles.txt 400000 200000\n"
        # Too little to hold the list, room for the clock's library.
        limit = address_space(39000)
        os.mkdir("libre")
        self.assert_run(b"../" + answers, cwd="libre", env=env,
                        preexec_fn=limit)
        for files in (8, 12, 16, 24, 64):
            def few(files=files):
                limit()
                resource.setrlimit(resource.RLIMIT_NOFILE, (files, files))
            self.write_old_pair()
            done = self.run_tool(answers, env=env, preexec_fn=few)
            what = "%d files: %r" % (files, done.stderr)
            if done.returncode == 0:
                for name in ("Entrenamiento.txt", "Test.txt"):
                    self.assertTrue(self.read(name)
                                    == self.read("libre/" + name), what)
                continue
            # Refused before the list was read: no count was asked.
            self.assertEqual(done.returncode, 1, what)
            self.assertEqual(done.stdout, ASK_NAME, what)
            self.assertEqual(done.stderr, b"Error al escribir el fichero "
                             b"Entrenamiento.txt: Too many open files\n", what)
            self.assertEqual(self.pair(), "old", what)
            self.assertLess(files, 16, what)
