"""A connection that never completes its key exchange or its login ends within the limit set
for it, with the reason of that limit: a peer that sends nothing, one that sends only its
version line, one that sends 20 000 lines before any version line, and (on our server) a user
who never logs in. Our client waits no longer on a silent server. The peers here are scripted
on plain sockets, except the user who never logs in, who is OpenSSH's ssh."""
import os
import socket
import subprocess
import time

import peers
import winetest


class BoundedWaits(peers.ProbeTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.host_key = cls.keys.make("host_rsa", "rsa", 2048)

    def server(self, *args):
        server = peers.ProbeServer(self.prefix, self.folder, "--host-key", peers.wine_path(self.host_key),
                                   "--password", "alice:x", "--once", *args)
        self.addCleanup(server.stop)
        return server

    def test_server_ends_a_peer_that_never_completes_the_key_exchange(self):
        cases = [
            ("silent", b"", "we disconnected, reason 3 (SSH_DISCONNECT_KEY_EXCHANGE_FAILED): "
                            "key exchange did not complete within 2 seconds"),
            ("version line only", b"SSH-2.0-silent after this\r\n",
             "we disconnected, reason 3 (SSH_DISCONNECT_KEY_EXCHANGE_FAILED): "
             "key exchange did not complete within 2 seconds"),
            ("20 000 junk lines", b"junk line before any version\r\n" * 20000,
             "we disconnected, reason 2 (SSH_DISCONNECT_PROTOCOL_ERROR): more than 1024 lines before the version line"),
        ]
        for name, sent, ending in cases:
            with self.subTest(name):
                server = self.server("--kex-limit", "2")
                with socket.create_connection(("127.0.0.1", server.port), timeout=30) as peer:
                    started = time.monotonic()
                    try:
                        peer.sendall(sent)
                    except OSError:
                        pass  # cut off while still sending
                    # The server's line, then (for a limit) its DISCONNECT, then the end.
                    received = b""
                    try:
                        while True:
                            data = peer.recv(65536)
                            if not data:
                                break
                            received += data
                    except ConnectionResetError:
                        pass
                    elapsed = time.monotonic() - started
                self.assertTrue(received.startswith(b"SSH-2.0-"), received[:100])
                server.wait_for("connection ended")
                self.assertIn(ending, server.log())
                self.assertLess(elapsed, 20)
                server.process.wait(timeout=30)
                self.assertEqual(server.process.returncode, 1)

    def test_server_ends_a_login_that_takes_too_long(self):
        # ssh waits for its prompt before it notices the connection has gone.
        askpass = os.path.join(self.folder, "too-late")
        with open(askpass, "w") as out:
            out.write("#!/bin/sh\nsleep 6\necho x\n")
        os.chmod(askpass, 0o700)
        server = self.server("--login-limit", "3", "--keepalive", "1")
        env = dict(os.environ, HOME=self.folder, SSH_ASKPASS=askpass, SSH_ASKPASS_REQUIRE="force")
        env.pop("DISPLAY", None)
        started = time.monotonic()
        r = subprocess.run(["ssh", "-T", *peers.ssh_options({"PreferredAuthentications": "password",
                                                             "PubkeyAuthentication": "no"}),
                            "-p", str(server.port), "alice@127.0.0.1", "true"],
                           stdin=subprocess.DEVNULL, capture_output=True, text=True, env=env, timeout=60)
        self.assertLess(time.monotonic() - started, 30)
        self.assertEqual(r.returncode, 255)
        server.wait_for("connection ended")
        self.assertIn("we disconnected, reason 14 (SSH_DISCONNECT_NO_MORE_AUTH_METHODS_AVAILABLE): "
                      "user authentication did not complete within 3 seconds", server.log())
        self.assertIn("error: user authentication did not complete within 3 seconds", server.log())

    def test_client_ends_a_silent_server_within_its_limit(self):
        with socket.socket() as listener:
            listener.bind(("127.0.0.1", 0))
            listener.listen(1)
            port = listener.getsockname()[1]
            started = time.monotonic()
            r = peers.run_probe_client(self.prefix, "--host", "127.0.0.1", "--port", str(port), "--user", "alice",
                                       "--password", "x", "--keepalive", "1", "--kex-limit", "2", timeout=60)
            elapsed = time.monotonic() - started
        self.assertEqual(r.code, 3, r.stderr)
        self.assertIn("we disconnected, reason 3 (SSH_DISCONNECT_KEY_EXCHANGE_FAILED): "
                      "key exchange did not complete within 2 seconds", r.stderr)
        self.assertLess(elapsed, 20)


if __name__ == "__main__":
    winetest.main()
