"""Failures that end a run with the earlier pair kept: input that ends,
writes that fail, permissions."""

import os
import random
import resource
import shutil
import signal
import subprocess
import threading
import time

from harness import *  # noqa: F401,F403 (the cases' common words)


class Failures(Folder):
    def test_end_of_input_at_every_question_writes_nothing(self):
        _, source = pixel_list(3, 10)
        self.write("Pixeles.txt", source)
        self.write("Test.txt", b"earlier test")
        for answers in (b"", b"  \n", b"nada.txt\n", b"Pixeles.txt\n",
                        b"Pixeles.txt 11\n", b"Pixeles.txt abc\n",
                        b"Pixeles.txt 4\n", b"Pixeles.txt 4 7"):
            opened = b"nada" not in answers
            self.assert_run(answers, 1, END_OF_INPUT if opened else
                            cannot_open(b"nada.txt",
                                        b"No such file or directory")
                            + END_OF_INPUT)
            self.assertEqual(self.read("Test.txt"), b"earlier test", answers)
            self.assert_only("Pixeles.txt", "Test.txt")

    def test_failed_write_keeps_the_earlier_sets(self):
        _, source = pixel_list(3, 3000)
        self.write("Pixeles.txt", source)
        self.write("Test.txt", b"earlier test")
        os.mkdir("Entrenamiento.txt")
        done = self.run_tool(b"Pixeles.txt 10 10\n")
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stderr, b"Error al escribir el fichero "
                         b"Entrenamiento.txt: Is a directory\n")
        self.assertEqual(self.read("Test.txt"), b"earlier test")
        self.assert_only("Pixeles.txt", "Test.txt", "Entrenamiento.txt")
        os.rmdir("Entrenamiento.txt")

        self.write("Entrenamiento.txt", b"earlier entr")
        for ignore_xfsz in (True, False):
            def limit():
                resource.setrlimit(resource.RLIMIT_FSIZE, (8192, 8192))
                if ignore_xfsz:
                    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            done = self.run_tool(b"Pixeles.txt 2000 1000\n", preexec_fn=limit)
            self.assertEqual(done.returncode, 1, ignore_xfsz)
            self.assertEqual(done.stderr, b"Error al escribir el fichero "
                             b"Entrenamiento.txt: File too large\n")
            self.assertEqual(self.read("Entrenamiento.txt"), b"earlier entr")
            self.assertEqual(self.read("Test.txt"), b"earlier test")
            self.assert_only("Pixeles.txt", "Test.txt", "Entrenamiento.txt")

    def test_an_ignored_interrupt_stays_ignored_while_writing(self):
        self.write("Pixeles.txt", b"4\n" + b"17 203 96 2\n" * 1000000)
        proc = self.start(
            b"Pixeles.txt 500000 500000\n",
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN))
        while proc.poll() is None:
            proc.send_signal(signal.SIGINT)
            time.sleep(0.001)
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(len(self.read("Test.txt").split(b"\n")), 500001)


class Unprivileged(Folder):
    """Permissions as a user who is not root meets them (root ignores most)."""

    USER = 4242  # no such account is needed: ids are enough

    def setUp(self):
        super().setUp()
        if os.geteuid() != 0 or not shutil.which("setpriv"):
            self.skipTest("needs root, to become another user, and setpriv")
        _, source = pixel_list(3, 50)
        self.write("Pixeles.txt", source)

    def run_as_user(self, answers):
        return self.run_tool(answers, args=[
            "setpriv", "--reuid=%d" % self.USER, "--regid=%d" % self.USER,
            "--clear-groups", RUN.program])

    def test_pair_that_cannot_be_replaced_stays_as_it_was(self):
        here = os.getcwd()
        cases = (
            # folder mode, owner and mode of Test.txt, what the run says
            (0o1777, 65534, 0o666,
             b"Error al escribir el fichero Test.txt: Operation not permitted"),
            (0o777, self.USER, 0o444,
             b"Error al escribir el fichero Test.txt: Permission denied"),
            (0o555, self.USER, 0o666, b"Error al escribir en la carpeta "
             + here.encode() + b": Permission denied"),
        )
        for folder_mode, owner, mode, message in cases:
            os.chmod(here, 0o777)
            self.write_old_pair()
            os.chown("Entrenamiento.txt", self.USER, self.USER)
            os.chown("Test.txt", owner, owner)
            os.chmod("Test.txt", mode)
            os.chmod(here, folder_mode)
            done = self.run_as_user(b"Pixeles.txt 20 20\n")
            label = oct(folder_mode) + " " + oct(mode)
            self.assertEqual(done.returncode, 1, label)
            self.assertEqual(done.stderr, message + b"\n", label)
            self.assertEqual(self.pair(), "old", label)
            self.assert_only("Pixeles.txt", "Entrenamiento.txt", "Test.txt")
        os.chmod(here, 0o700)
