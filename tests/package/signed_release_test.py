#!/usr/bin/python3
"""tools/release --snapshot with throwaway keys made here: a CA and a
code-signing certificate (openssl), a gpg key in a temporary GNUPGHOME. No
time-stamping server: the tests reach no network. Every file it makes is
marked as a snapshot. Leaves the signed dorvanel.exe in KEEP for the
end-to-end tests. Its Debian builds are nocheck: package.debian's build runs
the unit tests, and gives the same package bytes (package.reproducible).

    signed_release_test.py --source DIR --epoch SECONDS --version V --unsigned-exe EXE --keep DIR
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

import release_files
import report


def run(command, cwd=None, env=None):
    return subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, timeout=300)


def make_keys(folder, env):
    """Returns the gpg key's fingerprint."""
    for command in [
        ["-keyout", "ca.key", "-out", "ca.pem", "-subj", "/CN=Dorvanel throwaway CA",
         "-addext", "basicConstraints=critical,CA:true", "-addext", "keyUsage=critical,keyCertSign"],
        ["-keyout", "code.key", "-out", "code.pem", "-subj", "/CN=Dorvanel throwaway signer", "-CA", "ca.pem",
         "-CAkey", "ca.key", "-addext", "basicConstraints=CA:false", "-addext", "keyUsage=critical,digitalSignature",
         "-addext", "extendedKeyUsage=codeSigning"],
    ]:
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", *command],
                       cwd=folder, check=True, capture_output=True, timeout=120)
    os.makedirs(env["GNUPGHOME"], mode=0o700)
    subprocess.run(["gpg", "--batch", "--passphrase", "", "--quick-generate-key",
                    "Dorvanel throwaway <release-test@example.invalid>", "rsa2048", "sign", "never"],
                   env=env, check=True, capture_output=True, timeout=120)
    return re.search(r"^fpr:+([0-9A-F]{40}):", run(["gpg", "--with-colons", "--list-secret-keys"], env=env).stdout,
                     re.M)[1]


def read_text(path):
    if not os.path.exists(path):
        return ""
    with open(path) as f:
        return f.read()


def flip_a_byte(path):
    """A quarter into the file: the program's code, the ZIP's first member, the first checksum."""
    with open(path, "r+b") as f:
        data = bytearray(f.read())
        data[len(data) // 4] ^= 1
        f.seek(0)
        f.write(data)


def main(argv):
    parser = argparse.ArgumentParser()
    for option in ["--source", "--epoch", "--version", "--unsigned-exe", "--keep"]:
        parser.add_argument(option, required=option != "--epoch")
    args = parser.parse_args(argv[1:])
    # Only the two signed releases are compared: without a time of its own the build takes any fixed one.
    epoch = args.epoch or "1000000000"
    results = report.Report("signed release files")
    shutil.rmtree(args.keep, ignore_errors=True)  # an earlier run's exe must not stand in for this one's
    with tempfile.TemporaryDirectory(prefix="dorvanel-signed-") as scratch:
        env = dict(os.environ, SOURCE_DATE_EPOCH=epoch, GNUPGHOME=os.path.join(scratch, "gnupg"),
                   DEBFULLNAME="Release Test", DEBEMAIL="release-test@example.invalid", DEB_BUILD_OPTIONS="nocheck")
        try:
            key_id = make_keys(scratch, env)
            url = f"https://example.invalid/v{args.version}/"
            first, second = os.path.join(scratch, "first"), os.path.join(scratch, "second")
            sign = [os.path.join(args.source, "tools", "release"), "--snapshot", "--sign-cert",
                    os.path.join(scratch, "code.pem"), "--sign-key", os.path.join(scratch, "code.key")]
            runs = [run(sign + ["--out", first], env=env),
                    run(sign + ["--out", second, "--url", url, "--homepage", "https://example.invalid/",
                                "--license-url", "https://example.invalid/LICENSE", "--gpg-key", key_id], env=env)]
            results.case("tools/release signs, and without --url makes no manifest and says why",
                         report.compare("exit status", [r.returncode for r in runs], [0, 0])
                         + report.compare("folders without --url", [n for n in os.listdir(first)
                                                                    if os.path.isdir(os.path.join(first, n))], [])
                         + report.unless("No --url" in runs[0].stderr, "nothing said about --url"),
                         (runs[0].stderr + runs[1].stderr).splitlines()[-20:])
            if any(r.returncode for r in runs):
                return results.finish()
            names = release_files.published_files(first) + ["SHA256SUMS"]
            snapshot = f"{args.version}+snapshot.{time.strftime('%Y%m%d%H%M%S', time.gmtime(int(epoch)))}"
            marked = [os.path.relpath(os.path.join(folder, name), second) for folder, _, files in os.walk(second)
                      for name in files]
            results.case(f"every file is marked as the snapshot {snapshot}, the Debian package's version too",
                         [f"{name} is not" for name in marked if snapshot not in name
                          and name not in ("SHA256SUMS", "SHA256SUMS.asc", "scoop/dorvanel.json")]
                         + report.unless(snapshot in read_text(os.path.join(second, "scoop", "dorvanel.json")),
                                         "the Scoop manifest is not")
                         + [f"{name} in SHA256SUMS is not" for name in names[:-1] if snapshot not in name]
                         + [f"{name}: Version {version}" for name in names if name.endswith(".deb") for version in
                            [run(["dpkg-deb", "--field", os.path.join(second, name), "Version"]).stdout.strip()]
                            if not version.startswith(snapshot)])
            results.case("two signings of the same commit give the same bytes",
                         [f"{name} differs" for name in names if release_files.sha256(os.path.join(first, name))
                          != release_files.sha256(os.path.join(second, name))])

            zip_name = next(name for name in names if name.endswith(".zip"))
            with zipfile.ZipFile(os.path.join(second, zip_name)) as archive:
                archive.extract("dorvanel.exe", second)
            verify = ["osslsigncode", "verify", "-CAfile", os.path.join(scratch, "ca.pem"), "-in", "dorvanel.exe"]
            shown = run(verify, cwd=second).stdout
            signing_time = time.strftime("%b %e %H:%M:%S %Y GMT", time.gmtime(int(epoch)))
            removed = os.path.join(scratch, "removed.exe")
            run(["osslsigncode", "remove-signature", "-in", "dorvanel.exe", "-out", removed], cwd=second)
            results.case(f"dorvanel.exe: SHA-256, signed at the release files' time ({signing_time}), "
                         "and without its signature the unsigned build's, byte for byte",
                         report.unless(re.search(r"^Message digest algorithm\s*: SHA256$", shown, re.M), "not SHA-256")
                         + report.unless(f"Signing time: {signing_time}" in shown, "another signing time")
                         + report.compare("unsigned", os.path.exists(removed) and release_files.sha256(removed),
                                          release_files.sha256(args.unsigned_exe)), shown.splitlines())

            # Each check passes on the release as made, and fails once the file it guards is changed.
            for checked, command in [("dorvanel.exe", verify),
                                     (zip_name, ["sha256sum", "--check", "--strict", "SHA256SUMS"]),
                                     ("SHA256SUMS", ["gpg", "--verify", "SHA256SUMS.asc", "SHA256SUMS"])]:
                changed = os.path.join(scratch, "changed-" + checked)
                shutil.copytree(second, changed)
                flip_a_byte(os.path.join(changed, checked))
                genuine, tampered = run(command, cwd=second, env=env), run(command, cwd=changed, env=env)
                results.case(f"{' '.join(command[:2])} passes, and fails for a changed {checked}",
                             report.compare("exit status as made", genuine.returncode, 0)
                             + report.unless(tampered.returncode, "it passes a changed file"),
                             (genuine.stdout + genuine.stderr).splitlines()[-10:])
            os.makedirs(args.keep)
            shutil.copy(os.path.join(second, "dorvanel.exe"), args.keep)
        finally:
            subprocess.run(["gpgconf", "--kill", "gpg-agent"], env=env, capture_output=True, timeout=60)
    return results.finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
