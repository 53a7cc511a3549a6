"""A failed run leaves the machine as it found it. Rolled back on a fresh machine, a run leaves
nothing of ours in the registry or on drive C: but the maker's key; rolled back over an
installed release, the links and registry values that stood before are back, byte for byte."""
import concurrent.futures
import hashlib
import json
import os
import re
import shutil
import tempfile
import unittest

import winetest

DIR = "C:\\T"
PROGID = "Morlune.Orvidex.3.32.Settings"
CLASSES = "HKLM\\SOFTWARE\\Classes"
MAKER_KEY = "HKLM\\SOFTWARE\\Morlune"
UNINSTALL = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
SHELL_FOLDERS = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders"
SERVER_CLASS = CLASSES + "\\CLSID\\{6F1B2C4E-3D5A-4E8B-9C71-2A0D5E8F4B13}\\InprocServer32"
# Where anything of ours could be left: the registry trees our steps and payloads write to.
REGISTRY_ROOTS = ["HKLM\\SOFTWARE", "HKLM\\SYSTEM\\CurrentControlSet\\Services",
                  "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager", "HKCU\\Software"]
# Wine's own settings, which Wine changes as programs start.
WINE_KEY = "HKCU\\SOFTWARE\\WINE"


def flatten(tree, path, out):
    """Key paths in capitals: the registry does not tell letter cases apart."""
    path = path.upper()
    if "error" in tree:  # a system key that cannot be read
        out[path] = tree
        return
    out[path] = {name: (v["type"], v["hex"]) for name, v in tree["values"].items()}
    for name, child in tree["keys"].items():
        flatten(child, path + "\\" + name, out)


def _unescape(text):
    """A name or string as Wine writes it: C escapes, \\xHHHH and octal for the rest."""
    out, i = [], 0
    simple = {"a": "\a", "b": "\b", "t": "\t", "n": "\n", "v": "\v", "f": "\f", "r": "\r", "e": "\x1b"}
    while i < len(text):
        c = text[i]
        i += 1
        if c != "\\" or i == len(text):
            out.append(c)
            continue
        c = text[i]
        i += 1
        if c == "x":
            digits = re.match(r"[0-9a-fA-F]{1,4}", text[i:]).group(0)
            out.append(chr(int(digits, 16)))
            i += len(digits)
        elif c in "01234567":
            digits = re.match(r"[0-7]{1,3}", text[i - 1:]).group(0)
            out.append(chr(int(digits, 8)))
            i += len(digits) - 1
        else:
            out.append(simple.get(c, c))
    return "".join(out)


def _quoted(line, start):
    """The escaped text of the quoted field at line[start] and the index past its end."""
    i = start + 1
    while line[i] != '"':
        i += 2 if line[i] == "\\" else 1
    return line[start + 1:i], i + 1


def parse_saved_tree(text, root):
    """A tree as installprobe regsave writes it (Wine's registry text format), as
    {key path in capitals: {value: (type, hex)}}, with every key under root, and
    {key path: link target (a native path)} for the keys that are links. String values are
    given as the bytes the ANSI functions read (with their terminating zero), as regtree does."""
    keys, links = {root.upper(): {}}, {}
    lines = text.replace("\\\n  ", "").splitlines()
    current, is_link = None, False
    for line in lines:
        if line.startswith("["):
            relative = _unescape(line[1:line.rindex("]")].replace("\\\\", "\x00"))
            current = "\\".join([root] + relative.split("\x00") if relative else [root]).upper()
            parent = current
            while parent not in keys:
                keys[parent] = {}
                parent = parent.rsplit("\\", 1)[0]
            is_link = False
            continue
        if current is None or not line or line.startswith(";"):
            continue
        if line == "#link":
            is_link = True
            continue
        if line.startswith("#"):
            continue
        if line.startswith("@="):
            name, rest = "", line[2:]
        else:
            escaped, end = _quoted(line, 0)
            name, rest = _unescape(escaped), line[end + 1:]
        if rest.startswith('"') or rest.startswith("str("):
            kind = 1
            if rest.startswith("str("):
                kind, rest = int(rest[4:rest.index(")")], 16), rest[rest.index(":") + 1:]
            data = (_unescape(_quoted(rest, 0)[0]) + "\0").encode("latin-1", "replace")
        elif rest.startswith("dword:"):
            kind, data = 4, int(rest[6:], 16).to_bytes(4, "little")
        else:
            kind = 3 if rest.startswith("hex:") else int(rest[4:rest.index(")")], 16)
            digits = rest[rest.index(":") + 1:].replace(",", "")
            data = bytes.fromhex(digits)
        keys[current][name] = (kind, data.hex())
        if is_link and name.upper() == "SYMBOLICLINKVALUE":
            links[current] = data.decode("utf-16-le")
    return keys, links


def key_name(native):
    """HKLM or HKCU form of a native key path, as a link names its target."""
    parts = native.strip("\\").split("\\")
    if parts[1].upper() == "MACHINE":
        return "\\".join(["HKLM"] + parts[2:])
    return "\\".join(["HKCU"] + parts[3:])  # \Registry\User\<user>\...


# The targets of the links met so far: a snapshot saves them in the same probe run as its
# trees (they are Wine's own, the same in every prefix).
_link_targets = set()


class Machine:
    """What one prefix holds: {key path: {value: (type, hex)}} and {drive_c path: content}.
    The registry is read one tree a request (installprobe regsave); links are followed as a
    program that opens them would, and the volatile keys that a test made, which a saved tree
    leaves out, are read key by key."""

    def __init__(self, prefix, volatile=()):
        self.prefix = prefix
        self.volatile = volatile

    def run_probe(self, *args):
        r = self.prefix.run("installprobe.exe", *args, timeout=300)
        assert r.code == 0, r
        return r

    def saved_trees(self, keys, native_keys=()):
        """{key in capitals: (its tree, its links)} of the keys as the probe sees them and of
        native_keys in the 64-bit view, in one probe run."""
        folder = tempfile.mkdtemp(prefix="orvidex-registry-")
        try:
            args, files = [], {}
            for key in [*keys, "--native", *native_keys]:
                if key == "--native":
                    args.append(key)
                    continue
                files[key] = os.path.join(folder, f"{len(files)}.reg")
                args += [key, "Z:" + files[key].replace("/", "\\")]
            said = self.run_probe("regsave", *args).stdout
            found = {}
            for key, path in files.items():
                unreadable = re.search(rf"^unreadable {re.escape(key)} (\d+)$", said, re.M)
                if unreadable:
                    found[key.upper()] = ({key.upper(): {"error": int(unreadable.group(1))}}, {})
                    continue
                with open(path, encoding="latin-1") as fh:
                    found[key.upper()] = parse_saved_tree(fh.read(), key)
            return found
        finally:
            shutil.rmtree(folder, ignore_errors=True)

    def registry(self):
        saved = self.saved_trees(REGISTRY_ROOTS, sorted(_link_targets))
        keys, links = {}, {}
        for root in REGISTRY_ROOTS:
            keys.update(saved[root.upper()][0])
            links.update(saved[root.upper()][1])
        # A link shows its target's tree, as opening it does; targets hold links of their own
        # (the 32-bit classes lead to shared ones).
        for _ in range(4):
            if not links:
                break
            missing = {key_name(target).upper() for target in links.values()} - set(saved)
            if missing:
                _link_targets.update(missing)
                saved.update(self.saved_trees((), sorted(missing)))
            deeper = {}
            for place, link in links.items():
                target = key_name(link).upper()
                tree, tree_links = saved[target]
                del keys[place]
                for found, into in ((tree, keys), (tree_links, deeper)):
                    for path, content in found.items():
                        into[place + path[len(target):]] = content
            links = deeper
        assert not links, f"links deeper than expected: {sorted(links)}"
        for key in self.volatile:
            r = self.prefix.run("installprobe.exe", "regtree", key)
            if r.code == 0:
                flatten(json.loads(r.stdout), key, keys)
            else:
                assert "failed with 2 " in r.stderr, r  # gone
        return {path: values for path, values in keys.items()
                if path != WINE_KEY and not path.startswith(WINE_KEY + "\\")}

    def drive_c(self):
        """Every folder and file; files by size and digest, except Wine's own programs, which
        are links to the template's and never written."""
        top = self.prefix.unix_path("C:\\")
        found = {}
        for folder, dirs, files in os.walk(top):
            relative = os.path.relpath(folder, top)
            found[relative] = "folder"
            for name in dirs:
                if os.path.islink(os.path.join(folder, name)):
                    found[os.path.join(relative, name)] = os.readlink(os.path.join(folder, name))
            for name in files:
                path = os.path.join(folder, name)
                info = os.lstat(path)
                if info.st_nlink > 1 or not os.path.isfile(path):
                    found[os.path.join(relative, name)] = (info.st_size, info.st_mtime_ns)
                else:
                    with open(path, "rb") as fh:
                        found[os.path.join(relative, name)] = (info.st_size, hashlib.sha1(fh.read()).hexdigest())
        return found

    def state(self):
        return self.registry(), self.drive_c()


def differences(before, after):
    """The entries whose content differs, as {path: (before, after)}; None for missing."""
    return {path: (before.get(path), after.get(path))
            for path in set(before) | set(after) if before.get(path) != after.get(path)}


def file_at(path):
    def make(prefix):
        os.makedirs(os.path.dirname(prefix.unix_path(path)), exist_ok=True)
        with open(prefix.unix_path(path), "w") as fh:
            fh.write("not ours")
    return make


def start_menu_in(folder):
    return lambda prefix: checked(prefix.reg("add", SHELL_FOLDERS, "/v", "Programs", "/d", folder, "/f"))


def reg(*args):
    return lambda prefix: checked(prefix.reg(*args))


def probe(*args):
    return lambda prefix: checked(prefix.run("installprobe.exe", *args))


def volatile_key(path):
    """Makes the key volatile; a snapshot reads it key by key (see Machine)."""
    make = probe("volatile-key", path)
    make.volatile = path
    return make


def volatile_keys(setup):
    return [make.volatile for make in setup if hasattr(make, "volatile")]


def windows_version(version):
    return lambda prefix: prefix.set_windows_version("OrvidexInstaller.exe", version)


def checked(result):
    assert result.code == 0, result


# Each failing exit code that an unattended run can be made to give on a fresh machine:
# (code, what is there before, the stand-ins' switches). 104 (a payload file in a folder
# found empty), 106 (the maker's key) and 120 (key generation) cannot be brought about from
# outside the program on this system.
FAILURES = [
    # A file where the Start Menu folder goes: after the payload files.
    (101, [file_at("C:\\menu\\Morlune Orvidex"), start_menu_in("C:\\menu")], {}),
    (102, [start_menu_in("C:\\nowhere\\Programs")], {}),
    (103, [file_at(DIR + "\\mine.txt")], {}),
    # Windows NT 4.0 names an Administrative Tools folder that does not exist here.
    (105, [windows_version("nt40")], {}),
    (110, [], {"ORVIDEX_SERVICE_REGISTER_EXIT": "1"}),
    (111, [], {"ORVIDEX_SERVER_LOAD_FAILS": "1"}),
    # Part of the ProgID stood before; "command" cannot be made under a volatile key.
    (112, [reg("add", CLASSES + "\\" + PROGID + "\\Shell", "/f"),
           volatile_key(CLASSES + "\\" + PROGID + "\\Shell\\Manage")], {}),
    (113, [reg("delete", UNINSTALL, "/f"), volatile_key(UNINSTALL)], {}),
    (121, [volatile_key(MAKER_KEY)], {}),
    (150, [], {"ORVIDEX_SERVER_REGISTER_FAULT": "1"}),
    # The in-process server faults once it has written its class.
    (150, [], {"ORVIDEX_SERVER_REGISTER_FAULT": "after"}),
]


def failed_run(setup, env, program="OrvidexInstaller.exe"):
    """Runs one failing installation in a fresh prefix: its result and what changed."""
    with winetest.WinePrefix() as prefix:
        for make in setup:
            make(prefix)
        machine = Machine(prefix, volatile_keys(setup))
        registry, files = machine.state()
        result = prefix.run(program, "/InstallDir", DIR, "/AcceptEULA", env=env)
        after_registry, after_files = machine.state()
        return result, differences(registry, after_registry), differences(files, after_files)


class FreshMachine(unittest.TestCase):
    """One test per row of FAILURES (added below), so that the rows spread over the
    script's entries."""

    def check_failure(self, code, setup, env):
        result, registry, files = failed_run(setup, env)
        self.assertEqual(result.code, code, result)
        self.assertIn("Creating Morlune registry key\n", result.stdout)
        # The maker's key stays on purpose, as the run left it: empty.
        if code != 121:
            self.assertEqual(registry.pop(MAKER_KEY.upper(), None), (None, {}))
        self.assertEqual(registry, {})
        self.assertEqual(files, {})


for row, (code, setup, env) in enumerate(FAILURES, 1):
    setattr(FreshMachine, f"test_failure_{row:02d}_exit_{code}_leaves_nothing_but_the_makers_key",
            lambda self, code=code, setup=setup, env=env: self.check_failure(code, setup, env))


class Reinstall(winetest.PrefixTestCase):
    def test_failed_reinstall_restores_links_and_registry_of_the_installed_release(self):
        r = self.prefix.installer("/InstallDir", DIR, "/AcceptEULA")
        self.assertEqual(r.code, 0, r)
        machine = Machine(self.prefix)
        menu = machine.registry()[SHELL_FOLDERS.upper()]["Programs"]
        programs = bytes.fromhex(menu[1]).decode("latin-1").rstrip("\0") + "\\Morlune Orvidex"
        links = [programs + "\\Orvidex Control Panel.lnk", programs + "\\Uninstall Orvidex.lnk"]
        registry, files = machine.state()

        # Another folder, over the installed release; the in-process server faults, which
        # no "/Force" passes.
        second = "C:\\T2"
        r = self.prefix.installer("/InstallDir", second, "/AcceptEULA", "/Force",
                                  env={"ORVIDEX_SERVER_REGISTER_FAULT": "1"})
        self.assertEqual(r.code, 150, r)
        rollback = [line for line in r.stdout.splitlines() if line.startswith("Rollback: ")]
        self.assertEqual(rollback[:4], ["Rollback: restoring previous file association for extension .ovs",
                                        "Rollback: restoring previous ProgID " + PROGID,
                                        "Rollback: restoring previous shortcut " + links[0],
                                        "Rollback: restoring previous shortcut " + links[1]])
        self.assertEqual(rollback[-1], "Rollback: removing previously created " + second)

        # Nothing else changed either: the service and the server of the installed release
        # stay registered.
        self.assertEqual(differences(registry, machine.registry()), {})
        self.assertEqual(differences(files, machine.drive_c()), {})
        for link in links:
            r = self.prefix.run("installprobe.exe", "link", link)
            self.assertIn("Target=" + DIR + "\\", r.stdout)


# Reinstallations into another folder over the release installed in DIR that fail once the
# in-process server has registered again, which points its class into the new folder:
# (what, setup, extra arguments, stand-in switches, exit code).
SERVER_REREGISTERED = [
    # A later step fails and the rollback unregisters. The service stand-in passes without
    # touching the installed service; the uninstaller entry cannot be made under a volatile key.
    ("later step fails", [reg("delete", UNINSTALL, "/f"), volatile_key(UNINSTALL)], (),
     {"ORVIDEX_SERVICE_REGISTER_EXIT": "0", "ORVIDEX_SERVICE_UNREGISTER_EXIT": "0"}, 113),
    # The server faults once it has written its class: no "/Force" passes that.
    ("fault after writing", [], ("/Force",), {"ORVIDEX_SERVER_REGISTER_FAULT": "after"}, 150),
]


def reinstall_over_registered_server(setup, args, env):
    """Installs into DIR, then runs the failing reinstallation in the same fresh prefix: the
    class's registration before, the result, and what changed."""
    with winetest.WinePrefix() as prefix:
        r = prefix.installer("/InstallDir", DIR, "/AcceptEULA")
        assert r.code == 0, r
        for make in setup:
            make(prefix)
        machine = Machine(prefix, volatile_keys(setup))
        registry, files = machine.state()
        result = prefix.installer("/InstallDir", "C:\\T2", "/AcceptEULA", *args, env=env)
        after_registry, after_files = machine.state()
        return (registry.get(SERVER_CLASS.upper()), result, differences(registry, after_registry),
                differences(files, after_files))


class ReinstallOverRegisteredServer(unittest.TestCase):
    def test_the_installed_release_stays_registered(self):
        with concurrent.futures.ThreadPoolExecutor(max_workers=len(SERVER_REREGISTERED)) as pool:
            runs = [(what, code, pool.submit(reinstall_over_registered_server, setup, args, env))
                    for what, setup, args, env, code in SERVER_REREGISTERED]
            for what, code, run in runs:
                with self.subTest(what):
                    server, result, registry, files = run.result()
                    self.assertEqual(result.code, code, result)
                    self.assertEqual(bytes.fromhex(server[""][1]).decode("latin-1").rstrip("\0"),
                                     DIR + "\\OrvidexCfgManip.dll")
                    self.assertIn("Registering server C:\\T2\\OrvidexCfgManip.dll\n", result.stdout)
                    self.assertEqual(registry, {})
                    self.assertEqual(files, {})


if __name__ == "__main__":
    winetest.main()
