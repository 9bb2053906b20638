"""A person at a terminal: the line that shows how far a run has come."""

import os
import pty
import re
import select
import subprocess

from harness import *  # noqa: F401,F403 (the cases' common words)

# The line's texts, each written from the start of the line ("\r"), and
# the blanks and "\r" that erase it.
LINE = re.compile(rb"\r(Leyendo el fichero Origen|Sorteando|"
                  rb"Escribiendo los conjuntos): ([ \d]+,\d %|\d+ MiB) *")
ERASE = re.compile(rb"\r +\r")
# The line shows at once, where a person would see it after a second: the
# list the cases use takes less.
AT_ONCE = dict(os.environ, PARTICION_PROGRESS_AFTER_MS="0")


class OnATerminal(Folder):
    """Standard input, output and error on one terminal, as a person runs
    the program."""

    def setUp(self):
        super().setUp()
        if RUN.sanitized:
            self.skipTest("a sanitizer reserves far more address space")
        self.records, source = large_list()
        self.write("Pixeles.txt", source)

    def converse(self, answers, limit=None):
        """Runs the program on a terminal, typing each answer once the
        question before it is all on the screen; returns what the terminal
        showed before each answer and after the last, and the exit status."""
        pid, terminal = pty.fork()
        if pid == 0:  # the run, on the terminal
            try:
                if limit:
                    limit()
                os.execve(RUN.program, [RUN.program], AT_ONCE)
            finally:
                os._exit(127)
        shown = []
        seen = b""

        def read(until):
            nonlocal seen
            while until is None or not seen.endswith(until):
                ready, _, _ = select.select([terminal], [], [], 60)
                self.assertTrue(ready, seen)
                try:
                    chunk = os.read(terminal, 65536)
                except OSError:  # the run has ended
                    chunk = b""
                if not chunk:
                    return
                seen += chunk
        for question, answer in answers:
            read(question)
            shown.append(seen)
            seen = b""
            os.write(terminal, answer)
        read(None)
        shown.append(seen)
        os.close(terminal)
        _, status = os.waitpid(pid, 0)
        return shown, os.waitstatus_to_exitcode(status)

    def check_run(self, limit=None):
        n = len(self.records)
        answers = [(ASK_NAME, b"Pixeles.txt\n"),
                   (b"igual de %d: " % n, b"400000\n"),
                   (b"igual de %d: " % (n - 400000), b"200000\n")]
        shown, status = self.converse(answers, limit)
        self.assertEqual(status, 0, shown)
        # While the list is read: its line, erased before the question.
        reading = shown[1]
        self.assertIn(b"\rLeyendo el fichero Origen: ", reading)
        self.assertRegex(reading, rb"\r +\rIntroduzca Numero[^\r]*\r\n"
                         rb" Debe ser menor o igual de \d+: $")
        # After the last answer: a share that only grows, then erased.
        after = shown[3]
        shares = [int(m.group(2).replace(b",", b"").rstrip(b" %"))
                  for m in LINE.finditer(after)]
        self.assertGreater(len(shares), 3, after)
        self.assertEqual(shares, sorted(shares), after)
        self.assertTrue(ERASE.search(after[-60:]) and after.endswith(b"\r"),
                        after[-200:])
        # Without the line, the screen holds the dialogue as it always was,
        # with each typed answer echoed and each line ended in CR LF.
        typed = [b"Pixeles.txt\n", b"400000\n", b"200000\n"]
        dialogue = (Transcript().name(typed[0]).entr(n, typed[1])
                    .test(n - 400000, typed[2]).text)
        screen = ERASE.sub(b"", LINE.sub(b"", b"".join(shown)))
        self.assertEqual(screen, dialogue.replace(b"\n", b"\r\n"))
        return after

    def test_a_run_in_memory_shows_reading_then_writing(self):
        after = self.check_run()
        self.assertIn(b"Escribiendo los conjuntos", after)

    def test_a_streamed_run_shows_the_draw_then_the_writing(self):
        # Too little address space to hold the list: it is read again.
        after = self.check_run(address_space(31000))
        drawing = after.find(b"Sorteando")
        self.assertGreaterEqual(drawing, 0, after)
        self.assertGreater(after.find(b"Escribiendo los conjuntos"), drawing)

    def test_standard_error_not_on_a_terminal_stays_empty(self):
        # Neither through pipes, nor with answers typed on a terminal while
        # standard error goes to a pipe.
        done = self.run_tool(b"Pixeles.txt 400000 200000\n", env=AT_ONCE)
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        main, typed = pty.openpty()
        proc = subprocess.Popen([RUN.program], stdin=typed,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                env=AT_ONCE)
        os.close(typed)
        os.write(main, b"Pixeles.txt 400000 200000\n")
        out, err = proc.communicate(timeout=60)
        os.close(main)
        self.assertEqual((proc.returncode, err), (0, b""))
        n = len(self.records)
        self.assertEqual(out, Transcript().name().entr(n).test(n - 400000)
                         .text)
