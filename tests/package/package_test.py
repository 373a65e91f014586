#!/usr/bin/python3
"""Checks what users get.

windows-zip:    the ZIP holds exactly dorvanel.exe (the built one), a readme
                Notepad shows well and the licence; sha256sum -c accepts the
                checksum file beside it.
linux-install:  `cmake --install` puts the program, its manual page, its bash
                completion and its copyright file under a prefix; the page
                renders without warnings and what it says about drives, output,
                waits and exit status is what the program does; bash-completion
                finds the completion there.
debian-package: lintian raises no tag on the .deb, pedantic ones included;
                hardening-check finds the program hardened; its fields and
                files are the expected ones, and the program unpacked from it
                runs.
"""
import argparse
import os
import re
import shlex
import stat
import subprocess
import sys
import tempfile
import zipfile

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)
    return ok


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


# --- Windows ---------------------------------------------------------------

def windows_zip(args):
    if not check(os.path.isfile(args.zip),
                 f"{args.zip} is missing (made by: cmake --build --preset win32 --target package)"):
        return
    with zipfile.ZipFile(args.zip) as archive:
        check(archive.testzip() is None, "the archive is damaged")
        names = [entry.filename for entry in archive.infolist()]
        check(sorted(names) == ["dorvanel.exe", "license.txt", "readme.txt"],
              f"the archive holds exactly dorvanel.exe, license.txt and readme.txt, not {names}")
        if "dorvanel.exe" in names:
            check(archive.read("dorvanel.exe") == read_bytes(args.exe),
                  f"dorvanel.exe in the archive is {args.exe}")
        if "readme.txt" in names:
            check_readme(archive.read("readme.txt"), args.version)
        if "license.txt" in names:
            check(archive.read("license.txt") == read_bytes(args.license).replace(b"\n", b"\r\n"),
                  "license.txt is LICENSE with CR LF line ends")
    directory, name = os.path.split(args.zip)
    verify = subprocess.run(["sha256sum", "--check", "--strict", name + ".sha256"], cwd=directory,
                            capture_output=True, text=True, timeout=60)
    check(verify.returncode == 0 and verify.stdout == f"{name}: OK\n",
          f"sha256sum -c accepts {name}.sha256: {verify.stdout}{verify.stderr}")


def check_readme(text, version):
    check(all(byte < 128 for byte in text), "the readme is plain ASCII (the same in every code page)")
    check(text.endswith(b"\r\n") and b"\r" not in text.replace(b"\r\n", b"")
          and b"\n" not in text.replace(b"\r\n", b""),
          "every readme line, the last too, ends in CR LF")
    lines = text.decode("ascii", "replace").splitlines()
    check(lines[0] == f"Dorvanel {version}", f"the readme starts with the version: {lines[0]!r}")
    long_lines = [line for line in lines if len(line) > 78]
    check(not long_lines, f"readme lines fit in 78 columns: {long_lines}")
    body = "\n".join(lines)
    for needed in ["/Open", "/Close", "/OpenClose=N", "/?", "/D:", "Exit status", "no installation",
                   "Shortcut key", "start /wait", "1.0.0.0", "license.txt"]:
        check(needed in body, f"the readme covers {needed}")


# --- Linux -----------------------------------------------------------------

def installed_files(prefix):
    found = []
    for directory, _, files in os.walk(prefix):
        found += [os.path.relpath(os.path.join(directory, name), prefix) for name in files]
    return sorted(found)


def render(page, locale):
    # man-db's seccomp sandbox is not allowed in every container; the page is our own.
    environment = dict(os.environ, MANWIDTH="80", LC_ALL=locale, MAN_DISABLE_SECCOMP="1")
    environment.pop("MANPAGER", None)
    environment.pop("PAGER", None)
    return subprocess.run(["man", "--warnings", "-l", page], env=environment,
                          capture_output=True, text=True, timeout=60)


def section(rendered, title):
    """The lines of one section of a rendered page, its heading left out."""
    lines = rendered.splitlines()
    start = lines.index(title) + 1
    end = next((i for i in range(start, len(lines)) if re.match(r"^[A-Z]", lines[i])), len(lines))
    return lines[start:end]


def trace(program, preload, arguments):
    """Runs the program with its device opens and waits recorded, not carried out."""
    with tempfile.TemporaryDirectory() as scratch:
        log = os.path.join(scratch, "trace")
        environment = dict(os.environ, LD_PRELOAD=preload, DORVANEL_TRACE=log)
        run = subprocess.run([program, *arguments], env=environment, capture_output=True, timeout=30)
        steps = read_bytes(log).decode().splitlines() if os.path.exists(log) else []
    return run, steps


INSTALLED = ["bin/dorvanel", "share/bash-completion/completions/dorvanel",
             "share/doc/dorvanel/changelog.Debian.gz", "share/doc/dorvanel/copyright",
             "share/man/man1/dorvanel.1.gz"]


def completion_in(prefix):
    """What bash-completion sets up for dorvanel with the prefix among XDG_DATA_DIRS."""
    environment = {"PATH": "/usr/bin:/bin", "HOME": prefix, "XDG_DATA_DIRS": os.path.join(prefix, "share"),
                   "BASH_COMPLETION_USER_DIR": os.path.join(prefix, "none")}
    script = "source /usr/share/bash-completion/bash_completion && __load_completion dorvanel; complete -p dorvanel"
    return subprocess.run(["bash", "--norc", "--noprofile", "-c", script], env=environment,
                          capture_output=True, text=True, timeout=60).stdout.strip()


def linux_install(args):
    with tempfile.TemporaryDirectory() as prefix:
        install = subprocess.run([args.cmake, "--install", args.build_dir, "--prefix", prefix],
                                 capture_output=True, text=True)
        if not check(install.returncode == 0, f"cmake --install succeeds: {install.stderr}"):
            return
        check(installed_files(prefix) == INSTALLED, f"installed exactly {INSTALLED}: {installed_files(prefix)}")
        program = os.path.join(prefix, "bin", "dorvanel")
        page = os.path.join(prefix, "share", "man", "man1", "dorvanel.1.gz")
        if not check(os.path.isfile(program) and os.path.isfile(page), "the program and its page are there"):
            return
        check(os.stat(program).st_mode & stat.S_IXOTH, "bin/dorvanel is executable by everyone")
        check(read_bytes(program) == read_bytes(args.program), "bin/dorvanel is the built program")
        loaded = completion_in(prefix)
        check(loaded == "complete -F _dorvanel dorvanel", f"bash-completion loads the completion: {loaded!r}")

        rendered = {}
        for locale in ["C", "C.UTF-8"]:
            result = render(page, locale)
            check(result.returncode == 0, f"man -l succeeds in {locale}: {result.returncode}")
            check(result.stderr == "", f"man -l warns nothing in {locale}:\n{result.stderr}")
            wide = [line for line in result.stdout.splitlines() if len(line) > 80]
            check(not wide, f"the page fits in 80 columns in {locale}: {wide}")
            rendered[locale] = result.stdout
        check_page_against_program(rendered["C"], program, args.preload, args.version)


def check_page_against_program(rendered, program, preload, version):
    footer = rendered.rstrip("\n").splitlines()[-1]
    check(footer.startswith(f"dorvanel {version} "), f"the page names version {version}: {footer!r}")
    for title in ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "DRIVES", "OUTPUT", "EXIT STATUS", "NOTES",
                  "EXAMPLES", "COPYRIGHT"]:
        if not check(title in rendered.splitlines(), f"the page has a {title} section"):
            return

    # The usage notice as the page shows it, and as the program writes it.
    output = section(rendered, "OUTPUT")
    notice_start = next(i for i, line in enumerate(output) if line.endswith(" is:")) + 2
    notice = []
    for line in output[notice_start:]:
        if line and not line.startswith(" " * 14):
            break
        notice.append(line[14:])
    usage = "\n".join(notice).strip("\n") + "\n"
    run, steps = trace(program, preload, ["/?"])
    check((run.returncode, run.stdout, steps) == (0, b"", []), f"/? only shows the notice: {run}, {steps}")
    check(run.stderr.decode() == usage, f"the notice on standard error is the page's:\n{run.stderr.decode()}")

    # Each row of the drive table, and letters the page says name no drive.
    rows = [re.match(r"^\s+(\(none\)|/[A-Z]:)\s+(/dev/\S+)$", line) for line in section(rendered, "DRIVES")]
    table = {row[1]: row[2] for row in rows if row}
    check({"(none)", "/D:", "/E:", "/Z:"} <= table.keys(), f"the drive table has its rows: {table}")
    cases = [([] if drive == "(none)" else [drive, "/Open"], [f"open {device}"]) for drive, device in table.items()]
    cases += [([drive, "/Open"], []) for drive in ["/A:", "/B:", "/C:", "/1:", "/_:", "/\u00e9:"]]
    for arguments, expected in cases:
        run, steps = trace(program, preload, arguments)
        check((run.returncode, run.stdout, run.stderr, steps) == (0, b"", b"", expected),
              f"dorvanel {shlex.join(arguments)} opens {expected}: exit {run.returncode}, "
              f"out {run.stdout!r}, err {run.stderr!r}, {steps}")

    # Each example: the devices its text names are opened, its wait is waited,
    # the notice appears when it says so, and the exit status is 0.
    # NOTES shows some commands in the same form.
    examples, current = [], None
    for line in section(rendered, "NOTES") + section(rendered, "EXAMPLES"):
        if re.match(r"^ {7}dorvanel\b", line):
            current = [line.strip(), ""]
            examples.append(current)
        elif current and line.startswith(" " * 14):
            current[1] += " " + line.strip()
        elif line.strip():
            current = None
    check(len(examples) >= 8, f"the page has examples: {examples}")
    for command, text in examples:
        run, steps = trace(program, preload, shlex.split(command)[1:])
        devices = re.findall(r"/dev/\w+", text)
        waits = [f"wait {int(seconds) * 1000} ms" for seconds in re.findall(r"wait (\d+) seconds", text)]
        opened = [step[len("open "):] for step in steps if step.startswith("open ")]
        check(run.returncode == 0 and run.stdout == b"", f"{command}: exit 0, nothing on standard output")
        check((run.stderr.decode() == usage) == ("usage notice" in text), f"{command}: notice only when it says so")
        check(not devices or sorted(set(opened)) == sorted(set(devices)), f"{command}: opens {devices}: {steps}")
        check([step for step in steps if step.startswith("wait")] == waits, f"{command}: waits {waits}: {steps}")


# --- Debian ----------------------------------------------------------------

def debian_package(args):
    if not check(os.path.isfile(args.deb),
                 f"{args.deb} is missing (made by: cmake --build --preset native --target package)"):
        return
    # Every tag down to the pedantic ones; overrides ship in the package.
    lint = subprocess.run(["lintian", "-I", "--pedantic", args.deb], capture_output=True, text=True, timeout=300)
    print(lint.stdout, end="")
    tags = [line for line in lint.stdout.splitlines() if re.match(r"^[A-Z]: ", line)]
    check(lint.returncode == 0 and not tags, f"lintian -I --pedantic raises no tag: {tags}")

    fields = {}
    for name in ["Package", "Version", "Section", "Depends", "Description"]:
        fields[name] = subprocess.run(["dpkg-deb", "--field", args.deb, name], capture_output=True,
                                      text=True, timeout=60).stdout.rstrip("\n")
    check(fields["Package"] == "dorvanel" and fields["Version"] == f"{args.version}-1"
          and fields["Section"] == "utils", f"package dorvanel {args.version}-1 in utils: {fields}")
    check(re.fullmatch(r"libc6 \(>= [\d.]+\)", fields["Depends"]), f"it depends on libc6 alone: {fields}")
    check(len(fields["Description"].splitlines()) > 2, f"a description beyond its first line: {fields}")

    listing = subprocess.run(["dpkg-deb", "--contents", args.deb], capture_output=True, text=True,
                             timeout=60).stdout.splitlines()
    files = sorted(line.split()[-1] for line in listing if not line.startswith("d"))
    expected = sorted(f"./usr/{path}" for path in INSTALLED + ["share/lintian/overrides/dorvanel"])
    check(files == expected, f"the package holds {expected}: {files}")

    with tempfile.TemporaryDirectory() as root:
        subprocess.run(["dpkg-deb", "--extract", args.deb, root], check=True, timeout=60)
        program = os.path.join(root, "usr", "bin", "dorvanel")
        check(read_bytes(program) == read_bytes(args.program), "usr/bin/dorvanel is the built program")
        hardening = subprocess.run(["hardening-check", program], capture_output=True, text=True, timeout=60).stdout
        print(hardening, end="")
        for feature in ["Position Independent Executable", "Stack protected", "Read-only relocations",
                        "Immediate binding"]:
            check(re.search(rf"^ {feature}: yes$", hardening, re.M), f"hardening-check: {feature}: yes")
        for arguments, expected_steps in [(["/E:", "/OpenClose=3"], ["open /dev/sr1", "wait 3000 ms", "open /dev/sr1"]),
                                          ([], ["open /dev/cdrom"])]:
            run, steps = trace(program, args.preload, arguments)
            check((run.returncode, run.stdout, run.stderr, steps) == (0, b"", b"", expected_steps),
                  f"the unpacked dorvanel {shlex.join(arguments)} does {expected_steps}: {run}, {steps}")

        # The Debian copyright file carries the licence word for word.
        copyright = read_bytes(os.path.join(root, "usr", "share", "doc", "dorvanel", "copyright")).decode()
        licence = read_bytes(args.license).decode()
        holders = re.search(r"^Copyright \(c\) (.*)$", licence, re.M)[1]
        body = licence[licence.index("\n\n", licence.index("Copyright")):].strip("\n")
        field = "\n".join(" " + (line or ".") for line in body.split("\n"))
        check(f"Copyright: {holders}\nLicense: Expat\n" in copyright
              and copyright.endswith(f"License: Expat\n{field}\n"),
              f"the copyright file holds the licence's holders and text:\n{copyright}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("check", choices=["windows-zip", "linux-install", "debian-package"])
    for option in ["--zip", "--exe", "--license", "--deb", "--cmake", "--build-dir", "--program",
                   "--preload", "--version"]:
        parser.add_argument(option)
    args = parser.parse_args()
    {"windows-zip": windows_zip, "linux-install": linux_install,
     "debian-package": debian_package}[args.check](args)
    print(f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
