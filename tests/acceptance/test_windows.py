"""The Windows build, run under an emulator."""

import os
import random
import resource
import shutil
import signal
import subprocess
import threading
import time

from harness import *  # noqa: F401,F403 (the cases' common words)


@needs("windows")
class WindowsRun(Folder):
    """The Windows build: text-mode line ends, its own generator, replacing
    files, Ctrl+C."""

    def test_dialogue_and_sets_in_crlf_from_the_platform_draw(self):
        records, source = pixel_list(-7, 500)
        self.write("Pixeles.txt", source)
        before = int(time.time())
        done = self.run_tool(b"nada.txt\nPixeles.txt 600\n300 150\n")
        after = int(time.time())
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout, crlf(
            ASK_NAME + OPEN_ERROR + ASK_NAME + ask_entr(500) + NOT_LESS
            + ask_entr(500) + ask_test(200)))
        got = [self.read("Entrenamiento.txt"), self.read("Test.txt")]
        candidates = [[crlf(f) for f in one_at_a_time(
            records, -7, 300, 150, wide_values(seed))]
            for seed in seeds_between(before, after)]
        self.assertIn(got, candidates)

    def test_draw_reaches_every_part_of_a_large_pool(self):
        records = [b"r%d" % i for i in range(100000)]
        self.write("Pixeles.txt", b"\n".join([b"1"] + records))
        done = self.run_tool(b"Pixeles.txt 20000 0\n")
        self.assertEqual(done.returncode, 0, done.stderr)
        drawn = self.read("Entrenamiento.txt").split(b"\r\n")[1:]
        counts = [0] * 10
        for record in drawn:
            counts[int(record[1:]) // 10000] += 1
        # 2000 expected in each tenth, with a spread of about 45.
        self.assertTrue(all(1700 < c < 2300 for c in counts), counts)

    def test_second_run_replaces_the_pair(self):
        _, source = pixel_list(3, 50)
        self.write("Pixeles.txt", source)
        for n in (10, 20):
            done = self.run_tool(b"Pixeles.txt %d %d\n" % (n, n))
            self.assertEqual((done.returncode, done.stderr), (0, b""))
            self.assertEqual(self.read("Test.txt").count(b"\r\n"), n)
        self.assert_only("Pixeles.txt", "Entrenamiento.txt", "Test.txt")
        # A run ended in the middle of its commit leaves a temporary; the
        # next run removes it.
        self.write(".Test.txt.999999.tmp", b"left")
        done = self.run_tool(b"Test.txt Pixeles.txt 1 1\n")
        self.assert_only("Pixeles.txt", "Entrenamiento.txt", "Test.txt")
        self.assertTrue(done.stdout.startswith(crlf(ASK_NAME + NOT_A_SOURCE
                                                    + ASK_NAME)))

    def test_two_runs_at_once_never_mix_the_pair(self):
        self.assert_runs_at_once_never_mix(records=20000, trials=trials(20))

    def test_accented_name_opens(self):
        _, source = pixel_list(3, 20)
        self.write("P\u00edxeles.txt", source)
        done = self.run_tool("P\u00edxeles.txt 5 5\n".encode())
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        self.assertEqual(done.stdout, crlf(ASK_NAME + ask_entr(20)
                                           + ask_test(15)))

    def test_ctrl_c_while_writing_leaves_the_earlier_pair_only(self):
        self.write("Pixeles.txt", b"4\n" + b"17 203 96 2\n" * 3000000)
        self.write_old_pair()
        proc = self.start(b"Pixeles.txt 1500000 1500000\n")
        while proc.poll() is None and not any(
                n.endswith(".tmp") for n in os.listdir(".")):
            time.sleep(0.001)
        proc.send_signal(signal.SIGINT)  # Wine makes it a Ctrl+C
        self.assertNotEqual(proc.wait(timeout=60), 0)
        self.assertEqual(self.pair(), "old")
        self.assert_only("Pixeles.txt", "Entrenamiento.txt", "Test.txt")
