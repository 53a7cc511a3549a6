"""nettool through real proxies that this script starts on 127.0.0.1 with temporary
configurations: Debian's dante-server (SOCKS4 and SOCKS5) and tinyproxy (HTTP CONNECT), both
unpacked by scripts/setup and never installed. Connections reach an echo server through each
and each proxy's own refusals come back as its protocol's errors. What a request cannot carry
whole and exactly (a SOCKS5 name over 255 bytes, a name with a NUL, SOCKS5 credentials over 255
bytes, a port outside 1 to 65535) is refused before the proxy sees a connection: each proxy's
log is checked for that."""
import shutil
import tempfile

import winetest
from localpeers import free_port, wait_for
from proxypeers import ProxiedEcho

E_INVALIDARG = 0x80070057
HTTP_USER, HTTP_PASSWORD = "bob", "s3cret"


class RealProxies(winetest.SharedPrefixTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.folder = tempfile.mkdtemp(prefix="orvidex-proxies-")
        try:
            cls.proxied = ProxiedEcho(cls.folder, (HTTP_USER, HTTP_PASSWORD))
        except BaseException:
            shutil.rmtree(cls.folder, ignore_errors=True)
            super().tearDownClass()
            raise
        cls.echo, cls.dante, cls.tinyproxy = cls.proxied.echo, cls.proxied.dante, cls.proxied.tinyproxy

    @classmethod
    def tearDownClass(cls):
        cls.proxied.stop()
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
