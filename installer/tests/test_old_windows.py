"""The installer on the Windows versions it is made for, as Wine reports them to it: Windows NT
4.0, 2000 and XP install with the Administrative Tools shortcut of their own folder (NT 4.0's
"Administrative Tools (Common)", 2000's and XP's "Administrative Tools"), Server 2003 without
one, and visual styles are used from XP on. In the i686 tree this is the shipped 32-bit program
in the emulated 32-bit root."""
import os
import unittest

import winetest
from test_shortcuts_association_entry import DIR, RoadCase

# (Wine's name of the version, its Administrative Tools folder or None, visual styles)
VERSIONS = {
    "nt40": ("Administrative Tools (Common)", False),
    "win2k": ("Administrative Tools", False),
    "winxp": ("Administrative Tools", True),
    "win2003": (None, True),
}
CONTROL_TESTS = "installer_control_library_tests.exe"


class OldWindows(RoadCase):
    def check_version(self, version):
        folder, visual_styles = VERSIONS[version]
        self.prefix.set_windows_version("OrvidexInstaller.exe", version)
        common = self.shell_folder("HKLM", "Common Programs")
        if folder:
            # Windows creates its own; this prefix has only XP's.
            os.makedirs(self.prefix.unix_path(common + "\\" + folder), exist_ok=True)
        r = self.install()
        self.assertEqual(r.code, 0, r)
        links = self.shortcut_links()
        if folder:
            links.append(common + "\\" + folder + "\\Orvidex Control Panel.lnk")
        for link in links:
            self.assertEqual(self.link(link)["Target"], DIR + "\\raridava.exe" if "Control" in link
                             else DIR + "\\uninst.exe")
        self.assertEqual(self.regtree("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvidex")
                         ["values"]["UninstallParam"]["text"], self.expected_params(links))
        other = {"Administrative Tools", "Administrative Tools (Common)"} - {folder}
        for name in other:
            self.assertFalse(self.exists(common + "\\" + name + "\\Orvidex Control Panel.lnk"), name)

        self.prefix.set_windows_version(CONTROL_TESTS, version)
        r = self.prefix.run(CONTROL_TESTS, "--gtest_filter=DrawingHelpers.VisualStylesFromWindowsXpOn",
                            env={"ORVIDEX_EXPECT_VISUAL_STYLES": "1" if visual_styles else "0"})
        self.assertEqual(r.code, 0, r)
        self.assertIn("[  PASSED  ] 1 test", r.stdout)


for _version in VERSIONS:
    setattr(OldWindows, f"test_{_version}", lambda self, v=_version: self.check_version(v))


if __name__ == "__main__":
    winetest.main()
