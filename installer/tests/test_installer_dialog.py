"""The interactive mode as a user meets it: the installer dialog on a virtual display,
driven by dialog_driver.exe (which starts the installer without arguments, clicks, types
and reports what the windows show), and what the installer did afterwards."""
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import winetest

TITLE = "Morlune Orvidex 3.32 Installer"
PACKAGE = "Morlune Orvidex 3.32 Package Contents"
CONFLICT = "Orvidex Installation Conflict"
# The Program Files folder of the installer's own bitness: a 32-bit program is given the
# 32-bit one on a 64-bit system.
DEFAULT_DIR = ("C:\\Program Files (x86)" if winetest.TREE == "win32" else "C:\\Program Files") + "\\Morlune Orvidex"
LOG = "C:\\standin.log"
COMPLETED = "Morlune Orvidex 3.32 installation completed."
UNINSTALL_ENTRY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvidex"
OLD_RELEASE_ENTRY = ("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                     "{3C7A91D2-5E48-4B06-9F1A-D28E6B40C7F5}")
INSTALL, CANCEL = "1", "2"
FOLDER, LICENCE, ACCEPT, CONTROL_PANEL, FOLDER_LINK, PACKAGE_LINK = "1001", "1005", "1006", "1013", "1007", "1008"


class InstallerDialog(winetest.PrefixTestCase):
    display = True

    def setUp(self):
        super().setUp()
        self.hold_desktop()

    def hold_desktop(self):
        """Starts Wine's desktop in the test's prefix before the first drive and keeps it up
        until the test ends (dialog_driver --hold): each drive then meets a desktop that stands.
        Under load the desktop can take longer to start than Wine lets a first window wait
        (10 s); the holder's window is then refused, and a new holder meets the desktop that
        the first one started. Each such start is printed."""
        driver = os.path.join(winetest.BIN, "dialog_driver.exe")
        deadline = time.monotonic() + 180
        for attempt in range(1, 100):
            out = tempfile.TemporaryFile()
            holder = subprocess.Popen([winetest.WINE64, driver, "--hold"], env=self.prefix.env, stdin=subprocess.PIPE,
                                      stdout=out, stderr=subprocess.STDOUT)
            while holder.poll() is None and time.monotonic() < deadline:
                out.seek(0)
                if out.read().startswith(b"holding"):
                    self.addCleanup(self.release_desktop, holder, out)
                    return
                time.sleep(0.1)
            if holder.poll() is None:
                holder.kill()
            holder.wait()
            out.seek(0)
            said = out.read().decode("latin-1").strip()
            out.close()
            # Only the refused window is started again; any other end is a fault to see.
            if holder.returncode != 98 or not said.startswith("driver: no window to hold the desktop with"):
                self.fail(f"the desktop holder ended with exit code {holder.returncode}: {said!r}")
            winetest.note_retry(f"desktop holder (attempt {attempt}), its window refused", holder.returncode, said)
            if time.monotonic() >= deadline:
                self.fail("the prefix's desktop did not come up within 180 s")

    def release_desktop(self, holder, out):
        holder.stdin.close()
        try:
            holder.wait(timeout=30)
        except subprocess.TimeoutExpired:
            holder.kill()
            holder.wait()
        out.close()

    def drive(self, *steps):
        return self.prefix.run("dialog_driver.exe", *steps, env={"ORVIDEX_STANDIN_LOG": LOG}, timeout=240)

    def states(self, result):
        """The driver's "state" reports by control id: (checked, enabled, focus, text)."""
        found = {}
        for m in re.finditer(r"^state (\d+) checked=(\d) enabled=(\d) focus=(\d) text=(.*)$", result.stderr, re.M):
            found.setdefault(m.group(1), []).append((m.group(2) == "1", m.group(3) == "1", m.group(4) == "1",
                                                     m.group(5)))
        return found

    def rects(self, result):
        return [(m.group(1), tuple(int(v) for v in m.group(2).split()))
                for m in re.finditer(r"^rect (\d+) (.*)$", result.stderr, re.M)]

    def exists(self, windows_path):
        return os.path.lexists(self.prefix.unix_path(windows_path))

    def calls(self):
        return self.prefix.read_lines(LOG)

    def key_exists(self, key):
        return self.prefix.reg("query", key).code == 0

    def test_installs_into_the_chosen_folder_and_starts_the_control_panel(self):
        r = self.drive("wait", TITLE, "state", INSTALL, "state", FOLDER, "state", LICENCE, "state", CONTROL_PANEL,
                       "click", ACCEPT, "state", INSTALL, "text", FOLDER, "C:\\Chosen Place",
                       "click", INSTALL, "answer", "Installation Completed", "1")
        self.assertEqual(r.code, 0, r)
        states = self.states(r)
        # Install waits for the agreement; the folder shows the default; the licence has the focus.
        self.assertEqual(states[INSTALL], [(False, False, False, "Install"), (False, True, False, "Install")])
        self.assertEqual(states[FOLDER][0][3], DEFAULT_DIR)
        self.assertTrue(states[LICENCE][0][2])
        self.assertTrue(states[CONTROL_PANEL][0][0])
        self.assertIn(f"box Installation Completed: {COMPLETED}\n", r.stderr)
        self.assertIn("Installing C:\\Chosen Place\\Orvidex.exe\n", r.stdout)
        self.assertTrue(r.stdout.endswith(COMPLETED + "\n"), r.stdout)
        self.assertTrue(self.exists("C:\\Chosen Place\\uninst.exe"))
        self.assertFalse(self.exists(DEFAULT_DIR))
        self.assertTrue(self.key_exists(UNINSTALL_ENTRY))
        self.assertIn("raridava.exe -FirstTime", self.calls())

    def test_control_panel_box_cleared_starts_nothing(self):
        r = self.drive("wait", TITLE, "click", ACCEPT, "click", CONTROL_PANEL, "click", INSTALL,
                       "answer", "Installation Completed", "1")
        self.assertEqual(r.code, 0, r)
        self.assertTrue(self.exists(DEFAULT_DIR + "\\Orvidex.exe"))
        self.assertFalse([c for c in self.calls() if c.startswith("raridava.exe")], self.calls())

    def test_leaving_the_dialog_without_install_changes_nothing(self):
        for how in (("click", CANCEL), ("close",), ("click", ACCEPT, "click", CANCEL)):
            with self.subTest(how=how):
                r = self.drive("wait", TITLE, *how)
                self.assertEqual(r.code, 202, r)
                self.assertEqual(r.stdout, "")
                self.assertFalse(self.exists(DEFAULT_DIR))
                self.assertFalse(self.key_exists("HKLM\\SOFTWARE\\Morlune"))

    def test_install_is_refused_until_the_agreement_is_accepted(self):
        # The command Install sends, arriving while the box is clear: the dialog stays.
        r = self.drive("wait", TITLE, "command", INSTALL, "count", TITLE, "click", CANCEL)
        self.assertEqual(r.code, 202, r)
        self.assertIn(f"count {TITLE} 1\n", r.stderr)

    def test_a_folder_that_cannot_be_used_gives_its_message(self):
        with open(self.prefix.unix_path("C:\\plainfile"), "w") as fh:
            fh.write("x")
        cases = [
            ("C:\\missing\\deeper\\Orvidex", "Directory Creation Failed", 101,
             r"Unable to create target directory 'C:\\missing\\deeper\\Orvidex': OS error 3\b"),
            # The whole text comes back from the dialog, however long: never a shorter path.
            ("C:\\" + "a" * 300, "Directory Creation Failed", 101,
             r"Unable to create target directory 'C:\\" + "a" * 300 + "': OS error"),
            ("C:\\plainfile", "Invalid Target Directory", 103,
             r"Unable to create target directory 'C:\\plainfile': The specified target path already exists "
             r"and is not a directory\."),
        ]
        for folder, box, code, text in cases:
            with self.subTest(folder=folder):
                r = self.drive("wait", TITLE, "click", ACCEPT, "text", FOLDER, folder, "click", INSTALL,
                               "answer", box, "1")
                self.assertEqual(r.code, code, r)
                self.assertRegex(r.stderr, f"box {box}: {text}")
                self.assertNotIn("Installing", r.stdout)
                self.assertFalse(self.exists("C:\\missing"))

    def test_browsing_keeps_the_typed_folder_or_takes_the_picked_one(self):
        r = self.drive("wait", TITLE, "text", FOLDER, "C:\\windows\\system32", "command", FOLDER_LINK,
                       "wait", "Browse for Folder", "command", "1", "wait", TITLE, "state", FOLDER,
                       "text", FOLDER, "C:\\typed here", "command", FOLDER_LINK,
                       "wait", "Browse for Folder", "command", "2", "wait", TITLE, "state", FOLDER,
                       "click", CANCEL)
        self.assertEqual(r.code, 202, r)
        texts = [s[3] for s in self.states(r)[FOLDER]]
        self.assertEqual([t.lower() for t in texts], ["c:\\windows\\system32", "c:\\typed here"])

    def test_package_contents_window_opens_once_and_again_after_closing(self):
        r = self.drive("wait", TITLE, "firstline", LICENCE, "command", PACKAGE_LINK, "wait", PACKAGE, "sleep", "500",
                       "firstline", "0", "wait", TITLE,
                       "command", PACKAGE_LINK, "count", PACKAGE,
                       "wait", PACKAGE, "sysclose", "count", PACKAGE,
                       "wait", TITLE, "command", PACKAGE_LINK, "wait", PACKAGE, "count", PACKAGE,
                       "wait", TITLE, "click", CANCEL, "sleep", "300", "count", PACKAGE)
        self.assertEqual(r.code, 202, r)
        counts = re.findall(rf"^count {PACKAGE} (\d+)$", r.stderr, re.M)
        # Ending the dialog takes the window with it.
        self.assertEqual(counts, ["1", "0", "1", "0"], r.stderr)
        # Both documents show their first line (the contents pane has the id 0).
        self.assertEqual(re.findall(r"^firstline (\d+) (\d+)$", r.stderr, re.M), [(LICENCE, "0"), ("0", "0")])

    def test_resizing_keeps_the_layout(self):
        r = self.drive("wait", TITLE, "rect", LICENCE,
                       "size", "900", "700", "rect", INSTALL, "rect", CANCEL, "rect", LICENCE, "rect", FOLDER,
                       "rect", CONTROL_PANEL,
                       "size", "700", "800", "rect", INSTALL, "rect", CANCEL, "rect", LICENCE, "rect", FOLDER,
                       "rect", CONTROL_PANEL,
                       "minmax", "rect", INSTALL, "rect", CANCEL, "rect", LICENCE, "rect", FOLDER,
                       "rect", CONTROL_PANEL,
                       "size", "50", "50", "click", CANCEL)
        self.assertEqual(r.code, 202, r)
        clients = [tuple(int(v) for v in m.split()) for m in re.findall(r"^client (.*)$", r.stderr, re.M)]
        rects = self.rects(r)
        original_pane = rects[0][1]
        layouts = [dict(rects[1 + 5 * i: 6 + 5 * i]) for i in range(3)]
        for (width, height), layout in zip([clients[0], clients[1], clients[1]], layouts):
            install, cancel = layout[INSTALL], layout[CANCEL]
            # The buttons stay centred, the same distance either side of the middle.
            self.assertAlmostEqual(install[2] + cancel[0], width, delta=1)
            # The licence pane grows both ways; the folder box grows in width.
            self.assertEqual(layout[LICENCE][:2], original_pane[:2])
        first, second, restored = layouts
        (w1, h1), (w2, h2) = clients[0], clients[1]
        for control in (LICENCE, FOLDER):
            self.assertEqual(w1 - first[control][2], w2 - second[control][2])
        for control in (INSTALL, CONTROL_PANEL, FOLDER, LICENCE):
            self.assertEqual(h1 - first[control][3], h2 - second[control][3])
        self.assertEqual(first[CONTROL_PANEL][2] - first[CONTROL_PANEL][0],
                         second[CONTROL_PANEL][2] - second[CONTROL_PANEL][0])
        # Minimising and restoring leaves the layout as it was.
        self.assertEqual(restored, second)
        # Shrinking stops at the minimum: smaller than the template, never down to 50 x 50.
        small_width, small_height = clients[2]
        pane_width = original_pane[2] - original_pane[0]
        self.assertGreater(small_width, pane_width)
        self.assertGreater(small_height, original_pane[3])

    def test_rich_edit_library_comes_from_the_system_directory(self):
        # An installer run from a download folder must not load a "riched20.dll" lying there.
        folder = self.prefix.unix_path("C:\\Downloads")
        os.makedirs(folder)
        for program in ("OrvidexInstaller.exe", "dialog_driver.exe"):
            shutil.copy(os.path.join(winetest.BIN, program), folder)
        with open(os.path.join(folder, "riched20.dll"), "wb") as fh:
            fh.write(b"MZ not a library")
        r = self.prefix.run(os.path.join(folder, "dialog_driver.exe"), "wait", TITLE, "click", CANCEL)
        self.assertEqual(r.code, 202, r)

    def test_version_conflict_dialog(self):
        self.prefix.reg("add", UNINSTALL_ENTRY, "/v", "Version", "/d", "3.31", "/f")
        marker = "HKCU\\Software\\UninstallerStarted"
        self.prefix.reg("add", UNINSTALL_ENTRY, "/v", "UninstallString", "/d",
                        f"C:\\windows\\system32\\reg.exe add {marker} /f", "/f")
        # Uninstall starts the earlier release's uninstaller and keeps the dialog open.
        r = self.drive("wait", CONFLICT, "state", "1004", "click", "1", "sleep", "1500", "count", CONFLICT,
                       "click", "2")
        self.assertEqual(r.code, 100, r)
        # The control's "\r\n" reaches us as it is: the driver's stream adds its own "\r" only
        # to line feeds, and the runner removes only that one.
        self.assertIn("text=A previous version of Orvidex is already installed. Continuing installation\r\n"
                      "without first removing the existing copy is not recommended. When the\r\n"
                      "new version is installed, your settings and keypair will be preserved.\n", r.stderr)
        self.assertIn(f"count {CONFLICT} 1\n", r.stderr)
        # (reg.exe, the uninstaller here, writes to the same console.)
        self.assertTrue(r.stdout.endswith("\nA previous Orvidex version is already installed; aborting\n"), r)
        self.assertTrue(self.key_exists(marker))
        # Continue goes on to the installer dialog.
        r = self.drive("wait", CONFLICT, "click", "1005", "wait", TITLE, "click", CANCEL)
        self.assertEqual(r.code, 202, r)
        self.assertEqual(r.stdout, "")

    def test_version_conflict_texts_show_whole_below_the_template_layout(self):
        # Whatever font stands in for the template's, every line of each explanation is shown,
        # and the buttons keep their place below the text and above the dialog's bottom edge.
        cases = [
            ("release 1.1", OLD_RELEASE_ENTRY, None),
            ("older release", UNINSTALL_ENTRY, "3.31"),
            ("same or newer release", UNINSTALL_ENTRY, "3.32"),
        ]
        for case, key, version in cases:
            with self.subTest(case=case):
                self.prefix.reg("add", key, "/v", "UninstallString", "/d", "C:\\nothing.exe", "/f")
                if version:
                    self.prefix.reg("add", key, "/v", "Version", "/d", version, "/f")
                r = self.drive("wait", CONFLICT, "textfit", "1004", "client", "rect", "1004", "rect", "1006",
                               "rect", "1", "rect", "1005", "rect", "2", "click", "2")
                self.prefix.reg("delete", key, "/f")
                self.assertEqual(r.code, 100, r)
                fit = re.search(r"^textfit 1004 lines=(\d+) top=(-?\d+) bottom=(-?\d+) height=(\d+)$",
                                r.stderr, re.M)
                self.assertIsNotNone(fit, r.stderr)
                lines, top, bottom, height = (int(v) for v in fit.groups())
                self.assertGreaterEqual(lines, 3)
                self.assertEqual(top, 0, r.stderr)
                self.assertLessEqual(bottom, height, r.stderr)
                width, client_height = (int(v) for v in re.search(r"^client (\d+) (\d+)$", r.stderr, re.M).groups())
                rects = dict(self.rects(r))
                text = rects["1004"]
                # 6 dialog units above the text, 8 between it and the buttons, 7 below them.
                unit = text[1] / 6
                for button in ("1", "1005", "2"):
                    self.assertEqual(rects[button][1], rects["1"][1])
                    self.assertAlmostEqual(rects[button][1] - text[3], 8 * unit, delta=1.5)
                    self.assertAlmostEqual(client_height - rects[button][3], 7 * unit, delta=1.5)
                    self.assertLessEqual(rects[button][2], width)
                self.assertLessEqual(rects["1006"][3], rects["1"][1])


if __name__ == "__main__":
    winetest.main()
