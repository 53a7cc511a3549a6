"""The connection loop against a client no one here wrote: OpenSSH's ssh connects to our
server on a localhost port, exchanges keys with it, has the "ssh-userauth" service accepted,
is offered only "password" (which it cannot use in batch mode), and ends the connection
itself; the loop reports that disconnect."""
import os
import re
import subprocess
import tempfile
import time
import unittest

import winetest


class ManagerInterop(winetest.PrefixTestCase):
    def setUp(self):
        super().setUp()
        self.dir = tempfile.mkdtemp(prefix="orvidex-manager-")
        self.key = os.path.join(self.dir, "rsa")
        subprocess.run(["ssh-keygen", "-q", "-m", "PEM", "-t", "rsa", "-b", "2048", "-N", "", "-f", self.key],
                       check=True, stdin=subprocess.DEVNULL)
        # Start the prefix's own processes before the probe holds files they could inherit.
        self.prefix.run("ssh_manager_probe.exe")

    def tearDown(self):
        subprocess.run(["rm", "-rf", self.dir])
        super().tearDown()

    def test_openssh_client_through_key_exchange(self):
        out_path = os.path.join(self.dir, "probe.out")
        err_path = os.path.join(self.dir, "probe.err")
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            probe = subprocess.Popen([winetest.WINE64, os.path.join(winetest.BIN, "ssh_manager_probe.exe"),
                                      "--hostkey-file", "Z:" + self.key],
                                     env=self.prefix.env, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        try:
            port = None
            for _ in range(600):
                match = re.search(r"port (\d+)", open(out_path, encoding="latin-1").read())
                if match:
                    port = match.group(1)
                    break
                time.sleep(0.1)
            self.assertIsNotNone(port, "the probe did not listen")
            with tempfile.TemporaryFile() as log:
                code = subprocess.run(
                    ["ssh", "-vvv", "-F", "/dev/null", "-o", "BatchMode=yes", "-o", "StrictHostKeyChecking=no",
                     "-o", "UserKnownHostsFile=/dev/null", "-o", "KexAlgorithms=diffie-hellman-group14-sha1",
                     "-o", "HostKeyAlgorithms=ssh-rsa", "-o", "Ciphers=aes128-cbc", "-o", "MACs=hmac-sha1",
                     "-o", "Compression=yes", "-p", port, "probe@127.0.0.1", "true"],
                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log, timeout=120).returncode
                log.seek(0)
                client = log.read().decode("latin-1")
            probe.wait(timeout=60)
        finally:
            if probe.poll() is None:
                probe.kill()
        server = open(err_path, encoding="latin-1").read()
        self.assertIn("kex: algorithm: diffie-hellman-group14-sha1", client)
        self.assertIn("kex: server->client cipher: aes128-cbc MAC: hmac-sha1 compression: zlib", client)
        self.assertIn("SSH2_MSG_SERVICE_ACCEPT received", client)
        self.assertIn("Authentications that can continue: password", client)
        self.assertIn("Permission denied (password)", client)
        self.assertEqual(code, 255)
        self.assertIn("probe: key exchange 1 complete, reason 0", server)
        self.assertRegex(server, r"probe: remote disconnect")
        self.assertEqual(probe.returncode, 0, server)


if __name__ == "__main__":
    winetest.main()
