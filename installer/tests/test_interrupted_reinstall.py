"""A reinstallation ("/Force" over the installed release) that is cut off anywhere, as by a
killed process or a lost power supply, or that runs out of disk space, leaves a working
installation: every payload file and shortcut is the earlier one or the new one, whole; the
uninstall entry still works; and the next runs, plain and then with "/Force", end in a
working installation.

The cuts are made by a preloaded library (cut_writes.c), which kills the installer as it
enters its n-th write of a kind: a file's data, a console line, or a request to the
wineserver (every registry change and file operation is one). A first, logged run of the same
reinstallation tells which write is which, so the cuts land where they are meant to: spread
over the whole run, inside the writing of payload files and links, around a file's
replacement, and inside the uninstaller step."""
import json
import os
import shutil
import subprocess
import tempfile
import time
import unittest

import winetest

HERE = os.path.dirname(os.path.abspath(__file__))
DIR = "C:\\T"
NAMES = ["Orvidex.exe", "raridava.exe", "rivurere.exe", "zirazove.exe", "duzaz.exe", "scp.exe", "zidovi.exe",
         "mlterms.exe", "ocfg.exe", "OrvidexCfgManip.dll", "mlPwd.exe", "mlRun.exe", "SftpPluginSample.dll",
         "SftpPluginSample.cpp", "uninst.exe"]
ENTRY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvidex"
ENTRY_VALUES = ["DisplayName", "DisplayIcon", "UninstallString", "UninstallParam", "Version"]
SHELL_FOLDERS = "HKCU\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders"
COMPLETED = "Morlune Orvidex 3.32 installation completed.\n"
INSTALLED = "An identical or newer Orvidex version is already installed; aborting\n"
# Cuts this close to the end of the traced run could miss a run that makes a few requests less.
END_MARGIN = 40


def old_content(name):
    """What a payload file of the installed release holds before the reinstallation, so that
    the earlier file and the new one can be told apart."""
    return ("earlier " + name + "\n").encode()


class Installation:
    """The release installed in one prefix, and what each of its parts looks like whole."""

    def __init__(self, test, prefix):
        self.test, self.prefix = test, prefix
        r = prefix.installer("/InstallDir", DIR, "/AcceptEULA")
        test.assertEqual(r.code, 0, r)
        self.files = {name: self.read(DIR + "\\" + name) for name in NAMES}
        menu = self.regtree(SHELL_FOLDERS)["values"]["Programs"]["text"] + "\\Morlune Orvidex"
        self.links = [menu + "\\Orvidex Control Panel.lnk", menu + "\\Uninstall Orvidex.lnk"]
        # A link records its target's times, so a rewritten link differs in bytes, not in size.
        self.link_sizes = {link: len(self.read(link)) for link in self.links}
        self.link_fields = {link: self.link(link) for link in self.links}
        for fields in self.link_fields.values():
            test.assertIsInstance(fields, dict, fields)
        self.entry = self.entry_values()
        test.assertIsInstance(self.entry, dict, self.entry)
        test.assertEqual(sorted(self.entry), sorted(ENTRY_VALUES))

    def read(self, path):
        with open(self.prefix.unix_path(path), "rb") as fh:
            return fh.read()

    def probe(self, *args):
        r = self.prefix.run("installprobe.exe", *args)
        self.test.assertEqual(r.code, 0, r)
        return r.stdout

    def regtree(self, key):
        return json.loads(self.probe("regtree", key))

    def link(self, path):
        """A link's fields; when it cannot be read, what the probe said instead."""
        r = self.prefix.run("installprobe.exe", "link", path)
        if r.code != 0:
            return f"installprobe link ended with {r.code}: {(r.stdout + r.stderr).strip()}"
        return dict(line.split("=", 1) for line in r.stdout.splitlines())

    def entry_values(self):
        r = self.prefix.run("installprobe.exe", "regtree", ENTRY)
        if r.code != 0:
            return f"installprobe regtree ended with {r.code}: {(r.stdout + r.stderr).strip()}"
        return {name: value.get("text") for name, value in json.loads(r.stdout)["values"].items()}

    def mark_files_old(self):
        """Gives every payload file a content of its own, and notes the links as they are."""
        for name in NAMES:
            with open(self.prefix.unix_path(DIR + "\\" + name), "wb") as fh:
                fh.write(old_content(name))
        self.old_links = {link: self.read(link) for link in self.links}

    def check_cut(self, where):
        """After a cut: each part is the earlier one or the new one, whole."""
        for name in NAMES:
            content = self.read(DIR + "\\" + name)
            self.test.assertTrue(content in (old_content(name), self.files[name]),
                                 f"{where}: {name} is neither the earlier file nor the new one "
                                 f"({len(content)} of {len(self.files[name])} bytes)")
        for link in self.links:
            content = self.read(link)
            if content != self.old_links[link]:
                self.test.assertEqual((len(content), self.link(link)), (self.link_sizes[link], self.link_fields[link]),
                                      f"{where}: {link} is neither the earlier link nor the new one")
        self.test.assertEqual(self.entry_values(), self.entry, f"{where}: the uninstall entry")

    def check_whole(self, where):
        """After a completed run: the new release and nothing else of ours (the plain run
        before it has shown that the entry works)."""
        for name in NAMES:
            self.test.assertTrue(self.read(DIR + "\\" + name) == self.files[name], f"{where}: {name}")
        self.test.assertEqual(sorted(os.listdir(self.prefix.unix_path(DIR))), sorted(NAMES), where)
        menu = self.prefix.unix_path(self.links[0].rsplit("\\", 1)[0])
        self.test.assertEqual(sorted(os.listdir(menu)), sorted(link.rsplit("\\", 1)[1] for link in self.links),
                              where)
        for link in self.links:
            self.test.assertEqual(len(self.read(link)), self.link_sizes[link], f"{where}: {link}")

    def wait_for_children(self):
        """A cut installer leaves the service program it waited for running to its end."""
        deadline = time.monotonic() + 30
        while any("orvidex.exe" in p.lower() for p in self.prefix.processes()) and time.monotonic() < deadline:
            time.sleep(0.1)


class Cutter:
    """Runs the /Force reinstallation with the cut_writes.c library preloaded, built here."""

    def __init__(self, folder):
        self.folder = folder
        self.library = os.path.join(folder, "cut_writes.so")
        subprocess.run(["gcc", "-O2", "-Wall", "-Wextra", "-Werror", "-shared", "-fPIC", "-o", self.library,
                        os.path.join(HERE, "cut_writes.c"), "-ldl"], check=True)

    def run(self, prefix, out, **settings):
        env = dict(prefix.env, LD_PRELOAD=self.library, ORVIDEX_CUT_PROGRAM="OrvidexInstaller.exe")
        env.update(settings)
        command = [winetest.WINE64, os.path.join(winetest.BIN, "OrvidexInstaller.exe"), "/InstallDir", DIR,
                   "/AcceptEULA", "/Force"]
        with open(out, "wb") as fh:
            return subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=fh, stderr=subprocess.DEVNULL,
                                  timeout=300)

    def traced_writes(self, test, prefix):
        """The writes of a whole reinstallation, in order (the run leaves a new installation),
        and the file its console output went to."""
        out, log = os.path.join(self.folder, "out"), os.path.join(self.folder, "writes")
        if os.path.exists(log):
            os.remove(log)
        r = self.run(prefix, out, ORVIDEX_CUT_LOG=log)
        with open(out, "rb") as fh:
            output = fh.read().decode("latin-1").replace("\r\n", "\n")
        test.assertEqual(r.returncode, 0, output)
        test.assertTrue(output.endswith(COMPLETED), output)
        with open(log, encoding="latin-1") as fh:
            writes = [Write(*line.rstrip("\n").split("\t", 3)) for line in fh]
        return writes, out

    def cut(self, prefix, write):
        return self.run(prefix, os.path.join(self.folder, "cut"), ORVIDEX_CUT_AT=f"{write.call} {write.number}")


class Write:
    """One write of the traced run: its call, its number among that call's writes, where to,
    and its first bytes."""

    def __init__(self, call, number, target, start):
        self.call, self.number, self.target, self.start = call, int(number), target, start

    def console(self, out):
        return self.target == out

    def to_file(self, prefix):
        return self.target.startswith(os.path.join(prefix.path, "drive_c") + os.sep)


@unittest.skipUnless(shutil.which("gcc") and winetest.TREE == "win64",
                     "needs gcc and the x86_64 build (the i686 one runs under an emulator)")
class CutReinstallation(unittest.TestCase):
    """Each test installs a release in a fresh prefix, traces one reinstallation, then cuts
    the same reinstallation at its points one after the other; after each cut the release
    must work, and a plain run and a "/Force" run then complete it."""

    def cut_at(self, choose, part, parts):
        """Cuts at every parts-th of the chosen points, from the part-th on: the parts of one
        choice run as tests of their own, side by side."""
        with winetest.WinePrefix() as prefix, tempfile.TemporaryDirectory() as folder:
            cutter = Cutter(folder)
            installation = Installation(self, prefix)
            installation.mark_files_old()
            writes, out = cutter.traced_writes(self, prefix)
            points = choose(self, writes, out, prefix)
            self.assertTrue(points)
            for write in points[part - 1::parts]:
                where = f"cut at {write.call} {write.number} ({write.target}: {write.start})"
                with self.subTest(where):
                    installation.mark_files_old()
                    self.assertEqual(cutter.cut(prefix, write).returncode, -9, where)
                    installation.wait_for_children()
                    installation.check_cut(where)
                    r = prefix.installer("/InstallDir", DIR, "/AcceptEULA")
                    self.assertEqual((r.code, r.stdout), (100, INSTALLED), where)
                    r = prefix.installer("/InstallDir", DIR, "/AcceptEULA", "/Force")
                    self.assertEqual(r.code, 0, r)
                    self.assertTrue(r.stdout.endswith(COMPLETED), r.stdout)
                    installation.check_whole(where)


def spread_over_the_whole_run(test, writes, out, prefix):
    usable = len(writes) - END_MARGIN
    return [writes[usable * i // 10] for i in range(1, 10)]


def inside_file_and_link_writes_and_around_a_replacement(test, writes, out, prefix):
    # The runs of writes into one file, in order.
    runs = []
    for index, write in enumerate(writes):
        if write.to_file(prefix):
            if runs and runs[-1][0] == write.target and runs[-1][2] == index - 1:
                runs[-1][2] = index
            else:
                runs.append([write.target, index, index])
    wanted = ["Orvidex.exe", "OrvidexCfgManip.dll", "uninst.exe", "Orvidex Control Panel.lnk",
              "Uninstall Orvidex.lnk"]
    points = []
    for name in wanted:
        (first, last), = [(f, l) for target, f, l in runs if os.path.basename(target).startswith(name)]
        test.assertGreater(last, first, f"{name} is written in one piece: no cut inside it")
        points.append(writes[(first + last + 1) // 2])
        if name == "OrvidexCfgManip.dll":
            # The requests that close the file and put it in place.
            points += writes[last + 1:last + 4]
    return points


def inside_the_uninstaller_step(test, writes, out, prefix):
    console = [i for i, w in enumerate(writes) if w.console(out)]
    (start,) = [i for i in console if writes[i].start.startswith("Registering uninstaller")]
    end = next(i for i in console if i > start)
    test.assertGreater(end - start, 10)
    return writes[start + 1:end:5]


# Each choice of cut points, in two tests that take every other point.
PARTS = 2
for _choose in (spread_over_the_whole_run, inside_file_and_link_writes_and_around_a_replacement,
                inside_the_uninstaller_step):
    for _part in range(1, PARTS + 1):
        setattr(CutReinstallation, f"test_cuts_{_choose.__name__}_part_{_part}_of_{PARTS}",
                lambda self, choose=_choose, part=_part: self.cut_at(choose, part, PARTS))


@unittest.skipUnless(os.geteuid() == 0, "needs root to mount a small drive")
class FullDisk(winetest.PrefixTestCase):
    def small_drive(self, letter):
        """A 4 MiB drive of this prefix, on a tmpfs that the test mounts and removes."""
        folder = tempfile.mkdtemp(prefix="orvidex-small-drive.")
        self.addCleanup(os.rmdir, folder)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m,mode=0755", "orvidex-small-drive", folder], check=True)
        self.addCleanup(subprocess.run, ["umount", "--lazy", folder], check=True)
        os.symlink(folder, os.path.join(self.prefix.path, "dosdevices", letter.lower() + ":"))
        return folder

    def test_reinstallation_out_of_space_keeps_the_installed_files_and_says_which_and_why(self):
        drive = self.small_drive("T")
        r = self.prefix.installer("/InstallDir", "T:\\Orvidex", "/AcceptEULA")
        self.assertEqual(r.code, 0, r)
        installed = {}
        for name in NAMES:
            with open(os.path.join(drive, "Orvidex", name), "rb") as fh:
                installed[name] = fh.read()
        # Fill the drive, then leave less room than the first file needs.
        with open(os.path.join(drive, "filler"), "wb") as fh:
            try:
                while True:
                    fh.write(b"\0" * 65536)
                    fh.flush()
            except OSError:
                pass
        size = os.path.getsize(os.path.join(drive, "filler"))
        os.truncate(os.path.join(drive, "filler"), size - 40960)

        r = self.prefix.installer("/InstallDir", "T:\\Orvidex", "/AcceptEULA", "/Force")
        self.assertEqual(r.code, 150, r)
        self.assertIn("\nInstalling T:\\Orvidex\\Orvidex.exe\nstd::exception caught: Writing 'T:\\Orvidex\\Orvidex.exe' "
                      "failed: WriteFile() failed: OS error 112", r.stdout)
        self.assertEqual(sorted(os.listdir(os.path.join(drive, "Orvidex"))), sorted(NAMES))
        for name in NAMES:
            with open(os.path.join(drive, "Orvidex", name), "rb") as fh:
                self.assertTrue(fh.read() == installed[name], name)


if __name__ == "__main__":
    winetest.main()
