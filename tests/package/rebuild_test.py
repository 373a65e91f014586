#!/usr/bin/python3
"""Rebuilds the release files from a copy of the source in another folder,
on a filesystem of another kind where the machine has one, later, with
other file times and umask 077, and checks that every file comes
out byte for byte as the first build made it. The Linux files are rebuilt
by a plain CMake build, with no preset and no build type, whose program
hardening-check must find hardened as the package's is; with --win32 every
file is also rebuilt by tools/release, unsigned.

    rebuild_test.py --source DIR --cmake CMAKE --epoch SECONDS [--win32 --url URL --version V
                    --vendor NAME --summary TEXT] FILE...

Each FILE is a path under build/ (native/dorvanel, win32/dorvanel.exe, ...).
The copy is built with SOURCE_DATE_EPOCH set to the time the first build took
from the last commit (or from its own SOURCE_DATE_EPOCH). The plain build
makes the FILEs under native/; tools/release makes them all, its programs
compared as the packages hold them, and its SHA256SUMS and manifests are
checked too.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

import release_files
import report
from package_test import hardening_problems

# Far from any time the first build could have run at.
OTHER_FILE_TIME = 1_000_000_000


def filesystem(folder):
    return subprocess.run(["stat", "--file-system", "--format=%T", folder],
                          capture_output=True, text=True).stdout.strip()


def scratch_parent(build):
    """The temporary folder, or /dev/shm, whichever is on a filesystem of
    another kind than the build: folders' sizes and the order they list
    their files in differ from one kind to another (ext4, tmpfs, ...)."""
    kind = filesystem(build)
    for folder in [tempfile.gettempdir(), "/dev/shm"]:
        if os.access(folder, os.W_OK) and filesystem(folder) not in ("", kind):
            return folder, f"{filesystem(folder)}; the build is on {kind}"
    return tempfile.gettempdir(), f"{kind or 'unknown'}, as the build: the machine has no other kind to rebuild on"


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


def plain_build(cmake, source, epoch):
    """A plain CMake build of the Linux files in the copy's build/native."""
    env = dict(os.environ, SOURCE_DATE_EPOCH=epoch)
    folder = "build/native"
    for command in ([cmake, "-S", ".", "-B", folder], [cmake, "--build", folder, "-j", "2"],
                    [cmake, "--build", folder, "--target", "package"]):
        result = subprocess.run(command, cwd=source, env=env, capture_output=True, text=True,
                                preexec_fn=lambda: os.umask(0o077))
        if result.returncode != 0:
            raise RuntimeError(f"{' '.join(command)} failed:\n{result.stdout}\n{result.stderr}")
    return os.path.join(source, "build")


def release(source, url, epoch, scratch):
    """tools/release in the copy, building under `scratch`; its files laid out as under build/, the programs
    taken out of the packages."""
    out, rebuilt = os.path.join(scratch, "release"), os.path.join(scratch, "rebuilt")
    result = subprocess.run([os.path.join(source, "tools", "release"), "--url", url, "--out", out], cwd=source,
                            env=dict(os.environ, SOURCE_DATE_EPOCH=epoch, TMPDIR=scratch), capture_output=True,
                            text=True, preexec_fn=lambda: os.umask(0o077))
    print(result.stdout, end="")
    if result.returncode != 0:
        raise RuntimeError(f"tools/release failed:\n{result.stderr}")
    for name in release_files.published_files(out):
        folder = os.path.join(rebuilt, "native" if name.endswith(".deb") else "win32")
        os.makedirs(folder, exist_ok=True)
        shutil.copy(os.path.join(out, name), folder)
        if name.endswith(".zip"):
            with zipfile.ZipFile(os.path.join(out, name)) as archive:
                archive.extractall(folder)
        if name.endswith(".deb"):
            subprocess.run(["dpkg-deb", "--extract", os.path.join(out, name), folder], check=True, timeout=60)
            shutil.copy(os.path.join(folder, "usr", "bin", "dorvanel"), folder)
    return out, rebuilt


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--epoch", required=True)
    parser.add_argument("--win32", action="store_true", help="also rebuild the Windows files, by tools/release")
    for option in ["--url", "--version", "--vendor", "--summary"]:
        parser.add_argument(option)
    parser.add_argument("files", nargs="+")
    args = parser.parse_args(argv[1:])
    results = report.Report("release files rebuilt elsewhere")
    if not args.epoch:
        results.skip("every file", "the first build had no SOURCE_DATE_EPOCH and no git history to take it from")
        return results.finish()

    parent, kind = scratch_parent(os.path.join(args.source, "build"))
    with tempfile.TemporaryDirectory(prefix="dorvanel-rebuild-", dir=parent) as scratch:
        print(f"Rebuilding in {scratch} ({kind})", flush=True)
        copy = os.path.join(scratch, "source")
        copy_source(args.source, copy)
        rebuilt = {"a plain CMake build": plain_build(args.cmake, copy, args.epoch)}
        results.case("a plain CMake build's program is hardened",
                     hardening_problems(os.path.join(rebuilt["a plain CMake build"], "native", "dorvanel")))
        if args.win32:
            out, rebuilt["tools/release"] = release(copy, args.url, args.epoch, scratch)
        missing = [name for name in args.files if not os.path.exists(os.path.join(args.source, "build", name))]
        for name in missing:
            results.case(name, [f"{os.path.join(args.source, 'build', name)} is missing: build it first"])
        for how, folder in rebuilt.items():
            for name in args.files:
                if name in missing or how == "a plain CMake build" and not name.startswith("native/"):
                    continue
                first, second = os.path.join(args.source, "build", name), os.path.join(folder, name)
                made = release_files.sha256(second) if os.path.exists(second) else None
                print(f"     {release_files.sha256(first)}  {first}\n     {made or '-':64}  {second}")
                results.case(f"{name} is the same, byte for byte, from {how}",
                             report.compare("bytes", made, release_files.sha256(first)))
        if args.win32:
            with open(os.path.join(args.source, "LICENSE")) as f:
                licence = f.readline().strip()
            release_files.check_sums(results, out)
            release_files.check_manifests(results, out, args.url, dict(
                version=args.version, vendor=args.vendor, summary=args.summary, licence=licence))
    return results.finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
