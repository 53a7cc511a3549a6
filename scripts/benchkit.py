"""What the bench scripts share: a median with its range, the ratio of two sides measured in the
same runs as the median (min-max) of each run's own ratio, and the placing of processes on
processors."""
import os
import statistics
import sys

import winetest


def spread(values, digits=1):
    """median (min-max) of the values; None stands for a run that could not tell (left out)."""
    values = [v for v in values if v is not None]
    if not values:
        return "n/a"
    return f"{statistics.median(values):.{digits}f} ({min(values):.{digits}f}-{max(values):.{digits}f})"


def ratio_spread(ours, theirs):
    """The ratio ours / theirs of each run, as median (min-max); runs where either is None, or
    theirs is 0 (below what the clock can tell), have none."""
    return spread([a / b for a, b in zip(ours, theirs) if a is not None and b], 2)


def machine():
    """The processors and the load average now, for the figures' heading."""
    return f"{os.cpu_count()} processors, load average {' '.join(f'{x:.1f}' for x in os.getloadavg())}"


def wineserver_of(prefix):
    """The pid of the wineserver that serves the prefix (a folder)."""
    wanted = ("WINEPREFIX=" + prefix).encode()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if not os.readlink(f"/proc/{entry}/exe").startswith(os.path.realpath(winetest.WINESERVER)):
                continue
            with open(f"/proc/{entry}/environ", "rb") as fh:
                if wanted in fh.read().split(b"\0"):
                    return int(entry)
        except OSError:
            continue
    sys.exit(f"the wineserver of {prefix} was not found")


def place(pids, cpus):
    """Every thread of the processes to the given processors; threads made later inherit it."""
    for pid in pids:
        try:
            tasks = os.listdir(f"/proc/{pid}/task")
        except OSError:
            continue
        for task in tasks:
            try:
                os.sched_setaffinity(int(task), cpus)
            except OSError:
                pass
