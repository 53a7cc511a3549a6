"""What a failed run says, as an administrator reads it in a deployment log: the file or
object, the operation and the system's reason (its error code; the text is the system's
own). The exit codes stay those of each failure. A reinstallation that runs out of disk
space is told the same way (test_interrupted_reinstall.py, which makes the small drive)."""
import concurrent.futures
import os
import re
import unittest

import winetest

DIR = "C:\\T"
UNINSTALL = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvidex"


def folder_at(path):
    return lambda prefix: os.makedirs(prefix.unix_path(path))


def windows_version(version):
    return lambda prefix: prefix.set_windows_version("OrvidexInstaller.exe", version)


def installed_release(prefix):
    r = prefix.reg("add", UNINSTALL, "/v", "UninstallString", "/d", "uninst.exe Orvidex", "/f")
    assert r.code == 0, r
    r = prefix.reg("add", UNINSTALL, "/v", "Version", "/d", "3.32", "/f")
    assert r.code == 0, r


UNATTENDED = ("/InstallDir", DIR, "/AcceptEULA")
# (what fails, what is there before, arguments, stand-in switches, exit code, the line, as a
# pattern: the system's own text of an error code is left open).
CASES = [
    ("a folder where a payload file goes", [folder_at(DIR + "\\scp.exe")], UNATTENDED + ("/Force",), {}, 150,
     r"std::exception caught: Writing 'C:\\T\\scp\.exe' failed: MoveFileExA\(\) failed: OS error 5: .+"),
    # Windows NT 4.0 names an Administrative Tools folder that this system lacks.
    ("a link that cannot be saved", [windows_version("nt40")], UNATTENDED, {}, 105,
     r"Creating shortcut 'C:\\[^']+" + re.escape("\\Administrative Tools (Common)\\Orvidex Control Panel.lnk' "
                                          "failed: IPersistFile::Save() failed with error code: -2147024893. "
                                          "Description: ") + r".+, aborting"),
    ("a fault in the server's registration", [], UNATTENDED, {"ORVIDEX_SERVER_REGISTER_FAULT": "1"}, 150,
     re.escape("std::exception caught: DllRegisterServer() of 'C:\\T\\OrvidexCfgManip.dll' failed: "
               "EXCEPTION_ACCESS_VIOLATION (0xc0000005)")),
    ("an empty argument", [], ("",), {}, 150,
     re.escape('std::exception caught: Reading the command line failed: an argument is empty (""); an option '
               "or a value was expected")),
    ("an empty settings file name", [], UNATTENDED + ("/Settings", ""), {}, 150,
     re.escape('std::exception caught: Reading the command line failed: an argument is empty (""); an option '
               "or a value was expected")),
    # No display here: the dialogs cannot be made.
    ("the installer dialog", [], (), {}, 202, r"Creating the installer dialog failed: OS error 1400: .+"),
    ("the version-conflict dialog", [installed_release], (), {}, 100,
     r"Creating the version-conflict dialog failed: OS error 1400: .+\n"
     r"An identical or newer Orvidex version is already installed; aborting"),
]


def failed_run(setup, args, env):
    with winetest.WinePrefix() as prefix:
        for make in setup:
            make(prefix)
        return prefix.installer(*args, env=env)


class FailureMessages(unittest.TestCase):
    def test_each_failure_names_what_failed_and_why(self):
        with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
            runs = [(what, code, line, pool.submit(failed_run, setup, args, env))
                    for what, setup, args, env, code, line in CASES]
            for what, code, line, run in runs:
                with self.subTest(what):
                    r = run.result()
                    self.assertEqual(r.code, code, r)
                    self.assertRegex(r.stdout, re.compile("^" + line + "$", re.MULTILINE))


if __name__ == "__main__":
    winetest.main()
