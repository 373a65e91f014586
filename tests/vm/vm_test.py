#!/usr/bin/python3
"""Boots the stock Debian kernel in QEMU with emulated CD drives, types each
step of one boot's scenario into the guest, and checks what the trays did as
QEMU reports it through QMP: the DEVICE_TRAY_MOVED events with their times,
and query-block's tray_open and locked. The guest only says what ran and
what its mount table shows.

    vm_test.py BOOT --program DORVANEL --preload VM_PRELOAD_SO --exe DORVANEL_EXE --work DIR [--kernel newest]

BOOT is a name in scenarios.BOOTS. The kernel, the release's own or the newest
it ships, comes from the cache that `tools/setup test` fills.
"""

import argparse
import ctypes
import glob
import json
import lzma
import os
import platform
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import report
import scenarios
import wine_prefix as wine_prefix_module  # the tests' Wine prefix, reaching no host drive

HERE = os.path.dirname(os.path.abspath(__file__))

QEMU = "qemu-system-x86_64"
COMMAND_LIMIT = 120  # seconds for one step in the guest (Wine's first start is the longest)


# --- The kernel and the initramfs ---------------------------------------------

def kernel_dir(which):
    """The unpacked kernel ("release" or "newest"), or None."""
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    path = os.path.join(cache, "dorvanel", "kernel", which)
    return os.path.realpath(path) if os.path.isdir(path) else None


def vmlinux(kernel):
    """The ELF kernel inside vmlinuz (an xz stream in 6.1, zstd in 6.12),
    extracted once: QEMU starts it directly, and the guest skips decompressing
    itself, which takes seconds under emulation."""
    target = os.path.join(kernel, "vmlinux")
    if not os.path.exists(target):
        [vmlinuz] = glob.glob(f"{kernel}/boot/vmlinuz-*") + glob.glob(f"{kernel}/usr/lib/modules/*/vmlinuz")
        with open(vmlinuz, "rb") as f:
            image = f.read()
        start = image.find(b"\xfd7zXZ\x00")
        if start >= 0:
            elf = lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(image[start:])
        else:
            # zstd writes out the whole frame, then fails on the bytes after it.
            elf = subprocess.run(["zstd", "-dcq"], input=image[image.index(b"\x28\xb5\x2f\xfd"):],
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
        assert elf.startswith(b"\x7fELF"), "vmlinuz holds no ELF kernel"
        # A file of its own: boots started together may each extract it.
        with tempfile.NamedTemporaryFile(dir=kernel, prefix="vmlinux.", delete=False) as f:
            f.write(elf)
        os.replace(f.name, target)
    return target


def module(path):
    """A module's ELF file; newer kernels ship them xz-compressed."""
    with open(path, "rb") as f:
        data = f.read()
    return lzma.decompress(data) if path.endswith(".ko.xz") else data


def modules_in_order(kernel, wanted):
    """The wanted modules after the ones each depends on (from .modinfo),
    each as its name and its ELF file; those built into the kernel are left out."""
    # Under lib/ up to Debian 12, usr/lib/ since.
    [modules] = glob.glob(f"{kernel}/lib/modules/*") + glob.glob(f"{kernel}/usr/lib/modules/*")
    with open(os.path.join(modules, "modules.builtin")) as f:
        built_in = {os.path.basename(line.strip())[:-3].replace("-", "_") for line in f}
    files = {}
    for folder, _, names in os.walk(os.path.join(modules, "kernel")):
        for name in names:
            if name.endswith((".ko", ".ko.xz")):
                files[name.split(".ko")[0].replace("-", "_")] = os.path.join(folder, name)
    order = {}

    def add(name):
        if name in order or name in built_in:
            return
        elf = module(files[name])
        depends = re.search(rb"\0depends=([^\0]*)\0", elf).group(1).decode()
        for dependency in filter(None, depends.split(",")):
            add(dependency.replace("-", "_"))
        order[name] = elf

    for name in wanted:
        add(name)
    return list(order.items())


def cpio(entries):
    """A newc archive: (path, mode, data or device numbers) each."""
    out = bytearray()
    for number, (path, mode, content) in enumerate([*entries, ("TRAILER!!!", 0, b"")], 1):
        rdev = content if isinstance(content, tuple) else (0, 0)
        data = b"" if isinstance(content, tuple) else content
        name = path.encode() + b"\0"
        fields = (number, mode, 0, 0, 1, 0, len(data), 0, 0, *rdev, len(name), 0)
        out += b"070701" + b"".join(b"%08X" % field for field in fields) + name
        out += b"\0" * (-len(out) % 4) + data + b"\0" * (-len(data) % 4)
    return bytes(out)


def initramfs(kernel, path):
    modules = modules_in_order(kernel, scenarios.MODULES)
    entries = [(d, 0o40755, b"") for d in ("bin", "dev", "proc", "sys", "modules")]
    entries.append(("dev/console", 0o20600, (5, 1)))
    with open("/bin/busybox", "rb") as f:
        entries.append(("bin/busybox", 0o100755, f.read()))
    with open(os.path.join(HERE, "guest_init.sh"), "rb") as f:
        entries.append(("init", 0o100755, f.read()))
    for name, elf in modules:
        entries.append((f"modules/{name}.ko", 0o100644, elf))
    order = "".join(f"{name} {scenarios.MODULE_PARAMETERS.get(name, '')}\n" for name, _ in modules)
    entries.append(("modules/order", 0o100644, order.encode()))
    with open(path, "wb") as f:
        f.write(cpio(entries))
    return path


def disc_image(work):
    """A small ISO 9660 disc with a file and an empty folder on it."""
    content = os.path.join(work, "disc")
    os.makedirs(os.path.join(content, "dir"), exist_ok=True)
    with open(os.path.join(content, "README.TXT"), "w") as f:
        f.write("A disc for dorvanel's vm tests.\n")
    image = os.path.join(work, "disc.iso")
    subprocess.run(["xorriso", "-as", "mkisofs", "-quiet", "-V", "DORVANEL", "-o", image, content], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return image


# --- QEMU -------------------------------------------------------------------

def connect(path, machine, limit=30):
    """QEMU's end of a socket, once QEMU has made it."""
    while True:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(path)
            return s
        except OSError:
            s.close()
            if machine.process.poll() is not None:
                with open(machine.log, errors="replace") as f:
                    raise RuntimeError(f"QEMU exited with status {machine.process.returncode}: {f.read()}")
            if time.monotonic() - machine.started > limit:
                raise
            time.sleep(0.05)


class Qmp:
    """QEMU's monitor: commands one at a time, and every event kept with the
    time QEMU stamped on it."""

    def __init__(self, sock):
        self.file = sock.makefile("rwb")
        self.events = []
        json.loads(self.file.readline())  # the greeting
        self.command("qmp_capabilities")

    def command(self, name, **arguments):
        self.file.write(json.dumps({"execute": name, "arguments": arguments}).encode() + b"\n")
        self.file.flush()
        while True:
            message = json.loads(self.file.readline())
            if "event" in message:
                stamp = message["timestamp"]
                self.events.append((message["event"], message.get("data", {}),
                                    stamp["seconds"] + stamp["microseconds"] / 1e6))
            elif "error" in message:
                raise RuntimeError(f"QMP {name}: {message['error']}")
            else:
                return message["return"]

    def trays(self):
        """Each drive's (tray_open, locked); reading the reply also takes in
        every event QEMU queued before it."""
        return {b["device"]: (b.get("tray_open"), b.get("locked")) for b in self.command("query-block")}


class Guest:
    """The guest's shell on the second serial port: one command line, then its
    output up to the line that gives its exit status."""

    def __init__(self, sock):
        self.sock = sock
        self.buffer = b""

    def read_until(self, pattern, limit):
        deadline = time.monotonic() + limit
        while not (found := re.search(pattern, self.buffer)):
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"no answer from the guest; it printed {self.buffer[-2000:]!r}")
            self.sock.settimeout(left)
            chunk = self.sock.recv(65536)
            if not chunk:
                raise RuntimeError("the guest's serial port closed")
            self.buffer += chunk
        text, self.buffer = self.buffer[:found.start()], self.buffer[found.end():]
        return text.decode("utf-8", "replace").replace("\r", ""), found

    def run(self, command, limit=COMMAND_LIMIT):
        self.sock.sendall(command.encode() + b"\n")
        output, found = self.read_until(rb"\n@@done (\d+)\n", limit)
        return output.strip("\n"), int(found.group(1))


class Machine:
    def __init__(self, boot, kernel, work, disc):
        self.console, self.log = os.path.join(work, "console.log"), os.path.join(work, "qemu.log")
        qmp_path, control_path = os.path.join(work, "qmp.sock"), os.path.join(work, "control.sock")
        command = [
            QEMU, "-machine", "pc,accel=tcg", "-smp", "1", "-m", str(boot.memory), "-nodefaults",
            "-no-user-config", "-display", "none", "-no-reboot",
            "-kernel", vmlinux(kernel), "-initrd", initramfs(kernel, os.path.join(work, "initramfs.cpio")),
            "-append", "console=ttyS0 quiet panic=-1",
            "-serial", f"file:{self.console}",
            "-chardev", f"socket,id=control,path={control_path},server=on,wait=off", "-serial", "chardev:control",
            "-qmp", f"unix:{qmp_path},server=on,wait=off",
            "-fsdev", "local,id=host,path=/,security_model=none,readonly=on,multidevs=remap",
            "-device", "virtio-9p-pci,fsdev=host,mount_tag=host,addr=0x7",
        ]
        for drive in boot.drives:
            medium = f",file={disc},format=raw,readonly=on" if drive.disc else ""
            command += ["-drive", f"if=none,id={drive.name},media=cdrom{medium}", *drive.qemu]
        self.started = time.monotonic()
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                            preexec_fn=end_with_parent)
        try:
            self.qmp = Qmp(connect(qmp_path, self))
            self.guest = Guest(connect(control_path, self))
            self.guest.read_until(rb"ready\n", 60)
            self.booted = time.monotonic() - self.started
        except Exception:
            self.stop()
            raise

    def console_tail(self, lines=30):
        try:
            with open(self.console, errors="replace") as f:
                return f.read().splitlines()[-lines:]
        except OSError:
            return []

    def stop(self):
        if self.process.poll() is None:
            try:
                self.qmp.command("quit")
            except Exception:
                pass
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def end_with_parent():
    """QEMU is killed when the test ends, even when CTest kills it first."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def qemu_can_run():
    """None when QEMU starts a TCG machine here, else why not."""
    if platform.machine() != "x86_64":
        # The guest runs this machine's own programs over virtio-9p.
        return f"the vm tests boot Debian's amd64 kernel, and this machine is {platform.machine()}"
    if shutil.which(QEMU) is None:
        return f"{QEMU} is not installed (tools/setup test installs it)"
    try:
        result = subprocess.run([QEMU, "-machine", "pc,accel=tcg", "-nodefaults", "-display", "none", "-S",
                                 "-qmp", "stdio"], input=b'{"execute":"qmp_capabilities"}\n{"execute":"quit"}\n',
                                capture_output=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as error:
        return f"{QEMU} could not start: {error}"
    if result.returncode != 0:
        return f"{QEMU} cannot start a machine here: {result.stderr.decode(errors='replace').strip()}"
    return None


# --- Checking one boot --------------------------------------------------------

def wine_prefix(root):
    """The tests' usual prefix, made here on the host, whose D: is then the
    guest's first CD drive: HKLM\\Software\\Wine\\Drives says d: is a
    CD-ROM, dosdevices/d: is where its disc would be mounted (an empty folder)
    and d:: its device. Wine never runs on the host after that. Returns the
    environment variables the guest needs to use it."""
    env = wine_prefix_module.create(root, [(r"HKLM\Software\Wine\Drives", "d:", "cdrom")])
    os.mkdir(os.path.join(env["WINEPREFIX"], "drive_d"))
    os.symlink("../drive_d", os.path.join(env["WINEPREFIX"], "dosdevices", "d:"))
    os.symlink("/dev/sr0", os.path.join(env["WINEPREFIX"], "dosdevices", "d::"))
    return {name: value for name, value in env.items() if os.environ.get(name) != value}


def guest_mounts(machine):
    output, _ = machine.guest.run("cat /proc/mounts")
    return sorted(line.split()[0] for line in output.splitlines() if line.startswith("/dev/sr"))


def check_step(machine, step, fill, trays):
    """Runs one step; returns what went wrong and what was seen."""
    command = step.command.format(**fill)
    seen = len(machine.qmp.events)
    started = time.monotonic()
    output, status = machine.guest.run(command)
    took = time.monotonic() - started
    now = machine.qmp.trays()
    moves = [(data["device"], "open" if data["tray-open"] else "closed", stamp)
             for name, data, stamp in machine.qmp.events[seen:] if name == "DEVICE_TRAY_MOVED"]
    problems = report.compare("exit status", status, 0)
    problems += report.compare("tray movements", [f"{d} {m}" for d, m, _ in moves], step.moves)
    if step.gap and len(moves) >= 2:
        gap = moves[1][2] - moves[0][2]
        if not step.gap[0] <= gap <= step.gap[1]:
            problems.append(f"{gap:.2f} s between the movements, not {step.gap[0]} to {step.gap[1]}")
    for move in step.moves:
        drive, state = move.split()
        trays[drive] = state == "open"
    problems += report.compare("trays open", sorted(d for d, (o, _) in now.items() if o),
                               sorted(d for d, o in trays.items() if o))
    if step.locked is not None:
        problems += report.compare("doors locked", sorted(d for d, (_, locked) in now.items() if locked),
                                   sorted(step.locked))
    if step.mounted is not None:
        problems += report.compare("mounted from CD devices", guest_mounts(machine), sorted(step.mounted))
    if step.took and not step.took[0] <= took <= step.took[1]:
        problems.append(f"the command took {took:.2f} s, not {step.took[0]} to {step.took[1]}")
    if step.check is not None:
        check, expected = step.check
        printed, _ = machine.guest.run(check.format(**fill))
        problems += report.compare(f"what {check!r} printed", printed, expected)
    gaps = "".join(f", {b[2] - a[2]:.2f} s apart" for a, b in zip(moves, moves[1:]))
    print(f"     {took:5.2f} s  $ {command}  ->  {', '.join(f'{d} {m}' for d, m, _ in moves) or 'no movement'}{gaps}")
    return problems, [f"$ {command}", *output.splitlines(), f"QMP now: {now}"]


def run_boot(boot, args, results, kernel):
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    started = time.monotonic()
    fill = {"program": args.program, "preload": args.preload, "exe": args.exe, "tests": HERE}
    if boot.wine:
        if not os.path.isfile(args.exe):
            raise SystemExit(f"no {args.exe}: build it first (cmake --preset win32 && cmake --build --preset win32)")
        wine_environment = wine_prefix(os.path.join(args.work, "wine"))
        print(f"Wine prefix made on the host in {time.monotonic() - started:.1f} s")
    disc = disc_image(args.work)
    fill["disc"] = disc
    fill = {key: shlex.quote(value) for key, value in fill.items()}

    machine = Machine(boot, kernel, args.work, disc)
    try:
        print(f"booted to the guest's shell in {machine.booted:.1f} s")
        count = len(boot.drives)
        output, _ = machine.guest.run(
            f"until [ $(ls -d /sys/block/sr* 2>/dev/null | wc -l) -ge {count} ]; do sleep 0.1; done; "
            "for d in /sys/block/sr*; do echo ${d##*/} $(readlink -f $d/device); done", 60)
        named = dict(line.split() for line in output.splitlines())
        problems = [f"sr{n} is {named.get(f'sr{n}')}, not the {drive.bus} drive {drive.name}"
                    for n, drive in enumerate(boot.drives) if drive.sysfs not in named.get(f"sr{n}", "")]
        # What the harness hands over from the host's /tmp, bound back over the guest's own.
        for top in sorted({os.path.realpath(p).split("/")[2] for p in [args.program, args.preload, args.exe, HERE, args.work]
                           if os.path.realpath(p).startswith("/tmp/")}):
            machine.guest.run(f"mkdir -p /tmp/{top} && mount --bind /run/host-tmp/{top} /tmp/{top}")
        if boot.wine:
            machine.guest.run("export " + " ".join(f"{k}={shlex.quote(v)}" for k, v in wine_environment.items()))
        setup_started = time.monotonic()
        for command in boot.setup:
            output, status = machine.guest.run(command.format(**fill))
            if status:
                problems.append(f"setup {command!r} exited {status}: {output}")
        if boot.setup:
            print(f"set up in {time.monotonic() - setup_started:.1f} s")
        print(f"drives ready in {time.monotonic() - machine.started:.1f} s: "
              + ", ".join(f"sr{n} {d.name} ({d.bus})" for n, d in enumerate(boot.drives)))
        results.case("the guest sees the drives in order, and is set up", problems, machine.console_tail())
        if problems:
            return
        trays = {drive.name: False for drive in boot.drives}
        for step in boot.steps:
            if step.kernels and args.kernel not in step.kernels:
                print(f"     not on this kernel: {step.what} (Linux {', '.join(step.kernels)} only)")
                continue
            try:
                problems, evidence = check_step(machine, step, fill, trays)
            except (OSError, RuntimeError) as error:  # the guest or QEMU stopped answering
                results.case(step.what, [str(error)], machine.console_tail())
                return
            results.case(step.what, problems, evidence)
    finally:
        machine.stop()
        print(f"boot done in {time.monotonic() - machine.started:.1f} s ({time.monotonic() - started:.1f} s in all)")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("boot", choices=sorted(scenarios.BOOTS))
    parser.add_argument("--program", required=True)
    parser.add_argument("--preload", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--kernel", default="release", choices=["release", "newest"], help="a link tools/setup makes")
    args = parser.parse_args(argv[1:])
    boot = scenarios.BOOTS[args.boot]

    kernel = kernel_dir(args.kernel)
    results = report.Report(f"trays in QEMU, {os.path.basename(kernel or args.kernel)}: {boot.title}")
    why_not = qemu_can_run()
    if why_not:
        results.skip("every step", why_not)
    elif kernel is None:
        # tools/setup test fetches each series the archive this machine uses has.
        results.skip("every step", f"no Linux {args.kernel} kernel: tools/setup test found none to fetch")
    else:
        run_boot(boot, args, results, kernel)
    return results.finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
