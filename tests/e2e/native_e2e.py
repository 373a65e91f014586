#!/usr/bin/python3
"""The Linux dorvanel under strace: which files it opens and how, how long
it waits, what it prints, and its exit status.

    native_e2e.py PROGRAM
"""

import dataclasses
import glob
import os
import re
import subprocess
import sys
import tempfile

import report

# On standard error the lines end in a plain newline, the last one too.
USAGE_TEXT = report.expected_usage_text().replace(b"\r\n", b"\n") + b"\n"

TRACED = "open,openat,openat2,creat,nanosleep,clock_nanosleep"
OPEN_CALL = re.compile(r'^\d+ +(?:open|openat|openat2|creat)\((?:[A-Z_]+, )?"([^"]*)", \{?(?:flags=)?([A-Z_0-9|]+)')
SLEEP_CALL = re.compile(r"^\d+ +(?:clock_)?nanosleep\(.*\{tv_sec=(\d+), tv_nsec=(\d+)\}")
# What the dynamic loader opens before the program runs.
LOADER_FILE = re.compile(r"^/etc/ld\.so\.cache$|\.so(\.\d+)*$")
# Must never be asked for on a CD drive: writing, creating, truncating.
FORBIDDEN_FLAGS = {"O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC", "O_APPEND"}


def device_open(path):
    return ("open", path)


def wait(seconds):
    return ("wait", seconds)


@dataclasses.dataclass
class Case:
    name: str
    arguments: list
    expect: list          # the program's own opens and waits, in order
    usage: bool = False   # the usage text on standard error


CASES = [
    Case("no arguments open the default device", [], [device_open("/dev/cdrom")]),
    Case("/Open on the default device", ["/Open"], [device_open("/dev/cdrom")]),
    Case("/Close on the default device", ["/Close"], [device_open("/dev/cdrom")]),
    Case("/D: /Open on the first drive", ["/D:", "/Open"], [device_open("/dev/sr0")]),
    Case("/E: /Close on the second drive", ["/E:", "/Close"], [device_open("/dev/sr1")]),
    Case("/z: /close on the last drive", ["/z:", "/close"], [device_open("/dev/sr22")]),
    Case("/A: names no drive and opens nothing", ["/A:", "/Open"], []),
    Case("/D: /OpenClose=1 opens, waits 1 s, closes", ["/D:", "/OpenClose=1"],
         [device_open("/dev/sr0"), wait(1.0), device_open("/dev/sr0")]),
    Case("/? writes the usage text to standard error", ["/?"], [], usage=True),
    Case("a drive alone writes the usage text", ["/D:"], [], usage=True),
]


def optical_devices():
    return sorted(path for path in ["/dev/cdrom", *glob.glob("/dev/sr*")] if os.path.exists(path))


def traced_run(program, arguments, scratch):
    log = os.path.join(scratch, "strace.log")
    result = subprocess.run(["strace", "-f", "-qq", "-o", log, "-e", f"trace={TRACED}", "-e", "signal=none",
                             program, *arguments], capture_output=True, timeout=60)
    with open(log, encoding="latin-1") as f:
        return result, f.read().splitlines()


def check(case, result, lines):
    problems = report.compare("exit status", result.returncode, 0)
    problems += report.compare("standard output", result.stdout, b"")
    problems += report.compare("standard error", result.stderr, USAGE_TEXT if case.usage else b"")
    events = []
    for line in lines:
        opened = OPEN_CALL.match(line)
        if opened:
            path, flags = opened.group(1), set(opened.group(2).split("|"))
            if LOADER_FILE.search(path):
                continue
            events.append(device_open(path))
            if path.startswith("/dev/"):
                if not {"O_RDONLY", "O_NONBLOCK"} <= flags or flags & FORBIDDEN_FLAGS:
                    problems.append(f"{path} opened with {'|'.join(sorted(flags))}, not read-only and non-blocking")
            continue
        slept = SLEEP_CALL.match(line)
        if slept:
            events.append(wait(int(slept.group(1)) + int(slept.group(2)) / 1e9))
    problems += report.compare("opens and waits", events, case.expect)
    return problems


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    program = argv[1]
    results = report.Report("the Linux program under strace")
    present = optical_devices()
    with tempfile.TemporaryDirectory(prefix="dorvanel-strace-") as scratch:
        for case in CASES:
            if present and case.expect:
                # A real drive would move; these checks need a machine without one.
                results.skip(case.name, f"optical drive present: {', '.join(present)}")
                continue
            result, lines = traced_run(program, case.arguments, scratch)
            results.case(case.name, check(case, result, lines), lines)
    return results.finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
