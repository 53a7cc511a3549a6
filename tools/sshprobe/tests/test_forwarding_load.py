"""Forwarding under load, with OpenSSH's ssh -L to our server. 1000 concurrent forwarded
connections over one SSH connection each carry their bytes both ways intact. Forwarded
connections are served up to the limit of one wait, and the opens past it are refused with
reason 4, resource shortage (the local connection closes), while the SSH connection goes on. A
20 MB transfer with key re-exchanges every 1 MB from both sides and the largest window an SSH
channel can grant arrives intact. A target that reads slowly gets its bytes without
multi-second gaps, with our keep-alive on and off."""
import hashlib
import os
import re
import socket
import subprocess
import tempfile
import threading
import time

import peers
import winetest

USER = "alice"
MB = 1 << 20


def concurrent_exchanges(port, payloads, timeout, all_open, wave=50):
    """One connection per payload to 127.0.0.1:port, all open together until every payload has
    come back. Once all_open() is true, the payloads go out a wave of connections at a time,
    each wave when the previous one has its bytes back; then every connection ends its side and
    reads until the other side ends. What came back per connection: the bytes, or the exception
    that ended it.

    Waves, because ssh packs the data of all channels that became ready together in one pass,
    its output buffer growing a packet at a time and copied whole at each step: hundreds of
    channels confirmed while their 32 KiB waited kept it from its socket for minutes under load."""
    connections = [socket.create_connection(("127.0.0.1", port), timeout=timeout) for _ in payloads]
    outcomes = [None] * len(payloads)
    echoed = [threading.Event() for _ in payloads]

    def run(i):
        conn, received, size = connections[i], [], 0
        with conn:
            try:
                while True:
                    data = conn.recv(65536)
                    if not data:
                        break
                    received.append(data)
                    size += len(data)
                    if size >= len(payloads[i]):
                        echoed[i].set()
                outcomes[i] = b"".join(received)
            except OSError as e:
                outcomes[i] = e
            finally:
                echoed[i].set()
    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(payloads))]
    for t in threads:
        t.start()
    peers.wait_for(all_open, timeout, "every forwarded channel to open")
    deadline = time.monotonic() + timeout
    for first in range(0, len(payloads), wave):
        members = range(first, min(first + wave, len(payloads)))
        for i in members:
            try:
                connections[i].sendall(payloads[i])
            except OSError:
                pass  # the reader sees what ended it
        for i in members:
            echoed[i].wait(max(0.0, deadline - time.monotonic()))
    for conn in connections:
        try:
            conn.shutdown(socket.SHUT_WR)
        except OSError:
            pass
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    return outcomes


class SlowReader:
    """Takes one connection and reads it at about rate bytes a second through a small receive
    buffer, noting when each piece arrived, until the other side ends; then ends its own."""

    def __init__(self, rate):
        self.rate = rate
        self.listener = socket.socket()
        # Set before listening, so that the accepted socket pushes back early.
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.digest = hashlib.sha256()
        self.received = 0
        self.arrivals = []
        self.done = threading.Event()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        try:
            conn, _ = self.listener.accept()
            with conn:
                conn.settimeout(120)
                start = time.monotonic()
                while True:
                    data = conn.recv(16384)
                    now = time.monotonic()
                    if not data:
                        break
                    self.arrivals.append(now)
                    self.digest.update(data)
                    self.received += len(data)
                    ahead = self.received / self.rate - (now - start)
                    if ahead > 0:
                        time.sleep(ahead)
        except OSError:
            pass
        finally:
            self.done.set()

    def largest_gap(self):
        return max((b - a for a, b in zip(self.arrivals, self.arrivals[1:])), default=0.0)

    def stop(self):
        self.listener.close()


class ForwardingLoad(peers.ProbeTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.host_key = cls.keys.make("host_rsa", "rsa", 2048)
        cls.user_key = cls.keys.make("user_rsa", "rsa", 2048)

    def forward(self, target_port, server_args=(), ssh_options=None):
        """Our server and an ssh -N -L to the target through it: (server, ssh process, local
        port, path of ssh's log). Both end with the test."""
        server = peers.ProbeServer(self.prefix, self.folder, "--host-key", peers.wine_path(self.host_key),
                                   "--authorized-key", f"{USER}:{peers.wine_path(self.user_key)}.pub", *server_args)
        self.addCleanup(server.stop)
        env = dict(os.environ, HOME=self.folder)
        env.pop("SSH_AUTH_SOCK", None)
        options = {"BatchMode": "yes", "IdentityFile": self.user_key, "ExitOnForwardFailure": "yes"}
        options.update(ssh_options or {})
        local = peers.free_port()
        log_path = tempfile.mktemp(prefix="ssh-", suffix=".log", dir=self.folder)
        with open(log_path, "wb") as log:
            ssh = subprocess.Popen(["ssh", *peers.ssh_options(options), "-p", str(server.port), "-N", "-L",
                                    f"{local}:127.0.0.1:{target_port}", f"{USER}@127.0.0.1"],
                                   stdin=subprocess.DEVNULL, stdout=log, stderr=log, env=env)

        def end_ssh():
            if ssh.poll() is None:
                ssh.terminate()
            try:
                ssh.wait(timeout=30)
            except subprocess.TimeoutExpired:
                # ssh acts on SIGTERM only between passes of its loop, and a pass can take
                # minutes with a thousand busy channels on a loaded machine; it must not outlive
                # the test.
                ssh.kill()
                ssh.wait(timeout=30)
                raise AssertionError(f"ssh did not end within 30 s of SIGTERM:\n{peers.read_text(log_path)[-3000:]}")
        self.addCleanup(end_ssh)
        server.wait_for("login ok")

        def listening():
            # Read from the system's table: a test connection would open a channel of its own.
            if ssh.poll() is not None:
                raise AssertionError(f"ssh ended with {ssh.returncode}:\n{peers.read_text(log_path)}")
            with open("/proc/net/tcp") as table:
                return any(f"0100007F:{local:04X}" == row.split()[1] and row.split()[3] == "0A"
                           for row in list(table)[1:])
        peers.wait_for(listening, 60, "ssh to listen")
        return server, ssh, local, log_path

    def test_1000_concurrent_connections_each_carry_their_bytes_both_ways(self):
        echo = peers.EchoServer()
        self.addCleanup(echo.stop)
        server, ssh, local, ssh_log = self.forward(echo.port, ssh_options={"LogLevel": "INFO"})
        count, size = 1000, 32 * 1024
        half_closed = echo.half_closed
        payloads = [os.urandom(size) for _ in range(count)]
        outcomes = concurrent_exchanges(
            local, payloads, timeout=240,
            all_open=lambda: server.log().count(f"forwarding to 127.0.0.1:{echo.port}") >= count)

        log = peers.read_text(ssh_log)
        broken = [(i, o if isinstance(o, Exception) else len(o)) for i, o in enumerate(outcomes)
                  if not isinstance(o, bytes) or hashlib.sha256(o).digest() != hashlib.sha256(payloads[i]).digest()]
        self.assertEqual(broken, [], log[-3000:] + server.log()[-3000:])
        self.assertNotIn("open failed", log)
        self.assertEqual(echo.half_closed - half_closed, count)
        self.assertIsNone(ssh.poll(), log)
        self.assertNotIn("connection ended", server.log())

    def test_an_open_past_the_wait_object_limit_gets_resource_shortage(self):
        # The wait covers 4032 objects; the connection's socket takes one of them, and each
        # forwarded connection one more.
        capacity = 4032 - 1
        holder = peers.Holder()
        self.addCleanup(holder.stop)
        server, ssh, local, ssh_log = self.forward(holder.port, ssh_options={"LogLevel": "INFO"})
        connections = []
        self.addCleanup(lambda: [c.close() for c in connections])

        def refusals():
            return len(re.findall(r"open failed: resource shortage", peers.read_text(ssh_log)))

        def open_connections(total):
            while len(connections) < total:
                connections.append(socket.create_connection(("127.0.0.1", local), timeout=60))
            peers.wait_for(lambda: holder.count() + refusals() >= total, 240,
                           f"{total} forwarded connections to arrive or be refused")
        # At the limit every one is served; the next is refused, and so is one more.
        open_connections(capacity)
        self.assertEqual((holder.count(), refusals()), (capacity, 0), server.log()[-3000:])
        open_connections(capacity + 2)
        self.assertEqual((holder.count(), refusals()), (capacity, 2), peers.read_text(ssh_log)[-3000:])
        # The SSH connection lives on.
        self.assertIsNone(ssh.poll(), peers.read_text(ssh_log)[-3000:])
        self.assertNotIn("connection ended", server.log())

    def test_20_mb_with_re_exchanges_every_1_mb_and_the_largest_window(self):
        echo = peers.EchoServer()
        self.addCleanup(echo.stop)
        server, ssh, local, ssh_log = self.forward(
            echo.port, server_args=("--rekey-bytes", str(MB), "--window", str(0xFFFFFFFF)),
            ssh_options={"RekeyLimit": "1M", "LogLevel": "VERBOSE"})
        payload = os.urandom(20 * MB)
        try:
            # No read may wait longer than this; the whole stays inside the test's limit.
            received = peers.exchange(local, payload, timeout=120)
        except OSError as e:
            self.fail(f"{e!r}\n--- our server:\n{server.log()[-6000:]}\n--- ssh:\n{peers.read_text(ssh_log)[-3000:]}")
        self.assertEqual(len(received), len(payload))
        self.assertTrue(received == payload, "the bytes differ")
        exchanges = [(int(n), int(r)) for n, r in re.findall(r"key exchange (\d+) \(reason (\d)\)", server.log())]
        # 40 MB cross the connection: dozens of re-exchanges, which side starts each depends on
        # timing; ours (reason 1) hold the incoming data until they end.
        self.assertGreaterEqual(max(n for n, _ in exchanges), 20, server.log()[-3000:])
        self.assertIn(1, {r for _, r in exchanges}, server.log()[-3000:])
        self.assertIsNone(ssh.poll(), peers.read_text(ssh_log))
        self.assertNotIn("connection ended", server.log())

    def test_a_slow_target_gets_its_bytes_without_long_gaps(self):
        for keepalive in ("0", "30"):
            with self.subTest(keepalive=keepalive):
                reader = SlowReader(rate=1.5 * MB)
                self.addCleanup(reader.stop)
                server, ssh, local, ssh_log = self.forward(reader.port, server_args=("--keepalive", keepalive))
                payload = os.urandom(8 * MB)
                started = time.monotonic()
                with socket.create_connection(("127.0.0.1", local), timeout=120) as conn:
                    conn.sendall(payload)
                    conn.shutdown(socket.SHUT_WR)
                    self.assertEqual(conn.recv(1), b"", "the target's end did not come back")
                self.assertTrue(reader.done.wait(60))
                elapsed = time.monotonic() - started
                self.assertEqual(reader.received, len(payload))
                self.assertEqual(reader.digest.digest(), hashlib.sha256(payload).digest())
                # A liveness check, not a speed test: a stalled relay waits for its timer.
                self.assertLess(reader.largest_gap(), 3.0, f"{elapsed:.1f} s in all")


if __name__ == "__main__":
    winetest.main()
