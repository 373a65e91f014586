#!/usr/bin/python3
"""The Linux dorvanel under strace: which files it opens and how, how long
it waits, what it prints, and its exit status. The package tests' preload
takes every open of a device before it reaches the system, records it with
its flags, and refuses it; it records the waits without waiting. So no drive
of this machine is ever opened, and strace shows that nothing else is.

    native_e2e.py PROGRAM PRELOAD
"""

import dataclasses
import os
import re
import subprocess
import sys
import tempfile

import report

# On standard error the lines end in a plain newline, the last one too.
USAGE_TEXT = report.expected_usage_text().replace(b"\r\n", b"\n") + b"\n"

TRACED = "open,openat,openat2,creat,nanosleep,clock_nanosleep"
OPEN_CALL = re.compile(r'^\d+ +(?:open|openat|openat2|creat)\((?:[A-Z_]+, )?"([^"]*)"')
SLEEP_CALL = re.compile(r"^\d+ +(?:clock_)?nanosleep\(")
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


def flag_names(flags):
    names = {"O_RDONLY"} if flags & os.O_ACCMODE == os.O_RDONLY else set()
    for name in ["O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC", "O_APPEND", "O_NONBLOCK", "O_CLOEXEC"]:
        if flags & getattr(os, name):
            names.add(name)
    return names


def traced_run(program, preload, arguments, scratch):
    log, trace = os.path.join(scratch, "strace.log"), os.path.join(scratch, "preload.log")
    if os.path.exists(trace):
        os.remove(trace)
    env = dict(os.environ, LD_PRELOAD=preload, DORVANEL_TRACE=trace, DORVANEL_TRACE_FLAGS="1")
    result = subprocess.run(["strace", "-f", "-qq", "-o", log, "-e", f"trace={TRACED}", "-e", "signal=none",
                             program, *arguments], capture_output=True, timeout=60, env=env)
    with open(log, encoding="latin-1") as f:
        system_calls = f.read().splitlines()
    steps = []
    if os.path.exists(trace):
        with open(trace, encoding="latin-1") as f:
            steps = f.read().splitlines()
    return result, system_calls, steps, trace


def check(case, result, system_calls, steps, trace):
    problems = report.compare("exit status", result.returncode, 0)
    problems += report.compare("standard output", result.stdout, b"")
    problems += report.compare("standard error", result.stderr, USAGE_TEXT if case.usage else b"")
    # Past the preload only the loader's files and the preload's own log.
    others = []
    for line in system_calls:
        opened = OPEN_CALL.match(line)
        if opened and not LOADER_FILE.search(opened.group(1)) and opened.group(1) != trace:
            others.append(opened.group(1))
        elif SLEEP_CALL.match(line):
            others.append("a wait")
    problems += report.compare("what reached the system", others, [])
    events = []
    for step in steps:
        words = step.split()
        if words[0] == "open":
            path, flags = words[1], flag_names(int(words[2], 16))
            events.append(device_open(path))
            if not {"O_RDONLY", "O_NONBLOCK"} <= flags or flags & FORBIDDEN_FLAGS:
                problems.append(f"{path} opened with {'|'.join(sorted(flags))}, not read-only and non-blocking")
        elif words[0] == "wait":
            events.append(wait(int(words[1]) / 1000))
    problems += report.compare("opens and waits", events, case.expect)
    return problems


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    program, preload = argv[1], argv[2]
    results = report.Report("the Linux program under strace")
    with tempfile.TemporaryDirectory(prefix="dorvanel-strace-") as scratch:
        for case in CASES:
            result, system_calls, steps, trace = traced_run(program, preload, case.arguments, scratch)
            results.case(case.name, check(case, result, system_calls, steps, trace), system_calls + steps)
    return results.finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
