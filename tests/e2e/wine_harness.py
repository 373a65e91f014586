"""Runs dorvanel.exe under Wine and reads back, from Wine's relay trace, the
calls the program itself makes into the system.

Wine's relay trace logs every call into the functions named in the prefix's
RelayInclude value, with its arguments and return address. +loaddll tells
which Wine process loaded dorvanel.exe and where; a call counts as the
program's own when it comes from that process and returns into that image.
"""

import contextlib
import dataclasses
import os
import re
import select
import shutil
import subprocess
import tempfile
import threading
import time

import wine_prefix

RELAY_INCLUDE = "winmm.mciSendStringA;kernel32.Sleep;user32.MessageBoxA;kernel32.ExitProcess"
WINEDEBUG = "+pid,+loaddll,+relay,fixme-all"

# With +pid every trace line starts with the Windows process and thread ids.
CALL_LINE = re.compile(r"^([0-9a-f]+):[0-9a-f]+:Call (\w+)\.(\w+)\((.*)\) ret=([0-9a-f]+)$")
LOADED_LINE = re.compile(r'^([0-9a-f]+):[0-9a-f]+:trace:loaddll:\w+ Loaded L"(.*)" at ([0-9A-Fa-f]+): ')


def windows_path(path):
    """Wine's Z: drive is the Unix root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# --- Reading the trace ------------------------------------------------------

# One argument as the relay trace prints it: its value in hex and, for a text,
# the text in quotes, with "..." after it where the trace cut it short.
ARGUMENT = re.compile(r'([0-9a-fA-F]+)(?: "((?:[^"\\]|\\.)*)"(\.\.\.)?)?(?:,|$)')


def parse_arguments(text):
    """'0060fdec "set cdaudio door open",00000000' -> [b"set cdaudio door open", 0]:
    a text argument becomes its bytes, any other its value. Wine escapes
    \\n \\r \\t \\" \\\\ and writes any other byte outside 32..126 as \\xNN,
    as Python's own escapes read."""
    arguments, at = [], 0
    while at < len(text):
        argument = ARGUMENT.match(text, at)
        if not argument:
            raise ValueError(f"unreadable argument list {text!r}")
        number, quoted, cut = argument.groups()
        if cut:
            raise ValueError("text argument cut short by the trace")
        arguments.append(int(number, 16) if quoted is None
                         else quoted.encode("latin-1").decode("unicode_escape").encode("latin-1"))
        at = argument.end()
    return arguments


@dataclasses.dataclass
class Call:
    function: str      # mciSendStringA, Sleep, MessageBoxA, ExitProcess
    arguments: list
    ret: int
    pid: int
    at: float          # host clock (time.monotonic) when the line arrived


@dataclasses.dataclass
class Trace:
    loaded_at: int | None    # where dorvanel.exe was loaded; None: never
    process_calls: list      # every traced call of the dorvanel.exe process
    own_calls: list          # those that return into dorvanel.exe itself


def read_trace(timed_lines, exe_name, image_size):
    pids, base = set(), None
    calls = []
    for at, line in timed_lines:
        loaded = LOADED_LINE.match(line)
        if loaded:
            path = loaded.group(2).replace("\\\\", "\\")
            if path.rsplit("\\", 1)[-1].lower() == exe_name.lower():
                pids.add(int(loaded.group(1), 16))
                base = int(loaded.group(3), 16)
            continue
        call = CALL_LINE.match(line)
        if call:
            pid, _module, function, arguments, ret = call.groups()
            calls.append(Call(function, parse_arguments(arguments), int(ret, 16), int(pid, 16), at))
    process_calls = [c for c in calls if c.pid in pids]
    own = [c for c in process_calls if base is not None and base <= c.ret < base + image_size]
    return Trace(base, process_calls, own)


# --- Running ----------------------------------------------------------------

@dataclasses.dataclass
class Run:
    end: str           # "exit N", "stopped on request", "stopped at time limit", "killed", "error ..."
    trace: Trace
    lines: list        # the raw trace, for failure reports
    launcher_pid: int | None = None

    @property
    def calls(self):
        return self.trace.own_calls


class Running:
    """A started run: the trace is read as it arrives, so a test can react
    to a call (stop the program, press a key) while it runs."""

    def __init__(self, wine, command, env, stop_file, limit):
        self.wine = wine
        self.stop_file = stop_file
        self.limit = limit
        self.started = time.monotonic()
        self.process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.trace_lines = []
        self.output_lines = []
        self.readers = [threading.Thread(target=self._read, args=(self.process.stderr, self.trace_lines)),
                        threading.Thread(target=self._read, args=(self.process.stdout, self.output_lines))]
        for reader in self.readers:
            reader.start()

    def _read(self, stream, into):
        """Stamps each line as it arrives. A Wine process started along the
        way may hold the pipe open after the run, so the end is the run's
        end and a quiet pipe, not the end of the stream."""
        fd = stream.fileno()
        pending = b""
        while True:
            readable, _, _ = select.select([fd], [], [], 0.2)
            if not readable:
                if self.process.poll() is not None:
                    break
                continue
            chunk = os.read(fd, 65536)
            now = time.monotonic()
            if not chunk:
                break
            pending += chunk
            *lines, pending = pending.split(b"\n")
            into.extend((now, line.decode("latin-1").rstrip("\r")) for line in lines)
        if pending:
            into.append((time.monotonic(), pending.decode("latin-1")))

    def trace(self):
        return read_trace(list(self.trace_lines), self.wine.exe_name, self.wine.image_size)

    def alive(self):
        return self.process.poll() is None

    def request_stop(self):
        """Asks the launcher to terminate the program (launcher runs only)."""
        with open(self.stop_file, "wb"):
            pass

    def finish(self, stop_when=None, grace=0.0):
        """Waits for the end. With stop_when, the program is stopped `grace`
        seconds after stop_when(own calls so far) first holds."""
        stop_at = None
        killed = False
        deadline = self.started + self.limit + 30
        while self.alive():
            now = time.monotonic()
            if stop_when and stop_at is None and stop_when(self.trace().own_calls):
                stop_at = now + grace
            if stop_at is not None and now >= stop_at and self.stop_file:
                self.request_stop()
                stop_at = float("inf")
            if now > deadline:
                self.process.kill()
                killed = True
                break
            time.sleep(0.05)
        self.process.wait()
        for reader in self.readers:
            reader.join()
        outputs = [line for _, line in self.output_lines]
        launcher_pid = None
        if killed:
            end = "killed"
        elif self.stop_file is None:
            end = f"exit {self.process.returncode}"
        else:
            end = "error: no report from the launcher"
            for line in outputs:
                if line.startswith("pid "):
                    launcher_pid = int(line.split()[1])
                elif line.startswith(("exit ", "stopped", "error")):
                    end = line
        lines = [line for _, line in self.trace_lines]
        return Run(end, self.trace(), lines, launcher_pid)


class Wine:
    """dorvanel.exe in one prefix, with one wineserver for a group of runs."""

    def __init__(self, prefix_root, exe, launcher, locale=None, display=None):
        import pefile  # Debian's python3-pefile, for /usr/bin/python3

        self.root = prefix_root
        self.exe = os.path.abspath(exe)
        self.exe_name = os.path.basename(exe)
        self.launcher = launcher
        self.image_size = pefile.PE(exe, fast_load=True).OPTIONAL_HEADER.SizeOfImage
        self.env = wine_prefix.environment(prefix_root)
        if locale:
            self.env.update(locale)
        self.display = display
        if display:
            self.env["DISPLAY"] = display

    def __enter__(self):
        # A persistent server keeps each run to a fraction of a second. Wine's
        # own background processes (services, the desktop) are started here,
        # untraced and away from the pipes the runs are read through; the
        # desktop takes the display, if any, that every later window uses.
        subprocess.run(["wineserver", "-p"], env=self.env, timeout=60)
        subprocess.run(["wine", "wineboot"], env=self.env, timeout=300,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return self

    def __exit__(self, *_):
        wine_prefix.stop_server(self.env)

    def start(self, arguments=None, text=None, limit=30.0):
        """Starts dorvanel.exe with an argument list (Wine builds the command
        line from it) or, through the launcher, with an exact command-line
        text (bytes in the ANSI code page)."""
        env = dict(self.env, WINEDEBUG=WINEDEBUG)
        if text is None:
            return Running(self, ["wine", self.exe, *arguments], env, None, limit)
        run_dir = run_folder(self.root)
        command_file = os.path.join(run_dir, "command-line")
        with open(command_file, "wb") as f:
            f.write(text)
        stop_file = os.path.join(run_dir, "stop")
        command = ["wine", self.launcher, str(int(limit * 1000)), windows_path(self.exe),
                   windows_path(command_file), windows_path(stop_file)]
        return Running(self, command, env, stop_file, limit)

    def run(self, arguments=None, text=None, limit=30.0, stop_when=None, grace=0.0):
        return self.start(arguments, text, limit).finish(stop_when, grace)


# --- The prefix -------------------------------------------------------------

def run_folder(root):
    """A new folder for one run's files, beside the prefix."""
    os.makedirs(os.path.join(root, "runs"), exist_ok=True)
    return tempfile.mkdtemp(dir=os.path.join(root, "runs"))


def create_prefix(root):
    """Makes the prefix in the folder root, anew."""
    remove_prefix(root)  # one left behind by an interrupted run
    env = wine_prefix.create(root, [(r"HKCU\Software\Wine\Debug", "RelayInclude", RELAY_INCLUDE)])
    with open(os.path.join(env["WINEPREFIX"], "user.reg"), encoding="utf-8", errors="replace") as f:
        if RELAY_INCLUDE not in f.read():
            raise RuntimeError("the prefix does not hold the RelayInclude value")


def remove_prefix(root):
    if os.path.isdir(root):
        wine_prefix.stop_server(wine_prefix.environment(root))
        shutil.rmtree(root, ignore_errors=True)


# --- A screen ---------------------------------------------------------------

@contextlib.contextmanager
def virtual_screen():
    """An Xvfb server on a free display number; yields the DISPLAY value."""
    read_end, write_end = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                              pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    try:
        with os.fdopen(read_end) as f:
            number = f.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        yield f":{number}"
    finally:
        server.terminate()
        server.wait(timeout=30)
