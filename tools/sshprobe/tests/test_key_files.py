"""sshprobe with key files it cannot use: before any connection, it names the file and says
what is wrong with it, and ends as a usage error (2), not as a failed connection (3). File
names outside the ANSI code page are read as they are."""
import os
import shutil
import subprocess
import tempfile

import winetest


class UnusableKeyFiles(winetest.SharedPrefixTestCase):
    def test_each_role_names_the_file_and_the_reason(self):
        folder = tempfile.mkdtemp(prefix="orvidex-probe-keys-")
        self.addCleanup(shutil.rmtree, folder)
        encrypted = os.path.join(folder, "encrypted")
        subprocess.run(["ssh-keygen", "-q", "-m", "PEM", "-t", "rsa", "-b", "1024", "-N", "phrase",
                        "-f", encrypted], check=True, stdin=subprocess.DEVNULL)
        # What ssh-keygen encrypts (AES-128) we do not read; our own tool writes DES-EDE3.
        ours = "Z:" + os.path.join(folder, "ours")
        r = self.prefix.run("sshkeytool.exe", "keygen", "--alg", "ssh-dss", "--bits", "1024", "--passphrase", "phrase",
                            "--out", ours)
        self.assertEqual(r.code, 0, r)
        missing = "Z:" + os.path.join(folder, "missing")
        client = ("client", "--host", "127.0.0.1", "--port", "22", "--user", "u")
        server = ("server", "--port", "0", "--password", "u:p", "--once")
        cases = [
            (client + ("--key", ours), f"{ours}: the private key is encrypted; give its passphrase with --passphrase"),
            (client + ("--key", ours, "--passphrase", "wrong"), f"{ours}: wrong passphrase, or the key file is damaged"),
            (client + ("--key", "Z:" + encrypted, "--passphrase", "phrase"),
             f"Z:{encrypted}: unsupported encryption algorithm"),
            (client + ("--key", missing), f"{missing}: cannot open the file (OS error 2"),
            (server + ("--host-key", ours),
             f"{ours}: the private key is encrypted; only an unencrypted key can be used here"),
            (server + ("--host-key", ours + ".pub"), f"{ours}.pub: not a PEM private-key file"),
            (server + ("--host-key", missing), f"{missing}: cannot open the file (OS error 2"),
        ]
        # A name outside the ANSI code page reaches the key-file reader whole; messages are UTF-8.
        unicode = "Z:" + os.path.join(folder, "ключ-键")
        shutil.copy(ours[2:], unicode[2:])
        shown = unicode.encode().decode("latin-1")
        cases += [
            (client + ("--key", unicode), f"{shown}: the private key is encrypted; give its passphrase with --passphrase"),
            (server + ("--host-key", unicode),
             f"{shown}: the private key is encrypted; only an unencrypted key can be used here"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                r = self.prefix.run("sshprobe.exe", *args)
                self.assertEqual(r.code, 2, r)
                self.assertTrue(r.stderr.startswith("sshprobe: " + message), r)
                self.assertNotIn("usage:", r.stderr)
        r = self.prefix.run("sshprobe.exe", "--help")
        self.assertEqual((r.code, r.stderr), (0, ""), r)
        self.assertTrue(r.stdout.startswith("usage: sshprobe --help\n"), r)


if __name__ == "__main__":
    winetest.main()
