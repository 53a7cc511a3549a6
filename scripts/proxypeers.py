"""Debian's dante-server (SOCKS4 and SOCKS5) and tinyproxy (HTTP CONNECT) for the tests: unpacked
into the cache by scripts/setup, never installed, and started by a test on 127.0.0.1 at a free
port with a temporary configuration; stop() ends a proxy with every process it forked."""
import os
import subprocess
import tempfile

from localpeers import EchoServer, end_session, free_port, read_text, wait_for


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
        end_session(self.process)


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
    """HTTP CONNECT to any port; with a login (user, password), for that user only."""

    ready = "Accepting connections"
    accept_line = "Connect (file descriptor"

    def __init__(self, folder, login=None):
        self.login = login
        super().__init__(folder)

    def config(self):
        return (f"Port {self.port}\n"
                "Listen 127.0.0.1\n"
                "Timeout 60\n"
                f'LogFile "{self.log_path}"\n'
                "LogLevel Info\n"
                "MaxClients 20\n"
                "Allow 127.0.0.1\n" +
                (f"BasicAuth {self.login[0]} {self.login[1]}\n" if self.login else ""))

    def command(self, config):
        return [TINYPROXY, "-d", "-c", config]


class ProxiedEcho:
    """An echo server with both proxies in front of it (tinyproxy with that login, if any), or
    none of them: a failed start ends what had started. stop() ends all three."""

    def __init__(self, folder, http_login=None):
        self.echo = EchoServer()
        self.dante = self.tinyproxy = None
        try:
            self.dante = Dante(folder)
            self.tinyproxy = Tinyproxy(folder, http_login)
        except BaseException:
            self.stop()
            raise

    def stop(self):
        for proxy in (self.dante, self.tinyproxy):
            if proxy:
                proxy.stop()
        self.echo.stop()
