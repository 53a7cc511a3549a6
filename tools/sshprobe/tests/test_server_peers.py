"""Our server with clients no one here wrote: OpenSSH's ssh and PuTTY's plink log in by
password and by RSA and DSA keys (OpenSSH keys for ssh, puttygen's .ppk for plink), over each
key exchange method, host key type, cipher, MAC and compression both sides share, echo 1 MB
through a session byte for byte, survive re-exchanges started by either side and end with exit
status 0. A user slow at the password prompt, and a session idle for longer than the keep-alive
interval, keep their connection."""
import os
import stat
import subprocess
import tempfile
import time

import peers
import winetest

MB = 1 << 20
USER, PASSWORD = "alice", "secret word"

# Each row names one choice our server offers, so the client must take that one; every shared
# method appears in some row, each client logs in by each way it has.
ROWS = [
    # client, key exchange, host key, cipher, MAC, zlib, login
    ("ssh", "diffie-hellman-group1-sha1", "ssh-dss", "aes128-cbc", "hmac-sha1", True, "password"),
    ("ssh", "diffie-hellman-group14-sha1", "ssh-rsa", "aes256-cbc", "hmac-md5", False, "rsa"),
    ("ssh", "diffie-hellman-group-exchange-sha1", "ssh-rsa", "3des-cbc", "hmac-sha1-96", True, "dsa"),
    ("ssh", "diffie-hellman-group14-sha1", "ssh-dss", "aes256-cbc", "hmac-md5-96", False, "rsa"),
    ("plink", "diffie-hellman-group14-sha1", "ssh-rsa", "aes128-cbc", "hmac-sha1", True, "password"),
    ("plink", "diffie-hellman-group-exchange-sha1", "ssh-dss", "3des-cbc", "hmac-md5", False, "rsa"),
    ("plink", "diffie-hellman-group14-sha1", "ssh-rsa", "aes256-cbc", "hmac-sha1-96", False, "dsa"),
]


class ServerWithRealClients(peers.ProbeTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        make = cls.keys.make
        cls.host_keys = {"ssh-rsa": make("host_rsa", "rsa", 2048), "ssh-dss": make("host_dsa", "dsa", 1024)}
        cls.user_keys = {"rsa": make("user_rsa", "rsa", 2048), "dsa": make("user_dsa", "dsa", 1024)}
        cls.ppk = {kind: cls.keys.ppk(path) for kind, path in cls.user_keys.items()}
        cls.payload = os.path.join(cls.folder, "payload")
        with open(cls.payload, "wb") as out:
            out.write(os.urandom(MB))
        cls.askpass = cls.script("askpass", f"#!/bin/sh\necho '{PASSWORD}'\n")
        cls.slow_askpass = cls.script("slow-askpass", f"#!/bin/sh\nsleep 3.5\necho '{PASSWORD}'\n")

    @classmethod
    def script(cls, name, text):
        path = os.path.join(cls.folder, name)
        with open(path, "w") as out:
            out.write(text)
        os.chmod(path, stat.S_IRWXU)
        return path

    def server(self, *args, host_key="ssh-rsa"):
        authorized = [f"{USER}:{peers.wine_path(k)}.pub" for k in self.user_keys.values()]
        options = ["--host-key", peers.wine_path(self.host_keys[host_key]), "--password", f"{USER}:{PASSWORD}"]
        for a in authorized:
            options += ["--authorized-key", a]
        server = peers.ProbeServer(self.prefix, self.folder, *options, *args)
        self.addCleanup(server.stop)
        return server

    def client_env(self, askpass=None):
        env = dict(os.environ, HOME=self.folder)
        env.pop("DISPLAY", None)
        env.pop("SSH_AUTH_SOCK", None)
        if askpass:
            env.update(SSH_ASKPASS=askpass, SSH_ASKPASS_REQUIRE="force")
        return env

    def ssh_command(self, port, login, extra=None, zlib=False, askpass=None):
        options = {"BatchMode": "no" if login == "password" else "yes"}
        if login == "password":
            options.update(PreferredAuthentications="password", PubkeyAuthentication="no",
                           NumberOfPasswordPrompts="1")
        else:
            options.update(PreferredAuthentications="publickey", IdentityFile=self.user_keys[login])
        options.update(extra or {})
        command = ["ssh", "-T", *peers.ssh_options(options), "-p", str(port)]
        if zlib:
            command.append("-C")
        return command + [f"{USER}@127.0.0.1"], self.client_env(askpass or self.askpass)

    def plink_command(self, port, login, host_key, zlib=False):
        command = ["plink", "-ssh", "-batch", "-noagent", "-T", "-P", str(port), "-l", USER,
                   "-hostkey", peers.Keys.md5_fingerprint(self.host_keys[host_key])]
        command += ["-pw", PASSWORD] if login == "password" else ["-i", self.ppk[login]]
        if zlib:
            command.append("-C")
        return command + ["127.0.0.1"], self.client_env()

    def echo(self, command, env, timeout=120):
        """Runs the client with the payload as its input; its exit code, output and messages."""
        with open(self.payload, "rb") as stdin, tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            code = subprocess.run(command + ["cat"], stdin=stdin, stdout=out, stderr=err, env=env,
                                  timeout=timeout).returncode
            out.seek(0)
            err.seek(0)
            return code, out.read(), err.read().decode("latin-1")

    def assertEchoed(self, result, server):
        code, output, messages = result
        self.assertEqual(code, 0, messages + server.log())
        with open(self.payload, "rb") as fh:
            self.assertTrue(output == fh.read(), f"{len(output)} bytes came back, not the {MB} sent")
        server.wait_for(r"session echoed 1048576 bytes, exit status 0 sent")

    def test_each_shared_method_and_login(self):
        for client, kex, host_key, cipher, mac, zlib, login in ROWS:
            with self.subTest(client=client, kex=kex, host_key=host_key, cipher=cipher, mac=mac, zlib=zlib,
                              login=login):
                server = self.server("--kex", kex, "--cipher", cipher, "--mac", mac, "--compression",
                                     "zlib,none" if zlib else "none", host_key=host_key)
                if client == "ssh":
                    command, env = self.ssh_command(server.port, login, zlib=zlib)
                else:
                    command, env = self.plink_command(server.port, login, host_key, zlib=zlib)
                self.assertEchoed(self.echo(command, env), server)
                compression = "zlib" if zlib else "none"
                self.assertIn(f"key exchange 1 (reason 0): kex {kex}, host key {host_key}, cipher {cipher}/{cipher}, "
                              f"mac {mac}/{mac}, compression {compression}/{compression}", server.log())
                method = "password" if login == "password" else "publickey"
                self.assertIn(f"login ok: {USER} by {method}", server.log())
                server.stop()

    def test_reexchanges_started_by_either_side(self):
        # Reason 1: a re-exchange our server started; reason 2: one the client started.
        for client, rekey_limit, server_bytes, reason in (("ssh", "256K", None, 2), ("ssh", None, "300000", 1),
                                                           ("plink", None, "300000", 1)):
            with self.subTest(client=client, started_by="client" if reason == 2 else "server"):
                server = self.server(*(["--rekey-bytes", server_bytes] if server_bytes else []))
                if client == "ssh":
                    extra = {"RekeyLimit": rekey_limit} if rekey_limit else {}
                    command, env = self.ssh_command(server.port, "rsa", extra=extra)
                else:
                    command, env = self.plink_command(server.port, "rsa", "ssh-rsa")
                self.assertEchoed(self.echo(command, env), server)
                self.assertRegex(server.log(), rf"key exchange [2-9]\d* \(reason {reason}\)")
                server.stop()

    def test_wrong_password_and_unknown_key_are_refused(self):
        server = self.server()
        wrong = self.script("wrong-askpass", "#!/bin/sh\necho 'not it'\n")
        command, env = self.ssh_command(server.port, "password", askpass=wrong)
        code, _, messages = self.echo(command, env)
        self.assertEqual(code, 255)
        self.assertIn("Permission denied", messages)
        server.wait_for(f"login failed: {USER} by password")
        stranger = peers.Keys(self.folder).make("stranger_rsa", "rsa", 2048)
        command, env = self.ssh_command(server.port, "rsa", extra={"IdentityFile": stranger})
        code, _, messages = self.echo(command, env)
        self.assertEqual(code, 255)
        self.assertIn("Permission denied (publickey,password)", messages)

    def test_keep_alive_spares_a_slow_password_prompt_and_an_idle_session(self):
        # The user answers the prompt after more than three keep-alive intervals; once logged
        # in the session stays idle as long before any data flows.
        server = self.server("--keepalive", "1")
        command, env = self.ssh_command(server.port, "password", askpass=self.slow_askpass)
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            client = subprocess.Popen(command + ["cat"], stdin=subprocess.PIPE, stdout=out, stderr=err, env=env)
            try:
                server.wait_for(f"login ok: {USER} by password", 60)
                time.sleep(3.5)
                with open(self.payload, "rb") as fh:
                    data = fh.read()
                client.stdin.write(data)
                client.stdin.close()
                code = client.wait(timeout=120)
            finally:
                if client.poll() is None:
                    client.kill()
                    client.wait()
            out.seek(0)
            err.seek(0)
            self.assertEchoed((code, out.read(), err.read().decode("latin-1")), server)
        log = server.log()
        self.assertGreaterEqual(log.count("keep-alive due before login"), 2, log)
        self.assertGreaterEqual(log.count("keep-alive due after login"), 2, log)


if __name__ == "__main__":
    winetest.main()
