"""nettool through real proxies that this script starts on 127.0.0.1 with temporary
configurations: Debian's dante-server (SOCKS4 and SOCKS5) and tinyproxy (HTTP CONNECT), both
unpacked by scripts/setup and never installed. Connections reach an echo server through each
and each proxy's own refusals come back as its protocol's errors. What a request cannot carry
whole and exactly (a SOCKS5 name over 255 bytes, a name with a NUL, SOCKS5 credentials over 255
bytes, a port outside 1 to 65535) is refused before the proxy sees a connection: each proxy's
log is checked for that."""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import winetest

E_INVALIDARG = 0x80070057


def proxy_peers_dir():
    """Where scripts/setup unpacked the proxies (scripts/env.sh's proxy_peers_dir)."""
    cache = os.environ.get("ORVIDEX_CACHE")
    if not cache:
        cache = "/var/cache/orvidex" if os.geteuid() == 0 else os.path.expanduser("~/.cache/orvidex")
    return os.path.join(cache, "proxy-peers")


DANTED = os.path.join(proxy_peers_dir(), "usr", "sbin", "danted")
TINYPROXY = os.path.join(proxy_peers_dir(), "usr", "bin", "tinyproxy")
MISSING = None if os.access(DANTED, os.X_OK) and os.access(TINYPROXY, os.X_OK) else \
    f"no danted and tinyproxy in {proxy_peers_dir()} (scripts/setup unpacks them)"

HTTP_USER, HTTP_PASSWORD = "bob", "s3cret"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def read_text(path):
    try:
        with open(path, encoding="latin-1") as fh:
            return fh.read()
    except FileNotFoundError:
        return ""


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise AssertionError(f"timed out after {timeout} s waiting for {what}")


class Proxy:
    """A proxy in a session of its own (stop() ends it with the processes it forked), on a free
    port, writing its log to a file of the test. accepted() counts the connections its log
    names."""

    ready = accept_line = None

    def __init__(self, folder):
        self.folder = tempfile.mkdtemp(prefix=type(self).__name__.lower() + "-", dir=folder)
        self.log_path = os.path.join(self.folder, "log")
        for _ in range(5):
            self.port = free_port()
            config = os.path.join(self.folder, "config")
            with open(config, "w") as out:
                out.write(self.config())
            with open(os.path.join(self.folder, "output"), "wb") as output:
                self.process = subprocess.Popen(self.command(config), stdin=subprocess.DEVNULL, stdout=output,
                                                stderr=output, start_new_session=True)
            try:
                wait_for(lambda: self.ready in self.log() or self.process.poll() is not None, 30,
                         f"{type(self).__name__} to listen")
            except AssertionError:
                self.stop()
                raise
            if self.process.poll() is None:
                return
            said = self.log() + read_text(os.path.join(self.folder, "output"))
            if "in use" not in said:
                raise AssertionError(f"{type(self).__name__} did not start:\n{said}")
        raise AssertionError(f"{type(self).__name__} found no free port")

    def log(self):
        return read_text(self.log_path)

    def accepted(self):
        return self.log().count(self.accept_line)

    def stop(self):
        if self.process.poll() is None:
            try:
                os.killpg(self.process.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait(timeout=30)


class Dante(Proxy):
    """SOCKS4 and SOCKS5 without authentication: offered a user name and password, it picks
    "none"."""

    ready = "running"
    accept_line = "tcp/accept ["

    def config(self):
        rules = "from: 127.0.0.1/32 to: 0.0.0.0/0 log: connect disconnect error"
        return (f"logoutput: {self.log_path}\n"
                f"internal: 127.0.0.1 port = {self.port}\n"
                "external: 127.0.0.1\n"
                "clientmethod: none\n"
                "socksmethod: none\n"
                f"client pass {{ {rules} }}\n"
                f"socks pass {{ {rules} }}\n")

    def command(self, config):
        return [DANTED, "-f", config, "-N", "1", "-p", os.path.join(self.folder, "pid")]


class Tinyproxy(Proxy):
    """HTTP CONNECT to any port, for one user and password."""

    ready = "Accepting connections"
    accept_line = "Connect (file descriptor"

    def config(self):
        return (f"Port {self.port}\n"
                "Listen 127.0.0.1\n"
                "Timeout 60\n"
                f'LogFile "{self.log_path}"\n'
                "LogLevel Info\n"
                "MaxClients 20\n"
                "Allow 127.0.0.1\n"
                f"BasicAuth {HTTP_USER} {HTTP_PASSWORD}\n")

    def command(self, config):
        return [TINYPROXY, "-d", "-c", config]


class Echo:
    """Echoes each connection until its client ends its side, then ends its own."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.connections = 0
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            self.connections += 1
            threading.Thread(target=self._echo, args=(conn,), daemon=True).start()

    @staticmethod
    def _echo(conn):
        with conn:
            conn.settimeout(60)
            try:
                while True:
                    data = conn.recv(65536)
                    if not data:
                        break
                    conn.sendall(data)
            except OSError:
                pass

    def stop(self):
        self.listener.close()


@unittest.skipIf(MISSING, MISSING)
class RealProxies(winetest.SharedPrefixTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.folder = tempfile.mkdtemp(prefix="orvidex-proxies-")
        cls.echo = Echo()
        cls.dante = cls.tinyproxy = None
        try:
            cls.dante = Dante(cls.folder)
            cls.tinyproxy = Tinyproxy(cls.folder)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        for proxy in (cls.dante, cls.tinyproxy):
            if proxy:
                proxy.stop()
        cls.echo.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)
        super().tearDownClass()

    def proxy_args(self, kind):
        proxy = self.tinyproxy if kind == "http" else self.dante
        return ["--proxy", kind, "127.0.0.1", str(proxy.port)]

    def connect(self, host, port, *args):
        r = self.prefix.run("nettool.exe", "connect", host, str(port), *args, timeout=120)
        fields = {}
        for line in r.stdout.splitlines():
            key, _, value = line.partition(": ")
            fields[key] = value
        return r, fields

    def assert_echoed(self, r, text):
        self.assertEqual(r.code, 0, r)
        self.assertTrue(r.stdout.startswith("connected\n"), r)
        self.assertTrue(r.stdout.endswith(f"received {text}\n"), r)

    def one_connection_each(self):
        """Connects once through each proxy and waits for both logs to name it: what a log
        shows afterwards is all that reached the proxy before."""
        before = (self.dante.accepted(), self.tinyproxy.accepted())
        for kind in ("socks5", "http"):
            r, _ = self.connect("127.0.0.1", self.echo.port, *self.proxy_args(kind), "--user", HTTP_USER,
                                "--password", HTTP_PASSWORD, "--send", "mark", "--expect", "4")
            self.assert_echoed(r, "mark")
        wait_for(lambda: (self.dante.accepted(), self.tinyproxy.accepted()) == (before[0] + 1, before[1] + 1), 10,
                 "the proxies to log the marking connections")

    def test_connections_reach_the_target_through_each_proxy(self):
        long_user = ["--user", "u" * 255, "--password", "p" * 255]
        http_login = ["--user", HTTP_USER, "--password", HTTP_PASSWORD]
        cases = [
            ("socks4", "127.0.0.1", []),
            ("socks4", "localhost", ["--resolve-locally"]),
            ("socks5", "localhost", []),
            ("socks5", "127.0.0.1", long_user),  # offered whole; dante picks no authentication
            ("http", "localhost", http_login),
            ("http", "localhost", http_login + ["--resolve-locally"]),
        ]
        for kind, host, extra in cases:
            with self.subTest(kind=kind, host=host, extra=extra[-1:]):
                proxy = self.tinyproxy if kind == "http" else self.dante
                accepted, echoed = proxy.accepted(), self.echo.connections
                r, _ = self.connect(host, self.echo.port, *self.proxy_args(kind), *extra, "--send", "ping",
                                    "--expect", "4")
                self.assert_echoed(r, "ping")
                self.assertEqual(self.echo.connections, echoed + 1)
                wait_for(lambda: proxy.accepted() == accepted + 1, 10, "the proxy to log the connection")

    def test_the_proxies_own_refusals(self):
        closed = free_port()
        cases = [
            ("socks4", "127.0.0.1", closed, [], "SOCKS4 connect request", 91,
             "SOCKS4 connect request failed: Request rejected or failed"),
            ("socks5", "127.0.0.1", closed, [], "SOCKS5 connect request", 5,
             "SOCKS5 connect request failed: Connection refused"),
            ("http", "127.0.0.1", closed, ["--user", HTTP_USER, "--password", HTTP_PASSWORD],
             "HTTP CONNECT request", 500, "HTTP CONNECT request failed: status 500, reason: Unable to connect"),
            ("http", "127.0.0.1", self.echo.port, ["--user", HTTP_USER, "--password", "wrong"],
             "HTTP CONNECT request", 401, "HTTP CONNECT request failed: status 401, reason: Unauthorized"),
            ("http", "127.0.0.1", self.echo.port, [], "HTTP CONNECT request", 407,
             "HTTP CONNECT request failed: status 407, reason: Proxy Authentication Required"),
        ]
        for kind, host, port, extra, operation, code, text in cases:
            with self.subTest(kind=kind, text=text, extra=extra[-1:]):
                r, fields = self.connect(host, port, *self.proxy_args(kind), *extra)
                self.assertEqual(r.code, 1, r)
                self.assertEqual((fields.get("operation"), fields.get("code"), fields.get("description")),
                                 (operation, str(code), text), r)

    def test_what_a_request_cannot_carry_is_refused_before_the_proxy_is_reached(self):
        self.one_connection_each()
        before = (self.dante.accepted(), self.tinyproxy.accepted(), self.echo.connections)
        bad_name = "Target host name contains characters that cannot be sent to the proxy server"
        with_nul = "localhost\\x00.corp.example"
        echo = self.echo.port

        def port_text(which, port):
            return f"StartConnect() - {which} port {port} is outside 1 to 65535"
        cases = [
            # A name cut to 255 bytes would ask for another host; one cut at a NUL, for localhost.
            ("socks5", "allowed-" + "a" * 253 + ".corp.example", echo, [], "Checking target host name",
             "Target host name is longer than the 255 bytes a SOCKS5 request can carry"),
            ("socks4", with_nul, echo, [], "Checking target host name", bad_name),
            ("socks5", with_nul, echo, [], "Checking target host name", bad_name),
            ("http", with_nul, echo, [], "Checking target host name", bad_name),
            ("socks5", "localhost", echo, ["--user", "u" * 256, "--password", "p"], "Checking proxy credentials",
             "Proxy user name is longer than the 255 bytes a SOCKS5 request can carry"),
            ("socks5", "localhost", echo, ["--user", "u", "--password", "p" * 256], "Checking proxy credentials",
             "Proxy password is longer than the 255 bytes a SOCKS5 request can carry"),
        ]
        # Ports cut to their low 16 bits would reach the echo server or the proxy itself.
        for kind in ("socks4", "socks5", "http"):
            cases += [(kind, "127.0.0.1", port, [], "StartConnect()", port_text("target", port))
                      for port in (0, echo + 65536)]
        for kind, proxy in (("socks5", self.dante), ("http", self.tinyproxy)):
            for port in (0, proxy.port + 65536):
                cases.append((kind, "127.0.0.1", echo, ["--proxy", kind, "127.0.0.1", str(port)], "StartConnect()",
                              port_text("proxy", port)))
        for kind, host, port, extra, operation, text in cases:
            with self.subTest(kind=kind, host=host[:24], port=port, extra=[e[:12] for e in extra]):
                args = extra if extra[:1] == ["--proxy"] else self.proxy_args(kind) + extra
                r, fields = self.connect(host, port, *args)
                self.assertEqual(r.code, 1, r)
                self.assertEqual((fields.get("operation"), fields.get("code"), fields.get("description")),
                                 (operation, str(E_INVALIDARG), text), r)
        # Whatever had reached a proxy is in its log once a later connection is.
        self.one_connection_each()
        self.assertEqual((self.dante.accepted(), self.tinyproxy.accepted(), self.echo.connections),
                         (before[0] + 1, before[1] + 1, before[2] + 2),
                         "a refused attempt reached a proxy or the target")


if __name__ == "__main__":
    winetest.main()
