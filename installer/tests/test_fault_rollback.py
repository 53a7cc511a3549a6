"""A fault inside a runtime or system function that the installer calls, once every step stands,
still rolls the installation back: the steps are undone in the order and with the lines of an
ordinary failure, the fault is named, the exit code is 150 and the machine is left as it was.
OrvidexInstallerFaults.exe is the installer with such a fault put in (tests/injected_faults.h)."""
import concurrent.futures
import unittest

import winetest
from test_rollback import DIR, MAKER_KEY, failed_run, volatile_key

FAULTS = ["strlen", "memcpy", "win32"]


def run(setup, env):
    return failed_run(setup, env, program="OrvidexInstallerFaults.exe")


def rollback_lines(stdout):
    return [line for line in stdout.splitlines() if line.startswith("Rollback: ")]


class FaultAfterEveryStep(unittest.TestCase):
    def test_faults_roll_back_like_an_ordinary_failure(self):
        with concurrent.futures.ThreadPoolExecutor(max_workers=len(FAULTS) + 1) as pool:
            # The same point reached by an ordinary failure: the settings cannot be saved under
            # a volatile maker's key, and the steps unwind.
            ordinary = pool.submit(run, [volatile_key(MAKER_KEY)], {})
            faults = [(fault, pool.submit(run, [], {"ORVIDEX_INJECTED_FAULT": fault})) for fault in FAULTS]
            reference, _, _ = ordinary.result()
            self.assertEqual(reference.code, 121, reference)
            expected = rollback_lines(reference.stdout)
            self.assertEqual(expected[0], "Rollback: unregistering uninstaller")
            self.assertEqual(expected[-1], "Rollback: removing previously created " + DIR)
            for fault, outcome in faults:
                with self.subTest(fault):
                    result, registry, files = outcome.result()
                    self.assertEqual(result.code, 150, result)
                    self.assertEqual(rollback_lines(result.stdout), expected, result)
                    self.assertTrue(result.stdout.endswith(
                        "Rollback: removing previously created " + DIR + "\n"
                        "std::exception caught: EXCEPTION_ACCESS_VIOLATION\n"), result)
                    # The maker's key stays on purpose, as the run left it: empty.
                    self.assertEqual(registry.pop(MAKER_KEY.upper(), None), (None, {}))
                    self.assertEqual(registry, {})
                    self.assertEqual(files, {})


class FaultWhileWritingPayload(unittest.TestCase):
    """A fault between two payload files: the files written so far and the folder go too."""

    def test_written_files_are_removed(self):
        # The first file written, and the last before the Start Menu folder.
        cases = [("payload-1", 1), ("payload-15", 15)]
        with concurrent.futures.ThreadPoolExecutor(max_workers=len(cases)) as pool:
            runs = [(point, written, pool.submit(run, [], {"ORVIDEX_INJECTED_FAULT": "strlen",
                                                           "ORVIDEX_INJECTED_FAULT_AT": point}))
                    for point, written in cases]
            for point, written, outcome in runs:
                with self.subTest(point):
                    result, registry, files = outcome.result()
                    self.assertEqual(result.code, 150, result)
                    lines = rollback_lines(result.stdout)
                    self.assertEqual(len(lines), written + 1, result)
                    self.assertTrue(all(line.startswith("Rollback: removing previously created " + DIR + "\\")
                                        for line in lines[:-1]), lines)
                    self.assertEqual(lines[-1], "Rollback: removing previously created " + DIR)
                    self.assertTrue(result.stdout.endswith("std::exception caught: EXCEPTION_ACCESS_VIOLATION\n"),
                                    result)
                    self.assertEqual(registry.pop(MAKER_KEY.upper(), None), (None, {}))
                    self.assertEqual(registry, {})
                    self.assertEqual(files, {})


if __name__ == "__main__":
    winetest.main()
