"""Set files behind symbolic links."""

import os
import random
import resource
import shutil
import signal
import subprocess
import threading
import time

from harness import *  # noqa: F401,F403 (the cases' common words)


def planted(case):
    """The working folder is shared (sticky, writable by all) and somebody
    else's link in it points at the user's own file."""
    os.chmod(".", 0o1777)
    os.chown(os.path.join("otra", "Test.txt"), Links.USER, Links.USER)
    os.chown("otra", Links.USER, Links.USER)
    os.lchown("Test.txt", Links.USER + 1, Links.USER + 1)


class Links(Folder):
    """A set file that is a symbolic link is written through it, as a
    shell's ">" would, or refused with nothing changed."""

    USER = 4242
    NEW = "new"  # the file the link leads to holds the new set

    # name of the case; links made in the working folder; what the run
    # says on standard error (empty when it succeeds); a change of the
    # folder before the run
    CASES = (
        ("into another folder", {"Test.txt": "otra/Test.txt"}, b"", None),
        ("dangling", {"Entrenamiento.txt": "otra/nuevo.txt"}, b"", None),
        ("to a link", {"Test.txt": "enlace", "enlace": "otra/Test.txt"},
         b"", None),
        ("both, absolute", {"Test.txt": "{here}/otra/Test.txt",
                            "Entrenamiento.txt": "{here}/otra/E.txt"},
         b"", None),
        ("to a folder", {"Test.txt": "otra"},
         b"Error al escribir el fichero Test.txt: Is a directory\n", None),
        ("a loop", {"Test.txt": "Test.txt"},
         b"Error al escribir el fichero Test.txt: Too many levels of "
         b"symbolic links\n", None),
        ("planted by another user in a shared folder",
         {"Test.txt": "otra/Test.txt"},
         b"Error al escribir el fichero Test.txt: Permission denied\n",
         planted),
    )

    def test_link_table(self):
        as_user = os.geteuid() == 0 and shutil.which("setpriv")
        records, source = pixel_list(3, 30)
        here = os.getcwd()
        for label, links, message, prepare in self.CASES:
            if prepare is not None and not as_user:
                continue  # needs root, to plant as another user
            os.chmod(here, 0o755)
            for name in os.listdir("."):
                if os.path.isdir(name) and not os.path.islink(name):
                    shutil.rmtree(name)
                else:
                    os.unlink(name)
            self.write("Pixeles.txt", source)
            os.mkdir("otra")
            self.write("otra/Test.txt", b"1\nold")
            os.chmod("otra/Test.txt", 0o640)
            owner = (4242, 4343) if os.geteuid() == 0 else (os.getuid(),
                                                           os.getgid())
            os.chown("otra/Test.txt", *owner)
            for name, target in links.items():
                os.symlink(target.format(here=here), name)
            if prepare is not None:
                prepare(label)
                owner = (self.USER, self.USER)
            before = {name: os.readlink(name) for name in links}
            args = (["setpriv", "--reuid=%d" % self.USER,
                     "--regid=%d" % self.USER, "--clear-groups", RUN.program]
                    if prepare is not None else None)
            done = self.run_tool(b"Pixeles.txt 10 10\n", args=args)
            self.assertEqual(done.stderr, message, label)
            self.assertEqual(done.returncode, 1 if message else 0, label)
            # The links stay links, leading where they led.
            self.assertEqual({name: os.readlink(name) for name in links},
                             before, label)
            kept = os.stat("otra/Test.txt")
            self.assertEqual((kept.st_mode & 0o7777, kept.st_uid,
                              kept.st_gid), (0o640,) + owner, label)
            test = self.read("otra/Test.txt")
            if message or "Test.txt" not in links:
                self.assertEqual(test, b"1\nold", label)
            else:
                self.assertEqual(test.count(b"\n"), 10, label)
            for name in os.listdir("otra"):
                self.assertFalse(name.startswith("."), label)
                if name != "Test.txt":
                    got = self.read(os.path.join("otra", name)).split(b"\n")
                    self.assertEqual(got[0], b"3", label)
                    self.assertTrue(set(got[1:]) <= set(records), label)
            self.assertFalse([n for n in os.listdir(".")
                              if n.startswith(".")], label)
        os.chmod(here, 0o700)

    def test_two_names_that_lead_to_one_file_are_refused(self):
        """However the two names get to one file, the run is refused
        before anything is written: one set would replace the other."""
        here = os.path.basename(os.getcwd())
        cases = (
            ("training a link to test", {"Entrenamiento.txt": "Test.txt"}),
            ("test a link to training", {"Test.txt": "Entrenamiento.txt"}),
            ("both links to one file", {"Entrenamiento.txt": "otra/uno.txt",
                                        "Test.txt": "otra/uno.txt"}),
            ("a link through another name of the folder",
             {"mismo": ".", "Entrenamiento.txt": "mismo/Test.txt"}),
            ("a link through the folder above",
             {"Test.txt": "../%s/Entrenamiento.txt" % here}),
        )
        message = (b"Error al escribir el fichero Test.txt: es el mismo "
                   b"fichero que Entrenamiento.txt\n")
        for label, links in cases:
            for name in os.listdir("."):
                if os.path.isdir(name) and not os.path.islink(name):
                    shutil.rmtree(name)
                else:
                    os.unlink(name)
            self.write_source(30)
            os.mkdir("otra")
            self.write("otra/uno.txt", b"1\nold")
            for name, target in links.items():
                os.symlink(target, name)
            for name in ("Entrenamiento.txt", "Test.txt"):
                if not os.path.lexists(name):
                    self.write(name, b"1\nold " + name.encode())
            before = {name: self.read(name)
                      for name in ("Entrenamiento.txt", "Test.txt",
                                   "otra/uno.txt")}
            self.assert_run(b"Pixeles.txt 10 10\n", 1, message, label)
            self.assertEqual({name: self.read(name) for name in before},
                             before, label)
            self.assertEqual({name: os.readlink(name) for name in links},
                             links, label)
            self.assertEqual(sorted(os.listdir(".") + os.listdir("otra")),
                             sorted(["Pixeles.txt", "Entrenamiento.txt",
                                     "Test.txt", "otra", "uno.txt"]
                                    + [n for n in links if n == "mismo"]),
                             label)
