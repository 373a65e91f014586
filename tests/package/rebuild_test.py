#!/usr/bin/python3
"""Rebuilds the release files from a copy of the source in another folder,
later, with other file times and umask 077, and checks that every file comes
out byte for byte as the first build made it. The Linux files are rebuilt
by a plain CMake build, with no preset and no build type, whose program
hardening-check must find hardened as the package's is.

    rebuild_test.py --source DIR --cmake CMAKE --epoch SECONDS [--win32] FILE...

Each FILE is a path under build/ (native/dorvanel, win32/dorvanel.exe, ...).
The copy is built with SOURCE_DATE_EPOCH set to the time the first build took
from the last commit (or from its own SOURCE_DATE_EPOCH).
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

import report
from package_test import hardening_problems

# Far from any time the first build could have run at.
OTHER_FILE_TIME = 1_000_000_000


def copy_source(source, target):
    """The files a build reads: what git knows of, committed or not, and not
    ignored; the whole tree but build/ where there is no git."""
    listing = subprocess.run(["git", "-C", source, "ls-files", "-z", "-co", "--exclude-standard"],
                             capture_output=True)
    if listing.returncode == 0:
        for name in filter(None, listing.stdout.decode().split("\0")):
            if os.path.isfile(os.path.join(source, name)):
                os.makedirs(os.path.dirname(os.path.join(target, name)), exist_ok=True)
                shutil.copy(os.path.join(source, name), os.path.join(target, name))
    else:
        shutil.copytree(source, target, ignore=shutil.ignore_patterns("build", ".git"), dirs_exist_ok=True)
    for folder, _, names in os.walk(target):
        for name in names:
            os.utime(os.path.join(folder, name), (OTHER_FILE_TIME, OTHER_FILE_TIME))


def build(cmake, source, win32, epoch):
    env = dict(os.environ, SOURCE_DATE_EPOCH=epoch)
    folders = [(["-S", ".", "-B", "build/native"], "build/native")]
    if win32:
        folders.append((["--preset", "win32"], "build/win32"))
    for configure, folder in folders:
        for command in ([cmake, *configure], [cmake, "--build", folder, "-j", "2"],
                        [cmake, "--build", folder, "--target", "package"]):
            result = subprocess.run(command, cwd=source, env=env, capture_output=True, text=True,
                                    preexec_fn=lambda: os.umask(0o077))
            if result.returncode != 0:
                raise RuntimeError(f"{' '.join(command)} failed:\n{result.stdout}\n{result.stderr}")


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--epoch", required=True)
    parser.add_argument("--win32", action="store_true", help="also rebuild the Windows files")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args(argv[1:])
    results = report.Report("release files rebuilt elsewhere")
    if not args.epoch:
        results.skip("every file", "the first build had no SOURCE_DATE_EPOCH and no git history to take it from")
        return results.finish()

    with tempfile.TemporaryDirectory(prefix="dorvanel-rebuild-") as scratch:
        copy = os.path.join(scratch, "source")
        copy_source(args.source, copy)
        build(args.cmake, copy, args.win32, args.epoch)
        results.case("a plain CMake build's program is hardened",
                     hardening_problems(os.path.join(copy, "build", "native", "dorvanel")))
        for name in args.files:
            first, second = os.path.join(args.source, "build", name), os.path.join(copy, "build", name)
            if not os.path.exists(first):
                results.case(name, [f"{first} is missing: build it first"])
                continue
            print(f"     {sha256(first)}  {first}\n     {sha256(second) if os.path.exists(second) else '-':64}  {second}")
            results.case(f"{name} is the same, byte for byte",
                         report.compare("bytes", sha256(second) if os.path.exists(second) else None, sha256(first)))
    return results.finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
