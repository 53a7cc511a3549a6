"""Reads the results of ctest runs (one results folder per tree): GoogleTest XML and black-box
JSON results, and the start failures our test helpers recorded (scripts/winetest.py).

  summarize-results.py rerun-list RESULTS_DIR
      prints the failed entries that may run again: those whose every failed case met a start
      failure, one name a line; exits non-zero when another entry failed.
  summarize-results.py FAILED_CHECKS RESULTS_DIR...
      counts test cases, a CTest entry that failed without reporting its cases as one failure,
      and prints "N passed, N failed"; exits non-zero when anything failed. An entry that ran
      again (rerun.xml) counts by its second run and is named, with the start failure that
      allowed it and the end of its first run's output (kept in first-run/); so is every
      program of a test's set-up that a test started again (winetest.note_retry)."""
import collections
import json
import os
import sys
import xml.etree.ElementTree as ET

OUTPUT_TAIL_LINES = 12


def ctest_entries(junit):
    return list(ET.parse(junit).getroot().iter("testcase")) if os.path.exists(junit) else []


def entry_failed(case):
    return case.find("failure") is not None or case.get("status") not in (None, "run")


def start_failures(folder, name, kind=".start-failures"):
    path = os.path.join(folder, name + kind)
    if not os.path.exists(path):
        return []
    with open(path) as fh:
        return [json.loads(line) for line in fh if line.strip()]


def may_run_again(results, name):
    """True when the entry's failure is explained by start failures alone: a unit-test program
    that never started, or a script each of whose failures (a failed subtest counts as one) met
    a start failure of its own."""
    records = start_failures(results, name)
    if not records:
        return False
    if any(record["case"] is None for record in records):
        return not os.path.exists(os.path.join(results, name + ".xml"))
    blackbox = os.path.join(results, name + ".json")
    if not os.path.exists(blackbox):
        return False  # ended before it could report its cases: a timeout or a crash
    with open(blackbox) as fh:
        reported = json.load(fh)
    failed_cases = reported.get("failed_cases")
    met = collections.Counter(record["case"] for record in records)
    # Each failure needs a start failure of its own: a subtest that failed after another one
    # met a start failure may have failed for any reason.
    failures = reported.get("failures_per_case", {})
    return bool(failed_cases) and all(met[case] >= failures.get(case, 1) for case in failed_cases)


def rerun_list(results):
    """True when every failed entry may run again."""
    every = True
    for case in ctest_entries(os.path.join(results, "ctest.xml")):
        if entry_failed(case):
            if may_run_again(results, case.get("name")):
                print(case.get("name"))
            else:
                every = False
    return every


def case_counts(results, name):
    p = f = 0
    gtest = os.path.join(results, name + ".xml")
    blackbox = os.path.join(results, name + ".json")
    if os.path.exists(gtest):
        for tc in ET.parse(gtest).getroot().iter("testcase"):
            if tc.get("status") == "notrun" or tc.find("skipped") is not None:
                continue
            if tc.find("failure") is not None:
                f += 1
            else:
                p += 1
    elif os.path.exists(blackbox):
        with open(blackbox) as fh:
            data = json.load(fh)
        p, f = data["passed"], data["failed"]
    return p, f


def report_rerun(tree, name, first, second, results):
    outcome = "failed again" if entry_failed(second) else "passed"
    print(f"Run again after a start failure: {tree}/{name} ({outcome})")
    for record in start_failures(os.path.join(results, "first-run"), name):
        where = f" in {record['case']}" if record["case"] else ""
        print(f"  {record['command']} ended with exit code {record['code']} and no output{where}")
    output = (first.findtext("system-out") or "").rstrip().splitlines()
    print("  its first run's output ended:")
    for line in output[-OUTPUT_TAIL_LINES:]:
        print("    " + line)


def seconds(case):
    try:
        return float(case.get("time") or 0)
    except ValueError:
        return 0.0


def summarize(failed_checks, result_dirs):
    passed = failed = reruns = retries = 0
    entries = []
    for results in result_dirs:
        tree = os.path.basename(os.path.dirname(os.path.abspath(results)))
        tree_entries = ctest_entries(os.path.join(results, "ctest.xml"))
        entries += [(tree, case) for case in tree_entries]
        rerun = {c.get("name"): c for c in ctest_entries(os.path.join(results, "rerun.xml"))}
        for case in tree_entries:
            name = case.get("name")
            for folder in (os.path.join(results, "first-run"), results):
                for retry in start_failures(folder, name, ".retries"):
                    print(f"Retried in {tree}/{name}: {retry['what']} ended with exit code {retry['code']}"
                          f" ({retry['case']}); it said: {retry['output'][-300:]!r}")
                    retries += 1
            if name in rerun:
                report_rerun(tree, name, case, rerun[name], results)
                reruns += 1
                case = rerun[name]
            p, f = case_counts(results, name)
            if entry_failed(case) and f == 0:
                f = 1
            passed += p
            failed += f
    failed += failed_checks

    slowest = sorted(entries, key=lambda entry: seconds(entry[1]), reverse=True)[:10]
    if slowest:
        print("Slowest test entries:")
        for tree, case in slowest:
            print(f"  {seconds(case):7.1f} s  {tree}/{case.get('name')}")
    if retries:
        print(f"This run started {retries} program{'' if retries == 1 else 's'} of the tests' set-up again "
              f"(named above).")
    if reruns:
        print(f"This run ran {reruns} entr{'y' if reruns == 1 else 'ies'} again after a start failure "
              f"(named above); each counts by its second run.")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or passed == 0 else 0


if __name__ == "__main__":
    if sys.argv[1] == "rerun-list":
        sys.exit(0 if rerun_list(sys.argv[2]) else 1)
    sys.exit(summarize(int(sys.argv[1]), sys.argv[2:]))
