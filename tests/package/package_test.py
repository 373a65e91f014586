#!/usr/bin/python3
"""Checks what users get.

windows-zip:    the ZIP holds exactly dorvanel.exe (the built one), a readme
                Notepad shows well and the licence; sha256sum -c accepts the
                checksum file beside it.
linux-install:  `cmake --install` puts the program (not stripped), its manual
                page, bash completion, licence, desktop entry, icons,
                catalogues and AppStream metadata under a prefix, and nothing
                else; the page renders without warnings and what it says about
                drives, output, waits and exit status is what the program does;
                bash-completion finds the completion there; desktop-file-validate
                and appstreamcli have nothing to say of the entry and the
                metadata, both translated; each catalogue gives a sentence.
debian-package: dpkg-buildpackage -us -uc in a clean copy of the source, in
                --out; lintian raises no tag on the .changes (source, package
                and debugging symbols), pedantic ones included; hardening-check
                finds the program hardened; the package's fields and files are
                the expected ones, its program runs, and the autopkgtest passes.
"""
import argparse
import importlib.machinery
import importlib.util
import os
import re
import shlex
import shutil
import stat
import subprocess
import sys
import tempfile
import zipfile

import locales
import preloaded
import report
from report import compare, unless


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


# Debian 13's lintian finds Standards-Version 4.6.2 out of date (an info tag), and Debian 12's warns of any
# later one (newer-standards-version): the package declares the policy both know, and an override would be
# unused, and so a tag, on the other release.
LINTIAN_SUPPRESSED = ["out-of-date-standards-version"]


# --- Windows ---------------------------------------------------------------

def windows_zip(args, results):
    if not os.path.isfile(args.zip):
        results.case("the ZIP", [f"{args.zip} is missing (made by: cmake --build --preset win32 --target package)"])
        return
    with zipfile.ZipFile(args.zip) as archive:
        names = sorted(entry.filename for entry in archive.infolist())
        read = {name: archive.read(name) for name in names}
        results.case("the archive is whole and holds the exe, the readme and the licence",
                     compare("damaged member", archive.testzip(), None)
                     + compare("members", names, ["dorvanel.exe", "license.txt", "readme.txt"])
                     + compare("dorvanel.exe is the built one", read.get("dorvanel.exe"), read_bytes(args.exe))
                     + compare("license.txt is LICENSE with CR LF line ends", read.get("license.txt"),
                               read_bytes(args.license).replace(b"\n", b"\r\n")))
    results.case("the readme is plain ASCII in CR LF lines of 78 columns, starts with the version and covers "
                 "the options", readme_problems(read.get("readme.txt", b""), args.version))
    directory, name = os.path.split(args.zip)
    verify = subprocess.run(["sha256sum", "--check", "--strict", name + ".sha256"], cwd=directory,
                            capture_output=True, text=True, timeout=60)
    results.case("sha256sum -c accepts the checksum file",
                 compare("sha256sum -c", (verify.returncode, verify.stdout, verify.stderr), (0, f"{name}: OK\n", "")))


def readme_problems(text, version):
    lines = text.decode("ascii", "replace").splitlines() or [""]
    body = "\n".join(lines)
    return (unless(all(byte < 128 for byte in text), "not plain ASCII (the same in every code page)")
            + unless(text.endswith(b"\r\n") and b"\r" not in text.replace(b"\r\n", b"")
                     and b"\n" not in text.replace(b"\r\n", b""), "a line, the last too, not ending in CR LF")
            + compare("first line", lines[0], f"Dorvanel {version}")
            + compare("lines wider than 78 columns", [line for line in lines if len(line) > 78], [])
            + compare("left out", [needed for needed in ["/Open", "/Close", "/OpenClose=N", "/?", "/D:", "Exit status",
                                                         "no installation", "Shortcut key", "start /wait", "1.0.0.0",
                                                         "license.txt"] if needed not in body], []))


# --- Linux -----------------------------------------------------------------

with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "po", "LINGUAS")) as f:
    LANGUAGES = [line.strip() for line in f if line.strip() and not line.startswith("#")]
METAINFO = "share/metainfo/org.dorvanel.dorvanel.metainfo.xml"
INSTALLED = sorted(["bin/dorvanel", "share/applications/dorvanel.desktop", "share/bash-completion/completions/dorvanel",
                    "share/doc/dorvanel/LICENSE", "share/man/man1/dorvanel.1", METAINFO]
                   + [f"share/icons/hicolor/{n}x{n}/apps/dorvanel.png" for n in [16, 24, 32, 48, 64, 128, 256]]
                   + [f"share/locale/{language}/LC_MESSAGES/dorvanel.mo" for language in LANGUAGES])


def appstream_1():
    """Whether appstreamcli is of AppStream 1.0 or newer (Debian 13), not 0.16 (Debian 12)."""
    return " 0." not in subprocess.run(["appstreamcli", "--version"], capture_output=True, text=True).stdout


def installed_files(prefix):
    return sorted(os.path.relpath(os.path.join(directory, name), prefix)
                  for directory, _, files in os.walk(prefix) for name in files)


def render(page, locale):
    # man-db's seccomp sandbox is not allowed in every container; the page is our own.
    environment = {name: value for name, value in os.environ.items() if name not in ("MANPAGER", "PAGER")}
    environment.update(MANWIDTH="80", LC_ALL=locale, MAN_DISABLE_SECCOMP="1")
    return subprocess.run(["man", "--warnings", "-l", page], env=environment,
                          capture_output=True, text=True, timeout=60)


def section(rendered, title):
    """The lines of one section of a rendered page, its heading left out."""
    lines = rendered.splitlines()
    start = lines.index(title) + 1 if title in lines else len(lines)
    end = next((i for i in range(start, len(lines)) if re.match(r"^[A-Z]", lines[i])), len(lines))
    return lines[start:end]


def completion_in(prefix):
    """What bash-completion sets up for dorvanel with the prefix among XDG_DATA_DIRS."""
    environment = {"PATH": "/usr/bin:/bin", "HOME": prefix, "XDG_DATA_DIRS": os.path.join(prefix, "share"),
                   "BASH_COMPLETION_USER_DIR": os.path.join(prefix, "none")}
    script = "source /usr/share/bash-completion/bash_completion && __load_completion dorvanel; complete -p dorvanel"
    return subprocess.run(["bash", "--norc", "--noprofile", "-c", script], env=environment,
                          capture_output=True, text=True, timeout=60).stdout.strip()


def linux_install(args, results):
    with tempfile.TemporaryDirectory() as prefix:
        install = subprocess.run([args.cmake, "--install", args.build_dir, "--prefix", prefix],
                                 capture_output=True, text=True)
        program = os.path.join(prefix, "bin", "dorvanel")
        page = os.path.join(prefix, "share", "man", "man1", "dorvanel.1")
        problems = (compare("cmake --install exit status", install.returncode, 0)
                    + compare("installed files", installed_files(prefix), INSTALLED))
        results.case("cmake --install puts exactly the program, page, completion, licence, entry, icons, catalogues "
                     "and metadata", problems,
                     install.stderr.splitlines())
        if problems:
            return
        entry_file = os.path.join(prefix, "share/applications/dorvanel.desktop")
        entry = subprocess.run(["desktop-file-validate", entry_file],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
        metainfo = subprocess.run(["appstreamcli", "validate", "--no-net", "--pedantic", os.path.join(prefix, METAINFO)],
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
        # Each Name (the entry's and its actions') and the summary in every language, and a sentence of the
        # program from each catalogue.
        with open(entry_file) as f:
            text = f.read()
        names = re.findall(r"^Name\[(\w+)\]=", text, re.M)
        all_names = LANGUAGES * len(re.findall(r"^Name=", text, re.M))
        with open(os.path.join(prefix, METAINFO)) as f:
            # Newer gettext names a language as BCP 47 does (pt-BR, zh-Hans-CN with its script).
            summaries = [re.sub(r"-[A-Z][a-z]{3}\b", "", lang).replace("-", "_")
                         for lang in re.findall(r'<summary xml:lang="([\w-]+)">', f.read())]
        made = os.path.join(args.build_dir, "locales")
        said = {language: subprocess.run(["gettext", "-d", "dorvanel", "not a CD drive"], capture_output=True, text=True,
                                         env=dict(os.environ, TEXTDOMAINDIR=os.path.join(prefix, "share", "locale"),
                                                  LANGUAGE="", **locales.utf8(language, made))).stdout
                for language in LANGUAGES}
        # The one known finding: the project has no public homepage yet, which AppStream 1.0 fails; 0.16
        # (Debian 12) knows no <developer> and says so. Any other finding fails.
        known = (3, [("W", "url-homepage-missing")]) if appstream_1() else (0, [("I", "unknown-tag developer")])
        results.case("the installed program is the built one, not stripped, executable by everyone, "
                     "its completion found, its desktop entry and metadata valid and translated, its catalogues read",
                     compare("bin/dorvanel is the built program", read_bytes(program), read_bytes(args.program))
                     + compare("sections", [name for name in [".symtab"] if name not in sections(program)],
                               [])
                     + unless(os.stat(program).st_mode & stat.S_IXOTH, "bin/dorvanel is not executable by others")
                     + compare("desktop-file-validate", (entry.returncode, entry.stdout), (0, ""))
                     + compare("appstreamcli validate", (metainfo.returncode,
                               re.findall(r"^([EWIP]): [^ ]+: (.*)$", metainfo.stdout, re.M)), known)
                     + compare("languages of the entry's names, of the summary", (sorted(names), sorted(summaries)),
                               (sorted(all_names), LANGUAGES))
                     + compare("catalogues that leave a sentence English", [language for language in LANGUAGES
                               if said[language] in ("", "not a CD drive")], [])
                     + compare("completion bash-completion loads", completion_in(prefix),
                               "complete -F _dorvanel dorvanel"))
        rendered = {}
        for locale in ["C", "C.UTF-8"]:
            result = render(page, locale)
            rendered[locale] = result.stdout
            results.case(f"the page renders in {locale} without warnings, in 80 columns",
                         compare("man -l exit status", result.returncode, 0)
                         + compare("man -l warnings", result.stderr, "")
                         + compare("wider lines", [line for line in result.stdout.splitlines() if len(line) > 80],
                                   []))
        with tempfile.TemporaryDirectory() as scratch:
            check_page_against_program(rendered["C"], program, args, scratch, results)


def check_page_against_program(rendered, program, args, scratch, results):
    footer = rendered.rstrip("\n").splitlines()[-1]
    titles = ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "DRIVES", "OUTPUT", "EXIT STATUS", "NOTES", "EXAMPLES",
              "COPYRIGHT"]
    results.case(f"the page names version {args.version} and has its sections",
                 unless(footer.startswith(f"dorvanel {args.version} "), f"footer {footer!r}")
                 + compare("sections left out", [title for title in titles if title not in rendered.splitlines()],
                           []))

    def run(arguments):
        return preloaded.run(program, args.preload, arguments, scratch)[:2]

    # The usage notice as the page shows it, and as the program writes it.
    output = section(rendered, "OUTPUT")
    notice_start = next((i for i, line in enumerate(output) if line.endswith(" is:")), len(output)) + 2
    notice = []
    for line in output[notice_start:]:
        if line and not line.startswith(" " * 14):
            break
        notice.append(line[14:])
    usage = "\n".join(notice).strip("\n") + "\n"
    result, steps = run(["/?"])
    results.case("/? writes the page's usage notice to standard error and does nothing else",
                 compare("exit status, standard output, steps", (result.returncode, result.stdout, steps),
                         (0, b"", []))
                 + compare("standard error", result.stderr.decode(), usage))

    # Each row of the drive table, and letters the page says name no drive.
    rows = [re.match(r"^\s+(\(none\)|/[A-Z]:)\s+(/dev/\S+)$", line) for line in section(rendered, "DRIVES")]
    table = {row[1]: row[2] for row in rows if row}
    problems = unless({"(none)", "/D:", "/E:", "/Z:"} <= table.keys(), f"the table lacks rows: {table}")
    cases = [([] if drive == "(none)" else [drive, "/Open"], [f"open {device}"]) for drive, device in table.items()]
    cases += [([drive, "/Open"], []) for drive in ["/A:", "/B:", "/C:", "/1:", "/_:", "/\u00e9:"]]
    for arguments, expected in cases:
        result, steps = run(arguments)
        # Each refused open is said, and a letter that names no drive, in one line.
        error = result.stderr if steps else re.sub(rb"^dorvanel: .: no CD drive has this letter [^\n]*\n\Z", b"", result.stderr)
        problems += compare(f"dorvanel {shlex.join(arguments)}: exit status, output, error, steps",
                            (result.returncode, result.stdout, error, steps),
                            (0, b"", preloaded.refusals(steps), expected))
    results.case("each drive in the page's table is the device opened, other letters open none", problems)

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
    problems = unless(len(examples) >= 8, f"only {len(examples)} examples: {examples}")
    for command, text in examples:
        result, steps = run(shlex.split(command)[1:])
        devices = re.findall(r"/dev/\w+", text)
        opened = sorted({step[len("open "):] for step in steps if step.startswith("open ")})
        problems += compare(f"{command}: exit status, standard output", (result.returncode, result.stdout), (0, b""))
        problems += compare(f"{command}: usage notice shown", result.stderr.decode() == usage, "usage notice" in text)
        problems += compare(f"{command}: devices opened", opened, sorted(set(devices))) if devices else []
        problems += compare(f"{command}: waits", [step for step in steps if step.startswith("wait")],
                            [f"wait {int(s) * 1000} ms" for s in re.findall(r"wait (\d+) seconds", text)])
    results.case("each example on the page does what its text says", problems)


# --- Debian ---------------------------------------------------------------

HARDENING = ["Position Independent Executable", "Stack protected", "Fortify Source functions",
             "Read-only relocations", "Immediate binding"]


def sections(program):
    listing = subprocess.run(["readelf", "--wide", "--section-headers", program], capture_output=True, text=True,
                             timeout=60).stdout
    return re.findall(r"^\s*\[\s*\d+\]\s+(\S+)", listing, re.M)


def hardening_problems(program):
    """What hardening-check does not find in the program (its checked calls
    come only with an optimised build), and any library it needs besides the
    C library: it is linked as a C program is."""
    seen = subprocess.run(["hardening-check", "--verbose", program], capture_output=True, text=True,
                          timeout=60).stdout
    print(seen, end="")
    needed = re.findall(r"NEEDED +(\S+)", subprocess.run(["objdump", "-p", program], capture_output=True, text=True,
                                                           timeout=60).stdout)
    return ([f"hardening-check: {feature}: not yes" for feature in HARDENING
             if not re.search(rf"^ {feature}: yes\b", seen, re.M)]
            + compare("libraries needed", needed, ["libc.so.6"]))


def release_tool():
    """tools/release as a module, whose copy of the source the package is built from here as there."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "release")
    loader = importlib.machinery.SourceFileLoader("release", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("release", loader))
    loader.exec_module(module)
    return module


copy_source = release_tool().copy_source


def debian_build(source, out, version, umask=None, suffix="", env=(), options=()):
    """dpkg-buildpackage -us -uc `options` with `env`, in a copy of the source in out/dorvanel-VERSION made anew,
    both under `umask` if given, `suffix` added to its version; the files land in out. Returns the process."""
    shutil.rmtree(out, ignore_errors=True)
    tree = os.path.join(out, f"dorvanel-{version}")
    earlier = os.umask(umask) if umask is not None else None
    try:
        copy_source(source, tree)
        subprocess.run(["sed", "-i", f"1s/)/{suffix})/", "debian/changelog"], cwd=tree, check=True)
        return subprocess.run(["dpkg-buildpackage", "-us", "-uc", *options], cwd=tree, capture_output=True,
                              text=True, timeout=600, env=dict(os.environ, **dict(env)))
    finally:
        if earlier is not None:
            os.umask(earlier)


def fields(deb, names):
    return {name: subprocess.run(["dpkg-deb", "--field", deb, name], capture_output=True, text=True,
                                 timeout=60).stdout.rstrip("\n") for name in names}


def build_id(program):
    notes = subprocess.run(["readelf", "--notes", program], capture_output=True, text=True, timeout=60).stdout
    found = re.search(r"Build ID: ([0-9a-f]+)", notes)
    return found[1] if found else None


def debian_package(args, results):
    built = debian_build(args.source, args.out, args.version)
    architecture = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()
    names = {kind: os.path.join(args.out, name) for kind, name in [
        ("deb", f"dorvanel_{args.version}_{architecture}.deb"),
        ("dbgsym", f"dorvanel-dbgsym_{args.version}_{architecture}.deb"),
        ("changes", f"dorvanel_{args.version}_{architecture}.changes"),
        ("dsc", f"dorvanel_{args.version}.dsc"), ("tarball", f"dorvanel_{args.version}.tar.xz")]}
    # dh runs make verbosely: each compile and link line is in the output. The flags are dpkg-buildflags'
    # alone, none given twice (the build's own hardening is off).
    commands = [line.split() for line in built.stdout.splitlines() if re.match(r"^/usr/bin/c\+\+ ", line)]
    doubled = sorted({flag for command in commands for flag in command
                      if re.match(r"^-(f|D|Wl,-z|fstack)", flag) and command.count(flag) > 1})
    results.case("dpkg-buildpackage -us -uc builds the source package, the package and its debugging symbols, "
                 "with no flag given twice, and runs the unit tests alone",
                 compare("exit status, labels in ctest's summary", (built.returncode, re.findall(
                     r"^(\w+) += .*\(\d+ tests?\)$", built.stdout, re.M)), (0, ["unit"]))
                 + [f"no {os.path.basename(path)}" for path in names.values() if not os.path.isfile(path)]
                 + unless(commands, "no compiler command in its output") + compare("flags given twice", doubled, []),
                 (built.stdout + built.stderr).splitlines()[-30:])
    if built.returncode:
        return

    # Every tag down to the pedantic ones; overrides are in debian/, each with its reason.
    lint = subprocess.run(["lintian", "-I", "--pedantic", "--suppress-tags", ",".join(LINTIAN_SUPPRESSED),
                           names["changes"]], capture_output=True, text=True, timeout=300)
    print(lint.stdout, end="")
    results.case("lintian -I --pedantic raises no tag on the .changes",
                 compare("exit status", lint.returncode, 0)
                 + compare("tags", [line for line in lint.stdout.splitlines() if re.match(r"^[A-Z]: ", line)], []))

    found = fields(names["deb"], ["Package", "Version", "Section", "Depends", "Recommends", "Description"])
    listing = subprocess.run(["dpkg-deb", "--contents", names["deb"]], capture_output=True, text=True,
                             timeout=60).stdout.splitlines()
    # What cmake --install puts under the prefix, the licence in the copyright file; and the changelog.
    expected = [f"./usr/{path}" for path in INSTALLED if not path.endswith("/LICENSE")]
    expected = [path + ".gz" if path.endswith(".1") else path for path in expected]
    expected += ["./usr/share/doc/dorvanel/copyright", "./usr/share/doc/dorvanel/changelog.gz"]
    expected += ["./usr/share/lintian/overrides/dorvanel"] if appstream_1() else []
    results.case(f"package dorvanel {args.version} in utils, on the C library and mount, gdbus recommended, with its files",
                 compare("package, version, section", [found["Package"], found["Version"], found["Section"]],
                         ["dorvanel", args.version, "utils"])
                 + unless(re.fullmatch(r"libc6 \(>= [\d.]+\), mount", found["Depends"]),
                          f"Depends: {found['Depends']}")
                 + compare("Recommends", found["Recommends"], "libglib2.0-bin")
                 + unless(len(found["Description"].splitlines()) > 2, "no description beyond its first line")
                 + compare("files", sorted(line.split()[-1] for line in listing if not line.startswith("d")),
                           sorted(expected)))

    with tempfile.TemporaryDirectory() as root:
        for deb in [names["deb"], names["dbgsym"]]:
            subprocess.run(["dpkg-deb", "--extract", deb, root], check=True, timeout=60)
        program = os.path.join(root, "usr", "bin", "dorvanel")
        identity = build_id(program)
        debug = os.path.join(root, "usr", "lib", "debug", ".build-id", (identity or "")[:2],
                             (identity or "")[2:] + ".debug")
        results.case("usr/bin/dorvanel is hardened, stripped by dh_strip, its symbols in dorvanel-dbgsym",
                     hardening_problems(program)
                     + compare("symbol table in the package's program", ".symtab" in sections(program), False)
                     + unless(identity and os.path.isfile(debug), f"no {debug} in the dbgsym package")
                     + (compare("debugging sections beside the build ID", ".debug_info" in sections(debug), True)
                        if os.path.isfile(debug) else []))
        problems = []
        with tempfile.TemporaryDirectory() as scratch:
            for arguments, expected_steps in [(["/E:", "/OpenClose=3"],
                                               ["open /dev/sr1", "wait 3000 ms", "open /dev/sr1"]),
                                              ([], ["open /dev/cdrom"])]:
                result, steps, _ = preloaded.run(program, args.preload, arguments, scratch)
                problems += compare(f"dorvanel {shlex.join(arguments)}: exit status, output, error, steps",
                                    (result.returncode, result.stdout, result.stderr, steps),
                                    (0, b"", preloaded.refusals(expected_steps), expected_steps))
            results.case("the unpacked program runs", problems)
            autopkgtest(args, results, root, os.path.join(args.out, f"dorvanel-{args.version}"), scratch)

        # The Debian copyright file carries the licence word for word.
        copyright = read_bytes(os.path.join(root, "usr", "share", "doc", "dorvanel", "copyright")).decode()
        licence = read_bytes(args.license).decode()
        holders = re.search(r"^Copyright \(c\) (.*)$", licence, re.M)[1]
        body = licence[licence.index("\n\n", licence.index("Copyright")):].strip("\n")
        field = "\n".join(" " + (line or ".") for line in body.split("\n"))
        results.case("the copyright file holds the licence's holders and text",
                     unless(f"Copyright: {holders}\nLicense: Expat\n" in copyright
                            and copyright.endswith(f"License: Expat\n{field}\n"), "it does not"),
                     copyright.splitlines())

    # Builds with nocheck, as an option or a profile, build no test; a Debian revision's is binary-only, as a
    # native source package has none. Files but the changelog are the first build's; another version is refused.
    def contents(deb):
        return subprocess.run(f"dpkg-deb --fsys-tarfile {shlex.quote(deb)} | tar -xO --exclude='*/changelog*'",
                              shell=True, capture_output=True, timeout=60).stdout
    for suffix, env, options, builds in [("", "DEB_BUILD_OPTIONS", ["-b"], True),
                                         ("-1", "DEB_BUILD_OPTIONS", ["-b"], True),
                                         ("~bpo12+1", "DEB_BUILD_PROFILES", [], True),
                                         (".1", "DEB_BUILD_OPTIONS", ["-b"], False)]:
        version = args.version + suffix
        with tempfile.TemporaryDirectory() as scratch:
            built = debian_build(args.source, scratch, args.version, None, suffix, {env: "nocheck"}, options)
            same = contents(os.path.join(scratch, f"dorvanel_{version}_{architecture}.deb")) == contents(names["deb"])
        log = built.stdout + built.stderr
        results.case(shlex.join([f"{env}=nocheck", "dpkg-buildpackage", *options])
                     + (f" builds {version} and no test" if builds else f" refuses {version}"),
                     compare("built, tests built, files the first build's, refused", (built.returncode == 0,
                             "_unit_tests" in log, same, f"Version {version} is neither" in log),
                             (builds, False, builds, not builds)), log.splitlines()[-30:])


def autopkgtest(args, results, root, tree, scratch):
    """Each test debian/tests/control lists, run as autopkgtest runs it, from the source tree, with the
    unpacked package's program first on the PATH; the preload records any device it opens."""
    with open(os.path.join(tree, "debian", "tests", "control")) as f:
        tests = re.findall(r"^Tests: *(.+)$", f.read(), re.M)
    names = [name for line in tests for name in re.split(r"[\s,]+", line.strip())]
    results.case("debian/tests/control lists tests", unless(names, "none"))
    log = os.path.join(scratch, "autopkgtest.log")
    for name in names:
        env = dict(os.environ, PATH=os.path.join(root, "usr", "bin") + os.pathsep + os.environ["PATH"],
                   LD_PRELOAD=args.preload, DORVANEL_TRACE=log)
        result = subprocess.run([os.path.join(tree, "debian", "tests", name)], cwd=tree, env=env,
                                capture_output=True, text=True, timeout=120)
        opened = read_bytes(log).decode("latin-1").splitlines() if os.path.exists(log) else []
        results.case(f"autopkgtest {name} passes and opens no device",
                     compare("exit status", result.returncode, 0) + compare("devices opened", opened, [])
                     + compare("standard error", result.stderr, ""), (result.stdout + result.stderr).splitlines())


CHECKS = {"windows-zip": windows_zip, "linux-install": linux_install, "debian-package": debian_package}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("check", choices=CHECKS)
    for option in ["--zip", "--exe", "--license", "--source", "--out", "--cmake", "--build-dir", "--program",
                   "--preload", "--version"]:
        parser.add_argument(option)
    args = parser.parse_args()
    results = report.Report(args.check)
    CHECKS[args.check](args, results)
    return results.finish()


if __name__ == "__main__":
    sys.exit(main())
