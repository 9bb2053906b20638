"""The pair is whole or untouched: signals, kills, two runs at once, memory
running out, and what another program sees during the commit."""

import os
import random
import re
import select
import shutil
import signal
import subprocess
import threading
import time

from harness import *  # noqa: F401,F403 (the cases' common words)


def own_group():
    """A process group of the run's own, in the session of the tests: the
    system drops Ctrl-Z sent to a group it deems orphaned."""
    os.setpgid(0, 0)
    no_core()


def stopped_or_ended(proc):
    """Waits until the run is stopped ("T") or has ended; says which."""
    deadline = time.time() + 30
    while time.time() < deadline:
        try:
            with open("/proc/%d/stat" % proc.pid) as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            return "ended"
        if state in ("T", "Z"):
            return "T" if state == "T" else "ended"
        time.sleep(0.001)
    return "neither"


def temporary_bytes(pid):
    """The bytes in the temporary set files the run holds open."""
    total = 0
    for fd in os.listdir("/proc/%d/fd" % pid):
        path = "/proc/%d/fd/%s" % (pid, fd)
        try:
            if os.readlink(path).endswith(("(deleted)", ".tmp")):
                total += os.stat(path).st_size
        except OSError:
            pass
    return total


class Pair(Folder):
    """The two set files are both new or both as they were."""

    def test_signals_at_random_moments_never_mix_the_pair(self):
        _, source = pixel_list(3, 20000)
        self.write("Pixeles.txt", source)
        rng = random.Random(7)

        def start():
            return self.start(b"Pixeles.txt 12000 8000\n", preexec_fn=no_core)
        # Signals land anywhere in a run: before, during and after the write.
        # How they spread over the outcomes is luck; what is asserted is
        # what must never happen.
        began = time.perf_counter()
        for _ in range(5):
            start().wait()
        span = (time.perf_counter() - began) / 5
        for trial in range(trials(240)):
            self.write_old_pair()
            sig = ENDING[trial % len(ENDING)]
            proc = start()
            time.sleep(rng.uniform(0, span))
            proc.send_signal(sig)
            status = proc.wait(timeout=60)
            outcome = self.pair()
            label = "trial %d, signal %d, status %d" % (trial, sig, status)
            self.assertIn(status, (0, -sig), label)
            if status == 0:
                self.assertEqual(outcome, "new", label)
            self.assertNotEqual(outcome, "mixed", label)
            self.assert_only("Pixeles.txt", "Entrenamiento.txt", "Test.txt")

    def test_kill_while_writing_leaves_the_earlier_pair_and_nothing_else(self):
        records = b"4\n" + b"17 203 96 2\n" * 2000000
        self.write("Pixeles.txt", records)
        whole = 2 * 12 * 1000000  # both sets, written out
        for sig in (signal.SIGKILL, signal.SIGTERM, signal.SIGQUIT,
                    signal.SIGXCPU):
            # The run is stopped while it writes, its sets short of whole:
            # it cannot reach its commit before the signal, which it takes
            # as it goes on. Should the test itself stall until the run has
            # written everything, that trial is let go and made again.
            for attempt in range(5):
                self.write_old_pair()
                proc = self.start(b"Pixeles.txt 1000000 1000000\n",
                                  preexec_fn=no_core)
                while not writing(proc.pid):
                    self.assertIsNone(proc.poll(), "ended before it wrote")
                    time.sleep(0.0005)
                os.kill(proc.pid, signal.SIGSTOP)
                self.assertEqual(stopped_or_ended(proc), "T", sig)
                if temporary_bytes(proc.pid) < whole:
                    break
                os.kill(proc.pid, signal.SIGCONT)
                self.assertEqual(proc.wait(timeout=60), 0)
            else:
                self.fail("never stopped before its sets were whole")
            proc.send_signal(sig)
            os.kill(proc.pid, signal.SIGCONT)
            label = "signal %d, attempt %d" % (sig, attempt)
            self.assertEqual((proc.wait(timeout=60), self.pair()),
                             (-sig, "old"), label)
            self.assert_only("Pixeles.txt", "Entrenamiento.txt", "Test.txt")
        # What a run killed outright in the microseconds of its commit leaves,
        # the next run removes.
        dead = subprocess.Popen(["true"])
        dead.wait()
        self.write(".Test.txt.%d.tmp" % dead.pid, b"left")
        self.assertEqual(self.run_tool(b"Pixeles.txt 1 1\n").returncode, 0)
        self.assert_only("Pixeles.txt", "Entrenamiento.txt", "Test.txt")

    def test_two_runs_whose_commits_meet_never_mix_the_pair(self):
        # The first run is held with its training set in place and its test
        # set not yet; the second, on a list of another header, must wait for
        # it. Without the lock it would put its own pair in place meanwhile,
        # and the first's test set would then land beside its training set.
        self.write("a.txt", pixel_list(1, 200)[1])
        self.write("b.txt", pixel_list(2, 200)[1])
        held = HeldCommit(self, when=2)
        waiting = (b"Esperando a que termine otra ejecucion en la carpeta %s\n"
                   % os.getcwd().encode())
        for trial in range(trials(3)):
            first = held.start(b"a.txt 100 100\n")
            self.assertTrue(held.reached(), trial)
            second = self.start(b"b.txt 100 100\n", stderr=subprocess.PIPE)
            said = b""
            while waiting not in said:  # or it ends, having not waited
                ready, _, _ = select.select([second.stderr], [], [], 30)
                self.assertTrue(ready, "trial %d: the second run hangs" % trial)
                chunk = os.read(second.stderr.fileno(), 4096)
                if not chunk:
                    break
                said += chunk
            held.let_go()
            self.assertEqual([first.wait(timeout=60), second.wait(timeout=60)],
                             [0, 0], trial)
            heads = {self.read(name)[:2] for name in ("Entrenamiento.txt",
                                                      "Test.txt")}
            self.assertEqual(heads, {b"2\n"}, "trial %d: a mixed pair" % trial)
        self.assert_only("a.txt", "b.txt", "Entrenamiento.txt", "Test.txt")

    def test_memory_running_out_anywhere_ends_cleanly(self):
        if RUN.sanitized:
            self.skipTest("a sanitizer reserves far more address space")
        _, source = pixel_list(3, 200000)
        self.write("Pixeles.txt", source)
        seen = set()
        # From too little to start at all to enough for the whole run.
        for kib in range(-1500, 14000, 250):
            self.write_old_pair()
            done = self.run_tool(b"Pixeles.txt 100000 50000\n",
                                 preexec_fn=address_space(kib))
            if done.returncode == 127 or not done.stdout:
                continue  # too little to start at all, or to ask anything
            label = "%d KiB: %r" % (kib, done.stderr)
            self.assertIn(done.returncode, (0, 1), label)
            self.assertEqual(done.stderr,
                             b"" if done.returncode == 0 else NO_MEMORY, label)
            self.assertEqual(self.pair(),
                             "new" if done.returncode == 0 else "old", label)
            self.assert_only("Pixeles.txt", "Entrenamiento.txt", "Test.txt")
            seen.add(done.returncode)
        self.assertEqual(seen, {0, 1})

    def test_source_that_is_a_set_file_is_refused_and_modes_are_kept(self):
        _, source = pixel_list(3, 10)
        self.write("Pixeles.txt", source)
        self.write_old_pair()
        os.link("Entrenamiento.txt", "enlace.txt")
        os.chmod("Test.txt", 0o640)
        owner = (4242, 4343) if os.geteuid() == 0 else (os.getuid(),
                                                       os.getgid())
        os.chown("Test.txt", *owner)
        done = self.run_tool(b"Test.txt\nenlace.txt\n./Entrenamiento.txt\n"
                             b"Pixeles.txt 4 4\n")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertTrue(done.stdout.startswith(
            (ASK_NAME + NOT_A_SOURCE) * 3 + ASK_NAME + ask_entr(10)))
        self.assertEqual(self.read("enlace.txt"), OLD[0])
        self.assertEqual(self.pair(), "new")
        kept = os.stat("Test.txt")
        self.assertEqual((kept.st_mode & 0o7777, kept.st_uid, kept.st_gid),
                         (0o640,) + owner)
        self.assertEqual(os.stat("Entrenamiento.txt").st_mode & 0o7777,
                         0o666 & ~UMASK)


class CommitWindow(Folder):
    """What another program sees while a run puts its pair in place."""

    def setUp(self):
        super().setUp()
        _, source = pixel_list(3, 2000)
        self.write("Pixeles.txt", source)
        self.write_old_pair()

    def test_signals_inside_the_commit_wait_for_the_whole_pair(self):
        # Each run is held after its training set is in place and before its
        # test set is, and the signal comes then: a signal not held would end
        # or stop the run with one new file beside an old one.
        held = HeldCommit(self, when=2)
        for trial, sig in enumerate((ENDING + (signal.SIGTSTP,)) * 2):
            label = "trial %d, signal %d" % (trial, sig)
            self.write_old_pair()
            proc = held.start(b"Pixeles.txt 1000 1000\n",
                              preexec_fn=own_group)
            self.assertTrue(held.reached(), label)
            proc.send_signal(sig)
            held.let_go()
            if sig == signal.SIGTSTP:
                # It stops once the pair is whole, and stays so while it
                # waits.
                self.assertEqual(stopped_or_ended(proc), "T", label)
                self.assertEqual(self.pair(), "new", label)
                proc.send_signal(signal.SIGCONT)
            self.assertEqual((proc.wait(timeout=60), self.pair()), (
                0 if sig == signal.SIGTSTP else -sig, "new"), label)
            self.assert_only("Pixeles.txt", "Entrenamiento.txt", "Test.txt")

    def test_sets_reach_storage_before_they_are_put_in_place(self):
        if not strace_runs():
            self.skipTest("needs strace")
        env = dict(os.environ, LC_ALL="C")
        answers = b"Pixeles.txt 1000 1000\n"
        done = self.run_tool(answers, env=env, args=[
            "strace", "-f", "-y", "-o", "trace.log", "-e",
            "trace=openat,linkat,fsync,fdatasync,rename,renameat,renameat2",
            RUN.program])
        self.assertEqual(done.returncode, 0, done.stderr)
        calls = [line.split(None, 1)[1] for line in
                 self.read("trace.log").splitlines() if b"(" in line]
        os.remove("trace.log")
        # The two temporaries: unnamed files given a name at the commit, or
        # named from the start.
        temporaries = {m.group(1) or m.group(2) for call in calls
                       for m in [re.match(
            rb'linkat\(AT_FDCWD</[^>]*>, "/proc/self/fd/(\d+)"|'
            rb'openat\(.*\.(?:Entrenamiento|Test)\.txt\.\d+\.tmp".*'
            rb' = (\d+)<', call)] if m}
        swaps = [i for i, call in enumerate(calls)
                 if call.startswith((b"rename(", b"renameat"))]
        self.assertEqual(len(temporaries), 2, calls)
        self.assertTrue(swaps, calls)
        synced = {m.group(1) for call in calls[:swaps[0]] for m in [
            re.match(rb"f(?:data)?sync\((\d+)<", call)] if m}
        self.assertLessEqual(temporaries, synced, calls)
        folder = b"<%s>)" % os.path.realpath(".").encode()
        self.assertTrue(any(call.startswith(b"fsync(") and folder in call
                            for call in calls[swaps[-1]:]), calls)
        # Storage that fails to take them: nothing is put in place.
        self.write_old_pair()
        done = self.run_tool(answers, env=env, args=[
            "strace", "-o", "/dev/null", "-e", "trace=fsync,fdatasync", "-e",
            "inject=fsync,fdatasync:error=EIO", RUN.program])
        self.assertEqual((done.returncode, self.pair()), (1, "old"),
                         done.stderr)
        self.assertTrue(done.stderr.endswith(b": Input/output error\n"),
                        done.stderr)
        self.assert_only("Pixeles.txt", "Entrenamiento.txt", "Test.txt")

    def test_a_killed_runs_leftovers_go_with_the_run_that_waited(self):
        if not strace_runs():
            self.skipTest("needs strace")
        # The first run holds its first replacement, inside its commit, with
        # both temporaries named, for longer than a busy machine takes to
        # start the second; the second waits on the lock; the first is then
        # stopped and killed outright.
        first = self.start(b"Pixeles.txt 1000 1000\n", args=[
            "strace", "-f", "-o", "/dev/null", "-e", "trace=renameat2",
            "-e", "inject=renameat2:delay_enter=60000000:when=1",
            RUN.program])
        deadline = time.time() + 30
        while len([n for n in os.listdir(".") if n.endswith(".tmp")]) < 2:
            self.assertLess(time.time(), deadline, "no commit")
            self.assertIsNone(first.poll(), "ended before its commit")
            time.sleep(0.001)
        with open("/proc/%d/task/%d/children" % (first.pid, first.pid)) as f:
            run = int(f.read().split()[0])
        second = self.start(b"Pixeles.txt 500 500\n", stderr=subprocess.PIPE)
        self.wait_for(second, b"Esperando a que termine otra ejecucion en la "
                      b"carpeta %s\n" % os.getcwd().encode(),
                      stream=second.stderr)
        os.kill(run, signal.SIGSTOP)
        os.kill(run, signal.SIGKILL)
        # The tracer would sit out the rest of its hold before it ends.
        first.kill()
        _, err = second.communicate(timeout=60)
        self.assertEqual(second.returncode, 0, err)
        first.wait(timeout=60)
        # The second run's pair, whole, and nothing of the first.
        self.assertEqual([self.read(n).count(b"\n") for n in
                          ("Entrenamiento.txt", "Test.txt")], [500, 500])
        self.assert_only("Pixeles.txt", "Entrenamiento.txt", "Test.txt")

    def test_a_run_that_waits_for_another_says_so_once(self):
        import fcntl
        os.mkdir("otra")
        os.rename("Test.txt", "otra/Test.txt")
        os.symlink("otra/Test.txt", "Test.txt")
        # Another run holds the folder where Test.txt really goes.
        folder = os.open("otra", os.O_RDONLY)
        self.addCleanup(os.close, folder)
        fcntl.flock(folder, fcntl.LOCK_EX)
        proc = self.start(b"Pixeles.txt 10 10\n", stderr=subprocess.PIPE)
        waiting = (b"Esperando a que termine otra ejecucion en la carpeta "
                   + os.path.realpath("otra").encode() + b"\n")
        seen = self.wait_for(proc, waiting, stream=proc.stderr)
        self.assertEqual(self.read("Entrenamiento.txt"), OLD[0])
        fcntl.flock(folder, fcntl.LOCK_UN)
        _, rest = proc.communicate(timeout=60)
        self.assertEqual((proc.returncode, seen + rest), (0, waiting))
        self.assertEqual(self.read("otra/Test.txt").count(b"\n"), 10)

    def test_old_file_that_cannot_be_removed_is_reported(self):
        if not strace_runs():
            self.skipTest("needs strace")
        done = self.run_tool(b"Pixeles.txt 10 10\n", args=[
            "strace", "-f", "-o", "/dev/null", "-e", "trace=unlink,unlinkat",
            "-e", "inject=unlink,unlinkat:error=EIO", RUN.program])
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(self.pair(), "new")
        left = sorted(n for n in os.listdir(".") if n.startswith("."))
        self.assertEqual(len(left), 2, left)
        self.assertEqual(done.stderr, b"".join(
            b"Aviso: no se ha podido borrar el fichero %s: Input/output "
            b"error\n" % name.encode() for name in left))
        # Each holds an old set; the next run removes them.
        self.assertEqual(sorted(self.read(n) for n in left), sorted(OLD))
        self.assertEqual(self.run_tool(b"Pixeles.txt 1 1\n").returncode, 0)
        self.assert_only("Pixeles.txt", "Entrenamiento.txt", "Test.txt")
