"""The installation steps as a user meets them: the maker's key, the installation directory,
the fifteen payload files, the service and the in-process server, and the rollback of all
of it in reverse order when a later step fails. The stand-in payloads are switched by
environment variables to reach every failure path."""
import json
import os
import re
import unittest

import winetest

DIR = "C:\\Orvidex"
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
# (file name, the stand-in it must equal), in the order the installer writes them.
PAYLOADS = [
    ("Orvidex.exe", "Orvidex.exe"),
    ("raridava.exe", "standin-recorder.exe"),
    ("rivurere.exe", "standin-recorder.exe"),
    ("zirazove.exe", "standin-recorder.exe"),
    ("duzaz.exe", "standin-recorder.exe"),
    ("scp.exe", "standin-recorder.exe"),
    ("zidovi.exe", "standin-recorder.exe"),
    ("mlterms.exe", "standin-recorder.exe"),
    ("ocfg.exe", "standin-recorder.exe"),
    ("OrvidexCfgManip.dll", "OrvidexCfgManip.dll"),
    ("mlPwd.exe", "standin-recorder.exe"),
    ("mlRun.exe", "standin-recorder.exe"),
    ("SftpPluginSample.dll", "SftpPluginSample.dll"),
    ("SftpPluginSample.cpp", os.path.join(SOURCE, "payload", "sftp_plugin_sample", "SftpPluginSample.cpp")),
    ("uninst.exe", "standin-recorder.exe"),
]
SERVICE_KEY = "HKLM\\System\\CurrentControlSet\\Services\\Orvidex"
CLASS_KEY = "HKCR\\CLSID\\{6F1B2C4E-3D5A-4E8B-9C71-2A0D5E8F4B13}\\InprocServer32"
PENDING = ("HKLM\\System\\CurrentControlSet\\Control\\Session Manager", "/v", "PendingFileRenameOperations")
COMPLETED = "Morlune Orvidex 3.32 installation completed.\n"
# The settings step on a machine without settings and keypair.
SETTINGS_STEP = ("^Creating default Orvidex settings\nNo existing keypair found, generating new keypair\n"
                 "A new keypair has been generated\nMD5 Fingerprint: [0-9a-f:]{47}\nBubbleBabble: [a-z-]{65}\n")
LOG = "C:\\standin.log"
UNINSTALL_ENTRY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvidex"


def installing(directory=DIR):
    return "".join(f"Installing {directory}\\{name}\n" for name, _ in PAYLOADS)


def payload_rollback(directory=DIR, keep=()):
    return "".join(f"Rollback: removing previously created {directory}\\{name}\n"
                   for name, _ in reversed(PAYLOADS) if name not in keep)


def service(directory=DIR):
    return f"{directory}\\orvidex.exe"


def server(directory=DIR):
    return f"{directory}\\OrvidexCfgManip.dll"


class InstallationSteps(winetest.PrefixTestCase):
    def start_menu(self):
        folders = self.prefix.reg("query", "HKCU\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\"
                                  "Shell Folders", "/v", "Programs").stdout
        return re.search(r"REG_SZ\s+(.*)", folders).group(1).strip() + "\\Morlune Orvidex"

    def links(self):
        return [f"{self.start_menu()}\\Orvidex Control Panel.lnk", f"{self.start_menu()}\\Uninstall Orvidex.lnk"]

    def start_menu_and_association(self):
        """The lines of the steps between the payload files and the service."""
        return ("".join(f"Creating shortcut {link}\n" for link in self.links())
                + "Registering file association for extension .ovs\n")

    def start_menu_and_association_rollback(self):
        return ("Rollback: removing previously created file association for extension .ovs\n"
                + "Rollback: removing previously created ProgID Morlune.Orvidex.3.32.Settings\n"
                + "".join(f"Rollback: removing previously created shortcut {link}\n" for link in self.links())
                + f"Rollback: removing previously created {self.start_menu()}\n")

    def install(self, *options, directory=DIR, env=None, cwd=None):
        full_env = {"ORVIDEX_STANDIN_LOG": LOG}
        full_env.update(env or {})
        return self.prefix.installer("/InstallDir", directory, "/AcceptEULA", *options, env=full_env, cwd=cwd)

    def uninstall_params(self):
        """The uninstall parameter string as the uninstall entry stores it."""
        r = self.prefix.run("installprobe.exe", "regtree", UNINSTALL_ENTRY)
        self.assertEqual(r.code, 0, r)
        return json.loads(r.stdout)["values"]["UninstallParam"]["text"]

    def exists(self, windows_path):
        return os.path.lexists(self.prefix.unix_path(windows_path))

    def key_exists(self, key):
        return self.prefix.reg("query", key).code == 0

    def calls(self):
        path = self.prefix.unix_path(LOG)
        if not os.path.exists(path):
            return []
        with open(path) as fh:
            return fh.read().splitlines()

    def test_success_creates_everything_in_order(self):
        r = self.install()
        self.assertEqual((r.code, r.stderr), (0, ""), r)
        # No window was made: under Wine the first one starts the desktop process.
        self.assertEqual([p for p in self.prefix.processes() if "explorer.exe" in p.lower()], [])
        steps = ("Creating Morlune registry key\n" + installing() + self.start_menu_and_association()
                 + f"Registering service {service()}\nRegistering server {server()}\n" + "Registering uninstaller\n")
        self.assertEqual(r.stdout[:len(steps)], steps)
        self.assertRegex(r.stdout[len(steps):], SETTINGS_STEP + re.escape(COMPLETED) + "$")
        self.assertTrue(self.key_exists("HKLM\\Software\\Morlune"))
        for name, standin in PAYLOADS:
            with self.subTest(file=name):
                with open(self.prefix.unix_path(f"{DIR}\\{name}"), "rb") as installed, \
                        open(os.path.join(winetest.BIN, standin), "rb") as expected:
                    self.assertEqual(installed.read(), expected.read())
        self.assertTrue(self.key_exists(SERVICE_KEY))
        r = self.prefix.reg("query", CLASS_KEY)
        self.assertIn(server(), r.stdout)
        self.assertEqual(self.calls(), ["Orvidex.exe /service", "OrvidexCfgManip.dll DllRegisterServer"])
        params = self.uninstall_params()
        clauses = (['"-shareResWith=Skarvelin"', f'"-delDir={DIR}"', f'"-delMainFile={DIR}\\Orvidex.exe"']
                   + [f'"-delFile={DIR}\\{name}"' for name, _ in PAYLOADS[1:]]
                   + [f'"-delDir={self.start_menu()}"'] + [f'"-delFile={link}"' for link in self.links()]
                   + ['"-delRegKey=HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.ovs"',
                      '"-rstFileAssoc=.ovs:Morlune.Orvidex.3.32.Settings"']
                   + [f'"-unregSvc={service()}"', f'"-unregSvr={server()}"']
                   + ['"-delRegKey=HKEY_LOCAL_MACHINE\\' + UNINSTALL_ENTRY[5:] + '"'])
        self.assertEqual(params, " ".join(clauses))

        # A second run: the installed release is found first; without its entry, the
        # existing directory is refused.
        r = self.install()
        self.assertEqual((r.code, r.stdout),
                         (100, "An identical or newer Orvidex version is already installed; aborting\n"))
        self.assertEqual(self.prefix.reg("delete", UNINSTALL_ENTRY, "/f").code, 0)
        r = self.install()
        self.assertEqual((r.code, r.stdout), (103, "Creating Morlune registry key\n"
                                              f"Target directory '{DIR}' already exists and is not empty, aborting\n"))
        self.assertTrue(self.exists(f"{DIR}\\Orvidex.exe"))

    def test_installation_folder_is_stored_absolute_and_canonical(self):
        """The uninstall entry, the file association and the links name the folder so that it
        is found from any current directory."""
        work = self.prefix.unix_path("C:\\work")
        os.makedirs(work)
        cases = [  # as given, the folder it names
            ("T", "C:\\work\\T"),
            ("C:\\T2.", "C:\\T2"),
            ("C:/T3/", "C:\\T3"),
            ("..\\T4 . ", "C:\\T4"),
        ]
        for given, folder in cases:
            with self.subTest(given=given):
                # Each over the one before.
                r = self.install("/Force", directory=given, cwd=work)
                self.assertEqual(r.code, 0, r)
                self.assertIn(f"Installing {folder}\\Orvidex.exe\n", r.stdout)
                self.assertTrue(self.exists(f"{folder}\\uninst.exe"))
                entry = json.loads(self.prefix.run("installprobe.exe", "regtree", UNINSTALL_ENTRY).stdout)["values"]
                self.assertEqual(entry["UninstallString"]["text"], f'"{folder}\\uninst.exe" Orvidex ')
                self.assertEqual(entry["DisplayIcon"]["text"], f"{folder}\\uninst.exe")
                self.assertTrue(entry["UninstallParam"]["text"].startswith(
                    f'"-shareResWith=Skarvelin" "-delDir={folder}" "-delMainFile={folder}\\Orvidex.exe"'))
                command = self.prefix.reg("query", "HKLM\\SOFTWARE\\Classes\\Morlune.Orvidex.3.32.Settings\\Shell\\"
                                          "Manage\\command", "/ve").stdout
                self.assertIn(f'"{folder}\\Rivurere.exe" "%1"', command)
                r = self.prefix.run("installprobe.exe", "link", self.links()[0])
                self.assertIn(f"Target={folder}\\raridava.exe\nArguments=\nWorkingDirectory={folder}\n", r.stdout)

    def test_installation_directory_errors(self):
        os.makedirs(self.prefix.unix_path("C:\\full"))
        open(self.prefix.unix_path("C:\\full\\mine.txt"), "w").close()
        open(self.prefix.unix_path("C:\\afile"), "w").close()
        os.makedirs(self.prefix.unix_path("C:\\empty"))
        cases = [
            ("C:\\afile", 101, "Unable to create target directory 'C:\\afile': The specified target path already "
                               "exists and is not a directory, aborting\n"),
            ("C:\\no\\parent", 102, "Unable to create target directory 'C:\\no\\parent': OS error 3"),
            ("C:\\full", 103, "Target directory 'C:\\full' already exists and is not empty, aborting\n"),
        ]
        for directory, code, line in cases:
            with self.subTest(directory=directory):
                r = self.install(directory=directory)
                self.assertEqual(r.code, code, r)
                self.assertTrue(r.stdout.startswith("Creating Morlune registry key\n" + line), r.stdout)
                self.assertEqual(len(r.stdout.splitlines()), 2, r.stdout)
        self.assertFalse(self.exists("C:\\no"))
        self.assertEqual(os.listdir(self.prefix.unix_path("C:\\full")), ["mine.txt"])

        # An empty existing directory is accepted, keeps its clause and survives a rollback.
        r = self.install(directory="C:\\empty", env={"ORVIDEX_SERVICE_REGISTER_EXIT": "1"})
        self.assertEqual(r.code, 110, r)
        self.assertTrue(r.stdout.endswith(payload_rollback("C:\\empty")), r.stdout)
        self.assertEqual(os.listdir(self.prefix.unix_path("C:\\empty")), [])

    def test_failures_after_the_payloads_roll_back_in_reverse_order(self):
        # The service program reports failure: nothing of it to undo.
        r = self.install(env={"ORVIDEX_SERVICE_REGISTER_EXIT": "1"})
        self.assertEqual(r.code, 110, r)
        self.assertEqual(r.stdout, "Creating Morlune registry key\n" + installing() + self.start_menu_and_association()
                         + f"Registering service {service()}\n"
                         + f"Service '{service()}' registration failed: Error code 0x00000001 received, aborting\n"
                         + self.start_menu_and_association_rollback()
                         + payload_rollback() + f"Rollback: removing previously created {DIR}\n")
        self.assertFalse(self.exists(DIR))
        self.assertEqual(self.calls(), ["Orvidex.exe /service"])
        self.assertTrue(self.key_exists("HKLM\\Software\\Morlune"))  # the maker's key stays

        # The server cannot be loaded, or reports failure: the service is unregistered too.
        os.remove(self.prefix.unix_path(LOG))
        reasons = [
            ({"ORVIDEX_SERVER_LOAD_FAILS": "1"}, "LoadLibraryA() failed: OS error 1114"),
            ({"ORVIDEX_SERVER_REGISTER_RESULT": "0x80004005"},
             "DllRegisterServer() failed with error code: -2147467259. Description: Unspecified error."),
        ]
        for env, reason in reasons:
            with self.subTest(reason=reason):
                r = self.install(env=env)
                self.assertEqual(r.code, 111, r)
                head = ("Creating Morlune registry key\n" + installing() + self.start_menu_and_association()
                        + f"Registering service {service()}\nRegistering server {server()}\n"
                        + f"Server {server()} registration failed: {reason}")
                self.assertTrue(r.stdout.startswith(head), r.stdout)
                self.assertTrue(r.stdout.endswith(
                    ", aborting\n" + f"Rollback: unregistering previously registered service {service()}\n"
                    + self.start_menu_and_association_rollback() + payload_rollback() + f"Rollback: removing previously created {DIR}\n"), r.stdout)
                self.assertFalse(self.exists(DIR))
                self.assertFalse(self.key_exists(SERVICE_KEY))
                self.assertFalse(self.key_exists(CLASS_KEY))
        self.assertEqual(self.calls(), ["Orvidex.exe /service", "Orvidex.exe /unregserver",
                                        "Orvidex.exe /service", "OrvidexCfgManip.dll DllRegisterServer",
                                        "Orvidex.exe /unregserver"])

        # The server is gone when it is registered: its rollback cannot find it either.
        r = self.install(env={"ORVIDEX_SERVICE_DELETE_FILE": server()})
        self.assertEqual(r.code, 111, r)
        self.assertIn(f"Server {server()} registration failed: LoadLibraryA() failed: OS error 126", r.stdout)
        self.assertIn(f"Rollback: removing previously created {server()}\nFile deletion failed: OS error 2",
                      r.stdout)
        self.assertFalse(self.exists(DIR))

    def test_force_passes_registration_failures_and_failed_undos_are_reported(self):
        r = self.install("/Force", env={"ORVIDEX_SERVICE_REGISTER_EXIT": "1", "ORVIDEX_SERVER_LOAD_FAILS": "1"})
        self.assertEqual(r.code, 0, r)
        self.assertIn(
            f"Registering service {service()}\n"
            f"Warning: service '{service()}' registration failed: Error code 0x00000001 received\n"
            f"Registering server {server()}\n"
            f"Warning: server {server()} registration failed: LoadLibraryA() failed: OS error 1114", r.stdout)
        self.assertTrue(r.stdout.endswith(COMPLETED), r.stdout)
        self.assertIn(f'"-unregSvc={service()}" "-unregSvr={server()}"', self.uninstall_params())

        # The installation stands now: the earlier-release check must not stop the next run.
        self.assertEqual(self.prefix.reg("delete", UNINSTALL_ENTRY, "/f").code, 0)

        # The service registers but cannot be removed: reported, and the rollback goes on.
        second = "C:\\Second"
        r = self.install(directory=second, env={"ORVIDEX_SERVICE_UNREGISTER_EXIT": "5",
                                                "ORVIDEX_SERVER_REGISTER_FAULT": "1"})
        self.assertEqual(r.code, 150, r)
        lines = r.stdout.splitlines(keepends=True)
        # The association and the links of the first installation get their earlier content back.
        self.assertEqual("".join(lines[-(len(PAYLOADS) + 9):-1]),
                         f"Registering server {server(second)}\n"
                         f"Rollback: unregistering previously registered service {service(second)}\n"
                         "Unregistering service failed: Error code 0x00000005 received\n"
                         "Rollback: restoring previous file association for extension .ovs\n"
                         "Rollback: restoring previous ProgID Morlune.Orvidex.3.32.Settings\n"
                         + "".join(f"Rollback: restoring previous shortcut {link}\n" for link in self.links())
                         + payload_rollback(second) + f"Rollback: removing previously created {second}\n")
        self.assertTrue(lines[-1].startswith("std::exception caught: "), lines[-1])
        self.assertFalse(self.exists(second))

    def test_no_rollback_leaves_everything_in_place(self):
        r = self.install("/NoRollback", env={"ORVIDEX_SERVER_LOAD_FAILS": "1"})
        self.assertEqual(r.code, 111, r)
        self.assertNotIn("Rollback: ", r.stdout)
        self.assertTrue(r.stdout.endswith(", aborting\n"), r.stdout)
        for name, _ in PAYLOADS:
            self.assertTrue(self.exists(f"{DIR}\\{name}"), name)
        self.assertTrue(self.key_exists(SERVICE_KEY))
        self.assertEqual(self.calls(), ["Orvidex.exe /service"])

    def test_force_keeps_existing_files_across_an_exception(self):
        os.makedirs(self.prefix.unix_path(DIR))
        with open(self.prefix.unix_path(f"{DIR}\\mine.txt"), "w") as fh:
            fh.write("mine")
        with open(self.prefix.unix_path(f"{DIR}\\scp.exe"), "w") as fh:
            fh.write("older scp")
        # A directory stands where the last payload goes: writing it throws.
        os.makedirs(self.prefix.unix_path(f"{DIR}\\uninst.exe"))
        r = self.install("/Force")
        self.assertEqual(r.code, 150, r)
        lines = r.stdout.splitlines()
        self.assertEqual(lines[:2], ["Creating Morlune registry key",
                                     f"Warning: target directory '{DIR}' already exists and is not empty"])
        self.assertIn(f"Warning: '{DIR}\\scp.exe' already exists, will be overwritten", lines)
        self.assertEqual(lines[-1 - (len(PAYLOADS) - 2):-1],
                         payload_rollback(keep=("scp.exe", "uninst.exe")).splitlines())
        self.assertTrue(lines[-1].startswith("std::exception caught: "), lines[-1])
        self.assertEqual(sorted(os.listdir(self.prefix.unix_path(DIR))), ["mine.txt", "scp.exe", "uninst.exe"])
        with open(self.prefix.unix_path(f"{DIR}\\scp.exe"), "rb") as fh, \
                open(os.path.join(winetest.BIN, "standin-recorder.exe"), "rb") as standin:
            self.assertEqual(fh.read(), standin.read())  # overwritten, and kept

    def test_undeletable_objects_are_scheduled_for_restart(self):
        # The service program makes a payload read-only; a fault in the server's entry point
        # then ends the run with an exception after the rollback.
        r = self.install(env={"ORVIDEX_SERVICE_READONLY_FILE": f"{DIR}\\scp.exe",
                              "ORVIDEX_SERVER_REGISTER_FAULT": "1"})
        self.assertEqual(r.code, 150, r)
        out = r.stdout
        self.assertRegex(out, re.escape(f"Rollback: removing previously created {DIR}\\scp.exe\n"
                                        "File deletion failed: OS error 5") + ".*\n"
                         + re.escape("Scheduling file deletion on reboot\n"))
        self.assertRegex(out, re.escape(f"Rollback: removing previously created {DIR}\n"
                                        "Rollback: error removing directory: OS error 145") + ".*\n"
                         + re.escape("Scheduling removing directory on reboot\nstd::exception caught: "))
        pending = self.prefix.reg("query", *PENDING).stdout
        self.assertIn(f"\\??\\{DIR}\\scp.exe\\0\\0\\??\\{DIR}\\0", pending)

        # Installing again before the restart: the new directory and file must survive it.
        os.remove(self.prefix.unix_path(f"{DIR}\\scp.exe"))
        r = self.install(env={"ORVIDEX_SERVICE_REGISTER_EXIT": "0"})
        self.assertEqual(r.code, 0, r)
        pending = self.prefix.reg("query", *PENDING).stdout
        self.assertNotIn(DIR, pending)

    def test_undeletable_objects_are_scheduled_in_wininit_on_old_windows(self):
        self.prefix.set_windows_version("OrvidexInstaller.exe", "win98")
        # /Force passes the version check; the fault is no registration failure it could pass.
        r = self.install("/Force", env={"ORVIDEX_SERVICE_READONLY_FILE": f"{DIR}\\scp.exe",
                                        "ORVIDEX_SERVER_REGISTER_FAULT": "1"})
        self.assertEqual(r.code, 150, r)
        self.assertIn("Scheduling file deletion on reboot\n", r.stdout)
        self.assertIn("Scheduling removing directory on reboot\n", r.stdout)
        windows = self.prefix.unix_path("C:\\windows")
        (ini,) = [name for name in os.listdir(windows) if name.lower() == "wininit.ini"]
        with open(os.path.join(windows, ini), encoding="latin-1") as fh:
            lines = [line.strip() for line in fh.read().splitlines() if line.strip()]
        self.assertEqual(lines, ["[Rename]", f"NUL={DIR}\\scp.exe", f"NUL={DIR}"])
        self.assertNotEqual(self.prefix.reg("query", *PENDING).code, 0)


if __name__ == "__main__":
    winetest.main()
