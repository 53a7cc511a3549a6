"""Counts test cases over ctest runs (one results folder each): GoogleTest XML and black-box
JSON results, with a CTest entry that failed without reporting its cases counted as one failure.
Entries that were run again after failing (rerun.xml) count by their second run and are named.
Usage: summarize-results.py FAILED_CHECKS RESULTS_DIR...
Prints "N passed, N failed"; exits non-zero when anything failed."""
import json
import os
import sys
import xml.etree.ElementTree as ET

failed_checks, result_dirs = int(sys.argv[1]), sys.argv[2:]
passed = failed = 0
entries = []
for results in result_dirs:
    tree = os.path.basename(os.path.dirname(os.path.abspath(results)))
    junit = os.path.join(results, "ctest.xml")
    tree_entries = list(ET.parse(junit).getroot().iter("testcase")) if os.path.exists(junit) else []
    entries += [(tree, case) for case in tree_entries]
    rerun_junit = os.path.join(results, "rerun.xml")
    rerun = {c.get("name"): c for c in ET.parse(rerun_junit).getroot().iter("testcase")} \
        if os.path.exists(rerun_junit) else {}
    if rerun:
        print(f"Run again after failing ({tree}): " + ", ".join(sorted(rerun)))
    for case in tree_entries:
        name = case.get("name")
        case = rerun.get(name, case)
        entry_failed = case.find("failure") is not None or case.get("status") not in (None, "run")
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
        if entry_failed and f == 0:
            f = 1
        passed += p
        failed += f
failed += failed_checks


def seconds(case):
    try:
        return float(case.get("time") or 0)
    except ValueError:
        return 0.0


slowest = sorted(entries, key=lambda entry: seconds(entry[1]), reverse=True)[:10]
if slowest:
    print("Slowest test entries:")
    for tree, case in slowest:
        print(f"  {seconds(case):7.1f} s  {tree}/{case.get('name')}")
print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed or passed == 0 else 0)
