#!/usr/bin/python3
"""The Linux dorvanel under strace: which files it opens and how, how long
it waits, what it prints, and its exit status. The tests' preload takes
every open of a device before it reaches the system, records it with its
flags, and refuses it; it records the waits without waiting. So no drive of
this machine is ever opened, and strace shows that nothing else is.

    native_e2e.py PROGRAM PRELOAD TRANSLATED ENTRY

TRANSLATED is the program built with this build's catalogues, ENTRY the
build's translated desktop entry.
"""

import dataclasses
import errno
import os
import re
import socket
import subprocess
import sys
import tempfile
import time

import locales
import preloaded
import report
from wine_harness import virtual_screen

# On standard error the lines end in a plain newline, the last one too.
USAGE_TEXT = report.expected_usage_text().replace(b"\r\n", b"\n") + b"\n"

TRACED = "open,openat,openat2,creat,nanosleep,clock_nanosleep,write,writev"
OPEN_CALL = re.compile(r'^\d+ +(?:open|openat|openat2|creat)\((?:[A-Z_]+, )?"([^"]*)"(?:.* = (-?\d+))?')
WRITE_CALL = re.compile(r"^\d+ +writev?\((\d+), .* = (-?\d+)")
SLEEP_CALL = re.compile(r"^\d+ +(?:clock_)?nanosleep\(")
# What the dynamic loader opens before the program runs, and the locale and
# catalogues gettext reads once there is a line to say.
LOADER_FILE = re.compile(r"^/etc/ld\.so\.cache$|\.so(\.\d+)*$"
                         r"|^/usr/lib/locale/|^/usr/share/locale/locale\.alias$|/gconv/|/LC_MESSAGES/\w+\.mo$")
# Must never be asked for on the first open of a device, whatever it is: writing, creating, truncating.
FORBIDDEN_FLAGS = {"O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC", "O_APPEND"}


@dataclasses.dataclass
class Case:
    name: str
    arguments: list
    expect: list          # the program's own opens and waits, in order, as the preload records them
    usage: bool = False   # the usage text on standard error
    closed: bool = False  # run with descriptors 0, 1 and 2 closed: a device would be opened as 0
    said: bytes = None    # standard error, where not the usage text: by default, each device open refused


CASES = [
    Case("no arguments open the default device", [], ["open /dev/cdrom"]),
    Case("/Open on the default device", ["/Open"], ["open /dev/cdrom"]),
    Case("/Close on the default device", ["/Close"], ["open /dev/cdrom"]),
    Case("/D: /Open on the first drive", ["/D:", "/Open"], ["open /dev/sr0"]),
    Case("/E: /Close on the second drive", ["/E:", "/Close"], ["open /dev/sr1"]),
    Case("/z: /close on the last drive", ["/z:", "/close"], ["open /dev/sr22"]),
    Case("/A: names no drive and opens nothing", ["/A:", "/Open"], [],
         said=b"dorvanel: A: no CD drive has this letter (D: to Z: are /dev/sr0 to /dev/sr22)\n"),
    Case("/D: /OpenClose=1 opens, waits 1 s, closes", ["/D:", "/OpenClose=1"],
         ["open /dev/sr0", "wait 1000 ms", "open /dev/sr0"]),
    Case("/D: /OpenClose=3600 waits an hour to the millisecond", ["/D:", "/OpenClose=3600"],
         ["open /dev/sr0", "wait 3600000 ms", "open /dev/sr0"]),
    Case("/? writes the usage text to standard error", ["/?"], [], usage=True),
    Case("a drive alone writes the usage text", ["/D:"], [], usage=True),
    Case("/Open with descriptors 0, 1 and 2 closed", ["/Open"], ["open /dev/cdrom"], closed=True),
    Case("/Close with descriptors 0, 1 and 2 closed", ["/Close"], ["open /dev/cdrom"], closed=True),
    Case("/? with descriptors 0, 1 and 2 closed writes nowhere", ["/?"], [], closed=True),
]


def flag_names(flags):
    names = {"O_RDONLY"} if flags & os.O_ACCMODE == os.O_RDONLY else set()
    for name in ["O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC", "O_APPEND", "O_NONBLOCK", "O_CLOEXEC"]:
        if flags & getattr(os, name):
            names.add(name)
    return names


def traced_run(program, preload, arguments, scratch, closed=False):
    log = os.path.join(scratch, "strace.log")
    strace = ["strace", "-f", "-qq", "-o", log, "-e", f"trace={TRACED}", "-e", "signal=none"]
    if closed:
        strace += ["sh", "-c", 'exec "$0" "$@" <&- >&- 2>&-']
    result, steps, trace = preloaded.run(program, preload, arguments, scratch, before=strace, flags=True)
    with open(log, encoding="latin-1") as f:
        system_calls = f.read().splitlines()
    return result, system_calls, steps, trace


def check(case, result, system_calls, steps, trace):
    problems = report.compare("exit status", result.returncode, 0)
    problems += report.compare("standard output", result.stdout, b"")
    said = b"" if case.closed else USAGE_TEXT if case.usage else case.said or preloaded.refusals(case.expect)
    problems += report.compare("standard error", result.stderr, said)
    # Past the preload only the loader's files and the preload's own log;
    # writes only to standard error, and none that lands while it is closed.
    others = []
    log = None
    for line in system_calls:
        opened, written = OPEN_CALL.match(line), WRITE_CALL.match(line)
        if opened and opened.group(1) == trace:
            log = opened.group(2)
        elif opened and not LOADER_FILE.search(opened.group(1)):
            others.append(opened.group(1))
        elif SLEEP_CALL.match(line):
            others.append("a wait")
        elif written and written.group(1) != log:
            if written.group(1) != "2" or case.closed and int(written.group(2)) >= 0:
                others.append(f"a write to descriptor {written.group(1)} = {written.group(2)}")
    problems += report.compare("what reached the system", others, [])
    events = []
    for step in steps:
        if step.startswith("open "):  # with its flags: "open PATH 0xFLAGS"
            step, flags = step.rsplit(" ", 1)
            flags = flag_names(int(flags, 16))
            if not {"O_RDONLY", "O_NONBLOCK"} <= flags or flags & FORBIDDEN_FLAGS:
                problems.append(f"{step} with {'|'.join(sorted(flags))}, not read-only and non-blocking")
        events.append(step)
    problems += report.compare("opens and waits", events, case.expect)
    return problems


# Each libc entry that opens a file by name, called through ctypes in a Python
# run with the preload, on a device, a link to one outside /dev and a plain
# file: the first two must be recorded and refused, the last opened. Should
# the preload miss one, the probe reaches no drive: the device is a name no
# machine has and the link leads to /dev/null, both opened non-blocking.
OPEN_CALLS = ["open", "open64", "__open_2", "__open64_2", "openat", "openat64", "__openat_2", "__openat64_2",
              "openat2", "openat in a folder"]
PRELOAD_PROBE = r"""
import ctypes, os, sys
libc = ctypes.CDLL(None, use_errno=True)
class How(ctypes.Structure):
    _fields_ = [("flags", ctypes.c_uint64), ("mode", ctypes.c_uint64), ("resolve", ctypes.c_uint64)]
AT_FDCWD, READ = -100, os.O_RDONLY | os.O_NONBLOCK
calls = {
    "open": lambda p: libc.open(p, READ),
    "open64": lambda p: libc.open64(p, READ),
    "__open_2": lambda p: libc.__open_2(p, READ),
    "__open64_2": lambda p: libc.__open64_2(p, READ),
    "openat": lambda p: libc.openat(AT_FDCWD, p, READ),
    "openat64": lambda p: libc.openat64(AT_FDCWD, p, READ),
    "__openat_2": lambda p: libc.__openat_2(AT_FDCWD, p, READ),
    "__openat64_2": lambda p: libc.__openat64_2(AT_FDCWD, p, READ),
    "openat2": lambda p: libc.openat2(AT_FDCWD, p, ctypes.byref(How(READ)), ctypes.sizeof(How)),
    "openat in a folder": lambda p: libc.openat(os.open(os.path.dirname(p), READ), os.path.basename(p), READ),
}
for name, call in calls.items():
    for path in sys.argv[1:]:
        fd = call(path.encode())
        print(name, path, "opened" if fd >= 0 else os.strerror(ctypes.get_errno()), sep="\t")
"""


def preload_probe(preload, scratch):
    """Problems with the preload: every way of opening a device taken."""
    trace = os.path.join(scratch, "probe.log")
    link, plain = os.path.join(scratch, "cdrom"), os.path.join(scratch, "plain")
    os.symlink("/dev/null", link)
    open(plain, "w").close()
    paths = ["/dev/dorvanel-no-such-drive", link, plain]
    env = dict(os.environ, LD_PRELOAD=preload, DORVANEL_TRACE=trace)
    result = subprocess.run([sys.executable, "-c", PRELOAD_PROBE, *paths], capture_output=True, text=True,
                            timeout=60, env=env)
    if result.returncode != 0:
        return [f"the probe failed: {result.stderr}"], []
    seen = result.stdout.splitlines()
    expected = [f"{call}\t{path}\t{'opened' if path == plain else os.strerror(errno.ENOENT)}"
                for call in OPEN_CALLS for path in paths]
    recorded = []
    if os.path.exists(trace):
        with open(trace) as f:
            recorded = f.read().splitlines()
    expected_trace = [f"open {os.path.basename(path) if 'folder' in call else path}"
                      for call in OPEN_CALLS for path in paths if path != plain]
    return report.compare("results", seen, expected) + report.compare("recorded opens", recorded, expected_trace), seen


def closed_pipe(program):
    """The usage notice written to a pipe nobody reads any more."""
    reader, writer = os.pipe()
    os.close(reader)
    try:
        result = subprocess.run([program, "/?"], stderr=writer, timeout=60)
    finally:
        os.close(writer)
    return report.compare("exit status", result.returncode, 0)


# Under a private session bus whose notification server, dunst, D-Bus starts
# on demand and which takes 1.5 s to come up, with `dorvanel` in PATH the
# program, preloaded: the desktop entry launched as a desktop launches it,
# then the program run from a script. dunst prints what it is sent.
BUS_CONFIG = """<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><servicedir>{}</servicedir>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/>
</policy></busconfig>"""
SLOW_SERVER = '#!/bin/sh\nsleep 1.5\nexec dunst -print >"{}" 2>/dev/null\n'
SESSION = r"""
mkdir -p bin && printf '#!/bin/sh\nLD_PRELOAD="%s" exec "%s" "$@"\n' "$2" "$3" >bin/dorvanel && chmod +x bin/dorvanel
PATH=$PWD/bin:$PATH gio launch "$1"
for i in $(seq 100); do grep -q summary: printed && break; sleep 0.1; done
PATH=$PWD/bin:$PATH dorvanel /Open 2>script.err
sleep 0.5
PATH=$PWD/bin:$PATH dorvanel /Notify /OpenClose=1 2>>script.err; echo "exit $?" >>script.err
for i in $(seq 100); do [ "$(grep -c summary: printed)" -ge 3 ] && break; sleep 0.1; done
"""


def notifications(program, preload, scratch, entry, locale=(), name=None, summary="The tray did not move",
                  cause="no such device"):
    """Problems with the notifications: one from the entry's launch, with its name (in the locale's language) and
    icon, naming the device and why; none from the script, which writes its line to standard error; then one for
    each line of its /Notify /OpenClose=1, whose own process writes both, the close's after the wait, and exits 0."""
    with open(entry) as f:
        text = f.read()
    english, icon = (re.search(f"^{key}=(.*)$", text, re.M)[1] for key in ["Name", "Icon"])
    scratch = tempfile.mkdtemp(dir=scratch)
    services, printed = os.path.join(scratch, "services"), os.path.join(scratch, "printed")
    os.mkdir(services)
    with open(os.path.join(scratch, "bus.conf"), "w") as f:
        f.write(BUS_CONFIG.format(services))
    with open(os.path.join(scratch, "slow-server"), "w") as f:
        f.write(SLOW_SERVER.format(printed))
    os.chmod(os.path.join(scratch, "slow-server"), 0o755)
    with open(os.path.join(services, "notifications.service"), "w") as f:
        f.write(f"[D-BUS Service]\nName=org.freedesktop.Notifications\nExec={scratch}/slow-server\n")
    open(printed, "w").close()
    with virtual_screen() as display:
        env = {k: v for k, v in os.environ.items() if not k.startswith(("DBUS_", "DISPLAY"))}
        subprocess.run(["dbus-run-session", f"--config-file={scratch}/bus.conf", "--", "sh", "-c", SESSION, "sh",
                        entry, os.path.abspath(preload), os.path.abspath(program)],
                       cwd=scratch, env=dict(env, DISPLAY=display, **dict(locale)), timeout=60, capture_output=True)
    with open(printed) as shown, open(os.path.join(scratch, "script.err"), "rb") as script:
        fields = re.findall(r"^\t(appname|icon|summary|body|desktop_entry): '(.*)'$", shown.read(), re.M)
        return (report.compare("notifications shown (field, value)", fields,
                               [("appname", name or english), ("summary", summary), ("body", f"/dev/cdrom: {cause}"),
                                ("icon", icon), ("desktop_entry", "dorvanel")] * 3)
                + report.compare("standard error from a script", script.read().decode(),
                                 f"dorvanel: /dev/cdrom: {cause}\n" * 3 + "exit 0\n"))


def in_german(program, preload, scratch, entry):
    """The line and the notification of the program with its catalogues: German in de_DE.UTF-8 (made with
    localedef in the run's own folder), English word for word under LANG=C whatever LANGUAGE says."""
    try:
        german = dict(locales.utf8("de", os.path.join(scratch, "locales")), LANGUAGE="de")
    except RuntimeError as error:
        return [str(error)]
    return (notifications(program, preload, scratch, entry, german, "CD-Schublade", "Die Schublade hat sich nicht bewegt",
                          "Gerät nicht vorhanden")
            + notifications(program, preload, scratch, entry, {"LC_ALL": "", "LANG": "C", "LANGUAGE": "de"}))


def silent_bus(program, preload, scratch):
    """Problems with a session bus that takes the connection and never answers, found as GLib finds it, in
    $XDG_RUNTIME_DIR/bus: the program still says why at once and ends."""
    runtime = os.path.join(scratch, "runtime")
    os.mkdir(runtime, 0o700)
    with socket.socket(socket.AF_UNIX) as bus:
        bus.bind(os.path.join(runtime, "bus"))
        bus.listen()
        env = {k: v for k, v in os.environ.items() if not k.startswith(("DBUS_", "DISPLAY"))}
        started = time.monotonic()
        try:
            result = subprocess.run([program, "/Notify", "/Open"], capture_output=True, timeout=10,
                                    env=dict(env, XDG_RUNTIME_DIR=runtime, LD_PRELOAD=preload))
        except subprocess.TimeoutExpired as held:
            result = held
        took = time.monotonic() - started
        bus.settimeout(10)
        try:
            bus.accept()[0].close()  # gdbus, which then gives up
            connected = True
        except socket.timeout:
            connected = False
    return (report.compare("standard error", result.stderr, b"dorvanel: /dev/cdrom: no such device\n")
            + report.compare("ended within 5 s", took < 5, True) + report.compare("gdbus found the bus", connected, True))


def main(argv):
    if len(argv) != 5:
        print(__doc__, file=sys.stderr)
        return 2
    program, preload, translated, entry = argv[1:]
    results = report.Report("the Linux program under strace")
    with tempfile.TemporaryDirectory(prefix="dorvanel-strace-") as scratch:
        for case in CASES:
            result, system_calls, steps, trace = traced_run(program, preload, case.arguments, scratch, case.closed)
            results.case(case.name, check(case, result, system_calls, steps, trace), system_calls + steps)
        results.case("standard error closed at its far end: the usage notice still exits 0", closed_pipe(program))
        results.case("the preload takes every way of opening a device", *preload_probe(preload, scratch))
        results.case("launched from the desktop entry, a notification server started on demand shows why; from a "
                     "script, none, or with /Notify one a line", notifications(program, preload, scratch, entry))
        results.case("a session bus that never answers holds nothing up", silent_bus(program, preload, scratch))
        results.case("with its catalogues, the line and the notification in German in de_DE.UTF-8, in English "
                     "under LANG=C", in_german(translated, preload, scratch, entry))
    return results.finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
