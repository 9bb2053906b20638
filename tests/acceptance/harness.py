"""The harness of the acceptance tests, which drive the built particion
through its standard input, as a user would.

A case is a method of a Folder subclass in one of the topic files beside this
one (test_*.py): it runs in a fresh folder, starts the program with run_tool
(to its end), assert_run (to its end, with the status and standard error it
must give) or start (in the background, ended and closed whatever the case
does), builds the expected dialogue with Transcript, and is marked with
@needs when it holds on one platform only. run.py runs one topic file.
"""

import ctypes
import os
import random
import resource
import select
import shutil
import signal
import subprocess
import tempfile
import time
import unittest


class Run:
    """How the program under test is started: set once by run.py."""
    program = None
    runner = None  # the program itself, or through an emulator
    sanitized = False


RUN = Run()
TRIAL_SCALE = float(os.environ.get("PARTICION_TRIALS", "1"))
UMASK = os.umask(0o22)
os.umask(UMASK)

ASK_NAME = b"Introduzca Nombre de Fichero Origen (ej. Pixeles.txt): "
OPEN_ERROR = b"Error al abrir el fichero Origen\n\n"
NOT_LESS = b"El numero introducido no es menor\n"
NOT_VALID = b"El numero introducido no es valido\n"
END_OF_INPUT = b"Fin de la entrada: no se ha escrito ningun fichero\n"
NO_MEMORY = b"No hay memoria suficiente: no se ha escrito ningun fichero\n"
CHANGED = b"El fichero Origen ha cambiado mientras se leia\n\n"
NOT_A_SOURCE = (b"El fichero Origen no puede ser Entrenamiento.txt ni "
                b"Test.txt\n\n")
OLD = (b"1\nold entr", b"1\nold test")
# Every signal that ends a run unless it is caught.
ENDING = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT,
          signal.SIGXCPU, signal.SIGPIPE, signal.SIGUSR1, signal.SIGUSR2,
          signal.SIGALRM, signal.SIGVTALRM, signal.SIGPROF)
BAD_HEADER = b"El fichero Origen no empieza con un numero entero\n\n"


def ask_entr(bound):
    return (b"Introduzca Numero de pixels que quiere asignar para el "
            b"entrenamiento\n Debe ser menor o igual de %d: " % bound)


def ask_test(bound):
    return (b"Introduzca Numero de pixels que quiere asignar para el test\n"
            b" Debe ser menor o igual de %d: " % bound)


def trials(default):
    """How many times a repeated case runs: `default`, scaled from the
    environment."""
    return max(1, round(default * TRIAL_SCALE))


class Transcript:
    """What a run prints on standard output, question by question: each
    question is followed by what the run answers to the reply."""

    def __init__(self):
        self.text = b""

    def name(self, *then):
        self.text += ASK_NAME + b"".join(then)
        return self

    def entr(self, bound, *then):
        self.text += ask_entr(bound) + b"".join(then)
        return self

    def test(self, bound, *then):
        self.text += ask_test(bound) + b"".join(then)
        return self


def needs(platform):
    """Marks a case class that holds only on "posix" or on "windows"."""
    def mark(cls):
        cls.platform = platform
        return cls
    return mark


def cannot_open(typed, reason):
    """The line on standard error for a source name that did not open."""
    return b"No se puede abrir %s: %s\n" % (typed, reason)


def spanish(case):
    """An environment in which the user's language is Spanish, through a
    locale made for the case (the system must have its definition and the C
    library's Spanish messages: the case is skipped where it has not)."""
    localedef = shutil.which("localedef")
    if not (localedef and os.path.exists("/usr/share/i18n/locales/es_ES")
            and os.path.exists("/usr/share/locale/es/LC_MESSAGES/libc.mo")):
        case.skipTest("the system has no Spanish messages to make a locale of")
    where = tempfile.mkdtemp()
    case.addCleanup(shutil.rmtree, where)
    subprocess.run([localedef, "-i", "es_ES", "-f", "UTF-8",
                    os.path.join(where, "es_ES.UTF-8")], capture_output=True)
    if not os.path.isdir(os.path.join(where, "es_ES.UTF-8")):
        case.skipTest("localedef could not make a Spanish locale")
    env = {key: value for key, value in os.environ.items()
           if not key.startswith("LC_") and key not in ("LANG", "LANGUAGE")}
    env.update(LOCPATH=where, LANG="es_ES.UTF-8")
    return env


def preloaded(case, name):
    """A small library built from NAME.c beside this file, to be preloaded
    into the case's runs; skips the case where nothing can build it."""
    if not shutil.which("cc") or RUN.sanitized:
        case.skipTest("no C compiler for a preloaded library, or a sanitized "
                      "build")
    where = tempfile.mkdtemp()
    case.addCleanup(shutil.rmtree, where)
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                          name + ".c")
    library = os.path.join(where, name + ".so")
    subprocess.run(["cc", "-shared", "-fPIC", "-o", library, source, "-ldl"],
                   check=True)
    return library


def fixed_clock(case):
    """An environment in which the run's clock stands still (a small
    library that makes time() return FIXED_TIME, built for the case), so
    that two runs draw alike; skips the case where nothing can build it."""
    return dict(os.environ, LD_PRELOAD=preloaded(case, "fixed_time"),
                FIXED_TIME="1765000000")


class HeldCommit:
    """Starts runs that stop inside their commit, at their `when`-th
    renameat2 (1: before the training set is in place; 2: after it, before
    the test set), until let go: a step made slow on purpose, not by luck."""

    def __init__(self, case, when):
        self.case = case
        self.library = preloaded(case, "held_call")
        self.when = when

    def start(self, answers, **kwargs):
        """Starts a run; reached() then waits until it is held."""
        self._note, note = os.pipe()
        wait, self._go = os.pipe()
        env = dict(kwargs.pop("env", os.environ), LD_PRELOAD=self.library,
                   HOLD_WHEN=str(self.when), HOLD_FDS="%d %d" % (note, wait))
        proc = self.case.start(answers, env=env, pass_fds=(note, wait),
                               **kwargs)
        os.close(note)
        os.close(wait)
        self.case.addCleanup(os.close, self._note)
        self.case.addCleanup(os.close, self._go)
        return proc

    def reached(self):
        """True once the run is held in its commit; False if it ended
        without getting there."""
        ready, _, _ = select.select([self._note], [], [], 30)
        self.case.assertTrue(ready, "the run neither committed nor ended")
        return os.read(self._note, 1) == b"\x01"

    def let_go(self):
        try:
            os.write(self._go, b"g")
        except BrokenPipeError:
            pass  # it has ended already: the case sees how


def short_records(count):
    """A pixel list of `count` records of one band and a label ("2266 5"),
    the shortest of real use: a block of random ones written again and
    again."""
    rng = random.Random(count)
    block = b"".join(b"%d %d\n" % (rng.randrange(4096), rng.randrange(10))
                     for _ in range(1 << 16))
    full, rest = divmod(count, 1 << 16)
    return b"2\n" + block * full + b"".join(block.splitlines(True)[:rest])


def long_line(n):
    return (b"La linea %d del fichero Origen tiene mas de 1999 caracteres\n\n"
            % n)


def pixel_list(header, count):
    records = [b"%d %d %d" % (i % 256, i * 7 % 256, i * 13 % 256)
               for i in range(count)]
    return records, b"\n".join([b"%d" % header] + records) + b"\n"


def one_at_a_time(records, header, n_entr, n_test, values):
    """The draw written plainly: the files any run must give for `values`."""
    pool = list(records)
    sets = [[b"%d" % header], [b"%d" % header]]
    for k in range(n_entr + n_test):
        pos = next(values) % len(pool)
        sets[0 if k < n_entr else 1].append(pool[pos])
        pool[pos] = pool[-1]
        pool.pop()
    return [b"\n".join(lines) for lines in sets]


def seeds_between(before, after):
    """The seeds a run started after `before` and ended before `after`
    (whole seconds of time.time()) can have drawn with: the C library's
    time() reads a clock that may lag a tick behind, so the second before
    `before` too."""
    return range(before - 1, after + 1)


def libc_rand(seed):
    libc = ctypes.CDLL(None)
    libc.srand(ctypes.c_uint(seed))
    while True:
        yield libc.rand()


class Folder(unittest.TestCase):
    """Each test runs in a folder of its own."""

    # Where the cases hold: POSIX unless marked otherwise (line ends,
    # signals, /proc, valgrind, limits, FIFOs, /dev/fd).
    platform = "posix"

    def setUp(self):
        windows = RUN.runner != [RUN.program]
        if self.platform == "posix" and windows:
            self.skipTest("POSIX only")
        if self.platform == "windows" and not windows:
            self.skipTest("not a Windows build")
        self._old = os.getcwd()
        self._dir = tempfile.TemporaryDirectory()
        os.chdir(self._dir.name)

    def tearDown(self):
        os.chdir(self._old)
        self._dir.cleanup()

    def write(self, name, data):
        with open(name, "wb") as f:
            f.write(data)

    def read(self, name):
        with open(name, "rb") as f:
            return f.read()

    def run_tool(self, answers, args=None, timeout=60, **kwargs):
        """Runs the program to its end on `answers`: its status and output.
        A run that outlasts `timeout` is killed with all it started before
        TimeoutExpired is raised: a tracer killed alone lets its tracee go
        on, and a hung run left behind would hold its folder's lock."""
        with subprocess.Popen(args or RUN.runner, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              start_new_session=True, **kwargs) as proc:
            try:
                out, err = proc.communicate(answers, timeout=timeout)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.communicate()
                raise
        return subprocess.CompletedProcess(proc.args, proc.returncode, out,
                                           err)

    def assert_run(self, answers, status=0, stderr=b"", label="", **kwargs):
        """Runs the program to its end on `answers` and checks its exit
        status and all it says on standard error; returns the run."""
        done = self.run_tool(answers, **kwargs)
        self.assertEqual((done.returncode, done.stderr), (status, stderr),
                         label or answers)
        return done

    def write_source(self, records, header=3, name="Pixeles.txt"):
        """Writes a pixel list of `records` records; returns them."""
        records, source = pixel_list(header, records)
        self.write(name, source)
        return records

    def start(self, answers=None, args=None, stdout=subprocess.DEVNULL,
              stderr=subprocess.DEVNULL, **kwargs):
        """Starts the program in the background, given `answers` if any;
        it is ended and its pipes closed whatever the case does."""
        proc = subprocess.Popen(args or RUN.runner, stdin=subprocess.PIPE,
                                stdout=stdout, stderr=stderr, **kwargs)

        def end():
            if proc.poll() is None:
                proc.kill()
            proc.wait()
            for pipe in (proc.stdin, proc.stdout, proc.stderr):
                if pipe is not None:
                    pipe.close()
        self.addCleanup(end)
        if answers is not None:
            proc.stdin.write(answers)
            proc.stdin.close()
            proc.stdin = None  # so that communicate() reads to the end
        return proc

    def wait_for(self, proc, text, label="", stream=None):
        """Reads the run's standard output (or `stream`) until it ends with
        `text`."""
        stream = stream or proc.stdout
        seen = b""
        deadline = time.time() + 30
        while not seen.endswith(text):
            ready, _, _ = select.select([stream], [], [],
                                        max(0, deadline - time.time()))
            self.assertTrue(ready, b"%s: no %r after %r" % (
                label.encode(), text, seen))
            chunk = os.read(stream.fileno(), 4096)
            self.assertTrue(chunk, label)
            seen += chunk
        return seen

    def assert_only(self, *names):
        self.assertEqual(sorted(os.listdir(".")), sorted(names))

    def assert_runs_at_once_never_mix(self, records, trials):
        """Two runs started together on sources with different headers end
        with one run's pair, every time."""
        self.write("a.txt", pixel_list(1, records)[1])
        self.write("b.txt", pixel_list(2, records)[1])
        for trial in range(trials):
            runs = [self.start(b"%s %d %d\n" % (name, records // 2,
                                                records // 2))
                    for name in (b"a.txt", b"b.txt")]
            self.assertEqual([run.wait(timeout=60) for run in runs], [0, 0])
            heads = {self.read(name)[:2] for name in ("Entrenamiento.txt",
                                                      "Test.txt")}
            self.assertEqual(len(heads), 1, "trial %d: a mixed pair" % trial)
        self.assert_only("a.txt", "b.txt", "Entrenamiento.txt", "Test.txt")

    def change_while_asked(self, change, records, counts, status, label,
                           **kwargs):
        """Runs on Pixeles.txt (of `records` records) over the old pair,
        makes `change` to the list while the first count question waits,
        then answers `counts`; the run must end with `status`, and one that
        fails must have refused the changed list and kept the old pair."""
        self.write_old_pair()
        proc = self.start(stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          **kwargs)
        proc.stdin.write(b"Pixeles.txt\n")
        proc.stdin.flush()
        self.wait_for(proc, ask_entr(records), label)
        change("Pixeles.txt")
        _, err = proc.communicate(counts, timeout=60)
        self.assertEqual((proc.returncode, err),
                         (status, CHANGED[:-1] if status else b""), label)
        self.assertEqual(self.pair(), "new" if status == 0 else "old", label)
        self.assert_only("Pixeles.txt", "Entrenamiento.txt", "Test.txt")

    def write_old_pair(self):
        self.write("Entrenamiento.txt", OLD[0])
        self.write("Test.txt", OLD[1])

    def pair(self):
        """'old', 'new' or 'mixed': what the folder's set files are now."""
        got = (self.read("Entrenamiento.txt"), self.read("Test.txt"))
        if got == OLD:
            return "old"
        return "mixed" if OLD[0] in got or OLD[1] in got else "new"


def no_core():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def open_files(pid):
    """What the process holds open, as /proc names it ("... (deleted)" for
    a file without a name); nothing once it has ended."""
    try:
        return [os.readlink("/proc/%d/fd/%s" % (pid, fd))
                for fd in os.listdir("/proc/%d/fd" % pid)]
    except OSError:
        return []


def writing(pid):
    """True once the run holds a temporary set file open: unnamed, or named
    where the file system has no unnamed files."""
    return any(name.endswith(("(deleted)", ".tmp"))
               for name in open_files(pid))


def strace_runs():
    """strace is there and may trace the program (a sanitizer's leak check
    cannot run under a tracer)."""
    return (not RUN.sanitized and shutil.which("strace") is not None
            and subprocess.run(["strace", "-o", "/dev/null", "true"],
                               capture_output=True).returncode == 0)


_LARGE = []


def large_list():
    """About 40 MB of pixels of 13 values and a label, made once a run."""
    if not _LARGE:
        records = [b"%d %d %d %d %d %d %d %d %d %d %d %d %d %d" % (
            i % 4093, i * 7 % 4091, i * 13 % 4079, i * 3 % 4073, i % 4071,
            i * 11 % 4067, i * 17 % 4057, i % 4051, i * 19 % 4049,
            i * 23 % 4027, i % 4021, i * 29 % 4019, i * 31 % 4013, i % 7)
            for i in range(700000)]
        _LARGE.extend([records, b"\n".join([b"14"] + records) + b"\n"])
    return _LARGE


_STARTUP = []


def startup_kib():
    """The program's address space (KiB) once it asks its first question, on
    this machine: libraries and locale files (a locale archive can add
    hundreds of MiB) count against an address-space limit before any work."""
    if not _STARTUP:
        folder = tempfile.mkdtemp()
        try:
            proc = subprocess.Popen(RUN.runner, cwd=folder,
                                    stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL)
            proc.stdout.read(len(ASK_NAME))  # it is waiting for the name
            with open("/proc/%d/status" % proc.pid) as status:
                size = [line.split()[1] for line in status
                        if line.startswith("VmSize:")]
            proc.stdin.close()
            proc.wait()
            proc.stdout.close()
        finally:
            shutil.rmtree(folder)
        _STARTUP.append(int(size[0]))
    return _STARTUP[0]


def address_space(kib):
    """Runs the program with at most `kib` KiB of address space above what
    it has mapped at start-up on this machine."""
    total = (startup_kib() + kib) << 10

    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (total, total))
        no_core()
    return limit


def unnamed_files(pid):
    """How many files without a name the process holds open."""
    return sum(name.endswith("(deleted)") for name in open_files(pid))


def msvcrt_rand(seed):
    """rand() of the Microsoft C runtimes (and of Wine's): 15 bits a call."""
    state = seed
    while True:
        state = (state * 214013 + 2531011) & 0xffffffff
        yield (state >> 16) & 0x7fff


def wide_values(seed):
    """The program's values where rand() is 15 bits: three calls a value,
    the first in the high bits, cut to 31 bits."""
    calls = msvcrt_rand(seed)
    while True:
        yield ((next(calls) << 30 | next(calls) << 15 | next(calls))
               & 0x7fffffff)


def crlf(text):
    return text.replace(b"\n", b"\r\n")
