"""The prerequisite checks as a user meets them: Wine's per-program Windows version makes the
installer see an unsupported system."""
import unittest

import winetest

ABORT = ("Orvidex requires Windows NT 4.0, or higher (use /Force flag to override version checking), "
         "aborting\n")
WARNING = "Warning: Orvidex requires Windows NT 4.0, or higher\n"
EULA_MESSAGE = "The licence agreement must be accepted with /AcceptEULA to install unattended.\n"
DIR = "C:\\orvidex-test"


class UnsupportedWindows(winetest.PrefixTestCase):
    def test_old_versions_abort_with_130_unless_forced(self):
        for version in ("nt351", "win98"):
            with self.subTest(version=version):
                self.prefix.set_windows_version("OrvidexInstaller.exe", version)
                r = self.prefix.installer("/InstallDir", DIR, "/AcceptEULA")
                self.assertEqual((r.code, r.stdout, r.stderr), (130, ABORT, ""))
                # /Force turns the abort into a warning and the run goes on to the licence check.
                r = self.prefix.installer("/InstallDir", DIR, "/Force")
                self.assertEqual((r.code, r.stdout, r.stderr), (140, WARNING, EULA_MESSAGE))
                # Interactive: the question cannot be answered Yes without a display; no output.
                r = self.prefix.installer()
                self.assertEqual((r.code, r.stdout), (130, ""))

    def test_supported_versions_pass_silently(self):
        for version in ("nt40", "winxp"):
            with self.subTest(version=version):
                self.prefix.set_windows_version("OrvidexInstaller.exe", version)
                r = self.prefix.installer("/InstallDir", DIR)
                self.assertEqual((r.code, r.stdout, r.stderr), (140, "", EULA_MESSAGE))


if __name__ == "__main__":
    winetest.main()
