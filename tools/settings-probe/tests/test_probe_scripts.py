"""settings-probe as an administrator's tool meets it: every *.probe script in scripts/ is fed
to one probe process (on the fixed test tree; those in server-scripts/ with --server on the
server's settings tree) and each answer must match the expected line that follows its request.

Script format: a request line ("I ...", "Q ...", "E ...", "R"), then "= " and its exact
answer. Lines starting with "#" and blank lines are ignored."""
import glob
import os
import re

import winetest

HERE = os.path.dirname(os.path.abspath(__file__))
PROBE = "settings-probe.exe"


def read_script(path):
    requests, answers = [], []
    with open(path, encoding="utf-8") as fh:
        for number, line in enumerate(fh, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            if line.startswith("= "):
                if len(answers) != len(requests) - 1:
                    raise ValueError(f"{path}:{number}: answer without a request")
                answers.append(line[2:])
            else:
                if len(answers) != len(requests):
                    raise ValueError(f"{path}:{number}: request without an answer")
                requests.append(line)
    if len(answers) != len(requests):
        raise ValueError(f"{path}: the last request has no answer")
    return requests, answers


def unescape(text):
    return re.sub(r"\\(u[0-9a-f]{4}|.)",
                  lambda m: {"\\": "\\", "r": "\r", "n": "\n", "t": "\t"}.get(m.group(1))
                  or chr(int(m.group(1)[1:], 16)), text)


class ProbeScripts(winetest.SharedPrefixTestCase):
    def probe(self, requests, *args):
        r = self.prefix.run(PROBE, *args, stdin="".join(line + "\n" for line in requests).encode("utf-8"))
        self.assertEqual((r.code, r.stderr), (0, ""))
        return r.stdout.split("\n")[:-1]

    def test_scripts(self):
        scripts = sorted(glob.glob(os.path.join(HERE, "scripts", "*.probe")))
        server_scripts = sorted(glob.glob(os.path.join(HERE, "server-scripts", "*.probe")))
        self.assertTrue(scripts and server_scripts)
        for path in scripts + server_scripts:
            with self.subTest(script=os.path.basename(path)):
                requests, expected = read_script(path)
                answers = self.probe(requests, *(["--server"] if path in server_scripts else []))
                self.assertEqual(len(answers), len(requests))
                for request, want, got in zip(requests, expected, answers):
                    self.assertEqual(got, want, f"request: {request}")

    def test_options_are_refused(self):
        usage = ("usage: settings-probe [--server] < requests\n"
                 "       settings-probe --bench-make hosts|accounts <count>|max <file>\n"
                 "       settings-probe --bench-load hosts|accounts <count> <file>\n"
                 "       settings-probe --bench-plain hosts|accounts <count> <file> <offset> <record-bytes>\n"
                 "       settings-probe --bench-with <depth> <rounds>\n"
                 "       settings-probe --help\n")
        for args in (["--tree"], ["--server", "--server"], ["--bench-make", "rules", "10", "C:\\m"],
                     ["--bench-make", "hosts", "0", "C:\\m"], ["--bench-load", "hosts", "C:\\m"],
                     ["--bench-with", "-1", "1"], ["--bench-with", "10"], ["--help", "--server"]):
            r = self.prefix.run(PROBE, *args, stdin=b"Q name\n")
            self.assertEqual((r.code, r.stdout, r.stderr), (2, "", usage))
        r = self.prefix.run(PROBE, "--help")
        self.assertEqual((r.code, r.stdout, r.stderr), (0, usage, ""))

    def test_bench_modes_report_their_figures(self):
        def bench(*args):
            r = self.prefix.run(PROBE, *args)
            self.assertEqual((r.code, r.stderr), (0, ""), args)
            return {name: int(float(value)) for name, value in (line.split() for line in r.stdout.splitlines())}

        measured = ["decode-ms", "destroy-ms", "entries", "held-bytes", "peak-growth-bytes"]
        for what, count in (("hosts", "300"), ("accounts", "max")):
            made = bench("--bench-make", what, count, "C:\\bench.msg")
            entries = str(made["entries"])
            if count == "max":
                # The largest list a stored settings value holds: one record more would not fit.
                self.assertLessEqual(made["message-bytes"], 512000)
                self.assertGreater(made["message-bytes"] + made["record-bytes"], 512000)
            else:
                self.assertEqual((entries, made["record-bytes"]), (count, 6))
            ours = bench("--bench-load", what, entries, "C:\\bench.msg")
            plain = bench("--bench-plain", what, entries, "C:\\bench.msg", str(made["records-at"]),
                            str(made["record-bytes"]))
            for got in (ours, plain):
                self.assertEqual(sorted(got), measured)
                self.assertEqual(got["entries"], made["entries"])
        # A decode that does not give the entries asked for is a failed run.
        r = self.prefix.run(PROBE, "--bench-load", "accounts", str(made["entries"] + 1), "C:\\bench.msg")
        self.assertEqual(r.code, 1)
        # 40 clauses: the 8 beyond the limit, the instruction behind the deepest open one
        # (which names no member) and the 8 closing braces that find no clause are refused.
        r = self.prefix.run(PROBE, "--bench-with", "40", "1")
        self.assertEqual((r.code, r.stderr), (0, ""))
        figures = dict(line.split() for line in r.stdout.splitlines())
        self.assertEqual(figures["refused-lines"], "17")
        self.assertEqual(sorted(figures), ["peak-after-bytes", "peak-before-bytes", "refused-lines", "script-ms"])

    def replay(self, setup, query, *args, last="Q items.New"):
        """The script that query writes after setup, run on a fresh tree, writes itself again."""
        answers = self.probe(setup + ["Q " + query], *args)
        self.assertEqual(answers[:-1], ["OK"] * len(setup))
        before = answers[-1]
        self.assertTrue(before.startswith("RES 2 0 "), before)
        script = unescape(before[len("RES 2 0 "):]).split("\r\n")
        self.assertEqual(script[-1], "")
        answers = self.probe(["R"] + ["I " + line for line in script[:-1]] + ["Q " + query, last], *args)
        self.assertEqual(answers[:-2], ["OK"] * len(script))
        self.assertEqual(answers[-2], before)
        return answers[-1]

    def test_star_script_replays_to_the_same_state(self):
        setup = [
            "I binding.interface 10.1.2.3", "I omitVersion true", "I authType pwdAndKey",
            'I name "tab\\there \\x00e9"',
            "I items.CreateNewWithId 2", 'I items.New.name "two"', "I items.New.port 20", "I items.NewCommit",
            "I items.CreateNewWithId 9", 'I items.New.name "nine"', "I items.New.port 90", "I items.NewCommit",
            "I items.CreateNewWithId 5", 'I items.New.name "five"', "I items.New.port 50", "I items.NewCommit",
            'I pick "five"',
        ]
        for query in ("*", "%"):
            with self.subTest(query=query):
                # Ids survive the replay; the next new entry follows the largest.
                self.assertEqual(self.replay(setup, query), "RES 2 1 items.10")
                self.assertEqual(self.replay([], query), "RES 2 1 items.1")

    def test_server_star_script_replays_to_the_same_state(self):
        setup = [
            "I server.binding.interface 10.0.0.1", "I server.logging.logFileLevel logLevelCustom",
            "I server.logging.logFileEventList.AllTrace on", "I algs.cmpr.zlib false",
            'I proxyProfiles.New.profileName "Backup"', "I proxyProfiles.New.proxyType SOCKS5",
            'I proxyProfiles.New.proxyPassword "Plain:secret"', "I proxyProfiles.NewCommit",
            'I access.templates.New.name "Staff"', "I access.templates.New.permitSftp false",
            'I access.templates.New.connectRules.ipRules.(ipRule.ip == 0.0.0.0).instr.proxyProfile "Backup"',
            "I access.templates.NewCommit",
            'I access.defaultTemplate "Staff"',
            'I access.accounts.New.account "alice"', 'I access.accounts.New.template "Staff"',
            'I access.accounts.New.keys.New.publicKey "000000077373682D647373"', "I access.accounts.New.keys.NewCommit",
            "I access.accounts.NewCommit",
            "I access.hosts.ipRules.New.ipRule.ip 192.168.1.0", "I access.hosts.ipRules.New.ipRule.sigBits 24",
            "I access.hosts.ipRules.NewCommit",
        ]
        for query in ("*", "%"):
            with self.subTest(query=query):
                self.assertEqual(self.replay(setup, query, "--server", last="Q access.accounts.Count"), "RES 0 0 1")

    def test_deeply_nested_paths_are_refused(self):
        # Each "$" path inside a test is a query within a query; thousands of them would
        # exhaust the stack, so the depth is bounded and the session goes on.
        nested = "Q items.(port == " + "$items.(port == " * 31 + "0"
        too_deep = "Q items.(port == " + "$items.(port == " * 32 + "0"
        answers = self.probe(["I items.NewCommit", nested, too_deep,
                              "Q items.(port == " + "$items.(port == " * 5000 + "0", "Q items.Count"])
        refused = "ERR RootEvaluator: expression nests more than 32 paths deep"
        self.assertEqual(answers[0], "OK")
        self.assertTrue(answers[1].startswith("ERR The right-hand side of test expression"), answers[1][:200])
        self.assertEqual(answers[2:], [refused, refused, "RES 0 0 1"])


if __name__ == "__main__":
    winetest.main()
