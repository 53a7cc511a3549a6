"""Forwarded TCP connections with real peers. Our server relays for OpenSSH's ssh -W and -L
and PuTTY's plink -nc to a local echo server: 2 MB come back byte for byte, the end of the
client's stream reaches the echo server, the echo server's end comes back and the client exits
0. Our client's local forwarding through OpenSSH's sshd carries 5 concurrent connections of
1 MB each, which end cleanly whichever side ends first, and 200 concurrent ones intact; one
past the limit of a wait is refused with a line of its own. Our server reaches the target
through real SOCKS4, SOCKS5 and HTTP proxies (Debian's dante-server and tinyproxy), and a
target the proxy cannot reach fails the channel open."""
import hashlib
import os
import re
import socket
import subprocess
import threading
import unittest

import peers
import proxypeers
import winetest

USER = "alice"
TWO_MB = 2 << 20

class Outcome:
    def __init__(self):
        self.received = b""
        self.ended = False  # the end of the stream came back
        self.exit_code = None


def read_exactly(stream_read, count, outcome):
    while len(outcome.received) < count:
        data = stream_read(min(65536, count - len(outcome.received)))
        if not data:
            break
        outcome.received += data


def through_process(command, env, payload, wait_for_end, timeout=60, hold_input=False, end_timeout=15):
    """The payload as the input of a client that forwards its standard streams. With
    hold_input the input stays open until all of the payload has come back (tinyproxy drops
    what is on its way once the client ends its side)."""
    outcome = Outcome()
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               env=env)

    def write_then(action):
        try:
            action()
        except OSError:
            pass  # the client has ended, e.g. after a refused open

    def send():
        write_then(lambda: process.stdin.write(payload))
        if not hold_input:
            write_then(process.stdin.close)
    threading.Thread(target=send, daemon=True).start()
    reader = threading.Thread(target=read_exactly, args=(process.stdout.read, len(payload), outcome), daemon=True)
    reader.start()
    reader.join(timeout)
    try:
        if hold_input:
            write_then(process.stdin.close)
        if wait_for_end:
            outcome.exit_code = process.wait(timeout=end_timeout)
            outcome.ended = process.stdout.read() == b""
    except subprocess.TimeoutExpired:
        pass
    finally:
        if process.poll() is None:
            process.kill()
        process.wait()
        process.stdout.close()
    return outcome


def through_socket(port, payload, wait_for_end, expected=None, timeout=60):
    """The payload through a forwarded local port, its sending side ended afterwards (None:
    nothing is sent and the side stays open); expected is what comes back, the payload unless
    given."""
    outcome = Outcome()
    expected = payload if expected is None else expected
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as conn:
        def send():
            try:
                conn.sendall(payload)
                conn.shutdown(socket.SHUT_WR)
            except OSError:
                pass
        if payload is not None:
            threading.Thread(target=send, daemon=True).start()
        try:
            read_exactly(conn.recv, len(expected), outcome)
            if wait_for_end:
                conn.settimeout(15)
                outcome.ended = conn.recv(1) == b""
        except OSError:
            pass
    return outcome


class OurServerForwards(peers.ProbeTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.host_key = cls.keys.make("host_rsa", "rsa", 2048)
        cls.user_key = cls.keys.make("user_rsa", "rsa", 2048)
        cls.ppk = cls.keys.ppk(cls.user_key)

    def setUp(self):
        self.echo = peers.EchoServer()
        self.addCleanup(self.echo.stop)
        self.server = peers.ProbeServer(self.prefix, self.folder, "--host-key", peers.wine_path(self.host_key),
                                        "--authorized-key", f"{USER}:{peers.wine_path(self.user_key)}.pub")
        self.addCleanup(self.server.stop)
        self.env = dict(os.environ, HOME=self.folder)
        self.env.pop("SSH_AUTH_SOCK", None)

    def ssh(self, *args):
        return ["ssh", *peers.ssh_options({"BatchMode": "yes", "IdentityFile": self.user_key}), "-p",
                str(self.server.port), *args, f"{USER}@127.0.0.1"]

    def forward(self, client, payload, wait_for_end):
        target = f"127.0.0.1:{self.echo.port}"
        if client == "ssh -W":
            return through_process(self.ssh("-W", target), self.env, payload, wait_for_end)
        if client == "plink -nc":
            command = ["plink", "-ssh", "-batch", "-noagent", "-P", str(self.server.port), "-l", USER, "-i", self.ppk,
                       "-hostkey", peers.Keys.md5_fingerprint(self.host_key), "-nc", target, "127.0.0.1"]
            return through_process(command, self.env, payload, wait_for_end)
        # ssh -L beside a session whose input the test ends once the forwarding is done.
        local = peers.free_port()
        session = subprocess.Popen(self.ssh("-T", "-L", f"{local}:{target}") + ["cat"], stdin=subprocess.PIPE,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=self.env)
        try:
            self.server.wait_for("exec cat")
            outcome = through_socket(local, payload, wait_for_end)
            session.stdin.close()
            outcome.exit_code = session.wait(timeout=15) if wait_for_end else None
        except subprocess.TimeoutExpired:
            pass
        finally:
            if session.poll() is None:
                session.kill()
            session.wait()
        return outcome

    def test_2_mb_come_back_byte_exact(self):
        for client in ("ssh -W", "ssh -L", "plink -nc"):
            with self.subTest(client=client):
                payload = os.urandom(TWO_MB)
                outcome = self.forward(client, payload, wait_for_end=False)
                self.assertEqual(len(outcome.received), len(payload))
                self.assertTrue(outcome.received == payload, "the bytes differ")
        self.assertGreaterEqual(self.server.log().count("forwarding to 127.0.0.1"), 3)

    def test_the_end_of_the_stream_travels_both_ways_and_the_client_exits_0(self):
        for client in ("ssh -W", "ssh -L", "plink -nc"):
            with self.subTest(client=client):
                half_closed = self.echo.half_closed
                outcome = self.forward(client, os.urandom(TWO_MB), wait_for_end=True)
                self.assertEqual(self.echo.half_closed, half_closed + 1, "the echo server saw no end")
                self.assertTrue(outcome.ended, "the echo server's end did not come back")
                self.assertEqual(outcome.exit_code, 0)


@unittest.skipIf(peers.namespace_reason(), peers.namespace_reason())
class OurClientForwards(peers.ProbeTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.user_key = cls.keys.make("user_rsa", "rsa", 2048)
        cls.sshd = peers.Sshd(cls.folder, [cls.user_key + ".pub"])

    @classmethod
    def tearDownClass(cls):
        cls.sshd.stop()
        super().tearDownClass()

    def run_connections(self, target_port, payloads, wait_for_end, expected=None):
        """Concurrent connections, one per payload, through our client to the target; the
        outcomes, the client's exit code (None when it had to be stopped) and its event lines."""
        client, log_path = peers.start_probe_client(
            self.prefix, self.folder, "--host", "127.0.0.1", "--port", str(self.sshd.port), "--user", "root",
            "--key", peers.wine_path(self.user_key), "--local-forward", f"0:127.0.0.1:{target_port}",
            "--exit-after", str(len(payloads)))
        try:
            port = int(peers.wait_for(lambda: re.search(r"forwarding on (\d+)", peers.read_text(log_path)), 120,
                                      "the client to forward").group(1))
            outcomes = [None] * len(payloads)

            def run(i):
                outcomes[i] = through_socket(port, payloads[i], wait_for_end, expected)
            threads = [threading.Thread(target=run, args=(i,)) for i in range(len(payloads))]
            for t in threads:
                t.start()
            for t in threads:
                t.join(180)
            code = None
            if wait_for_end:
                try:
                    code = client.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    pass
        finally:
            if client.poll() is None:
                client.kill()
            client.wait()
        return outcomes, code, peers.read_text(log_path)

    def test_5_concurrent_connections_of_1_mb_ended_from_our_side(self):
        echo = peers.EchoServer()
        self.addCleanup(echo.stop)
        payloads = [os.urandom(1 << 20) for _ in range(5)]
        outcomes, code, log = self.run_connections(echo.port, payloads, wait_for_end=True)
        for i, (payload, outcome) in enumerate(zip(payloads, outcomes)):
            with self.subTest(connection=i):
                self.assertIsNotNone(outcome, log)
                self.assertEqual(len(outcome.received), len(payload), log)
                self.assertTrue(outcome.received == payload, "the bytes differ")
                self.assertTrue(outcome.ended, "the end did not come back")
        self.assertEqual(echo.half_closed, 5)
        self.assertEqual(code, 0, log)
        self.assertIn("5 forwarded connections ended", log)

    def test_200_concurrent_connections_through_one_ssh_connection(self):
        echo = peers.EchoServer()
        self.addCleanup(echo.stop)
        count = 200
        payloads = [os.urandom(64 * 1024) for _ in range(count)]
        outcomes, code, log = self.run_connections(echo.port, payloads, wait_for_end=True)
        broken = [(i, outcome and (len(outcome.received), outcome.ended))
                  for i, (payload, outcome) in enumerate(zip(payloads, outcomes))
                  if outcome is None or hashlib.sha256(outcome.received).digest() != hashlib.sha256(payload).digest()
                  or not outcome.ended]
        self.assertEqual(broken, [], log[-3000:])
        self.assertNotIn("forwarded connection refused", log)
        self.assertEqual(echo.half_closed, count)
        self.assertEqual(code, 0, log[-3000:])
        self.assertIn(f"{count} forwarded connections ended", log)

    def test_local_connections_past_the_wait_object_limit_are_refused_with_a_line_each(self):
        # The wait covers 4032 objects: the listener and the connection's socket take two, each
        # forwarded connection one more.
        capacity = 4032 - 2
        holder = peers.Holder()
        self.addCleanup(holder.stop)
        client, log_path = peers.start_probe_client(
            self.prefix, self.folder, "--host", "127.0.0.1", "--port", str(self.sshd.port), "--user", "root",
            "--key", peers.wine_path(self.user_key), "--local-forward", f"0:127.0.0.1:{holder.port}")

        def end_client():
            if client.poll() is None:
                client.kill()
            client.wait()
        self.addCleanup(end_client)
        port = int(peers.wait_for(lambda: re.search(r"forwarding on (\d+)", peers.read_text(log_path)), 120,
                                  "the client to forward").group(1))
        connections = []
        self.addCleanup(lambda: [c.close() for c in connections])

        def refusals():
            return peers.read_text(log_path).count("forwarded connection refused: too many wait objects")

        for total in (capacity, capacity + 2):
            while len(connections) < total:
                connections.append(socket.create_connection(("127.0.0.1", port), timeout=60))
            peers.wait_for(lambda: holder.count() + refusals() >= total, 240,
                           f"{total} local connections to be forwarded or refused")
        self.assertEqual((holder.count(), refusals()), (capacity, 2), peers.read_text(log_path)[-3000:])
        self.assertIsNone(client.poll(), peers.read_text(log_path)[-3000:])

    def test_a_connection_ended_by_the_target_ends_here(self):
        # The target sends its bytes and ends its side first; our end has sent nothing yet.
        payload = os.urandom(1 << 20)
        talker = Talker(payload)
        self.addCleanup(talker.stop)
        outcomes, _, log = self.run_connections(talker.port, [None], wait_for_end=True, expected=payload)
        self.assertTrue(outcomes[0] is not None and outcomes[0].received == payload, log)
        self.assertTrue(outcomes[0].ended, "the target's end did not arrive")


@unittest.skipIf(proxypeers.MISSING, proxypeers.MISSING)
class OurServerThroughRealProxies(peers.ProbeTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.host_key = cls.keys.make("host_rsa", "rsa", 2048)
        cls.user_key = cls.keys.make("user_rsa", "rsa", 2048)
        try:
            cls.proxied = proxypeers.ProxiedEcho(cls.folder)
        except BaseException:
            super().tearDownClass()
            raise
        cls.echo, cls.dante, cls.tinyproxy = cls.proxied.echo, cls.proxied.dante, cls.proxied.tinyproxy

    @classmethod
    def tearDownClass(cls):
        cls.proxied.stop()
        super().tearDownClass()

    def ssh_w(self, kind, target_port, payload):
        """ssh -W through our server, which goes through the proxy of that kind: what came back
        of the payload (stdin stays open until all of it has: tinyproxy drops what is on its
        way once the client ends its side), ssh's exit code and the server's events."""
        proxy = self.tinyproxy if kind == "http" else self.dante
        server = peers.ProbeServer(self.prefix, self.folder, "--host-key", peers.wine_path(self.host_key),
                                   "--authorized-key", f"{USER}:{peers.wine_path(self.user_key)}.pub",
                                   "--proxy", f"{kind}:127.0.0.1:{proxy.port}")
        self.addCleanup(server.stop)
        env = dict(os.environ, HOME=self.folder)
        env.pop("SSH_AUTH_SOCK", None)
        command = ["ssh", *peers.ssh_options({"BatchMode": "yes", "IdentityFile": self.user_key}), "-p",
                   str(server.port), "-W", f"127.0.0.1:{target_port}", f"{USER}@127.0.0.1"]
        outcome = through_process(command, env, payload, wait_for_end=True, hold_input=True, end_timeout=30)
        return outcome, server.log()

    def test_forwarded_connections_go_through_each_proxy(self):
        for kind in ("socks4", "socks5", "http"):
            with self.subTest(kind=kind):
                proxy = self.tinyproxy if kind == "http" else self.dante
                accepted = proxy.accepted()
                payload = os.urandom(1 << 20)
                outcome, log = self.ssh_w(kind, self.echo.port, payload)
                self.assertTrue(outcome.received == payload, f"{len(outcome.received)} bytes came back\n{log}")
                self.assertEqual(outcome.exit_code, 0, log)
                self.assertIn(f"forwarding to 127.0.0.1:{self.echo.port}", log)
                proxypeers.wait_for(lambda: proxy.accepted() == accepted + 1, 10, "the proxy to log the connection")

    def test_a_target_the_proxy_cannot_reach_fails_the_open(self):
        closed = proxypeers.free_port()
        cases = [("socks4", "SOCKS4 connect request 91"), ("socks5", "SOCKS5 connect request 5"),
                 ("http", "HTTP CONNECT request 500")]
        for kind, failure in cases:
            with self.subTest(kind=kind):
                outcome, log = self.ssh_w(kind, closed, b"x")
                self.assertEqual(outcome.received, b"")
                self.assertIsNotNone(outcome.exit_code, "ssh did not end\n" + log)
                self.assertNotEqual(outcome.exit_code, 0, log)
                self.assertIn(f"forward to 127.0.0.1:{closed} failed: {failure}", log)


class Talker:
    """Sends its payload to one connection, ends its side, and then reads until the other
    side ends."""

    def __init__(self, payload):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._talk, args=(payload,), daemon=True).start()

    def _talk(self, payload):
        try:
            conn, _ = self.listener.accept()
            with conn:
                conn.settimeout(120)
                conn.sendall(payload)
                conn.shutdown(socket.SHUT_WR)
                while conn.recv(65536):
                    pass
        except OSError:
            pass

    def stop(self):
        self.listener.close()


if __name__ == "__main__":
    winetest.main()
