"""nettool against peers played by this script on 127.0.0.1: name lookups, accepting a
connection, and outgoing connections directly and through SOCKS4, SOCKS5 and HTTP CONNECT
proxies that succeed, refuse with each reply code, close early, send garbage or never answer.
Each proxy records the bytes it was sent, so the requests are checked byte for byte."""
import base64
import socket
import threading
import time
import unittest

import winetest

E_FAIL = 0x80004005
E_INVALIDARG = 0x80070057
E_NOTIMPL = 0x80004001
E_UNEXPECTED = 0x8000FFFF
PAYLOAD = b"data from the target"


def recv_exact(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise EOFError(f"peer closed after {len(data)} of {n} bytes")
        data += chunk
    return data


def recv_until(conn, end):
    data = b""
    while not data.endswith(end):
        chunk = conn.recv(1)
        if not chunk:
            raise EOFError("peer closed")
        data += chunk
    return data


def read_socks4(conn):
    head = recv_exact(conn, 8)
    rest = recv_until(conn, b"\0")  # the user id
    if head[4:7] == b"\0\0\0" and head[7] != 0:
        rest += recv_until(conn, b"\0")  # the SOCKS4A host name
    return head + rest


def read_socks5_greeting(conn):
    head = recv_exact(conn, 2)
    return head + recv_exact(conn, head[1])


def read_socks5_auth(conn):
    head = recv_exact(conn, 2)
    user = recv_exact(conn, head[1])
    plen = recv_exact(conn, 1)
    return head + user + plen + recv_exact(conn, plen[0])


def read_socks5_connect(conn):
    head = recv_exact(conn, 4)
    if head[3] == 1:
        address = recv_exact(conn, 4)
    elif head[3] == 3:
        length = recv_exact(conn, 1)
        address = length + recv_exact(conn, length[0])
    else:
        address = recv_exact(conn, 16)
    return head + address + recv_exact(conn, 2)


def read_http(conn):
    return recv_until(conn, b"\r\n\r\n")


def echo_rest(conn, first=b""):
    """After a successful reply: first (sent with the reply's last bytes), then an echo of
    what the client sends until it ends its side, then the end of the connection."""
    if first:
        conn.sendall(first)
    conn.settimeout(60)
    try:
        while True:
            data = conn.recv(1000)
            if not data:
                break
            conn.sendall(data)
    except OSError:
        pass


class Peer:
    """A one-connection server on 127.0.0.1 whose behaviour is play(conn, requests), where
    play appends each request it reads to requests."""

    def __init__(self, play):
        self.play = play
        self.requests = []
        self.error = None
        self.finished = threading.Event()
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        self.listener.settimeout(120)
        try:
            conn, _ = self.listener.accept()
        except OSError as e:
            if not self.finished.is_set():
                self.error = e
            return
        with conn:
            try:
                self.play(conn, self.requests)
            except Exception as e:  # recorded for the test to show
                self.error = e

    def close(self):
        # The tool has ended: a peer it never reached stops listening now rather than at
        # its timeout, and one it reached finishes its play.
        self.finished.set()
        try:
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.thread.join(timeout=60)
        self.listener.close()


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


PREFIX = None


def setUpModule():
    # One prefix for the whole script: each case is one nettool run against its own peer.
    global PREFIX
    PREFIX = winetest.WinePrefix()


def tearDownModule():
    PREFIX.close()


class NetToolCase(unittest.TestCase):
    def tool(self, *args, timeout=120):
        return PREFIX.run("nettool.exe", *args, timeout=timeout)

    def parse(self, r):
        fields = {}
        for line in r.stdout.splitlines():
            key, _, value = line.partition(": ")
            fields[key] = value
        return fields

    def through(self, play, *args):
        """Runs nettool connect with args, where {port} is the peer's port; returns the
        result and the requests the peer read."""
        peer = Peer(play)
        try:
            r = self.tool("connect", *[a.format(port=peer.port) for a in args])
        finally:
            peer.close()
        return r, peer.requests, peer.error

    def assert_connected(self, r, received):
        self.assertEqual(r.code, 0, r)
        self.assertTrue(r.stdout.startswith("connected\n"), r)
        self.assertTrue(r.stdout.endswith(f"received {received}\n"), r)

    def assert_failed(self, r, operation, code, description):
        self.assertEqual(r.code, 1, r)
        fields = self.parse(r)
        self.assertEqual((fields.get("operation"), int(fields.get("code", "-1"))), (operation, code), r)
        self.assertEqual(fields.get("description"), description, r)


class Lookups(NetToolCase):
    def test_localhost_and_an_unknown_name(self):
        r = self.tool("resolve", "localhost")
        self.assertEqual((r.code, r.stdout.splitlines()[0]), (0, "address 127.0.0.1"), r)
        r = self.tool("resolve", "no-such-host.invalid")
        self.assertEqual(r.code, 1, r)
        self.assertTrue(r.stdout.startswith("error 11001: gethostbyname() failed: OS error 11001"), r)
        r = self.tool("reverse", "127.0.0.1")
        self.assertEqual(r.code, 0, r)
        self.assertTrue(r.stdout.startswith("name "), r)

    def test_accepting_reports_the_peer(self):
        # The tool listens on a free port; this script connects once it says so.
        port = closed_port()
        result = {}

        def run():
            result["r"] = self.tool("accept", str(port))

        t = threading.Thread(target=run)
        t.start()
        client = None
        for _ in range(200):
            try:
                client = socket.create_connection(("127.0.0.1", port), timeout=1)
                break
            except OSError:
                time.sleep(0.1)
        self.assertIsNotNone(client)
        local_port = client.getsockname()[1]
        t.join(60)
        client.close()
        r = result["r"]
        self.assertEqual(r.code, 0, r)
        self.assertIn(f"listening on {port}\n", r.stdout)
        self.assertTrue(r.stdout.endswith(f"peer 127.0.0.1 {local_port}\n"), r)


class Direct(NetToolCase):
    def test_by_address_and_by_name(self):
        for host in ("127.0.0.1", "localhost"):
            with self.subTest(host=host):
                r, _, error = self.through(lambda c, q: echo_rest(c, b"hello "), host, "{port}", "--send", "ping")
                self.assertIsNone(error)
                self.assert_connected(r, "hello ping")

    def test_ports_outside_the_tcp_range_are_refused(self):
        # A port is never cut to 16 bits: 112644 would otherwise connect to 47108.
        for port in ("0", "65536", "112644"):
            with self.subTest(port=port):
                r = self.tool("connect", "127.0.0.1", port)
                self.assert_failed(r, "StartConnect()", E_INVALIDARG,
                                   f"StartConnect() - target port {port} is outside 1 to 65535")

    def test_refused_and_unknown(self):
        port = closed_port()
        r = self.tool("connect", "127.0.0.1", str(port))
        self.assert_failed(r, "Connect()", 10061, self.parse(r).get("description"))
        self.assertTrue(self.parse(r)["description"].startswith("Connect() failed: OS error 10061"), r)

        r = self.tool("connect", "no-such-host.invalid", "22")
        self.assertEqual(r.code, 1, r)
        fields = self.parse(r)
        self.assertEqual((fields["operation"], fields["code"]), ("Resolving connect-to address", "11001"))
        self.assertTrue(fields["description"].startswith(
            "Error resolving connect-to address: gethostbyname() failed: OS error 11001"), r)

        # A proxy name that cannot be resolved fails the same way.
        r = self.tool("connect", "127.0.0.1", "22", "--proxy", "socks5", "no-such-host.invalid", "1080")
        self.assertEqual(self.parse(r).get("operation"), "Resolving connect-to address", r)

    def test_unresolvable_target_resolved_locally(self):
        r, requests, _ = self.through(lambda c, q: q.append(c.recv(100)),
                                      "no-such-host.invalid", "22", "--proxy", "socks4", "127.0.0.1", "{port}",
                                      "--resolve-locally")
        self.assertEqual(r.code, 1, r)
        fields = self.parse(r)
        self.assertEqual(fields["operation"], "Resolving target address (proxy address already resolved)")
        self.assertTrue(fields["description"].startswith(
            "Error resolving target address (proxy address already resolved): gethostbyname() failed: "
            "OS error 11001"), r)


def socks4_proxy(reply, after=b""):
    def play(conn, requests):
        requests.append(read_socks4(conn))
        conn.sendall(reply + after)
        if reply[1:2] == b"\x5a":
            echo_rest(conn)
    return play


class Socks4(NetToolCase):
    def test_requests_of_each_target_form(self):
        ok = bytes([0, 0x5A, 0, 0, 0, 0, 0, 0])
        cases = [
            (["10.1.2.3", "8022"], bytes([4, 1, 0x1F, 0x56, 10, 1, 2, 3, 0])),
            (["target.example", "22"], bytes([4, 1, 0, 22, 0, 0, 0, 1, 0]) + b"target.example\0"),
            (["localhost", "22", "--resolve-locally"], bytes([4, 1, 0, 22, 127, 0, 0, 1, 0])),
        ]
        for target, expected in cases:
            with self.subTest(target=target):
                r, requests, error = self.through(socks4_proxy(ok, PAYLOAD), target[0], target[1], "--proxy",
                                                  "socks4", "127.0.0.1", "{port}", *target[2:], "--send", "!")
                self.assertIsNone(error)
                self.assertEqual(requests, [expected])
                self.assert_connected(r, PAYLOAD.decode() + "!")

    def test_refusals_and_garbage(self):
        cases = [
            (91, "SOCKS4 connect request failed: Request rejected or failed"),
            (92, "SOCKS4 connect request failed: Request rejected because SOCKS server cannot connect to identd "
                 "on the client"),
            (93, "SOCKS4 connect request failed: Request rejected because the client program and identd report "
                 "different user-ids"),
            (0, "SOCKS4 connect request failed: unrecognized reply code"),
        ]
        for code, text in cases:
            with self.subTest(code=code):
                r, _, _ = self.through(socks4_proxy(bytes([0, code, 0, 0, 0, 0, 0, 0])), "10.1.2.3", "22",
                                       "--proxy", "socks4", "127.0.0.1", "{port}")
                self.assert_failed(r, "SOCKS4 connect request", code, text)
        r, _, _ = self.through(socks4_proxy(b"HTTP/1.0"), "10.1.2.3", "22", "--proxy", "socks4", "127.0.0.1",
                               "{port}")
        self.assert_failed(r, "Reading SOCKS4 reply version", E_NOTIMPL, "SOCKS4 reply has unrecognized version (72)")


def socks5_proxy(method=0, auth_reply=None, connect_reply=None, pieces=None, after=b""):
    """Plays a SOCKS5 proxy: selects method, answers authentication with auth_reply and the
    connect request with connect_reply (in pieces when given)."""
    def play(conn, requests):
        requests.append(read_socks5_greeting(conn))
        conn.sendall(bytes([5, method]))
        if method == 2:
            requests.append(read_socks5_auth(conn))
            conn.sendall(auth_reply)
            if auth_reply != b"\x01\x00":
                return
        if method not in (0, 2):
            return
        requests.append(read_socks5_connect(conn))
        reply = connect_reply + after
        for piece in (pieces or [len(reply)]):
            conn.sendall(reply[:piece])
            reply = reply[piece:]
            time.sleep(0.5)
        if reply:
            conn.sendall(reply)
        if connect_reply[1] == 0:
            echo_rest(conn)
    return play


SOCKS5_OK = bytes([5, 0, 0, 1, 192, 168, 7, 9, 0x04, 0x38])


class Socks5(NetToolCase):
    def proxy_args(self, *extra):
        return ("--proxy", "socks5", "127.0.0.1", "{port}") + extra

    def test_without_and_with_user_and_password(self):
        r, requests, error = self.through(socks5_proxy(connect_reply=SOCKS5_OK, after=PAYLOAD), "10.1.2.3", "22",
                                          *self.proxy_args("--send", "!"))
        self.assertIsNone(error)
        self.assertEqual(requests, [bytes([5, 1, 0]), bytes([5, 1, 0, 1, 10, 1, 2, 3, 0, 22])])
        self.assert_connected(r, PAYLOAD.decode() + "!")
        self.assertIn("bound 192.168.7.9 1080\n", r.stdout)

        # A reply that arrives in two pieces, with a host name as the bound address.
        reply = bytes([5, 0, 0, 3, 9]) + b"proxy.lan" + bytes([0, 80])
        r, requests, error = self.through(
            socks5_proxy(method=2, auth_reply=b"\x01\x00", connect_reply=reply, pieces=[5]),
            "target.example", "443", *self.proxy_args("--user", "alice", "--password", "s3cret"))
        self.assertIsNone(error)
        self.assertEqual(requests, [bytes([5, 2, 0, 2]), b"\x01\x05alice\x06s3cret",
                                    bytes([5, 1, 0, 3, 14]) + b"target.example" + bytes([1, 0xBB])])
        self.assert_connected(r, "")
        self.assertIn("bound proxy.lan 80\n", r.stdout)

        # Lengths are cut to 255 bytes, the most one byte can tell.
        # The longest credentials a request can carry go whole; longer ones, like a name
        # longer than 255 bytes, are refused before anything reaches the proxy.
        r, requests, _ = self.through(socks5_proxy(method=2, auth_reply=b"\x01\x00", connect_reply=SOCKS5_OK),
                                      "10.1.2.3", "22",
                                      *self.proxy_args("--user", "u" * 255, "--password", "p" * 255))
        self.assertEqual(requests[1], b"\x01\xff" + b"u" * 255 + b"\xff" + b"p" * 255)
        self.assert_connected(r, "")
        too_long = [
            (("10.1.2.3",), ("--user", "u" * 256, "--password", "p"), "Checking proxy credentials",
             "Proxy user name is longer than the 255 bytes a SOCKS5 request can carry"),
            (("10.1.2.3",), ("--user", "u", "--password", "p" * 256), "Checking proxy credentials",
             "Proxy password is longer than the 255 bytes a SOCKS5 request can carry"),
            (("allowed-" + "a" * 253 + ".corp.example",), (), "Checking target host name",
             "Target host name is longer than the 255 bytes a SOCKS5 request can carry"),
        ]
        for (target,), extra, operation, text in too_long:
            with self.subTest(text=text):
                r, requests, error = self.through(socks5_proxy(), target, "22", *self.proxy_args(*extra))
                self.assert_failed(r, operation, E_INVALIDARG, text)
                self.assertEqual((requests, error), ([], None))

    def test_negotiation_failures(self):
        cases = [
            (socks5_proxy(method=2), (), "SOCKS5 method negotiation", E_UNEXPECTED,
             "SOCKS5 method negotiation failed - server demands username-password, but we don't have a username"),
            (socks5_proxy(method=0xFF), (), "SOCKS5 method negotiation", E_FAIL,
             "SOCKS5 method negotiation failed - no matching authentication method"),
            (socks5_proxy(method=1), (), "SOCKS5 method negotiation", E_NOTIMPL,
             "SOCKS5 method negotiation failed - unrecognized method presented by server"),
            (socks5_proxy(method=2, auth_reply=b"\x01\x01"), ("--user", "a", "--password", "b"),
             "Authenticating to SOCKS5 proxy server", E_FAIL, "SOCKS5 proxy authentication failed with code 1"),
            (socks5_proxy(method=2, auth_reply=b"\x05\x00"), ("--user", "a", "--password", "b"),
             "Reading SOCKS5 auth reply version", E_NOTIMPL, "SOCKS5 auth reply has unrecognized version (5)"),
            (socks5_proxy(method=2), ("--user", "a"), "Authenticating to SOCKS server", E_FAIL,
             "Authentication is being used and no proxy password has been specified"),
            (socks5_proxy(method=2), ("--user", "a", "--broken-password"), "Decrypting proxy password", E_FAIL,
             None),
        ]
        for play, extra, operation, code, text in cases:
            with self.subTest(operation=operation, text=text):
                r, _, _ = self.through(play, "10.1.2.3", "22", *self.proxy_args(*extra))
                if text is None:
                    self.assertTrue(self.parse(r).get("description", "").startswith(
                        "Proxy password decryption failed: [Error] "), r)
                    text = self.parse(r)["description"]
                self.assert_failed(r, operation, code, text)

    def test_connect_reply_codes_and_garbage(self):
        texts = {1: "General SOCKS server failure", 2: "Connection not allowed by ruleset",
                 3: "Network unreachable", 4: "Host unreachable", 5: "Connection refused", 6: "TTL expired",
                 7: "Command not supported", 8: "Address type not supported", 9: "unrecognized reply code"}
        for code, text in texts.items():
            with self.subTest(code=code):
                r, _, _ = self.through(socks5_proxy(connect_reply=bytes([5, code, 0, 1, 0, 0, 0, 0, 0, 0])),
                                       "10.1.2.3", "22", *self.proxy_args())
                self.assert_failed(r, "SOCKS5 connect request", code, "SOCKS5 connect request failed: " + text)
        garbage = [
            (bytes([4, 0, 0, 1, 0, 0, 0, 0, 0, 0]), "Reading SOCKS5 connect reply version", E_NOTIMPL,
             "SOCKS5 connect reply has unrecognized version (4)"),
            (bytes([5, 0, 0, 7, 0, 0, 0, 0, 0, 0]), "Reading address type in SOCKS5 connect reply", E_NOTIMPL,
             "SOCKS5 connect reply has unrecognized address type (7)"),
        ]
        for reply, operation, code, text in garbage:
            with self.subTest(reply=reply):
                r, _, _ = self.through(socks5_proxy(connect_reply=reply), "10.1.2.3", "22", *self.proxy_args())
                self.assert_failed(r, operation, code, text)

        def http_answer(conn, requests):
            requests.append(read_socks5_greeting(conn))
            conn.sendall(b"HTTP/1.0 400 Bad Request\r\n\r\n")
        r, _, _ = self.through(http_answer, "10.1.2.3", "22", *self.proxy_args())
        self.assert_failed(r, "Reading SOCKS5 reply version", E_NOTIMPL, "SOCKS5 reply has unrecognized version (72)")

        # An IPv6 bound address is read whole; it has no text form.
        reply = bytes([5, 0, 0, 4]) + bytes(range(16)) + bytes([0, 1])
        r, _, _ = self.through(socks5_proxy(connect_reply=reply), "10.1.2.3", "22", *self.proxy_args())
        self.assert_connected(r, "")
        self.assertIn("bound (IP6 address) 1\n", r.stdout)

    def test_proxy_that_closes_early(self):
        # Half a connect reply, then the end of the connection: reported at once, not after
        # the time limit.
        def half_reply(conn, requests):
            requests.append(read_socks5_greeting(conn))
            conn.sendall(bytes([5, 0]))
            requests.append(read_socks5_connect(conn))
            conn.sendall(bytes([5, 0, 0, 1, 10]))

        r, _, _ = self.through(half_reply, "10.1.2.3", "22", *self.proxy_args())
        self.assert_failed(r, "Reading proxy reply", E_FAIL,
                           "Proxy server closed the connection before completing its reply (1 bytes of it unread)")
        self.assertLess(float(r.stdout.split()[2]), 10, r)


def http_proxy(response, after=b""):
    def play(conn, requests):
        requests.append(read_http(conn))
        conn.sendall(response + after)
        # Only a complete success reply opens the tunnel; a cut one ends with the connection.
        if response.startswith((b"HTTP/1.1 200", b"HTTP/1.0 200")) and response.endswith(b"\r\n\r\n"):
            echo_rest(conn)
    return play


class HttpConnect(NetToolCase):
    def proxy_args(self, *extra):
        return ("--proxy", "http", "127.0.0.1", "{port}") + extra

    def test_success_with_and_without_credentials(self):
        response = b"HTTP/1.1 200 Connection established\r\nProxy-Agent: test\r\n\r\n"
        r, requests, error = self.through(http_proxy(response, PAYLOAD), "target.example", "22",
                                          *self.proxy_args("--send", "!"))
        self.assertIsNone(error)
        self.assertEqual(requests, [b"CONNECT target.example:22 HTTP/1.0\r\n\r\n"])
        self.assert_connected(r, PAYLOAD.decode() + "!")

        r, requests, _ = self.through(http_proxy(b"HTTP/1.0 200\r\n\r\n"), "localhost", "8080",
                                      *self.proxy_args("--user", "bob", "--password", "pa:ss", "--resolve-locally"))
        credentials = base64.b64encode(b"bob:pa:ss")
        self.assertEqual(requests, [b"CONNECT 127.0.0.1:8080 HTTP/1.0\r\nProxy-Authorization: Basic " +
                                    credentials + b"\r\n\r\n"])
        self.assert_connected(r, "")

        # A password block is sent also without a user name.
        r, requests, _ = self.through(http_proxy(b"HTTP/1.0 200 OK\r\n\r\n"), "10.1.2.3", "22",
                                      *self.proxy_args("--password", "x"))
        self.assertEqual(requests, [b"CONNECT 10.1.2.3:22 HTTP/1.0\r\nProxy-Authorization: Basic " +
                                    base64.b64encode(b":x") + b"\r\n\r\n"])

    def test_refusal_and_malformed_status_lines(self):
        cases = [
            (b"HTTP/1.0 407 Proxy Authentication Required\r\n\r\n", "HTTP CONNECT request", 407,
             "HTTP CONNECT request failed: status 407, reason: Proxy Authentication Required"),
            (b"HTTP/1.1 503\r\n\r\n", "HTTP CONNECT request", 503, "HTTP CONNECT request failed: status 503"),
            (b"HTTP/1.0 20\r\n", "Reading HTTP response", E_FAIL, "Invalid HTTP response: status line too short"),
            (b"HTTX/1.0 200 OK\r\n", "Reading HTTP response", E_FAIL,
             "Invalid HTTP response: unrecognized protocol name"),
            (b"HTTP/2.0 200 OK\r\n", "Reading HTTP response", E_FAIL,
             "Invalid HTTP response: unrecognized HTTP protocol version"),
            (b"HTTP/1.0 2x0 OK\r\n", "Reading HTTP response", E_FAIL,
             "Invalid HTTP response: status code not numeric"),
            (b"HTTP/1.0 200x\r\n", "Reading HTTP response", E_FAIL,
             "Invalid HTTP response: status code followed by unexpected character"),
        ]
        for response, operation, code, text in cases:
            with self.subTest(response=response):
                r, _, _ = self.through(http_proxy(response), "10.1.2.3", "22", *self.proxy_args())
                self.assert_failed(r, operation, code, text)

    def test_target_names_that_would_change_the_request(self):
        for name in ("bad host", "evil.example\r\nX-Injected:1"):
            with self.subTest(name=name):
                r, requests, _ = self.through(lambda c, q: q.append(c.recv(100)), name, "22", *self.proxy_args())
                self.assert_failed(r, "Checking target host name", E_INVALIDARG,
                                   "Target host name contains characters that cannot be sent to the proxy server")
                self.assertEqual(requests, [])  # refused before the proxy was even reached

    def test_closing_early_and_endless_header(self):
        r, _, _ = self.through(http_proxy(b"HTTP/1.0 200 OK\r\nVia: x"), "10.1.2.3", "22", *self.proxy_args())
        self.assert_failed(r, "Reading proxy reply", E_FAIL,
                           "Proxy server closed the connection before completing its reply (0 bytes of it unread)")

        def endless(conn, requests):
            requests.append(read_http(conn))
            conn.sendall(b"HTTP/1.0 200 OK\r\n")
            try:
                for _ in range(100):
                    conn.sendall(b"X" * 1000)
            except OSError:
                pass
        r, _, _ = self.through(endless, "10.1.2.3", "22", *self.proxy_args())
        self.assert_failed(r, "Reading HTTP response", E_FAIL,
                           "Invalid HTTP response: response header longer than 65536 bytes")


class PeerText(NetToolCase):
    def test_what_a_peer_chose_is_printed_escaped(self):
        # Control bytes in a SOCKS5 bound name or an HTTP reason reach no terminal raw.
        name = b"a\r\nb\0\x1b[2J\\"
        reply = bytes([5, 0, 0, 3, len(name)]) + name + bytes([0, 80])
        r, _, _ = self.through(socks5_proxy(connect_reply=reply), "10.1.2.3", "22",
                               "--proxy", "socks5", "127.0.0.1", "{port}")
        self.assert_connected(r, "")
        self.assertIn("bound a\\x0d\\x0ab\\x00\\x1b[2J\\x5c 80\n", r.stdout)

        r, _, _ = self.through(http_proxy(b"HTTP/1.0 403 No\x1b]0;owned\x07\r\n\r\n"), "10.1.2.3", "22",
                               "--proxy", "http", "127.0.0.1", "{port}")
        self.assert_failed(r, "HTTP CONNECT request", 403,
                           "HTTP CONNECT request failed: status 403, reason: No\\x1b]0;owned\\x07")


class CommandLine(NetToolCase):
    def test_numbers_and_addresses_out_of_range(self):
        cases = [
            (("accept", "65536"), "not a port from 0 to 65535: 65536"),
            (("accept", "70000"), "not a port from 0 to 65535: 70000"),
            (("accept", "-1"), "not a port: -1"),
            (("connect", "127.0.0.1", "4294967296"), "not a port: 4294967296"),
            (("connect", "127.0.0.1", "22", "--expect", "1x"), "not a number of bytes: 1x"),
            (("reverse", "not-an-address"), "not a dotted IPv4 address: not-an-address"),
            (("reverse", "10.1.2"), "not a dotted IPv4 address: 10.1.2"),
            (("reverse", "10.1.2.256"), "not a dotted IPv4 address: 10.1.2.256"),
            (("reverse", "10.1.2.3."), "not a dotted IPv4 address: 10.1.2.3."),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                r = self.tool(*args)
                self.assertEqual(r.code, 2, r)
                self.assertTrue(r.stderr.startswith(f"nettool: {message}\nusage: "), r)
        r = self.tool("--help")
        self.assertEqual((r.code, r.stderr), (0, ""), r)
        self.assertTrue(r.stdout.startswith("usage: nettool --help\n"), r)


class Limits(NetToolCase):
    def test_unknown_protocol_is_noticed_once_connected(self):
        r, requests, _ = self.through(lambda c, q: q.append(c.recv(10)), "10.1.2.3", "22",
                                      "--proxy", "7", "127.0.0.1", "{port}")
        self.assert_failed(r, "Checking proxy type at PS_ACTOUTPUT", E_INVALIDARG,
                           "Invalid or unsupported proxy type at PS_ACTOUTPUT")

    def test_proxy_that_never_answers(self):
        # The tool's phase limit is shortened to 3 s here; the product's is 30 s.
        def silent(conn, requests):
            requests.append(read_socks5_greeting(conn))
            conn.recv(1)  # until the tool gives up and closes
        r, requests, _ = self.through(silent, "10.1.2.3", "22", "--proxy", "socks5", "127.0.0.1", "{port}",
                                      "--phase-limit", "3")
        self.assertEqual(requests, [bytes([5, 1, 0])])
        self.assert_failed(r, "Timeout check", E_FAIL,
                           "Connection attempt timed out while negotiating with proxy server")
        elapsed = float(r.stdout.split()[2])
        self.assertTrue(3 < elapsed < 6, r)


if __name__ == "__main__":
    winetest.main()
