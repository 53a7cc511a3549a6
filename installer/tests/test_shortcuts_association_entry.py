"""The second half of an unattended installation as a user meets it: the Start Menu folder and
its shortcuts, the ".ovs" association, the uninstall entry, and the check for earlier releases.
Shell links are read back through the shell's own link object (installprobe)."""
import json

import winetest

DIR = "C:\\orvidex-test"
PROGID = "Morlune.Orvidex.3.32.Settings"
CLASSES = "HKLM\\SOFTWARE\\Classes"
UNINSTALL = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
ENTRY = UNINSTALL + "\\Orvidex"
OLD_RELEASE = UNINSTALL + "\\{3C7A91D2-5E48-4B06-9F1A-D28E6B40C7F5}"
COMPLETED = "Morlune Orvidex 3.32 installation completed."
PAYLOADS = ["Orvidex.exe", "raridava.exe", "rivurere.exe", "zirazove.exe", "duzaz.exe", "scp.exe",
            "zidovi.exe", "mlterms.exe", "ocfg.exe", "OrvidexCfgManip.dll", "mlPwd.exe", "mlRun.exe",
            "SftpPluginSample.dll", "SftpPluginSample.cpp", "uninst.exe"]
EULA_MESSAGE = "The licence agreement must be accepted with /AcceptEULA to install unattended.\n"


class RoadCase(winetest.PrefixTestCase):
    def install(self, *extra, **kw):
        return self.prefix.installer("/InstallDir", DIR, "/AcceptEULA", *extra, **kw)

    def reg_ok(self, *args):
        r = self.prefix.reg(*args)
        self.assertEqual(r.code, 0, r)

    def probe(self, *args):
        return self.prefix.run("installprobe.exe", *args)

    def regtree(self, key):
        r = self.probe("regtree", key)
        return json.loads(r.stdout) if r.code == 0 else None

    def shell_folder(self, root, name):
        tree = self.regtree(root + "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders")
        return tree["values"][name]["text"]

    def start_menu(self):
        return self.shell_folder("HKCU", "Programs") + "\\Morlune Orvidex"

    def admin_tools(self):
        return self.shell_folder("HKLM", "Common Programs") + "\\Administrative Tools"

    def link(self, path):
        r = self.probe("link", path)
        self.assertEqual(r.code, 0, r)
        return dict(line.split("=", 1) for line in r.stdout.splitlines())

    def exists(self, path):
        import os
        return os.path.exists(self.prefix.unix_path(path))

    def rollback_lines(self, stdout):
        return [line for line in stdout.splitlines() if line.startswith("Rollback: ")]

    def expected_params(self, links, extension=True):
        clauses = ["-shareResWith=Skarvelin", "-delDir=" + DIR,
                   "-delMainFile=" + DIR + "\\Orvidex.exe"]
        clauses += ["-delFile=" + DIR + "\\" + name for name in PAYLOADS[1:]]
        clauses += ["-delDir=" + self.start_menu()]
        clauses += ["-delFile=" + link for link in links]
        if extension:
            clauses += ["-delRegKey=HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.ovs"]
        clauses += ["-rstFileAssoc=.ovs:" + PROGID, "-unregSvc=" + DIR + "\\orvidex.exe",
                    "-unregSvr=" + DIR + "\\OrvidexCfgManip.dll",
                    "-delRegKey=HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvidex"]
        return " ".join('"' + clause + '"' for clause in clauses)

    def rollback_from_shortcuts(self, links):
        """The "Rollback: " lines from the shortcuts back to the installation directory: links
        in creation order, then the Start Menu folder, the payload files and the directory."""
        return (["Rollback: removing previously created shortcut " + link for link in links]
                + ["Rollback: removing previously created " + self.start_menu()]
                + ["Rollback: removing previously created " + DIR + "\\" + name for name in reversed(PAYLOADS)]
                + ["Rollback: removing previously created " + DIR])

    def shortcut_links(self, admin_tools=False):
        links = [self.start_menu() + "\\Orvidex Control Panel.lnk", self.start_menu() + "\\Uninstall Orvidex.lnk"]
        if admin_tools:
            links.append(self.admin_tools() + "\\Orvidex Control Panel.lnk")
        return links


class FullInstallation(RoadCase):
    def test_links_association_and_entry(self):
        r = self.install()
        self.assertEqual(r.code, 0, r)
        self.assertTrue(r.stdout.endswith(COMPLETED + "\n"), r.stdout)
        links = self.shortcut_links()
        for link in links:
            self.assertIn("Creating shortcut " + link + "\n", r.stdout)
        self.assertIn("Registering file association for extension .ovs\n", r.stdout)
        self.assertIn("Registering uninstaller\n", r.stdout)

        control_panel = {"Target": DIR + "\\raridava.exe", "Arguments": "", "WorkingDirectory": DIR,
                         "Description": "Morlune Orvidex 3.32 Control Panel", "Icon": DIR + "\\raridava.exe,0"}
        uninstall = {"Target": DIR + "\\uninst.exe", "Arguments": "Orvidex", "WorkingDirectory": DIR,
                     "Description": "Uninstall Morlune Orvidex 3.32", "Icon": DIR + "\\uninst.exe,0"}
        self.assertEqual(self.link(links[0]), control_panel)
        self.assertEqual(self.link(links[1]), uninstall)
        # Windows 7 (Wine's default) has no Administrative Tools shortcut of ours.
        self.assertFalse(self.exists(self.admin_tools() + "\\Orvidex Control Panel.lnk"))

        def key(default, **keys):
            return {"values": {"": {"type": 1, "hex": (default + "\0").encode("latin-1").hex(), "text": default}},
                    "keys": keys}
        self.assertEqual(self.regtree(CLASSES + "\\.ovs"), key(PROGID))
        self.assertEqual(self.regtree(CLASSES + "\\" + PROGID), key(
            "Morlune Orvidex settings file",
            DefaultIcon=key(DIR + "\\rivurere.exe,3"),
            Shell=key("Manage", Manage=key("Manage", command=key('"' + DIR + '\\Rivurere.exe" "%1"')))))

        params = self.expected_params(links)
        entry = self.regtree(ENTRY)
        expected = {"DisplayName": "Morlune Orvidex 3.32 (remove only)", "DisplayIcon": DIR + "\\uninst.exe",
                    "UninstallString": '"' + DIR + '\\uninst.exe" Orvidex ', "UninstallParam": params,
                    "Version": "3.32"}
        self.assertEqual(entry["keys"], {})
        self.assertEqual({name: (v["type"], bytes.fromhex(v["hex"])) for name, v in entry["values"].items()},
                         {name: (1, text.encode("latin-1") + b"\0") for name, text in expected.items()})


class WindowsVersions(RoadCase):
    def test_windows_xp_gets_the_administrative_tools_shortcut(self):
        self.prefix.set_windows_version("OrvidexInstaller.exe", "winxp")
        r = self.install()
        self.assertEqual(r.code, 0, r)
        links = self.shortcut_links(admin_tools=True)
        self.assertEqual(self.link(links[2])["Target"], DIR + "\\raridava.exe")
        self.assertEqual(self.link(links[2])["Description"], "Morlune Orvidex 3.32 Control Panel")
        self.assertEqual(self.regtree(ENTRY)["values"]["UninstallParam"]["text"], self.expected_params(links))

    def test_missing_administrative_tools_folder_fails_the_shortcut(self):
        # NT 4.0 names the folder "Administrative Tools (Common)", which this system lacks.
        self.prefix.set_windows_version("OrvidexInstaller.exe", "nt40")
        missing = self.shell_folder("HKLM", "Common Programs") + \
            "\\Administrative Tools (Common)\\Orvidex Control Panel.lnk"
        links = self.shortcut_links()
        r = self.install()
        self.assertEqual(r.code, 105, r)
        # The reason in full is checked with the other failure messages.
        self.assertIn("Creating shortcut '" + missing + "' failed: IPersistFile::Save() failed", r.stdout)
        # The links go in creation order, then the folder and everything before it.
        self.assertEqual(self.rollback_lines(r.stdout),
                         self.rollback_from_shortcuts(links))
        for path in links + [self.start_menu(), DIR]:
            self.assertFalse(self.exists(path), path)

        r = self.install("/Force")
        self.assertEqual(r.code, 0, r)
        self.assertIn("Warning: creating shortcut '" + missing + "' failed: IPersistFile::Save() failed with error code: ",
                      r.stdout)
        self.assertEqual(self.rollback_lines(r.stdout), [])
        self.assertEqual(self.regtree(ENTRY)["values"]["UninstallParam"]["text"], self.expected_params(links))


class FileAssociation(RoadCase):
    def test_foreign_progid_is_left_alone(self):
        self.reg_ok("add", CLASSES + "\\.ovs", "/ve", "/d", "Other.Vendor.Settings.File", "/f")
        r = self.install()
        self.assertEqual(r.code, 0, r)
        self.assertIn("Extension '.ovs' already associated with Other Vendor Settings File\n", r.stdout)
        self.assertNotIn("Registering file association", r.stdout)
        self.assertEqual(self.regtree(CLASSES + "\\.ovs")["values"][""]["text"], "Other.Vendor.Settings.File")
        # Our ProgID is still described, and the uninstaller is not told to delete the extension.
        self.assertIsNotNone(self.regtree(CLASSES + "\\" + PROGID + "\\Shell\\Manage\\command"))
        self.assertEqual(self.regtree(ENTRY)["values"]["UninstallParam"]["text"],
                         self.expected_params(self.shortcut_links(), extension=False))

    def test_failure_rolls_back_everything_before_it(self):
        # Wine refuses non-volatile keys under a volatile one: "DefaultIcon" cannot be created.
        r = self.probe("volatile-key", CLASSES + "\\" + PROGID)
        self.assertEqual(r.code, 0, r)
        r = self.install()
        self.assertEqual(r.code, 112, r)
        self.assertRegex(r.stdout, r"\nRegistering file association for extension '\.ovs' failed\. "
                                   r"Reason: RegCreateKeyExA\(\) failed: [^\n]*, aborting\n")
        # Its own extension key goes first: no ".ovs" is left naming a half-written ProgID.
        # The ProgID key stood before: it loses the description this run gave it.
        self.assertEqual(self.rollback_lines(r.stdout),
                         ["Rollback: removing previously created file association for extension .ovs",
                          "Rollback: restoring previous ProgID " + PROGID]
                         + self.rollback_from_shortcuts(self.shortcut_links()))
        self.assertIsNone(self.regtree(CLASSES + "\\.ovs"))
        self.assertEqual(self.regtree(CLASSES + "\\" + PROGID), {"values": {}, "keys": {}})
        self.assertFalse(self.exists(DIR))

        r = self.install("/Force")
        self.assertEqual(r.code, 0, r)
        self.assertIn("Warning: registering file association for extension '.ovs' failed. "
                      "Reason: RegCreateKeyExA() failed: ", r.stdout)
        self.assertEqual(self.regtree(CLASSES + "\\.ovs")["values"][""]["text"], PROGID)
        self.assertEqual(self.regtree(CLASSES + "\\" + PROGID)["keys"], {})


class UninstallEntry(RoadCase):
    def make_uninstall_list_volatile(self):
        self.reg_ok("delete", UNINSTALL, "/f")
        r = self.probe("volatile-key", UNINSTALL)
        self.assertEqual(r.code, 0, r)

    def test_failure_rolls_back_everything_before_it(self):
        self.make_uninstall_list_volatile()
        r = self.install()
        self.assertEqual(r.code, 113, r)
        self.assertRegex(r.stdout, r"\nUninstaller registration failed: RegCreateKeyExA\(\) failed with error "
                                   r"code: 1021\.[^\n]*, aborting\n")
        self.assertEqual(self.rollback_lines(r.stdout),
                         ["Rollback: unregistering previously registered server " + DIR + "\\OrvidexCfgManip.dll",
                          "Rollback: unregistering previously registered service " + DIR + "\\orvidex.exe",
                          "Rollback: removing previously created file association for extension .ovs",
                          "Rollback: removing previously created ProgID " + PROGID]
                         + self.rollback_from_shortcuts(self.shortcut_links()))
        self.assertIsNone(self.regtree(CLASSES + "\\.ovs"))
        self.assertIsNone(self.regtree(CLASSES + "\\" + PROGID))
        self.assertIsNone(self.regtree(ENTRY))
        self.assertFalse(self.exists(DIR))

        # "/NoRollback": the reason, and everything made so far stays.
        r = self.install("/NoRollback")
        self.assertEqual(r.code, 113, r)
        self.assertEqual(self.rollback_lines(r.stdout), [])
        self.assertEqual(self.regtree(CLASSES + "\\.ovs")["values"][""]["text"], PROGID)
        for link in self.shortcut_links():
            self.assertEqual(self.link(link)["WorkingDirectory"], DIR)

    def test_reinstall_keeps_what_was_ours_before(self):
        # An association that already names our ProgID (in another letter case) is rewritten,
        # and a rollback gives it back as it stood.
        self.reg_ok("add", CLASSES + "\\.ovs", "/ve", "/d", PROGID.lower(), "/f")
        self.make_uninstall_list_volatile()
        r = self.install()
        self.assertEqual(r.code, 113, r)
        self.assertIn("Registering file association for extension .ovs\n", r.stdout)
        self.assertIn("Rollback: restoring previous file association for extension .ovs\n", r.stdout)
        self.assertEqual(self.regtree(CLASSES + "\\.ovs")["values"][""]["text"], PROGID.lower())


class EarlierReleases(RoadCase):
    def set_entry(self, key, **values):
        self.prefix.reg("delete", key, "/f")
        for name, data in values.items():
            self.reg_ok("add", key, "/v", name, "/d", data, "/f")

    def test_table_of_earlier_releases(self):
        older = "A previous Orvidex version is already installed; aborting\n"
        newer = "An identical or newer Orvidex version is already installed; aborting\n"
        cases = [
            ({"UninstallString": "uninst.exe Orvidex", "Version": "3.31"}, older),
            ({"UninstallString": "uninst.exe Orvidex"}, older),  # no version sorts first
            ({"UninstallString": "uninst.exe Orvidex", "Version": "3.3"}, older),
            ({"UninstallString": "uninst.exe Orvidex", "Version": "3.32"}, newer),
            ({"UninstallString": "uninst.exe Orvidex", "Version": "3.4"}, newer),
            ({"UninstallString": "uninst.exe Orvidex", "Version": "3.32a"}, newer),
            ({"Version": "3.31"}, None),  # no uninstaller, no conflict
            ({"UninstallString": "", "Version": "3.31"}, None),
        ]
        for values, line in cases:
            with self.subTest(values=values):
                self.set_entry(ENTRY, **values)
                r = self.prefix.installer("/InstallDir", DIR)
                if line is None:
                    self.assertEqual((r.code, r.stdout, r.stderr), (140, "", EULA_MESSAGE))
                else:
                    # Before the licence check: no "/AcceptEULA" is needed to see it.
                    self.assertEqual((r.code, r.stdout, r.stderr), (100, line, ""))

    def test_release_1_1_and_force(self):
        self.set_entry(OLD_RELEASE, UninstallString="C:\\old\\uninstall.exe")
        r = self.prefix.installer("/InstallDir", DIR)
        self.assertEqual((r.code, r.stdout), (100, "Orvidex 1.1 is already installed; aborting\n"))
        # Interactive, a conflict dialog that cannot be shown (no display here) counts as Cancel,
        # after a line that says why.
        r = self.prefix.installer()
        self.assertEqual(r.code, 100, r)
        self.assertTrue(r.stdout.endswith("\nOrvidex 1.1 is already installed; aborting\n"), r.stdout)
        self.set_entry(ENTRY, UninstallString="uninst.exe Orvidex", Version="3.31")
        r = self.prefix.installer("/InstallDir", DIR, "/Force")
        self.assertEqual((r.code, r.stdout, r.stderr),
                         (140, "Warning: Orvidex 1.1 is already installed; ignoring\n"
                               "Warning: a previous Orvidex version is already installed; ignoring\n", EULA_MESSAGE))
        self.set_entry(ENTRY, UninstallString="uninst.exe Orvidex", Version="3.32")
        r = self.install("/Force")
        self.assertEqual(r.code, 0, r)
        self.assertTrue(r.stdout.startswith(
            "Warning: Orvidex 1.1 is already installed; ignoring\n"
            "Warning: an identical or newer Orvidex version is already installed; ignoring\n"), r.stdout)
        # The earlier entry gave way to ours.
        self.assertEqual(self.regtree(ENTRY)["values"]["Version"]["text"], "3.32")


if __name__ == "__main__":
    winetest.main()
