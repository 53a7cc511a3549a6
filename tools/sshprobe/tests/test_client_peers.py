"""Our client with a server no one here wrote: OpenSSH's sshd, started by the test, takes a
"none" request (answering with its method list), a public key queried and then signed, a DSA
key signed at once and a password (of a throwaway account that exists only in sshd's private
mount namespace); an exec of cat carries 3 MB both ways intact through re-exchanges started by
either side, and the connection closes cleanly; a "direct-tcpip" channel carries 1 MiB to an
echo target and back, and one to a closed port is refused with reason 2. A login delayed past
several keep-alive intervals keeps the connection. Dropbear offers no cipher we have: the key
exchange fails with a clear reason."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import peers
import winetest

NAMESPACE = peers.namespace_reason()
THROWAWAY = ("orvidex-probe", "throwaway pass 7")
CURRENT_USER = "root"


@unittest.skipIf(NAMESPACE, NAMESPACE)
class ClientWithOpenSshServer(peers.ProbeTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.rsa = cls.keys.make("user_rsa", "rsa", 2048)
        cls.dsa = cls.keys.make("user_dsa", "dsa", 1024)
        # sshd starts its own re-exchange after every 1 MB.
        cls.sshd = peers.Sshd(cls.folder, [cls.rsa + ".pub", cls.dsa + ".pub"], password_user=THROWAWAY,
                              config={"RekeyLimit": "1M"})

    @classmethod
    def tearDownClass(cls):
        cls.sshd.stop()
        super().tearDownClass()

    def client(self, *args, timeout=300):
        return peers.run_probe_client(self.prefix, "--host", "127.0.0.1", "--port", str(self.sshd.port), *args,
                                      timeout=timeout)

    def assertSucceeded(self, result, method):
        self.assertEqual(result.code, 0, result.stderr + self.sshd.log()[-3000:])
        self.assertIn("login ok: ", result.stderr)
        self.assertIn(f" by {method}", result.stderr)
        self.assertIn("connection ended: we disconnected, reason 11", result.stderr)

    def test_none_then_public_key_query_then_signature_with_3_mb_through_reexchanges(self):
        r = self.client("--user", CURRENT_USER, "--none-first", "--key", peers.wine_path(self.rsa), "--query-first",
                        "--exec", "cat", "--send-bytes", str(3 << 20), "--rekey-bytes", "1000000")
        self.assertSucceeded(r, "publickey")
        self.assertIn("methods: publickey,password", r.stderr)
        self.assertIn("key acceptable: ssh-rsa", r.stderr)
        self.assertIn(f"ok: {3 << 20} bytes echoed byte-exact, exit status 0", r.stderr)
        self.assertRegex(r.stderr, r"key exchange \d+ \(reason 1\)", "no re-exchange of ours")
        self.assertRegex(r.stderr, r"key exchange \d+ \(reason 2\)", "no re-exchange of sshd's")
        self.assertRegex(self.sshd.log(), r"Received disconnect from 127\.0\.0\.1 port \d+:11: sshprobe done")

    def test_each_login_method(self):
        cases = [
            ("dsa key, signed at once", ["--user", CURRENT_USER, "--key", peers.wine_path(self.dsa)], "publickey"),
            ("password", ["--user", THROWAWAY[0], "--password", THROWAWAY[1]], "password"),
        ]
        for name, args, method in cases:
            with self.subTest(name):
                r = self.client(*args, "--exec", "cat", "--send-bytes", "200000")
                self.assertSucceeded(r, method)
                self.assertNotIn("key acceptable", r.stderr)

    def test_refused_logins_end_with_a_clear_message(self):
        stranger = peers.Keys(self.folder).make("stranger_rsa", "rsa", 2048)
        cases = [
            (["--user", THROWAWAY[0], "--password", "not it"], "login failed by password"),
            (["--user", CURRENT_USER, "--key", peers.wine_path(stranger)], "login failed by publickey"),
        ]
        for args, message in cases:
            with self.subTest(message):
                r = self.client(*args, "--exec", "cat")
                self.assertEqual(r.code, 1, r.stderr)
                self.assertIn(f"error: {message}, methods that can continue: publickey,password", r.stderr)

    def test_direct_channel_to_an_echo_target_and_to_a_closed_port(self):
        echo = peers.EchoServer()
        self.addCleanup(echo.stop)
        closed = peers.free_port()
        cases = [
            (f"127.0.0.1:{echo.port}", 0, [f"ok: {1 << 20} bytes echoed byte-exact by the target"]),
            (f"127.0.0.1:{closed}", 1, ["session refused, reason 2: ", "error: the session was refused"]),
        ]
        for target, code, lines in cases:
            with self.subTest(target):
                r = self.client("--user", THROWAWAY[0], "--password", THROWAWAY[1], "--direct", target,
                                "--send-bytes", str(1 << 20))
                self.assertEqual(r.code, code, r.stderr + self.sshd.log()[-3000:])
                for line in lines:
                    self.assertIn(line, r.stderr)

    def test_keep_alive_spares_a_slow_login_and_a_session(self):
        r = self.client("--user", CURRENT_USER, "--key", peers.wine_path(self.rsa), "--keepalive", "1",
                        "--login-delay", "4", "--exec", "sleep 3; cat", "--send-bytes", "100000")
        self.assertSucceeded(r, "publickey")
        self.assertGreaterEqual(r.stderr.count("keep-alive due before login"), 2, r.stderr)
        self.assertGreaterEqual(r.stderr.count("keep-alive due after login"), 1, r.stderr)
        self.assertNotIn("UNIMPLEMENTED", r.stderr)


@unittest.skipUnless(shutil.which("dropbear"), "dropbear is not installed (scripts/setup installs dropbear-bin)")
class DropbearHasNoCommonCipher(winetest.SharedPrefixTestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="orvidex-sshprobe-")
        self.addCleanup(shutil.rmtree, self.folder, True)

    def test_our_client_reports_the_failed_negotiation(self):
        key = os.path.join(self.folder, "host_rsa")
        subprocess.run(["dropbearkey", "-t", "rsa", "-f", key], check=True, capture_output=True)
        port = peers.free_port()
        log_path = os.path.join(self.folder, "dropbear.log")
        with open(log_path, "wb") as log:
            dropbear = subprocess.Popen(["dropbear", "-F", "-E", "-s", "-r", key, "-P",
                                         os.path.join(self.folder, "pid"), "-p", f"127.0.0.1:{port}"],
                                        stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        try:
            peers.wait_for(lambda: "Not backgrounding" in peers.read_text(log_path) or dropbear.poll() is not None,
                           30, "dropbear to listen")
            r = peers.run_probe_client(self.prefix, "--host", "127.0.0.1", "--port", str(port), "--user", "nobody",
                                       "--password", "x", timeout=120)
        finally:
            dropbear.terminate()
            dropbear.wait(timeout=30)
        self.assertEqual(r.code, 3, r.stderr)
        self.assertRegex(r.stderr, r"we disconnected, reason 3 \(SSH_DISCONNECT_KEY_EXCHANGE_FAILED\): "
                                   r"failed to negotiate client to server encryption algorithm")

    def test_dropbear_client_reports_the_failed_negotiation(self):
        key = peers.Keys(self.folder).make("host_rsa", "rsa", 2048)
        server = peers.ProbeServer(self.prefix, self.folder, "--host-key", peers.wine_path(key), "--password",
                                   "alice:x", "--once")
        try:
            r = subprocess.run(["dbclient", "-y", "-p", str(server.port), "alice@127.0.0.1", "true"],
                               stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60,
                               env=dict(os.environ, HOME=self.folder))
            server.wait_for(r"connection ended")
        finally:
            server.stop()
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("failed to negotiate client to server encryption algorithm", server.log())
        self.assertRegex(r.stderr, re.compile("no matching|failed to negotiate|encryption", re.I))


if __name__ == "__main__":
    winetest.main()
