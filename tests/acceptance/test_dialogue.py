"""The dialogue: its exact bytes, refusals, end of input, scripts."""

import os
import random
import select
import resource
import shutil
import signal
import subprocess
import threading
import time

from harness import *  # noqa: F401,F403 (the cases' common words)


class Dialogue(Folder):
    def test_whole_dialogue_with_refusals_exact_bytes(self):
        records, source = pixel_list(3, 10)
        self.write("Pixeles.txt", source)
        self.write("cabecera.txt", b"tres\n1 2 3\n")
        self.write("larga.txt", b"3\n1 2 3\n" + b"9" * 2000 + b"\n4 5 6\n")
        os.mkdir("carpeta")
        answers = (b"nada.txt\ncarpeta\ncabecera.txt\nlarga.txt\n"
                   b"Pixeles.txt\0.bak\n"
                   + b"x" * 2500 + b" 4\n"
                   b"Pixeles.txt\n11\n12abc 3\n-1\n99999999999 1\n10 4\n"
                   b"1\n0\n")
        done = self.run_tool(answers)
        expected = (Transcript().name(OPEN_ERROR).name(OPEN_ERROR)
                    .name(BAD_HEADER).name(long_line(3)).name(OPEN_ERROR)
                    .name(OPEN_ERROR).name(OPEN_ERROR).name()
                    .entr(10, NOT_LESS).entr(10, NOT_VALID)
                    .entr(10, NOT_VALID).entr(10, NOT_VALID).entr(10)
                    .test(0, NOT_LESS).test(0, NOT_LESS).test(0))
        self.assertEqual(done.stdout, expected.text)
        # Each name that did not open, and why, on standard error.
        self.assertEqual(done.stderr, b"".join((
            cannot_open(b"nada.txt", b"No such file or directory"),
            cannot_open(b"carpeta", b"es una carpeta"),
            cannot_open(b"Pixeles.txt\0.bak", b"Invalid argument"),
            cannot_open(b"x" * 2000, b"File name too long"),
            cannot_open(b"4", b"No such file or directory"))))
        self.assertEqual(done.returncode, 0)
        entr = self.read("Entrenamiento.txt").split(b"\n")
        self.assertEqual(entr[0], b"3")
        self.assertEqual(sorted(entr[1:]), sorted(records))
        self.assertEqual(self.read("Test.txt"), b"3")
        self.assertEqual(self.read("Pixeles.txt"), source)
        self.assert_only("Pixeles.txt", "cabecera.txt", "larga.txt", "carpeta",
                         "Entrenamiento.txt", "Test.txt")

    def test_a_source_that_does_not_open_says_which_and_why(self):
        """Standard output as it always was; on standard error, the name
        typed and why it did not open."""
        self.write_source(10)
        os.mkdir("carpeta")
        cases = [(b"nada.txt", b"No such file or directory"),
                 (b"carpeta", b"es una carpeta"),
                 (b"../" + os.path.basename(os.getcwd()).encode(),
                  b"es una carpeta"),
                 # The shell expands "~", but no shell reads the dialogue.
                 (b"~/Pixeles.txt", b"No such file or directory")]
        args = None
        if os.geteuid() == 0 and shutil.which("setpriv"):
            # Root reads any file: another user meets the permission.
            self.write("secreto.txt", b"3\n1 2 3\n")
            os.chmod("secreto.txt", 0o600)
            os.chmod(".", 0o755)
            args = ["setpriv", "--reuid=4242", "--regid=4242",
                    "--clear-groups", RUN.program]
            cases.append((b"secreto.txt", b"Permission denied"))
        for typed, reason in cases:
            done = self.assert_run(typed + b"\n", 1,
                                   cannot_open(typed, reason) + END_OF_INPUT,
                                   args=args)
            self.assertEqual(done.stdout, ASK_NAME + OPEN_ERROR + ASK_NAME)

    def test_reasons_in_the_users_language(self):
        env = spanish(self)
        done = self.assert_run(
            b"nada.txt\n", 1,
            cannot_open(b"nada.txt", b"No existe el fichero o el directorio")
            + END_OF_INPUT, env=env)
        # Numbers and the dialogue's own texts stay as they are.
        self.write_source(10)
        done = self.assert_run(b"Pixeles.txt 11 3 4\n", 0, env=env)
        self.assertEqual(done.stdout, Transcript().name().entr(10, NOT_LESS)
                         .entr(10).test(7).text)

    def test_end_of_input_at_a_terminal_starts_a_line_of_its_own(self):
        import pty
        self.write_source(10)
        pid, terminal = pty.fork()
        if pid == 0:  # the run, on the terminal
            try:
                os.execv(RUN.program, [RUN.program])
            finally:
                os._exit(127)
        seen = b""

        def read_until(text):
            nonlocal seen
            while text not in seen:
                ready, _, _ = select.select([terminal], [], [], 30)
                self.assertTrue(ready, seen)
                try:
                    chunk = os.read(terminal, 4096)
                except OSError:  # the run has ended
                    chunk = b""
                if not chunk:
                    return
                seen += chunk
        read_until(ASK_NAME)
        os.write(terminal, b"Pixeles.txt\n")
        read_until(b"igual de 10: ")
        os.write(terminal, b"\x04")  # Ctrl-D: the end of input
        read_until(b"no hay nada mas")  # all until the run ends
        os.close(terminal)
        _, status = os.waitpid(pid, 0)
        self.assertEqual(os.waitstatus_to_exitcode(status), 1)
        # The terminal ends each line with CR LF.
        self.assertTrue(seen.endswith(b"igual de 10: \r\n" + END_OF_INPUT[:-1]
                                      + b"\r\n"), seen)

    def test_files_equal_the_c_library_draw_for_the_run_second(self):
        records, source = pixel_list(-7, 500)
        self.write("Pixeles.txt", source)
        for answers, n_entr, n_test in ((b"Pixeles.txt 300 150\n", 300, 150),
                                        (b"Pixeles.txt\n0\n500\n", 0, 500),
                                        (b"Pixeles.txt\n500\n0\n", 500, 0)):
            before = int(time.time())
            done = self.run_tool(answers)
            after = int(time.time())
            self.assertEqual(done.returncode, 0, done.stderr)
            got = [self.read("Entrenamiento.txt"), self.read("Test.txt")]
            candidates = [one_at_a_time(records, -7, n_entr, n_test,
                                        libc_rand(seed))
                          for seed in seeds_between(before, after)]
            self.assertIn(got, candidates, answers)
            self.assertFalse(got[0].endswith(b"\n"))

    def test_crlf_source_and_header_only_source(self):
        self.write("win.txt", b"5\r\n1 2\r\n\r\n3 4\r\n")
        done = self.run_tool(b"win.txt 2 1\n")
        self.assertEqual(done.returncode, 0, done.stderr)
        lines = (self.read("Entrenamiento.txt").split(b"\n")[1:]
                 + self.read("Test.txt").split(b"\n")[1:])
        self.assertEqual(sorted(lines), [b"", b"1 2", b"3 4"])
        self.write("solo.txt", b"8\n")
        done = self.run_tool(b"solo.txt 0 0")
        self.assertEqual(done.stdout, ASK_NAME + ask_entr(0) + ask_test(0))
        self.assertEqual(self.read("Entrenamiento.txt"), b"8")
        self.assertEqual(self.read("Test.txt"), b"8")

    def test_script_waiting_for_each_prompt_through_a_pipe(self):
        _, source = pixel_list(3, 20)
        self.write("Pixeles.txt", source)
        proc = self.start(stdout=subprocess.PIPE)
        for prompt, answer in ((ASK_NAME, b"Pixeles.txt\n"),
                               (ask_entr(20), b"5\n"),
                               (ask_test(15), b"5\n")):
            self.wait_for(proc, prompt)
            proc.stdin.write(answer)
            proc.stdin.flush()
        self.assertEqual(proc.wait(timeout=20), 0)

    def test_run_under_valgrind_is_clean(self):
        if not shutil.which("valgrind") or RUN.sanitized:
            self.skipTest("no valgrind, or a sanitized build")
        _, source = pixel_list(3, 300)
        self.write("Pixeles.txt", source)
        done = subprocess.run(
            ["valgrind", "--error-exitcode=9", "--leak-check=full",
             "--errors-for-leak-kinds=all", RUN.program],
            input=b"nada.txt\nPixeles.txt 100 abc\n-3\n200\n",
            capture_output=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr[-2000:])
