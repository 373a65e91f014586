#!/usr/bin/python3
"""Rebuilds the release files from a copy of the source in another folder,
on a filesystem of another kind where the machine has one, later, with
other file times and umask 077, and checks that every file comes out byte
for byte as the first build made it. The Linux program is rebuilt by a plain
CMake build, with no preset and no build type, whose program hardening-check
must find hardened as the package's is; the Debian files by dpkg-buildpackage,
or with --win32 every file by tools/release, unsigned, from the
copy made a git checkout of the tag vVERSION, after tools/release has refused
it while it is not one. The Debian package is rebuilt nocheck: the first
build ran the unit tests, and its files must come out the same bytes without
them.

    rebuild_test.py --source DIR --cmake CMAKE --epoch SECONDS [--win32 --url URL --version V
                    --vendor NAME] FILE...

Each FILE is a path under build/ (native/dorvanel, native/deb/NAME.deb,
win32/dorvanel.exe, ...). The copy's commit carries the time the first build
took from the last commit (or from its own SOURCE_DATE_EPOCH). tools/release's
programs are compared as the ZIP holds them, and its SHA256SUMS and manifests
are checked too.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

import release_files
import report
from package_test import copy_source, debian_build, hardening_problems

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


def plain_build(cmake, source, epoch):
    """A plain CMake build of the Linux program in the copy's build/native."""
    env = dict(os.environ, SOURCE_DATE_EPOCH=epoch)
    folder = "build/native"
    for command in ([cmake, "-S", ".", "-B", folder], [cmake, "--build", folder, "-j", "2"]):
        result = subprocess.run(command, cwd=source, env=env, capture_output=True, text=True,
                                preexec_fn=lambda: os.umask(0o077))
        if result.returncode != 0:
            raise RuntimeError(f"{' '.join(command)} failed:\n{result.stdout}\n{result.stderr}")
    return os.path.join(source, "build")


def git(source, *arguments, env=None):
    subprocess.run(["git", "-C", source, *arguments], check=True, capture_output=True, env=env, timeout=120)


def make_checkout(source, epoch):
    """The copy as a git checkout of one commit at the first build's time, as yet untagged."""
    at = f"@{epoch} +0000"
    env = dict(os.environ, GIT_AUTHOR_DATE=at, GIT_COMMITTER_DATE=at, GIT_AUTHOR_NAME="rebuild test",
               GIT_COMMITTER_NAME="rebuild test", GIT_AUTHOR_EMAIL="rebuild@example.invalid",
               GIT_COMMITTER_EMAIL="rebuild@example.invalid")
    for arguments in (["init", "-q"], ["add", "-A"], ["commit", "-q", "-m", "the source, rebuilt"]):
        git(source, *arguments, env=env)


def release_env(source, **changes):
    """The environment tools/release runs in, DEBFULLNAME and DEBEMAIL those of debian/changelog's signer."""
    signer = subprocess.run(["dpkg-parsechangelog", "-l", os.path.join(source, "debian", "changelog"), "-S",
                             "Maintainer"], capture_output=True, text=True, check=True).stdout.strip()
    name, address = re.fullmatch(r"(.*) <(.*)>", signer).groups()
    env = {key: value for key, value in os.environ.items() if key not in ("SOURCE_DATE_EPOCH", "DEBEMAIL")}
    env.update(DEBFULLNAME=name, DEBEMAIL=address, DEB_BUILD_OPTIONS="nocheck")
    env.update(changes)
    return {key: value for key, value in env.items() if value is not None}


def run_release(source, arguments, env, scratch):
    return subprocess.run([os.path.join(source, "tools", "release"), *arguments], cwd=source,
                          env=dict(env, TMPDIR=scratch), capture_output=True, text=True, timeout=600,
                          preexec_fn=lambda: os.umask(0o077))


def check_refusals(results, source, version, scratch):
    """tools/release refuses what is not a release, at once, and makes nothing; each guard once."""
    out = os.path.join(scratch, "refused")
    readme = os.path.join(source, "README.md")
    with open(readme) as f:
        text = f.read()

    def change_readme(changed):
        with open(readme, "w") as f:
            f.write(text + "A change not committed.\n" if changed else text)

    cases = [  # what, before, the environment's changes, what the refusal must say
        ("an untagged HEAD", lambda: None, {}, f"HEAD is not the tag v{version}"),
        ("a changed file in the tag's checkout", lambda: (git(source, "tag", f"v{version}"), change_readme(True)),
         {}, "differ from the last commit"),
        ("no DEBEMAIL", lambda: change_readme(False), {"DEBEMAIL": None}, "set DEBFULLNAME and DEBEMAIL"),
        ("a maintainer who did not sign the changelog entry", lambda: None,
         {"DEBFULLNAME": "Someone Else"}, "not by Someone Else"),
    ]
    for what, before, changes, said in cases:
        before()
        shutil.rmtree(out, ignore_errors=True)
        refused = run_release(source, ["--out", out], release_env(source, **changes), scratch)
        results.case(f"tools/release refuses {what}",
                     report.unless(refused.returncode, "it went through")
                     + report.unless(said in refused.stderr, f"it does not say {said!r}")
                     + report.unless(not os.path.exists(out), f"it made {out}"), refused.stderr.splitlines())


def release(args, source, scratch):
    """tools/release in the copy, a clean checkout of its tag; its files laid out as under build/, the
    programs taken out of the ZIP."""
    out, rebuilt = os.path.join(scratch, "release"), os.path.join(scratch, "rebuilt")
    result = run_release(source, ["--url", args.url, "--homepage", "https://example.invalid/dorvanel/",
                                  "--license-url", "https://example.invalid/dorvanel/LICENSE", "--out", out],
                         release_env(source), scratch)
    print(result.stdout, end="")
    if result.returncode != 0:
        raise RuntimeError(f"tools/release failed:\n{result.stderr}")
    for name in release_files.published_files(out):
        folder = os.path.join(rebuilt, "win32" if ".zip" in name else os.path.join("native", "deb"))
        os.makedirs(folder, exist_ok=True)
        shutil.copy(os.path.join(out, name), folder)
        if name.endswith(".zip"):
            with zipfile.ZipFile(os.path.join(out, name)) as archive:
                archive.extractall(folder)
    return out, rebuilt


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--epoch", required=True)
    parser.add_argument("--win32", action="store_true", help="also rebuild the Windows files, by tools/release")
    for option in ["--url", "--version", "--vendor"]:
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
        for folder, _, names in os.walk(copy):
            for name in names:
                os.utime(os.path.join(folder, name), (OTHER_FILE_TIME, OTHER_FILE_TIME))
        rebuilt = {"a plain CMake build": plain_build(args.cmake, copy, args.epoch)}
        results.case("a plain CMake build's program is hardened",
                     hardening_problems(os.path.join(rebuilt["a plain CMake build"], "native", "dorvanel")))
        if not args.win32:  # else tools/release builds them again, as it does
            debian = os.path.join(scratch, "debian")
            built = debian_build(copy, os.path.join(debian, "native", "deb"), args.version, umask=0o077,
                                 env={"DEB_BUILD_OPTIONS": "nocheck"})
            if built.returncode:
                raise RuntimeError(f"dpkg-buildpackage failed:\n{built.stdout}\n{built.stderr}")
            rebuilt["dpkg-buildpackage"] = debian
        else:
            make_checkout(copy, args.epoch)
            check_refusals(results, copy, args.version, scratch)
            out, rebuilt["tools/release"] = release(args, copy, scratch)
        missing = [name for name in args.files if not os.path.exists(os.path.join(args.source, "build", name))]
        for name in missing:
            results.case(name, [f"{os.path.join(args.source, 'build', name)} is missing: build it first"])
        for how, folder in rebuilt.items():
            for name in args.files:
                if (name in missing or how == "a plain CMake build" and name != "native/dorvanel"
                        or how == "dpkg-buildpackage" and not name.startswith("native/deb/")
                        or how == "tools/release" and name == "native/dorvanel"):
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
                version=args.version, vendor=args.vendor, licence=licence,
                homepage="https://example.invalid/dorvanel/", licence_url="https://example.invalid/dorvanel/LICENSE"))
    return results.finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
