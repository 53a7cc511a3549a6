"""What the sshprobe tests share: keys made by ssh-keygen and puttygen, our server and client
run under wine64, OpenSSH's sshd run by the test as a non-daemon in a private mount namespace,
and a TCP echo server. Everything listens on 127.0.0.1 at a free high port and is ended by the
test that started it."""
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading

import winetest
from localpeers import EchoServer, end_session, free_port, read_text, wait_for  # noqa: F401 (shared with the tests)

PROBE = os.path.join(winetest.BIN, "sshprobe.exe")

# OpenSSH 9.2 speaks every method we share with it only when asked: these options add the
# legacy ones to its defaults (they are not removed from the defaults of either end).
OPENSSH_LEGACY = {
    "KexAlgorithms": "+diffie-hellman-group1-sha1,diffie-hellman-group14-sha1,diffie-hellman-group-exchange-sha1",
    "HostKeyAlgorithms": "+ssh-rsa,ssh-dss",
    "PubkeyAcceptedAlgorithms": "+ssh-rsa,ssh-dss",
    "Ciphers": "+aes128-cbc,aes256-cbc,3des-cbc",
    "MACs": "+hmac-sha1-96,hmac-md5,hmac-md5-96",
}


def ssh_options(extra=None):
    """Client options for ssh: no user configuration, no known hosts, no agent, the legacy
    methods, and the given options on top."""
    opts = {"StrictHostKeyChecking": "no", "UserKnownHostsFile": "/dev/null", "GlobalKnownHostsFile": "/dev/null",
            "IdentityAgent": "none", "IdentitiesOnly": "yes", "LogLevel": "ERROR", "ConnectTimeout": "30"}
    opts.update(OPENSSH_LEGACY)
    opts.update(extra or {})
    args = ["-F", "/dev/null"]
    for key, value in opts.items():
        args += ["-o", f"{key}={value}"]
    return args


def wine_path(path):
    return "Z:" + path


class Keys:
    """Key files in a folder of the test: OpenSSH PEM private keys with their one-line public
    keys, and PuTTY's .ppk of the same keys."""

    def __init__(self, folder):
        self.folder = folder

    def make(self, name, kind, bits):
        path = os.path.join(self.folder, name)
        if not os.path.exists(path):
            subprocess.run(["ssh-keygen", "-q", "-m", "PEM", "-t", kind, "-b", str(bits), "-N", "", "-C", name,
                            "-f", path], check=True, stdin=subprocess.DEVNULL)
        return path

    def ppk(self, private_key):
        path = private_key + ".ppk"
        if not os.path.exists(path):
            subprocess.run(["puttygen", private_key, "-O", "private", "-o", path], check=True,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        return path

    @staticmethod
    def md5_fingerprint(private_key):
        """The MD5 fingerprint plink's -hostkey takes."""
        out = subprocess.run(["ssh-keygen", "-l", "-E", "md5", "-f", private_key + ".pub"], check=True,
                             capture_output=True, text=True).stdout
        return re.search(r"MD5:([0-9a-f:]+)", out).group(1)


class ProbeTestCase(winetest.SharedPrefixTestCase):
    """A class of tests sharing one prefix and a folder of their own (cls.folder, with cls.keys
    making keys in it), removed after the class."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.folder = tempfile.mkdtemp(prefix="orvidex-sshprobe-")
        cls.keys = Keys(cls.folder)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)
        super().tearDownClass()


class ProbeServer:
    """Our server under wine64 in the given prefix; its event lines go to a file."""

    def __init__(self, prefix, folder, *args):
        self.log_path = tempfile.mktemp(prefix="server-", suffix=".log", dir=folder)
        command = [winetest.WINE64, PROBE, "server", "--port", "0", *args]
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(command, env=prefix.env, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        try:
            self.port = int(self.wait_for(r"listening on (\d+)", 120).group(1))
        except Exception:
            # A server that Wine ended at its start is recorded as such (never tried again here).
            if self.process.poll() is not None:
                winetest.note_if_start_failure(command[1:], self.process.returncode, self.log(), "")
            self.stop()
            raise

    def log(self):
        return read_text(self.log_path)

    def wait_for(self, pattern, timeout=60):
        def found():
            match = re.search(pattern, self.log())
            if not match and self.process.poll() is not None:
                raise AssertionError(f"the server ended with {self.process.returncode}:\n{self.log()}")
            return match
        return wait_for(found, timeout, f"{pattern!r} from the server")

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(timeout=60)


def run_probe_client(prefix, *args, timeout=300):
    """Our client to the end; its event lines are in stderr."""
    return prefix.run(PROBE, "client", *args, timeout=timeout)


def start_probe_client(prefix, folder, *args):
    """Our client in the background: (process, path of its event lines)."""
    log_path = tempfile.mktemp(prefix="client-", suffix=".log", dir=folder)
    with open(log_path, "wb") as log:
        process = subprocess.Popen([winetest.WINE64, PROBE, "client", *args], env=prefix.env,
                                   stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    return process, log_path


def namespace_reason():
    """None when this machine lets the test run sshd in a private mount namespace, else why not.
    sshd needs its privilege separation folder /run/sshd, which the test creates only inside
    such a namespace, on a private /run."""
    if os.geteuid() != 0:
        return "sshd needs root for its privilege separation and /run/sshd"
    if not os.path.exists("/usr/sbin/sshd"):
        return "openssh-server is not installed (scripts/setup installs it)"
    r = subprocess.run(["unshare", "-m", "--propagation", "private", "true"], capture_output=True)
    if r.returncode != 0:
        return "no private mount namespace: " + r.stderr.decode(errors="replace").strip()
    return None


class Sshd:
    """OpenSSH's sshd as a non-daemon on 127.0.0.1 at a free high port, with a temporary
    configuration, host keys and authorized_keys. It runs in a private mount namespace with
    its own /run (for /run/sshd) and /var/log (so no login record reaches the machine's). With
    a password user, a throwaway account exists only there, through copies of /etc/passwd and
    /etc/shadow bind-mounted over the real ones; the machine's accounts are never changed."""

    def __init__(self, folder, authorized_keys=(), password_user=None, config=None):
        self.folder = tempfile.mkdtemp(prefix="sshd-", dir=folder)
        keys = Keys(self.folder)
        self.host_keys = [keys.make("host_rsa", "rsa", 2048), keys.make("host_dsa", "dsa", 1024)]
        authorized = os.path.join(self.folder, "authorized_keys")
        with open(authorized, "w") as out:
            for public in authorized_keys:
                with open(public) as fh:
                    out.write(fh.read())
        settings = {
            "ListenAddress": None, "PidFile": "none", "UsePAM": "no", "StrictModes": "no",
            "AuthorizedKeysFile": authorized, "PasswordAuthentication": "yes" if password_user else "no",
            "KbdInteractiveAuthentication": "no", "PrintMotd": "no", "PrintLastLog": "no", "LogLevel": "VERBOSE",
            "AllowTcpForwarding": "yes",
        }
        settings.update(OPENSSH_LEGACY)
        settings.update(config or {})
        script = ["mount -t tmpfs tmpfs /run", "mkdir -m 755 /run/sshd", "mount -t tmpfs tmpfs /var/log"]
        if password_user:
            user, password = password_user
            script += self._throwaway_account(user, password)
        self.log_path = os.path.join(self.folder, "sshd.log")
        for attempt in range(5):
            self.port = free_port()
            settings["ListenAddress"] = f"127.0.0.1:{self.port}"
            config_path = os.path.join(self.folder, "sshd_config")
            with open(config_path, "w") as out:
                out.write("".join(f"{k} {v}\n" for k, v in settings.items()))
                out.write("".join(f"HostKey {k}\n" for k in self.host_keys))
            command = " && ".join(script + [f"exec /usr/sbin/sshd -D -e -f {config_path}"])
            with open(self.log_path, "wb") as log:
                # A session of its own: stop() ends sshd and the per-connection processes it forked.
                self.process = subprocess.Popen(["unshare", "-m", "--propagation", "private", "sh", "-c", command],
                                                stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                                start_new_session=True)
            try:
                wait_for(lambda: "Server listening" in self.log() or self.process.poll() is not None, 30,
                         "sshd to listen")
            except AssertionError:
                self.stop()
                raise
            if self.process.poll() is None:
                return
            if "Address already in use" not in self.log():
                raise AssertionError("sshd did not start:\n" + self.log())
        raise AssertionError("sshd found no free port:\n" + self.log())

    def _throwaway_account(self, user, password):
        home = os.path.join(self.folder, "home")
        os.mkdir(home)
        # The account's own home, reachable through the test's private folders.
        for folder in (self.folder, os.path.dirname(self.folder)):
            os.chmod(folder, 0o711)
        uid = 47000 + os.getpid() % 1000
        os.chown(home, uid, 65534)
        digest = subprocess.run(["openssl", "passwd", "-6", "-stdin"], input=password, capture_output=True,
                                text=True, check=True).stdout.strip()
        passwd = os.path.join(self.folder, "passwd")
        shadow = os.path.join(self.folder, "shadow")
        shutil.copyfile("/etc/passwd", passwd)
        shutil.copyfile("/etc/shadow", shadow)
        os.chmod(shadow, 0o600)
        with open(passwd, "a") as out:
            out.write(f"{user}:x:{uid}:65534:throwaway test user:{home}:/bin/sh\n")
        with open(shadow, "a") as out:
            out.write(f"{user}:{digest}:19000:0:99999:7:::\n")
        return [f"mount --bind {passwd} /etc/passwd", f"mount --bind {shadow} /etc/shadow"]

    def log(self):
        return read_text(self.log_path)

    def stop(self):
        end_session(self.process)


class Holder:
    """Accepts every connection on 127.0.0.1 and holds it open without reading until it is
    stopped; counts those accepted."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4096)
        self.port = self.listener.getsockname()[1]
        self.held = []
        self.lock = threading.Lock()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                self.held.append(conn)

    def count(self):
        with self.lock:
            return len(self.held)

    def stop(self):
        self.listener.close()
        with self.lock:
            for conn in self.held:
                conn.close()


def exchange(port, payload, timeout=120):
    """Sends payload to 127.0.0.1:port while reading, ends the sending side, and returns all
    that came back until the other side ended. timeout bounds each wait for progress, not the
    whole transfer; a send that fails ends the exchange with its error."""
    received = []
    failed = []
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as conn:
        def send():
            # sendall's timeout bounds the whole call: a long transfer that keeps moving would
            # end half-way, unnoticed, and leave the reader waiting for bytes never sent.
            view = memoryview(payload)
            try:
                while view:
                    view = view[conn.send(view[:1 << 20]):]
                conn.shutdown(socket.SHUT_WR)
            except OSError as e:
                failed.append(e)
                try:
                    conn.shutdown(socket.SHUT_RD)  # the reader learns at once
                except OSError:
                    pass
        sender = threading.Thread(target=send, daemon=True)
        sender.start()
        while True:
            data = conn.recv(65536)
            if not data:
                break
            received.append(data)
        sender.join(timeout)
    if failed:
        raise failed[0]
    return b"".join(received)
