"""The settings-and-keypair step as a user meets it: the server's settings created from the
defaults, loaded from a "/Settings" file or kept from the registry; the host keypair
generated (with its fingerprints, which OpenSSH must agree with), imported from release 1.1
or kept; and a failure to save them rolling back every installation step before it."""
import base64
import json
import os
import re
import struct
import subprocess
import tempfile

import winetest

DIR = "C:\\Orvidex"
PRODUCT_KEY = "HKLM\\SOFTWARE\\Morlune\\Orvidex"
UNINSTALL_ENTRY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvidex"
COMPLETED = "Morlune Orvidex 3.32 installation completed.\n"
DEFAULTS = "Creating default Orvidex settings\n"
GENERATING = "No existing keypair found, generating new keypair\nA new keypair has been generated\n"
FINGERPRINTS = re.compile(r"MD5 Fingerprint: ([0-9a-f]{2}(?::[0-9a-f]{2}){15})\n"
                          r"BubbleBabble: (x[a-z]{4}(?:-[a-z]{5}){10})\n")
# A public-key blob as release 1.1 stored it: what is imported is taken as it stands.
EARLIER_PUBLIC = bytes.fromhex("000000077373682d647373") + bytes(range(40))
EARLIER_PRIVATE = bytes.fromhex("00000000000000077373682d647373") + bytes(range(200, 250))


def split_keypair(value):
    """The public and private blobs of the stored keypair form; nothing may follow."""
    (length,) = struct.unpack(">I", value[:4])
    public, rest = value[4:4 + length], value[4 + length:]
    (length,) = struct.unpack(">I", rest[:4])
    private = rest[4:4 + length]
    assert len(rest) == 4 + length, "bytes after the private blob"
    return public, private


def with_listen_port(message, port):
    """A settings message with another listen port: the word after the version header and
    the listen interface."""
    (length,) = struct.unpack(">I", message[:4])
    at = 4 + length + 4
    assert message[4:4 + length] == b"Orvidex 3.31" and message[at:at + 4] == struct.pack(">I", 22), message[:40]
    return message[:at] + struct.pack(">I", port) + message[at + 4:]


def openssh_fingerprints(public_blob):
    """(MD5 fingerprint, Bubble Babble) of a public-key blob as ssh-keygen gives them."""
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, "host.pub")
        with open(path, "w") as fh:
            fh.write("ssh-dss " + base64.b64encode(public_blob).decode() + " host\n")
        md5 = subprocess.run(["ssh-keygen", "-l", "-E", "md5", "-f", path], capture_output=True, text=True,
                             check=True).stdout.split()
        babble = subprocess.run(["ssh-keygen", "-B", "-f", path], capture_output=True, text=True,
                                check=True).stdout.split()
    assert md5[0] == "1024" and md5[-1] == "(DSA)", md5
    return md5[1].removeprefix("MD5:"), babble[1]


class SettingsStep(winetest.PrefixTestCase):
    def install(self, *options, directory=DIR):
        return self.prefix.installer("/InstallDir", directory, "/AcceptEULA", *options)

    def product_values(self):
        """The product key's values: name -> bytes; empty when the key is missing."""
        r = self.prefix.run("installprobe.exe", "regtree", PRODUCT_KEY)
        if r.code != 0:
            return {}
        return {name: bytes.fromhex(v["hex"]) for name, v in json.loads(r.stdout)["values"].items()}

    def step_lines(self, stdout):
        """What the step printed: the lines between the uninstaller entry and the completion."""
        head, marker, tail = stdout.partition("Registering uninstaller\n")
        self.assertTrue(marker, stdout)
        self.assertTrue(tail.endswith(COMPLETED), stdout)
        return tail[:-len(COMPLETED)]

    def forget_installation(self, directory=DIR):
        """Lets the next run install again into another directory: the product's own entry
        and its registered service would stop it."""
        self.assertEqual(self.prefix.reg("delete", UNINSTALL_ENTRY, "/f").code, 0)
        r = self.prefix.run(self.prefix.unix_path(directory + "\\Orvidex.exe"), "/unregserver")
        self.assertEqual(r.code, 0, r)

    def test_fresh_machine_gets_default_settings_and_a_new_keypair_then_keeps_them(self):
        r = self.install()
        self.assertEqual(r.code, 0, r)
        lines = self.step_lines(r.stdout)
        self.assertTrue(lines.startswith(DEFAULTS + GENERATING), lines)
        printed = FINGERPRINTS.fullmatch(lines[len(DEFAULTS + GENERATING):])
        self.assertIsNotNone(printed, lines)

        values = self.product_values()
        self.assertEqual(sorted(values), ["Keypair", "Settings"])
        public, private = split_keypair(values["Keypair"])
        self.assertEqual(openssh_fingerprints(public), printed.groups())
        self.assertTrue(private.startswith(bytes.fromhex("00000000000000077373682d647373")), private.hex())

        # A second installation finds both in the registry: no line of its own, and both are
        # written back unchanged.
        self.forget_installation()
        r = self.install(directory="C:\\Again")
        self.assertEqual(r.code, 0, r)
        self.assertEqual(self.step_lines(r.stdout), "")
        self.assertEqual(self.product_values(), values)

    def test_settings_file_is_loaded_or_reported_and_passed_over(self):
        # A file that cannot be read, then one that is not a settings message: each gives its
        # warning, and the registry (empty here, then holding the defaults) is used instead.
        missing = "C:\\missing.ovs"
        r = self.install("/Settings", missing)
        self.assertEqual(r.code, 0, r)
        lines = self.step_lines(r.stdout)
        warning = ("Loading Orvidex settings from file C:\\missing.ovs\n"
                   "Warning: loading Orvidex settings failed: Error loading settings from file. CreateFile() "
                   "failed with the following error: OS error 2")
        self.assertTrue(lines.startswith(warning), lines)
        self.assertIn("\n" + DEFAULTS + GENERATING, lines)
        stored = self.product_values()

        self.forget_installation()
        with open(self.prefix.unix_path("C:\\empty.ovs"), "wb"):
            pass
        r = self.install("/Settings", "C:\\empty.ovs", directory="C:\\Again")
        self.assertEqual(r.code, 0, r)
        self.assertEqual(self.step_lines(r.stdout),
                         "Loading Orvidex settings from file C:\\empty.ovs\n"
                         "Warning: loading Orvidex settings failed: unexpected end of packet\n")
        self.assertEqual(self.product_values(), stored)

        # A sound file is taken instead of the registry's settings: here the defaults with the
        # server listening on port 2222.
        self.forget_installation("C:\\Again")
        with open(self.prefix.unix_path("C:\\saved.ovs"), "wb") as fh:
            fh.write(with_listen_port(stored["Settings"], 2222))
        r = self.install("/Settings", "C:\\saved.ovs", directory="C:\\Third")
        self.assertEqual(r.code, 0, r)
        self.assertEqual(self.step_lines(r.stdout), "Loading Orvidex settings from file C:\\saved.ovs\n")
        self.assertEqual(self.product_values(), dict(stored, Settings=with_listen_port(stored["Settings"], 2222)))

    def test_stored_values_that_cannot_be_loaded_are_kept_beside_the_new_ones(self):
        r = self.install()
        self.assertEqual(r.code, 0, r)
        stored = self.product_values()
        # Settings written by a newer release, and a keypair with one byte too many.
        newer = stored["Settings"].replace(b"Orvidex 3.31", b"Orvidex 3.99", 1)
        longer = stored["Keypair"] + b"\0"
        for name, data in (("Settings", newer), ("Keypair", longer)):
            r = self.prefix.reg("add", PRODUCT_KEY, "/v", name, "/t", "REG_BINARY", "/d", data.hex(), "/f")
            self.assertEqual(r.code, 0, r)
        self.forget_installation()
        r = self.install(directory="C:\\Again")
        self.assertEqual(r.code, 0, r)
        lines = self.step_lines(r.stdout)
        self.assertRegex(lines, r'^Warning: the stored value "Settings" cannot be loaded \([^\n]+\); '
                                r'it is kept as "Settings\.unreadable"\n' + DEFAULTS)
        self.assertRegex(lines, r'\nWarning: the stored value "Keypair" cannot be loaded \([^\n]+\); '
                                r'it is kept as "Keypair\.unreadable"\n' + GENERATING)
        values = self.product_values()
        self.assertEqual(values["Settings.unreadable"], newer)
        self.assertEqual(values["Keypair.unreadable"], longer)
        # New defaults (they hold random parts of their own) and a new keypair.
        self.assertEqual(values["Settings"][:40], stored["Settings"][:40])
        self.assertNotEqual(values["Keypair"], stored["Keypair"])

        # Once more: an earlier backup is never overwritten.
        r = self.prefix.reg("add", PRODUCT_KEY, "/v", "Settings", "/t", "REG_BINARY", "/d", "00", "/f")
        self.assertEqual(r.code, 0, r)
        self.forget_installation("C:\\Again")
        r = self.install(directory="C:\\Third")
        self.assertEqual(r.code, 0, r)
        self.assertIn('it is kept as "Settings.unreadable.2"', r.stdout)
        values = self.product_values()
        self.assertEqual(values["Settings.unreadable"], newer)
        self.assertEqual(values["Settings.unreadable.2"], b"\0")

    def test_release_1_1_keypair_is_imported_without_fingerprints(self):
        for name, data in (("PublicKey", EARLIER_PUBLIC), ("PrivateKey", EARLIER_PRIVATE)):
            r = self.prefix.reg("add", PRODUCT_KEY, "/v", name, "/t", "REG_SZ", "/d", data.hex().upper(), "/f")
            self.assertEqual(r.code, 0, r)
        r = self.install()
        self.assertEqual(r.code, 0, r)
        self.assertEqual(self.step_lines(r.stdout),
                         DEFAULTS + "Keypair has been successfully imported from Orvidex 1.1\n")
        values = self.product_values()
        self.assertEqual(split_keypair(values["Keypair"]), (EARLIER_PUBLIC, EARLIER_PRIVATE))
        # Release 1.1's values stay where they were.
        self.assertEqual(values["PublicKey"].rstrip(b"\0").decode(), EARLIER_PUBLIC.hex().upper())

    def test_failed_save_rolls_back_every_step_unless_forced(self):
        # A volatile maker's key: the product key cannot be created under it, so neither the
        # settings nor the keypair can be stored.
        r = self.prefix.run("installprobe.exe", "volatile-key", "HKLM\\SOFTWARE\\Morlune")
        self.assertEqual(r.code, 0, r)
        r = self.install()
        self.assertEqual(r.code, 121, r)
        head, marker, tail = r.stdout.partition("Registering uninstaller\n")
        self.assertTrue(marker, r.stdout)
        self.assertTrue(tail.startswith(DEFAULTS + GENERATING), tail)
        failure = re.search(r"\nOrvidex configuration saving failed: Error opening registry key. RegCreateKeyEx\(\) "
                            r"failed with the following error: OS error 1021[^\n]*, aborting\n", tail)
        self.assertIsNotNone(failure, tail)
        rollback = tail[failure.end():].splitlines()
        self.assertTrue(rollback and all(line.startswith("Rollback: ") for line in rollback), tail)
        self.assertEqual(rollback[0], "Rollback: unregistering uninstaller")
        self.assertEqual(rollback[-1], f"Rollback: removing previously created {DIR}")
        self.assertFalse(os.path.exists(self.prefix.unix_path(DIR)))
        self.assertNotEqual(self.prefix.reg("query", UNINSTALL_ENTRY).code, 0)
        self.assertEqual(self.product_values(), {})

        r = self.install("/Force")
        self.assertEqual(r.code, 0, r)
        self.assertRegex(self.step_lines(r.stdout),
                         r"\nWarning: Orvidex configuration saving failed: Error opening registry key\. "
                         r"RegCreateKeyEx\(\) failed with the following error: OS error 1021[^\n]*\n$")
        self.assertTrue(os.path.exists(self.prefix.unix_path(DIR + "\\Orvidex.exe")))

    def test_product_key_that_may_only_be_read_keeps_its_keypair(self):
        r = self.install()
        self.assertEqual(r.code, 0, r)
        stored = self.product_values()
        r = self.prefix.run("installprobe.exe", "read-only-key", PRODUCT_KEY)
        self.assertEqual(r.code, 0, r)
        saving = ("Orvidex configuration saving failed: Error opening registry key. RegCreateKeyEx() failed with the "
                  "following error: OS error 5")
        # The stored keypair is found, so none is generated; only the saving fails, and says why.
        r = self.install("/Force")
        self.assertEqual(r.code, 0, r)
        lines = self.step_lines(r.stdout)
        self.assertTrue(lines.startswith("Warning: " + saving), lines)
        self.assertEqual(lines.count("\n"), 1, lines)
        # Without "/Force" the failed saving rolls the installation back.
        self.forget_installation()
        r = self.install(directory="C:\\Again")
        self.assertEqual(r.code, 121, r)
        tail = r.stdout.partition("Registering uninstaller\n")[2]
        self.assertTrue(tail.startswith(saving), tail)
        self.assertIn(", aborting\nRollback: unregistering uninstaller\n", tail)
        self.assertFalse(os.path.exists(self.prefix.unix_path("C:\\Again")))
        self.assertEqual(self.product_values(), stored)


if __name__ == "__main__":
    winetest.main()
