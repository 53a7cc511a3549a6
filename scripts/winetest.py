"""Black-box test support: each test case runs our Windows programs under wine64 in a
private copy of the template prefix, which is deleted with its wineserver afterwards."""
import collections
import concurrent.futures
import json
import os
import subprocess
import sys
import tempfile
import threading
import unittest

SCRIPTS = os.path.dirname(os.path.abspath(__file__))
# The i686 tree's programs run under the Wine of the 32-bit root (scripts/i686-root).
TREE = os.environ.get("ORVIDEX_TREE", "win64")
if TREE == "win32":
    WINE64 = os.path.join(SCRIPTS, "wine32")
    WINESERVER = os.path.join(SCRIPTS, "wineserver32")
else:
    WINE64 = "/usr/lib/wine/wine64"
    WINESERVER = "/usr/lib/wine/wineserver64"
BIN = os.environ.get("ORVIDEX_BIN", os.path.join(SCRIPTS, "..", "build", "win64", "bin"))

# How Wine ends a program it failed to start: exit code 1 and no output at all. Seen once in a
# full run on a loaded machine, from the installer (which never ends with 1), and the end of a
# program that meets the dying wineserver of a dropped prefix whose folder's inode its own
# prefix took over (scripts/wine-prefix); 360 starts under load, prefixes made and dropped
# beside them, gave none. Such an end is recorded, never retried here: scripts/test runs an
# entry again only when every case that failed in it met one.
START_FAILURE_CODE = 1
# The case now running, named in the start failures it meets.
_current_case = None


def _entry_name():
    return os.environ.get("ORVIDEX_TEST_NAME") or os.path.splitext(os.path.basename(sys.argv[0]))[0]


def note_retry(what, code, output):
    """Records that a test started a program of its own set-up again, for a cause it measured:
    printed now, and named in scripts/test's summary."""
    print(f"retry: {what} ended with exit code {code}: {output!r}", file=sys.stderr, flush=True)
    out_dir = os.environ.get("ORVIDEX_RESULTS_DIR")
    if out_dir:
        with open(os.path.join(out_dir, _entry_name() + ".retries"), "a") as fh:
            fh.write(json.dumps({"case": _current_case, "what": what, "code": code, "output": output}) + "\n")


def note_if_start_failure(command, code, stdout, stderr):
    """Records a program's end when it looks like a start failure; True when it did."""
    if code != START_FAILURE_CODE or stdout or stderr:
        return False
    what = " ".join(os.path.basename(part) if i == 0 else part for i, part in enumerate(command))
    print(f"start failure: {what} ended with code {code} and no output", file=sys.stderr, flush=True)
    out_dir = os.environ.get("ORVIDEX_RESULTS_DIR")
    if out_dir:
        with open(os.path.join(out_dir, _entry_name() + ".start-failures"), "a") as fh:
            fh.write(json.dumps({"case": _current_case, "command": what, "code": code}) + "\n")
    return True


def wine_environment(prefix):
    env = dict(os.environ)
    env.update({
        "WINEPREFIX": prefix,
        "WINEDEBUG": "-all",
        "WINEDLLOVERRIDES": "winemenubuilder.exe=d;mscoree,mshtml=",
        "WINEARCH": "win64",
        "LANG": "C.UTF-8",
        "LC_ALL": "C.UTF-8",
    })
    env.pop("DISPLAY", None)
    return env


class VirtualDisplay:
    """A private Xvfb server for programs that show windows; stop() ends it. Its number is
    chosen by the server itself (-displayfd), so parallel tests never compete for one."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-screen", "0", "1024x768x24"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        with os.fdopen(read_end, "rb") as pipe:
            while not number.endswith(b"\n"):
                chunk = pipe.read(1)
                if not chunk:
                    break
                number += chunk
        if not number.strip():
            self.stop()
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + number.decode().strip()

    def stop(self):
        if self.process:
            self.process.terminate()
            self.process.wait(timeout=30)
            self.process = None


class Result:
    def __init__(self, code, stdout, stderr):
        self.code, self.stdout, self.stderr = code, stdout, stderr

    def __repr__(self):
        return f"Result(code={self.code}, stdout={self.stdout!r}, stderr={self.stderr!r})"


def _new_prefix():
    """Makes a prefix with its wineserver running and Wine's background processes started."""
    path = subprocess.run([os.path.join(SCRIPTS, "wine-prefix"), "new"], check=True,
                          capture_output=True, text=True).stdout.strip()
    env = wine_environment(path)
    try:
        # A persistent wineserver makes each later program start take a tenth of a second;
        # dropping the prefix ends it.
        subprocess.run([WINESERVER, "-p"], env=env, check=True)
        # The first program in a prefix starts Wine's own background processes, which inherit
        # its standard handles and may write to them later (a crash report of one of them once
        # landed in a test's stderr). Start them here, with their output going nowhere.
        subprocess.run([WINE64, os.path.join(path, "drive_c", "windows", "system32", "reg.exe"),
                        "query", "HKCU\\Software\\Wine"], env=env, timeout=300,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    except BaseException:
        _drop_prefix(path)
        raise
    return path


def _drop_prefix(path):
    subprocess.run([os.path.join(SCRIPTS, "wine-prefix"), "drop", path], check=False)


class _PrefixSupply:
    """Making a prefix and dropping one take seconds each, which a case would spend idle. A
    script whose cases each take a fresh prefix gets the next one made while the current case
    runs, and has used ones dropped in the background; main() says how many cases will ask
    and ends the supply (with the waits for its drops) after the last."""

    def __init__(self):
        self.lock = threading.Lock()
        self.pool = None
        self.wanted = 0
        self.next = None

    def start(self, wanted):
        self.pool = concurrent.futures.ThreadPoolExecutor(max_workers=4)
        self.wanted = wanted

    def take(self):
        """A fresh prefix for a case that main() counted."""
        with self.lock:
            if self.pool is None:
                return _new_prefix()
            made, self.next = self.next, None
            self.wanted -= 1
            if self.wanted > 0:
                self.next = self.pool.submit(_new_prefix)
        return made.result() if made else _new_prefix()

    def drop(self, path, then=None):
        def job():
            try:
                _drop_prefix(path)
            finally:
                if then:
                    then()
        with self.lock:
            if self.pool is not None:
                self.pool.submit(job)
                return
        job()

    def end(self):
        with self.lock:
            pool, spare, self.pool, self.next = self.pool, self.next, None, None
        if pool is None:
            return
        if spare:
            try:
                _drop_prefix(spare.result())
            except Exception:
                pass  # its making failed: nothing was left
        pool.shutdown(wait=True)


_supply = _PrefixSupply()


class WinePrefix:
    """A fresh prefix; use as a context manager or call close()."""

    def __init__(self, path=None):
        self.path = path or _new_prefix()
        self.env = wine_environment(self.path)

    def close(self, then=None):
        """Drops the prefix, maybe in the background; then() runs after."""
        if self.path:
            _supply.drop(self.path, then)
            self.path = None
        elif then:
            then()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def run(self, program, *args, env=None, timeout=120, stdin=None, cwd=None):
        """Runs a program (a name in the build's bin/ or a path); output with CRLF as LF. cwd
        is the Linux folder whose drive path becomes the program's current directory."""
        exe = program if os.path.isabs(program) else os.path.join(BIN, program)
        full_env = dict(self.env)
        if env:
            full_env.update(env)
        # Output goes to files, not pipes: Wine's background processes, started with the
        # first program, inherit its handles and would hold a pipe open until they end.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.run([WINE64, exe, *args], env=full_env, timeout=timeout, cwd=cwd,
                                  stdout=out, stderr=err, input=stdin,
                                  stdin=None if stdin is not None else subprocess.DEVNULL)
            out.seek(0)
            err.seek(0)
            norm = lambda b: b.decode("latin-1").replace("\r\n", "\n")
            result = Result(proc.returncode, norm(out.read()), norm(err.read()))
        note_if_start_failure([exe, *args], result.code, result.stdout, result.stderr)
        return result

    def installer(self, *args, **kw):
        return self.run("OrvidexInstaller.exe", *args, **kw)

    def unix_path(self, windows_path):
        """The Linux path of a C: path inside this prefix."""
        assert windows_path[:3].upper() == "C:\\", windows_path
        return os.path.join(self.path, "drive_c", *windows_path[3:].split("\\"))

    def read_lines(self, windows_path):
        """The lines of a text file inside this prefix; none when it does not exist."""
        path = self.unix_path(windows_path)
        if not os.path.exists(path):
            return []
        with open(path) as fh:
            return fh.read().splitlines()

    def reg(self, *args):
        """Runs Wine's reg.exe in this prefix, on the registry view our programs see: a 32-bit
        program's HKLM\\Software and classes are the 64-bit system's Wow6432Node."""
        view = ("/reg:32",) if TREE == "win32" else ()
        return self.run(os.path.join(self.path, "drive_c", "windows", "system32", "reg.exe"), *args, *view)

    def processes(self):
        """The command lines of the Windows programs now running in this prefix."""
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/environ", "rb") as fh:
                    if f"WINEPREFIX={self.path}".encode() not in fh.read().split(b"\0"):
                        continue
                with open(f"/proc/{pid}/cmdline", "rb") as fh:
                    found.append(fh.read().replace(b"\0", b" ").decode("latin-1").strip())
            except OSError:
                pass  # ended meanwhile, or not ours to read
        return found

    def set_windows_version(self, program, version):
        r = self.reg("add", f"HKCU\\Software\\Wine\\AppDefaults\\{program}", "/v", "Version",
                     "/d", version, "/f")
        assert r.code == 0, r


class PrefixTestCase(unittest.TestCase):
    """Each test method gets its own prefix as self.prefix. A class with display = True also
    gets a virtual display of its own, which its programs see as DISPLAY."""

    display = False

    def setUp(self):
        screen = VirtualDisplay() if self.display else None
        try:
            self.prefix = WinePrefix(_supply.take())
        except BaseException:
            if screen:
                screen.stop()
            raise
        # The display ends after the prefix's programs, which the drop of the prefix ends.
        self.addCleanup(self.prefix.close, screen.stop if screen else None)
        if screen:
            self.prefix.env["DISPLAY"] = screen.name


class SharedPrefixTestCase(unittest.TestCase):
    """All test methods of the class share one prefix as self.prefix: for programs whose runs
    leave nothing behind that another test could see."""

    @classmethod
    def setUpClass(cls):
        cls.prefix = WinePrefix()

    @classmethod
    def tearDownClass(cls):
        cls.prefix.close()


def _flatten(suite):
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            yield from _flatten(item)
        else:
            yield item


def _skipped(test):
    method = getattr(test, test._testMethodName, None)
    return getattr(type(test), "__unittest_skip__", False) or getattr(method, "__unittest_skip__", False)


class _NamingResult(unittest.TextTestResult):
    """Names the running case for the start failures it meets."""

    def startTest(self, test):
        global _current_case
        _current_case = test.id()
        super().startTest(test)


def _case_of(test):
    # A subtest's failure belongs to its case.
    return getattr(test, "test_case", test).id()


def main():
    """Runs the calling script's tests and records their counts, and the cases that failed,
    for the summary line."""
    name = _entry_name()
    # ORVIDEX_TEST_CASES narrows the run to the cases whose names contain one of its words.
    words = os.environ.get("ORVIDEX_TEST_CASES", "").split()
    if len(sys.argv) > 1:
        # Names or options of unittest's own, given by hand: unittest chooses.
        argv = [sys.argv[0]] + [arg for word in words for arg in ("-k", word)] + sys.argv[1:]
        runner = unittest.TextTestRunner(verbosity=2, resultclass=_NamingResult)
        r = unittest.main(module="__main__", argv=argv, exit=False, testRunner=runner).result
    else:
        tests = sorted(_flatten(unittest.defaultTestLoader.loadTestsFromModule(sys.modules["__main__"])),
                       key=lambda t: t.id())
        tests = [t for t in tests if not words or any(w in t.id() for w in words)]
        shard = os.environ.get("ORVIDEX_SHARD")
        if shard:
            # "K/N": the K-th of N entries that share the script's tests between them.
            index, count = (int(n) for n in shard.split("/"))
            tests = tests[index - 1::count]
        _supply.start(sum(1 for t in tests if isinstance(t, PrefixTestCase) and not _skipped(t)))
        try:
            r = unittest.TextTestRunner(verbosity=2, resultclass=_NamingResult).run(unittest.TestSuite(tests))
        finally:
            _supply.end()
    unexpected = list(getattr(r, "unexpectedSuccesses", []))
    failed = len(r.failures) + len(r.errors) + len(unexpected)
    passed = r.testsRun - failed - len(r.skipped)
    out_dir = os.environ.get("ORVIDEX_RESULTS_DIR")
    if out_dir:
        # A failure outside any case (a class's set-up) is named by the class or module.
        # How often each case failed: a case's subtests fail one by one, and a start failure
        # in one of them explains that one alone.
        failures = collections.Counter(_case_of(test) for test in [t for t, _ in r.failures + r.errors] + unexpected)
        with open(os.path.join(out_dir, name + ".json"), "w") as fh:
            json.dump({"passed": passed, "failed": failed, "failed_cases": sorted(failures),
                       "failures_per_case": failures}, fh)
    sys.exit(0 if failed == 0 and r.testsRun > 0 else 1)
