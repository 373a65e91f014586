#!/usr/bin/python3
"""The Debian package built in a clean Debian 13 chroot, linted, installed and run there in German, on whatever
release this machine runs; CONTRIBUTING.md ("Debian 13") tells how and what it checks."""
import argparse
import hashlib
import os
import re
import shlex
import subprocess
import sys
import tempfile
import time
import urllib.request

import report
from package_test import LINTIAN_SUPPRESSED, copy_source
from report import compare, unless

MIRROR = os.environ.get("DORVANEL_DEBIAN_MIRROR", "http://deb.debian.org/debian").rstrip("/")
SOURCES = [f"deb {MIRROR} trixie main", f"deb {MIRROR} trixie-updates main",
           f"deb {MIRROR}-security trixie-security main"]
ADDED = ["lintian", "locales"]
BUILDER = "2000"  # the builder's user and group in the chroot, as they build and lint
BUILDER_SPEC = ["--userspec", f"{BUILDER}:{BUILDER}"]
ENV = ["env", "-i", "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "HOME=/build", "LC_ALL=C.UTF-8"]


def field(control, name):
    found = re.search(rf"^{name}:(.*(?:\n[ \t].*)*)", control, re.M)
    return " ".join(found[1].split()) if found else ""


def mmdebstrap(tarball, options, log):
    """mmdebstrap OPTIONS trixie TARBALL from the mirror; the tarball appears only when whole."""
    partial = tarball.replace(".tar.zst", f".{os.getpid()}.partial.tar.zst")
    with open(log, "a") as f:
        made = subprocess.run(["nice", "mmdebstrap", *options, "trixie", partial, *SOURCES], stdout=f,
                              stderr=subprocess.STDOUT, timeout=1200).returncode == 0
    if made:
        os.replace(partial, tarball)
    elif os.path.exists(partial):
        os.remove(partial)
    return made


def make_chroots(control, build, checks, log):
    """The build chroot (build-essential and the build dependencies, as `apt-get build-dep` installs them)
    and, made from it, the one with lintian, locales and the package's dependencies added."""
    depends = [item.split()[0] for item in field(control, "Depends").split(",") if not item.strip().startswith("$")]
    with tempfile.TemporaryDirectory() as scratch:
        os.makedirs(os.path.join(scratch, "dorvanel", "debian"))
        with open(os.path.join(scratch, "dorvanel", "debian", "control"), "w") as f:
            f.write(control)
        return (os.path.isfile(build) or mmdebstrap(build, [
            "--variant=buildd", f"--customize-hook=copy-in {scratch}/dorvanel /tmp",
            '--customize-hook=chroot "$1" apt-get build-dep --yes --no-install-recommends /tmp/dorvanel'], log)) \
            and mmdebstrap(checks, [
                "--variant=custom", f'--setup-hook=tar --zstd -C "$1" --exclude=./dev/* -xf {shlex.quote(build)}',
                f'--customize-hook=chroot "$1" apt-get install --yes --no-install-recommends {" ".join(ADDED + depends)}',
                '--customize-hook=chroot "$1" localedef -i de_DE -f UTF-8 de_DE.UTF-8'], log)


def unreachable():
    """Why the archive cannot be reached, or None."""
    try:
        urllib.request.urlopen(f"{MIRROR}/dists/trixie/InRelease", timeout=15).close()
        return None
    except OSError as error:
        return f"{MIRROR}: {error}"


def chroot(root, command, user=(), env=(), timeout=300):
    """A shell command in the chroot, in namespaces of its own: its own /proc, no network, and of /dev only the
    nodes the tarball holds (null, zero, tty and the like): this machine's drives are not there, and the
    program is never run where they are."""
    return subprocess.run(["unshare", "--mount", "--pid", "--fork", "--kill-child", "--net", "--uts", "--ipc",
                           f"--mount-proc={root}/proc", "chroot", *user, root, *ENV, *env, "sh", "-c", command],
                          capture_output=True, text=True, timeout=timeout)


def unpack(tarball, root):
    """The tarball over the root, and the builder in it."""
    subprocess.run(["tar", "--zstd", "-C", root, "-xf", tarball], check=True, timeout=300)
    with open(f"{root}/etc/passwd", "a") as passwd, open(f"{root}/etc/group", "a") as group:
        passwd.write(f"builder:x:{BUILDER}:{BUILDER}::/build:/bin/sh\n")
        group.write(f"builder:x:{BUILDER}:\n")


def check(args, results, root, build, checks):
    started = time.monotonic()
    unpack(build, root)
    tree = f"/build/dorvanel-{args.version}"
    copy_source(args.source, root + tree)
    subprocess.run(["chown", "-R", f"{BUILDER}:{BUILDER}", f"{root}/build"], check=True)
    built = chroot(root, f"cd {tree} && dpkg-buildpackage -us -uc", BUILDER_SPEC, timeout=900)
    with open(os.path.join(args.out, "build.log"), "w") as f:
        f.write(built.stdout + built.stderr)
    architecture = chroot(root, "dpkg --print-architecture").stdout.strip()
    deb = f"/build/dorvanel_{args.version}_{architecture}.deb"
    made = [deb, f"/build/dorvanel-dbgsym_{args.version}_{architecture}.deb", f"/build/dorvanel_{args.version}.dsc",
            f"/build/dorvanel_{args.version}_{architecture}.changes"]
    results.case("dpkg-buildpackage -us -uc, as a user other than root, builds the source package, the package "
                 "and its debugging symbols, and runs the unit tests",
                 compare("exit status, labels in ctest's summary", (built.returncode, re.findall(
                     r"^(\w+) += .*\(\d+ tests?\)$", built.stdout, re.M)), (0, ["unit"]))
                 + [f"no {path}" for path in made if not os.path.isfile(root + path)],
                 (built.stdout + built.stderr).splitlines()[-30:])
    print(f"built in the chroot in {time.monotonic() - started:.0f} s", flush=True)
    if built.returncode:
        return

    # Lintian and the rest come in now, as the second tarball has them over the first.
    unpack(checks, root)
    lint = chroot(root, f"lintian --version && lintian -I --pedantic --suppress-tags {','.join(LINTIAN_SUPPRESSED)} {made[-1]}",
                  BUILDER_SPEC)
    print(lint.stdout + lint.stderr, end="")
    results.case("Debian 13's lintian -I --pedantic raises no tag on the .changes",
                 compare("exit status", lint.returncode, 0)
                 + compare("tags", re.findall(r"^[A-Z]: .*", lint.stdout, re.M), []))

    install = chroot(root, f"apt-get install --yes --no-install-recommends {deb} && "
                     "dpkg-query -W -f '${Version}' dorvanel", env=["DEBIAN_FRONTEND=noninteractive"])
    results.case("apt installs the package in the chroot",
                 compare("exit status, version installed", (install.returncode, install.stdout.splitlines()[-1:]),
                         (0, [args.version])), (install.stdout + install.stderr).splitlines()[-20:])

    with open(os.path.join(args.source, "po", "de.po")) as f:
        german = re.search(r'^msgid "no such device"\nmsgstr "(.+)"$', f.read(), re.M)[1]
    opened = chroot(root, "dorvanel /Open", env=["LC_ALL=de_DE.UTF-8"])
    results.case("dorvanel /Open in de_DE.UTF-8, where there is no /dev/cdrom, says so in one line in German",
                 compare("exit status, output, error", (opened.returncode, opened.stdout, opened.stderr),
                         (0, "", f"dorvanel: /dev/cdrom: {german}\n")))
    print(f"checked in the chroot in {time.monotonic() - started:.0f} s", flush=True)


def main():
    parser = argparse.ArgumentParser()
    for option in ["--source", "--out", "--version"]:
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    # In a chroot whose / is a folder of another mount, no mount could be kept to the test's own namespace.
    own_root = any(line.split()[4] == "/" for line in open("/proc/self/mountinfo"))
    if os.geteuid() == 0 and own_root and "DORVANEL_OWN_MOUNTS" not in os.environ:
        # Every mount the test makes is in this namespace, and goes with it.
        os.environ["DORVANEL_OWN_MOUNTS"] = "1"
        os.execvp("unshare", ["unshare", "--mount", "--propagation", "private", sys.executable, "-B", *sys.argv])
    results = report.Report("debian-13")
    if os.geteuid() != 0:
        results.skip("the Debian 13 chroot", "making it and building in it need root")
        return results.finish()
    if not own_root:
        results.skip("the Debian 13 chroot", "this system's / is no mount of its own (a chroot): the test's mounts "
                     "could not be kept from it")
        return results.finish()
    with open(os.path.join(args.source, "debian", "control")) as f:
        control = f.read()
    key = hashlib.sha256(repr([field(control, "Build-Depends"), field(control, "Depends"), ADDED]).encode())
    cache = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "dorvanel")
    build, checks = [os.path.join(cache, f"debian13-{kind}-{key.hexdigest()[:16]}.tar.zst")
                     for kind in ("build", "checks")]
    os.makedirs(args.out, exist_ok=True)
    if not (os.path.isfile(build) and os.path.isfile(checks)):
        reason = unreachable()
        if reason:
            results.skip("the Debian 13 chroot", f"none is cached and the archive cannot be reached ({reason})")
            return results.finish()
        os.makedirs(cache, exist_ok=True)
        log = os.path.join(args.out, "mmdebstrap.log")
        open(log, "w").close()
        started = time.monotonic()
        made = make_chroots(control, build, checks, log)
        with open(log) as f:
            results.case(f"mmdebstrap makes the chroots in {cache}", unless(made, "it fails"),
                         f.read().splitlines()[-20:])
        print(f"made the chroots in {time.monotonic() - started:.0f} s", flush=True)
        if not made:
            return results.finish()
    root = os.path.join(args.out, "chroot")
    os.makedirs(root, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4g,mode=755", "tmpfs", root], check=True)
    try:
        check(args, results, root, build, checks)
    finally:
        subprocess.run(["umount", "--lazy", root])
    return results.finish()


if __name__ == "__main__":
    sys.exit(main())
