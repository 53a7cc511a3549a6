"""Our transport's server end against clients no one here wrote: OpenSSH's ssh and PuTTY's
plink run it as their proxy command, agree on each algorithm, exchange keys, and have the
"ssh-userauth" service accepted; the probe then reads the client's first authentication
request, encrypted with the new keys, and ends the connection with its own disconnect."""
import os
import re
import shlex
import subprocess
import tempfile
import unittest

import winetest

CASES = [
    # kex, host key, cipher, MAC, compression
    ("diffie-hellman-group1-sha1", "ssh-dss", "aes128-cbc", "hmac-sha1", "none"),
    ("diffie-hellman-group14-sha1", "ssh-rsa", "aes256-cbc", "hmac-md5", "zlib"),
    ("diffie-hellman-group-exchange-sha1", "ssh-dss", "3des-cbc", "hmac-sha1-96", "none"),
    ("diffie-hellman-group14-sha1", "ssh-dss", "aes128-cbc", "hmac-md5-96", "zlib"),
]


class TransportInterop(winetest.PrefixTestCase):
    def setUp(self):
        super().setUp()
        self.dir = tempfile.mkdtemp(prefix="orvidex-transport-")
        self.keys = {}
        for algorithm, kind, bits in (("ssh-dss", "dsa", "1024"), ("ssh-rsa", "rsa", "2048")):
            path = os.path.join(self.dir, kind)
            subprocess.run(["ssh-keygen", "-q", "-m", "PEM", "-t", kind, "-b", bits, "-N", "", "-f", path],
                           check=True, stdin=subprocess.DEVNULL)
            self.keys[algorithm] = path
        # Start the prefix's own processes before any client holds pipes they could inherit.
        self.prefix.run("ssh_transport_probe.exe")

    def tearDown(self):
        subprocess.run(["rm", "-rf", self.dir])
        super().tearDown()

    def proxy(self, kex, hostkey, cipher, mac, compression):
        probe = os.path.join(winetest.BIN, "ssh_transport_probe.exe")
        args = [winetest.WINE64, probe, "--host-key", "Z:" + self.keys[hostkey], "--kex", kex,
                "--cipher", cipher, "--mac", mac, "--compression", compression]
        return " ".join(shlex.quote(a) for a in args)

    def run_client(self, command):
        # Output to files: Wine's processes may keep pipes open after the client ends.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.run(command, env=self.prefix.env, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                  timeout=120)
            err.seek(0)
            return proc.returncode, err.read().decode("latin-1")

    def test_openssh_client(self):
        for kex, hostkey, cipher, mac, compression in CASES:
            with self.subTest(kex=kex, hostkey=hostkey, cipher=cipher, mac=mac, compression=compression):
                command = ["ssh", "-vvv", "-F", "/dev/null", "-o", "BatchMode=yes",
                           "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
                           "-o", "KexAlgorithms=" + kex, "-o", "HostKeyAlgorithms=" + hostkey,
                           "-o", "Ciphers=" + cipher, "-o", "MACs=" + mac,
                           "-o", "Compression=" + ("yes" if compression == "zlib" else "no"),
                           "-o", "ProxyCommand=" + self.proxy(kex, hostkey, cipher, mac, compression),
                           "probe@orvidex.test", "true"]
                code, log = self.run_client(command)
                self.assertIn("kex: algorithm: " + kex, log)
                self.assertIn("kex: host key algorithm: " + hostkey, log)
                for direction in ("server->client", "client->server"):
                    self.assertIn(f"kex: {direction} cipher: {cipher} MAC: {mac} compression: {compression}", log)
                self.assertIn("SSH2_MSG_SERVICE_ACCEPT received", log)
                self.assertIn(f"probe: kex {kex}, host key {hostkey}, c2s {cipher} {mac} {compression}", log)
                self.assertIn("probe: received SSH_MSG_USERAUTH_REQUEST", log)
                self.assertRegex(log, r"Received disconnect from \S+ port \d+:11: probe done")
                self.assertEqual(code, 255)

    def test_putty_plink(self):
        for kex, hostkey, cipher in (("diffie-hellman-group14-sha1", "ssh-dss", "aes256-cbc"),
                                     ("diffie-hellman-group-exchange-sha1", "ssh-rsa", "3des-cbc")):
            with self.subTest(kex=kex, hostkey=hostkey, cipher=cipher):
                fingerprint = subprocess.run(["ssh-keygen", "-l", "-E", "md5", "-f", self.keys[hostkey] + ".pub"],
                                             check=True, capture_output=True, text=True).stdout.split()[1]
                command = ["plink", "-batch", "-v", "-ssh", "-l", "probe", "-noagent",
                           "-hostkey", fingerprint.removeprefix("MD5:"),
                           "-proxycmd", self.proxy(kex, hostkey, cipher, "hmac-sha1", "none"),
                           "orvidex.test", "true"]
                code, log = self.run_client(command)
                self.assertIn("probe: received SSH_MSG_USERAUTH_REQUEST", log)
                self.assertIn(f"probe: kex {kex}, host key {hostkey}, c2s {cipher} hmac-sha1 none", log)
                self.assertIn("probe done", log)
                self.assertNotEqual(code, 0)


if __name__ == "__main__":
    winetest.main()
