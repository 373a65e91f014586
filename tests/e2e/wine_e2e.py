#!/usr/bin/python3
"""dorvanel.exe under Wine, checked from outside through the relay trace:
which texts reach mciSendStringA, which waits reach Sleep, what MessageBoxA
shows, and how the process ends.

    wine_e2e.py setup PREFIX          make the shared prefix in the folder PREFIX
    wine_e2e.py cleanup PREFIX        remove it
    wine_e2e.py GROUP PREFIX EXE LAUNCHER --screenshot PNG --planted DIR

The usage-notice group keeps its screenshot as PNG; the planted-dlls group
plants the stand-ins it finds in DIR.
"""

import argparse
import dataclasses
import os
import shutil
import subprocess
import sys
import time

import locales
import report
import wine_harness

NOTICE_ARGUMENTS = [0, report.expected_usage_text(), b"Dorvanel", 0x40]  # no owner, MB_OK | MB_ICONINFORMATION


def mci(text):
    return ("mciSendStringA", text)


def sleep(milliseconds):
    return ("Sleep", milliseconds)


NOTICE = ("MessageBoxA",)
OPEN = mci(b"set cdaudio door open")
CLOSE = mci(b"set cdaudio door closed")
OPEN_D = mci(b"set cdaudio!d:\\ door open")
CLOSE_D = mci(b"set cdaudio!d:\\ door closed")


def key(call):
    if call.function == "mciSendStringA":
        return mci(call.arguments[0])
    if call.function == "Sleep":
        return sleep(call.arguments[0])
    if call.function == "MessageBoxA":
        return NOTICE
    return (call.function, *call.arguments)


@dataclasses.dataclass
class Case:
    name: str
    arguments: list | None = None   # as typed: Wine builds the command line
    text: bytes | None = None       # the exact command line, through the launcher
    expect: list = ()               # the program's calls, in order (ExitProcess aside)
    # Long waits: the launcher stops the program this many seconds after its
    # first Sleep, and nothing but `expect` may have happened by then.
    stop_after_sleep: float | None = None
    check: object = None            # further checks: check(run) -> problems


def command_line(*arguments):
    return b" ".join([b"dorvanel.exe", *arguments])


# --- The cases, by concern --------------------------------------------------

DEFAULTS = [
    Case("no arguments open the default device", [], expect=[OPEN]),
    Case("/Open", ["/Open"], expect=[OPEN]),
    Case("/Close", ["/Close"], expect=[CLOSE]),
    Case("/OpenClose waits 10 s", text=command_line(b"/OpenClose"),
         expect=[OPEN, sleep(10000)], stop_after_sleep=1.0),
]

OPTIONS = [
    Case("options ignore case", ["/oPEN"], expect=[OPEN]),
    Case("every slash is dropped", ["O/p/e/n"], expect=[OPEN]),
    Case("the leftmost action wins: /Open /Close", ["/Open", "/Close"], expect=[OPEN]),
    Case("the leftmost action wins: /Close /Open", ["/Close", "/Open"], expect=[CLOSE]),
    Case("/Open before /OpenClose=5 sends no close", ["/Open", "/OpenClose=5"], expect=[OPEN]),
    Case("/OpenClose=1 before /Open waits and closes", ["/OpenClose=1", "/Open"],
         expect=[OPEN, sleep(1000), CLOSE]),
    Case("/? after an action shows the notice", ["/Open", "/?"], expect=[NOTICE]),
    Case("/? before an action shows the notice", ["/?", "/Open"], expect=[NOTICE]),
    Case("an unknown word alone shows the notice", ["open=1"], expect=[NOTICE]),
    Case("a word that differs from /Open in its first byte only shows the notice", ["/Xpen"], expect=[NOTICE]),
]

DRIVE = [
    Case("/D: /Close", ["/D:", "/Close"], expect=[CLOSE_D]),
    Case("/d: /open", ["/d:", "/open"], expect=[OPEN_D]),
    Case("the leftmost drive wins", ["/E:", "/D:", "/Open"], expect=[mci(b"set cdaudio!e:\\ door open")]),
    Case("both commands of OpenClose name the drive", ["/Z:", "/OpenClose=1"],
         expect=[mci(b"set cdaudio!z:\\ door open"), sleep(1000), mci(b"set cdaudio!z:\\ door closed")]),
    Case("any first byte names the drive", ["/1:", "/Open"], expect=[mci(b"set cdaudio!1:\\ door open")]),
    Case("a drive alone shows the notice", ["/D:"], expect=[NOTICE]),
    Case("/D:/Open as one argument is a drive", ["/D:/Open"], expect=[NOTICE]),
    Case("/OpenClose=5: is a drive", ["/OpenClose=5:"], expect=[NOTICE]),
]

DELAYS = [
    Case("/OpenClose=0 leaves the door open", ["/OpenClose=0"], expect=[OPEN]),
    Case("/OpenClose=-5 leaves the door open", ["/OpenClose=-5"], expect=[OPEN]),
    Case("/OpenClose=-2147483648 leaves the door open", ["/OpenClose=-2147483648"], expect=[OPEN]),
    Case("/OpenClose=0x1 is read as hexadecimal", ["/OpenClose=0x1"], expect=[OPEN, sleep(1000), CLOSE]),
    Case("/OpenClose=$1 is read as hexadecimal", ["/OpenClose=$1"], expect=[OPEN, sleep(1000), CLOSE]),
    Case("/OpenClose=2/0 drops the slash", text=command_line(b"/OpenClose=2/0"),
         expect=[OPEN, sleep(20000)], stop_after_sleep=1.0),
    Case("an unreadable delay means 10 s", text=command_line(b"/OpenClose=5x"),
         expect=[OPEN, sleep(10000)], stop_after_sleep=1.0),
    Case("a delay past 32 bits means 10 s", text=command_line(b"/OpenClose=2147483648"),
         expect=[OPEN, sleep(10000)], stop_after_sleep=1.0),
]


def closes_after_one_second(run):
    opens = [c for c in run.calls if c.function == "mciSendStringA" and c.arguments[0].endswith(b" door open")]
    closes = [c for c in run.calls if c.function == "mciSendStringA" and c.arguments[0].endswith(b" door closed")]
    if not opens or not closes:
        return []  # the call list comparison reports it
    gap = closes[0].at - opens[0].at
    print(f"     the close command came {gap:.3f} s after the open command")
    return report.unless(gap >= 1.0, f"the close command came {gap:.3f} s after the open command")


def no_wrapped_wait(delay):
    wrapped = (delay * 1000) & 0xFFFFFFFF

    def check(run):
        problems = []
        sleeps = [c.arguments[0] for c in run.calls if c.function == "Sleep"]
        if not sleeps:
            problems.append("no wait at all")
        if wrapped in sleeps:
            problems.append(f"Sleep({wrapped:#x}): {delay} x 1000 wrapped around 32 bits")
        if [key(c) for c in run.calls if c.function != "Sleep"] != [OPEN]:
            problems.append("something besides the open command and waits happened before the time")
        return problems
    return check


WAITS = [
    Case("OpenClose=1: the close comes at least 1 s after the open", ["/OpenClose=1"],
         expect=[OPEN, sleep(1000), CLOSE], check=closes_after_one_second),
    Case("a long delay: one exact wait, and no close before the time", text=command_line(b"/OpenClose=3600"),
         expect=[OPEN, sleep(3600 * 1000)], stop_after_sleep=2.0),
    Case("the longest delay that fits 32 bits is waited exactly", text=command_line(b"/OpenClose=4294967"),
         expect=[OPEN, sleep(4294967000)], stop_after_sleep=2.0),
    Case("4294968 s does not wrap to 704 ms", text=command_line(b"/OpenClose=4294968"),
         stop_after_sleep=2.0, check=no_wrapped_wait(4294968)),
    Case("2147483647 s does not wrap", text=command_line(b"/OpenClose=2147483647"),
         stop_after_sleep=2.0, check=no_wrapped_wait(2147483647)),
]

COMMAND_LINE_TEXTS = [
    Case("the program name alone", text=b"dorvanel.exe", expect=[OPEN]),
    Case("a quoted program name with blanks", text=b'"C:\\Program Files\\Dorvanel\\dorvanel.exe" /Close',
         expect=[CLOSE]),
    # The program name, like any token, runs on to the first blank outside quotes.
    Case("text right after a quoted program name belongs to it", text=b'"C:\\dorvanel.exe"/Close', expect=[OPEN]),
    Case("a pair of double quotes alone is no argument", text=b'dorvanel.exe ""', expect=[OPEN]),
    Case("quotes in the middle of a token are dropped", text=b'dorvanel.exe "/D:" /Op"en"', expect=[OPEN_D]),
    # The C runtime's argv rules differ here: a doubled quote inside quotes is
    # a quote character, and a backslash escapes a quote.
    Case("a doubled quote inside quotes only ends and reopens them", text=b'dorvanel.exe "/Op""en"', expect=[OPEN]),
    Case("a backslash does not escape a quote", text=b'dorvanel.exe /D:\\" /Close', expect=[NOTICE]),
    Case("tabs and control characters separate", text=b"dorvanel.exe\t/D:\x01/Close", expect=[CLOSE_D]),
    Case("a quoted blank joins two options into one", text=b'dorvanel.exe "/D: /Close"', expect=[NOTICE]),
    Case("an open quote runs to the end", text=b'dorvanel.exe /Open" /Close', expect=[NOTICE]),
    Case("a quoted delay", text=b'dorvanel.exe /OpenClose="1"', expect=[OPEN, sleep(1000), CLOSE]),
]

# Run with the Japanese ANSI code page (932). ﾀ is the single byte 0xC0 there;
# lowercased by the rules of code page 1252 it would turn into 0xE0. ド is
# 0x83 0x68: as a drive its lead byte alone names it.
CODE_PAGE_932 = [
    Case("a Japanese argument between options", ["/D:", "ドア", "/Close"], expect=[CLOSE_D]),
    Case("a half-width katakana drive is not lowercased", ["ﾀ:", "/Open"],
         expect=[mci(b"set cdaudio!\xc0:\\ door open")]),
    Case("a double-byte drive gives its lead byte", ["ドライブ:", "/Close"],
         expect=[mci(b"set cdaudio!\x83:\\ door closed")]),
    Case("a quoted Japanese argument with a blank", text='dorvanel.exe "ドア 開く" /D: /Open'.encode("cp932"),
         expect=[OPEN_D]),
]

# Run against tests/exe_link's constructor probe: the program with one static
# constructor added, which waits 1234 ms before anything else happens.
STATIC_CONSTRUCTORS = [
    Case("a static constructor runs before the run", ["/Close"], expect=[sleep(1234), CLOSE]),
]

# Run against the exe as tools/release signs it, with a throwaway certificate:
# the signature appended to the file changes nothing the program does.
SIGNED = [
    Case("the signed exe sends its door command", ["/D:", "/Close"], expect=[CLOSE_D]),
]

GROUPS = {"defaults": DEFAULTS, "options": OPTIONS, "drive": DRIVE, "delays": DELAYS, "waits": WAITS,
          "command-line-texts": COMMAND_LINE_TEXTS, "code-page-932": CODE_PAGE_932,
          "static-constructors": STATIC_CONSTRUCTORS, "signed": SIGNED}


# --- Checking one run -------------------------------------------------------

def check_run(case, run):
    stopping = case.stop_after_sleep is not None
    problems = report.compare("end", run.end, "stopped on request" if stopping else "exit 0")
    if run.trace.loaded_at is None:
        return problems + ["the trace never shows dorvanel.exe loaded"]
    if run.launcher_pid is not None:
        pids = {c.pid for c in run.trace.process_calls} or {run.launcher_pid}
        problems += report.compare("traced process", pids, {run.launcher_pid})
    own = [c for c in run.calls if c.function != "ExitProcess"]
    if case.check is None or case.expect:
        problems += report.compare("calls", [key(c) for c in own], list(case.expect))
    for call in own:
        if call.function == "mciSendStringA":
            problems += report.compare("mciSendStringA return buffer, length, window", call.arguments[1:], [0, 0, 0])
        if call.function == "MessageBoxA":
            for name, seen, expected in zip(["owner", "text", "caption", "style"], call.arguments, NOTICE_ARGUMENTS):
                problems += report.compare(f"MessageBoxA {name}", seen, expected)
            problems += report.compare("MessageBoxA argument count", len(call.arguments), len(NOTICE_ARGUMENTS))
    for call in run.trace.process_calls:
        if call.function == "ExitProcess":
            problems += report.compare("ExitProcess status", call.arguments, [0])
    if case.check:
        problems += case.check(run)
    return problems


def evidence(run):
    interesting = [line for line in run.lines if ":Call " in line and "PE DLL" not in line or "dorvanel" in line]
    return [f"end: {run.end}"] + interesting[-30:]


def first_sleep_seen(calls):
    return any(c.function == "Sleep" for c in calls)


def run_cases(wine, cases, title):
    # These runs have no display: there Wine's MessageBoxA returns at once, so
    # a notice shows in the trace without anyone dismissing it. The real box
    # is checked by usage_notice below.
    results = report.Report(title)
    for case in cases:
        if case.stop_after_sleep is not None:
            run = wine.run(text=case.text, limit=30, stop_when=first_sleep_seen, grace=case.stop_after_sleep)
        else:
            run = wine.run(case.arguments, case.text, limit=30)
        results.case(case.name, check_run(case, run), evidence(run))
    return results.finish()


# --- DLLs planted beside the exe ---------------------------------------------

# dorvanel.exe is mostly run where it was downloaded, and anyone may drop
# files there. Windows looks beside the exe first for a DLL that is not a
# KnownDLL, as Wine does with native-first load order for these names.
# Wine's CD driver loads dsound.dll by bare name: only SetDefaultDllDirectories
# keeps that one in System32.
PREFER_NATIVE = "winmm,mcicda,dsound=n,b"
SYSTEM32 = "c:\\windows\\system32\\"  # of the 32-bit prefix
WINMM_STAND_INS = ["winmm.dll", "mcicda.dll", "mcicda.drv"]
PLANTED_DLLS = [  # (stand-ins from PLANTED_DIR, run as a system without SetDefaultDllDirectories, the run)
    ([*WINMM_STAND_INS, "dsound.dll"], False,
     Case("winmm, its CD driver and dsound planted: both commands reach the system's winmm", ["/D:", "/OpenClose=1"],
          expect=[OPEN_D, sleep(1000), CLOSE_D])),
    (["mcicda.dll", "mcicda.drv"], False,
     Case("the CD driver alone planted: the command reaches the system's winmm", ["/Close"], expect=[CLOSE])),
    # Windows XP, or 7 without update KB2533623: winmm then loads its CD
    # driver by bare name, beside the exe first, unless it is loaded already.
    (WINMM_STAND_INS, True,
     Case("winmm and its CD driver planted, without SetDefaultDllDirectories: both commands reach the system's winmm",
          ["/D:", "/OpenClose=1"], expect=[OPEN_D, sleep(1000), CLOSE_D])),
]


def without_default_directories(image):
    """The exe as a system without SetDefaultDllDirectories runs it: the
    name it looks that function up by is one no system has."""
    name = b"SetDefaultDllDirectories\0"
    if image.count(name) != 1:
        raise RuntimeError(f"the exe holds the name {name!r} {image.count(name)} times, not once")
    return image.replace(name, b"SetDefaultDllDirectorieX\0")


def loaded_outside_system32(run, exe):
    """What the trace shows loaded from anywhere but System32, the exe aside."""
    paths = {loaded.group(2).replace("\\\\", "\\").lower()
             for loaded in map(wine_harness.LOADED_LINE.match, run.lines) if loaded}
    return sorted(path for path in paths
                  if not path.startswith(SYSTEM32) and path != wine_harness.windows_path(exe).lower())


def planted_dlls(root, exe, launcher, planted_dir):
    """Each row's stand-ins beside a copy of the exe: none may load, by its
    marker, and the trace shows nothing loaded from outside System32; the
    calls are those of any other run."""
    results = report.Report("DLLs planted beside dorvanel.exe")
    folder = wine_harness.run_folder(root)
    copy = shutil.copy(exe, folder)
    with open(exe, "rb") as f:
        image = f.read()
    with wine_harness.Wine(root, copy, launcher) as wine:
        wine.env["WINEDLLOVERRIDES"] += ";" + PREFER_NATIVE
        for names, old_system, case in PLANTED_DLLS:
            for name in os.listdir(folder):
                os.remove(os.path.join(folder, name))
            with open(copy, "wb") as f:
                f.write(without_default_directories(image) if old_system else image)
            for name in names:
                shutil.copy(os.path.join(planted_dir, name), folder)
            run = wine.run(case.arguments, limit=30)
            marked = sorted(wine_harness.windows_path(os.path.join(folder, name.removesuffix(".loaded"))).lower()
                            for name in os.listdir(folder) if name.endswith(".loaded"))
            traced = loaded_outside_system32(run, copy)
            problems = (check_run(case, run)
                        + report.compare("stand-ins that left their marker", marked, [])
                        + report.compare("DLLs the trace shows loaded from outside System32", traced, [])
                        + report.compare("stand-ins loaded by their markers, against the trace", marked, traced))
            results.case(case.name, problems, evidence(run))
    return results.finish()


# --- The usage notice on a screen -------------------------------------------

def xdotool(display, *arguments):
    result = subprocess.run(["xdotool", *arguments], env=dict(os.environ, DISPLAY=display),
                            capture_output=True, text=True, timeout=30)
    return result.stdout.strip()


def find_window(display, name, running, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and running.alive():
        found = xdotool(display, "search", "--onlyvisible", "--name", f"^{name}$").split()
        if found:
            return found[0]
        time.sleep(0.2)
    return None


def usage_notice(wine, display, screenshot):
    """/? under Xvfb: the box appears, holds the program until Return
    dismisses it, and the program then exits 0."""
    results = report.Report("usage notice on a screen")
    os.makedirs(os.path.dirname(screenshot), exist_ok=True)
    if os.path.exists(screenshot):
        os.remove(screenshot)
    running = wine.start(["/?"], limit=60)
    window = find_window(display, "Dorvanel", running, 60)
    problems = []
    if window is None:
        problems.append("no window named Dorvanel appeared")
        if running.alive():
            running.process.kill()
    else:
        problems += report.compare("window name", xdotool(display, "getwindowname", window), "Dorvanel")
        subprocess.run(["import", "-window", window, screenshot], env=dict(os.environ, DISPLAY=display),
                       check=False, timeout=60)
        if not running.alive():
            problems.append("the program ended while its notice was still shown")
        notices = [c for c in running.trace().own_calls if c.function == "MessageBoxA"]
        problems += report.compare("MessageBoxA calls while the box is shown", len(notices), 1)
        xdotool(display, "windowfocus", "--sync", window)
        xdotool(display, "key", "Return")
    run = running.finish()
    problems += check_run(Case("/?", expect=[NOTICE]), run)
    if window is not None:
        problems += report.compare("windows left after Return",
                                   xdotool(display, "search", "--onlyvisible", "--name", "^Dorvanel$"), "")
    results.case("the notice box shows, Return dismisses it, the program exits 0", problems, evidence(run))

    problems = []
    if not os.path.exists(screenshot):
        problems.append("no screenshot was taken")
    else:
        # Width, height and colour count: a box drawn with text and an icon.
        size = subprocess.run(["identify", "-format", "%w %h %k", screenshot],
                              capture_output=True, text=True, timeout=60).stdout.split()
        if len(size) != 3 or int(size[0]) < 100 or int(size[1]) < 50 or int(size[2]) < 4:
            problems.append(f"the screenshot looks empty: width, height, colours = {size}")
    results.case(f"screenshot kept as {screenshot}", problems)
    return results.finish()


# --- Code page 932 ----------------------------------------------------------

def japanese_locale(root):
    """ja_JP.UTF-8 compiled into the run's own folder: nothing on the system
    changes, and Wine takes code page 932 from it."""
    return locales.utf8("ja", os.path.join(root, "locale"))


def main(argv):
    parser = argparse.ArgumentParser(usage=__doc__.split("\n\n")[1])
    parser.add_argument("group", choices=["setup", "cleanup", "usage-notice", "planted-dlls", *GROUPS])
    parser.add_argument("prefix")
    parser.add_argument("exe", nargs="?")
    parser.add_argument("launcher", nargs="?")
    parser.add_argument("--screenshot")
    parser.add_argument("--planted")
    args = parser.parse_args(argv[1:])
    root = args.prefix
    if args.group == "setup":
        started = time.monotonic()
        wine_harness.create_prefix(root)
        print(f"Wine prefix in {root}, made in {time.monotonic() - started:.1f} s")
        return 0
    if args.group == "cleanup":
        wine_harness.remove_prefix(root)
        return 0
    if args.group == "planted-dlls":
        return planted_dlls(root, args.exe, args.launcher, args.planted)
    if args.group == "usage-notice":
        with wine_harness.virtual_screen() as display, \
                wine_harness.Wine(root, args.exe, args.launcher, display=display) as wine:
            return usage_notice(wine, display, args.screenshot)
    locale = japanese_locale(root) if args.group == "code-page-932" else None
    with wine_harness.Wine(root, args.exe, args.launcher, locale) as wine:
        return run_cases(wine, GROUPS[args.group], args.group)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
