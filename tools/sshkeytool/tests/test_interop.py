"""sshkeytool against tools no one here wrote: ssh-keygen (OpenSSH) and puttygen (PuTTY) read
the files we write and compute the same fingerprints; we read the files they write and refuse
the formats we do not support with a clear error."""
import base64
import os
import re
import subprocess
import unittest

import winetest

LONG_COMMENT = "a comment long enough that the RFC 4716 header has to be folded over lines"


def run_native(*args, check=True):
    r = subprocess.run(list(args), capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=120)
    if check and r.returncode != 0:
        raise AssertionError(f"{args} failed with {r.returncode}: {r.stderr}")
    return r


def keygen_fields(*args):
    """ssh-keygen -l / -B output: bits, fingerprint, comment and type."""
    return run_native("ssh-keygen", *args).stdout.split()


def blob_of_line(line):
    return line.split()[1]


class KeyToolCase(winetest.PrefixTestCase):
    def setUp(self):
        super().setUp()
        os.makedirs(self.prefix.unix_path("C:\\keys"), exist_ok=True)

    def tool(self, *args):
        return self.prefix.run("sshkeytool.exe", *args)

    def path(self, name):
        return self.prefix.unix_path("C:\\keys\\" + name)

    def fingerprints(self, stdout):
        m = re.fullmatch(r"MD5 Fingerprint: ([0-9a-f:]{47})\nBubbleBabble: ([a-z-]{65})\n", stdout)
        self.assertIsNotNone(m, stdout)
        return m.group(1), m.group(2)

    def our_fingerprints(self, name, *extra):
        r = self.tool("fingerprint", "C:\\keys\\" + name, *extra)
        self.assertEqual((r.code, r.stderr), (0, ""), name)
        return self.fingerprints(r.stdout)

    def expect_error(self, args, code, message):
        r = self.tool(*args)
        self.assertEqual((r.code, r.stdout), (code, ""), args)
        self.assertIn(message, r.stderr, args)


class OurKeysInRealTools(KeyToolCase):
    def test_fingerprints_and_files_match_ssh_keygen_and_puttygen(self):
        cases = [("ssh-dss", "1024", "dss key", ""), ("ssh-dss", "1024", LONG_COMMENT, "dss pass"),
                 ("ssh-rsa", "2048", "rsa key", ""), ("ssh-rsa", "1024", LONG_COMMENT, "rsa pass")]
        for n, (alg, bits, comment, passphrase) in enumerate(cases):
            with self.subTest(alg=alg, bits=bits, comment=comment, passphrase=passphrase):
                name = f"key{n}"
                args = ["keygen", "--alg", alg, "--bits", bits, "--comment", comment, "--out", "C:\\keys\\" + name]
                if passphrase:
                    args += ["--passphrase", passphrase]
                r = self.tool(*args)
                self.assertEqual((r.code, r.stderr), (0, ""))
                md5, babble = self.fingerprints(r.stdout)
                pem, pub, ssh2 = self.path(name), self.path(name + ".pub"), self.path(name + ".ssh2")
                os.chmod(pem, 0o600)

                # Fingerprints of the one-line key, by both real tools.
                self.assertEqual(keygen_fields("-l", "-E", "md5", "-f", pub)[:2], [bits, "MD5:" + md5])
                self.assertEqual(keygen_fields("-B", "-f", pub)[:2], [bits, babble])
                putty = run_native("puttygen", "-l", "-E", "md5", pub).stdout.split()
                self.assertEqual(putty[:3], [alg, bits, md5])

                # The private key opens in ssh-keygen (DES-EDE3 when encrypted) and gives our blob.
                with open(pub) as fh:
                    our_line = fh.read()
                self.assertTrue(our_line.endswith(" " + comment + "\n"))
                derived = run_native("ssh-keygen", "-y", "-P", passphrase, "-f", pem).stdout
                self.assertEqual(blob_of_line(derived), blob_of_line(our_line))
                with open(pem) as fh:
                    self.assertEqual("DEK-Info: DES-EDE3-CBC," in fh.read(), bool(passphrase))

                # The RFC 4716 file, folded comment or not, imports to the same key.
                imported = run_native("ssh-keygen", "-i", "-m", "RFC4716", "-f", ssh2).stdout
                self.assertEqual(blob_of_line(imported), blob_of_line(our_line))
                if len(comment) < 62:  # puttygen cannot load a folded comment header
                    putty2 = run_native("puttygen", "-l", "-E", "md5", ssh2).stdout.split()
                    self.assertEqual(putty2[:3], [alg, bits, md5])

                # Our reader agrees on all forms, the binary blob included.
                with open(self.path(name + ".blob"), "wb") as fh:
                    fh.write(base64.b64decode(blob_of_line(our_line)))
                extra = ["--passphrase", passphrase] if passphrase else []
                for form, more in ((name, extra), (name + ".pub", []), (name + ".ssh2", []), (name + ".blob", [])):
                    self.assertEqual(self.our_fingerprints(form, *more), (md5, babble), form)


class TheirKeysInOurReader(KeyToolCase):
    def test_keys_from_ssh_keygen_and_puttygen(self):
        secret = self.path("secret")
        with open(secret, "w") as fh:
            fh.write("putty phrase\n")
        empty = self.path("empty")
        open(empty, "w").close()
        made = [
            ("ssh-keygen-dsa", "", ["ssh-keygen", "-q", "-t", "dsa", "-m", "PEM", "-N", "", "-C", "x",
                                    "-f", self.path("ssh-keygen-dsa")]),
            ("ssh-keygen-rsa", "", ["ssh-keygen", "-q", "-t", "rsa", "-b", "2048", "-m", "PEM", "-N", "",
                                    "-f", self.path("ssh-keygen-rsa")]),
            ("puttygen-dsa", "putty phrase", ["puttygen", "-q", "-t", "dsa", "-b", "1024", "-O", "private-openssh",
                                              "-o", self.path("puttygen-dsa"), "--new-passphrase", secret]),
            ("puttygen-rsa", "", ["puttygen", "-q", "-t", "rsa", "-b", "2048", "-O", "private-openssh",
                                  "-o", self.path("puttygen-rsa"), "--new-passphrase", empty]),
        ]
        for name, passphrase, command in made:
            with self.subTest(key=name):
                run_native(*command)
                os.chmod(self.path(name), 0o600)
                with open(self.path(name)) as fh:
                    text = fh.read()
                self.assertTrue(text.startswith("-----BEGIN "), text[:40])
                self.assertEqual("DES-EDE3-CBC" in text, bool(passphrase))
                # The reference fingerprints, of the public key that ssh-keygen derives.
                with open(self.path(name + ".pub"), "w") as fh:
                    fh.write(run_native("ssh-keygen", "-y", "-P", passphrase, "-f", self.path(name)).stdout)
                md5 = keygen_fields("-l", "-E", "md5", "-f", self.path(name + ".pub"))[1]
                babble = keygen_fields("-B", "-f", self.path(name + ".pub"))[1]
                extra = ["--passphrase", passphrase] if passphrase else []
                self.assertEqual(self.our_fingerprints(name, *extra), (md5[len("MD5:"):], babble))
                self.assertEqual(self.our_fingerprints(name + ".pub"), (md5[len("MD5:"):], babble))
                # puttygen's RFC 4716 export of the public key.
                ssh2 = self.path(name + ".ssh2")
                run_native("puttygen", self.path(name), "-O", "public", "-o", ssh2,
                           "--old-passphrase", secret if passphrase else empty)
                self.assertEqual(self.our_fingerprints(name + ".ssh2"), (md5[len("MD5:"):], babble))


class RefusedInput(KeyToolCase):
    def test_unsupported_formats_and_bad_input(self):
        run_native("ssh-keygen", "-q", "-t", "rsa", "-b", "2048", "-N", "", "-f", self.path("openssh-new"))
        run_native("ssh-keygen", "-q", "-t", "rsa", "-b", "2048", "-m", "PEM", "-N", "aes-phrase",
                   "-f", self.path("aes-pem"))
        r = self.tool("keygen", "--alg", "ssh-dss", "--bits", "1024", "--passphrase", "right phrase",
                      "--out", "C:\\keys\\ours")
        self.assertEqual(r.code, 0, r)
        with open(self.path("garbage"), "wb") as fh:
            fh.write(b"\x00\x00\x00\x07ssh-dss\x00\x00\xff\xff")
        with open(self.path("other-algorithm.pub"), "w") as fh:
            fh.write("ssh-rsa " + base64.b64encode(b"\x00\x00\x00\x0bssh-ed25519\x00\x00\x00\x01x").decode() + "\n")

        for args, code, message in [
            (["fingerprint", "C:\\keys\\openssh-new"], 1,
             "C:\\keys\\openssh-new: \"OPENSSH PRIVATE KEY\" files are not supported"),
            (["fingerprint", "C:\\keys\\aes-pem", "--passphrase", "aes-phrase"], 1,
             "C:\\keys\\aes-pem: unsupported encryption algorithm"),
            (["fingerprint", "C:\\keys\\ours", "--passphrase", "wrong phrase"], 1,
             "C:\\keys\\ours: wrong passphrase, or the key file is damaged"),
            (["fingerprint", "C:\\keys\\ours"], 1, "the private key is encrypted; give its passphrase with --passphrase"),
            (["fingerprint", "C:\\keys\\missing"], 1, "C:\\keys\\missing: cannot open the file (OS error 2"),
            (["fingerprint", "C:\\keys\\garbage"], 1, "C:\\keys\\garbage: SSH: cause to disconnect: unexpected end of packet"),
            (["fingerprint", "C:\\keys\\other-algorithm.pub"], 1, "unsupported public key algorithm"),
            # Only sizes other SSH software can use.
            (["keygen", "--alg", "ssh-dss", "--bits", "2048", "--out", "C:\\keys\\big"], 2,
             "--bits must be 1024 for ssh-dss keys"),
            (["keygen", "--alg", "ssh-rsa", "--bits", "100", "--out", "C:\\keys\\big"], 2,
             "--bits must be from 1024 to 16384 for ssh-rsa keys"),
            (["keygen", "--alg", "ssh-rsa", "--bits", "1023", "--out", "C:\\keys\\big"], 2,
             "--bits must be from 1024 to 16384 for ssh-rsa keys"),
            (["keygen", "--alg", "ssh-rsa", "--bits", "16385", "--out", "C:\\keys\\big"], 2,
             "--bits must be from 1024 to 16384 for ssh-rsa keys"),
            (["keygen", "--alg", "ssh-ed25519", "--bits", "256", "--out", "C:\\keys\\ed"], 2,
             "--alg must be ssh-dss or ssh-rsa"),
            (["keygen", "--alg", "ssh-rsa", "--bits", "many", "--out", "C:\\keys\\x"], 2, "--bits needs a number"),
            (["keygen", "--alg", "ssh-rsa", "--bits", "1024"], 2, "--out is required"),
            (["fingerprint"], 2, "a file name is required"),
            (["sign", "x"], 2, "unknown command sign"),
        ]:
            with self.subTest(args=args):
                self.expect_error(args, code, message)
        self.assertFalse(os.path.exists(self.path("big")))
        r = self.tool("--help")
        self.assertEqual((r.code, r.stderr), (0, ""), r)
        self.assertTrue(r.stdout.startswith("usage:\n  sshkeytool keygen "), r)
        # The refused key file is unchanged, and opens with its passphrase.
        self.assertEqual(len(self.our_fingerprints("ours", "--passphrase", "right phrase")[0]), 47)


if __name__ == "__main__":
    winetest.main()
