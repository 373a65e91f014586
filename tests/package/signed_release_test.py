#!/usr/bin/python3
"""tools/release with throwaway keys: a CA and a code-signing certificate made
with openssl, and a gpg key in a temporary GNUPGHOME. Never a time-stamping
server: the tests reach no network.

    signed_release_test.py --source DIR --epoch SECONDS --version V --vendor NAME --summary TEXT
                           --unsigned-exe EXE --keep DIR

Two signed releases, the second also with --url and --gpg-key, must be the
same files; the signed dorvanel.exe, SHA256SUMS and SHA256SUMS.asc must
verify, and fail to once a byte of them is changed; without its signature
dorvanel.exe must be the build's UNSIGNED_EXE. The signed dorvanel.exe
is left in KEEP for the end-to-end tests, which read it as a file and run it.
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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import report  # noqa: E402
import release_files  # noqa: E402

URL = "https://example.invalid/v{}/"
CODE_SIGNING = "basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n"


def run(command, cwd=None, env=None):
    return subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, timeout=300)


def make_keys(folder, env):
    """A CA, a code-signing certificate it issued, and a gpg key; returns the gpg key's fingerprint."""
    def openssl(*arguments):
        subprocess.run(["openssl", *arguments], cwd=folder, check=True, capture_output=True, timeout=120)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
            "-subj", "/CN=Dorvanel throwaway CA", "-addext", "basicConstraints=critical,CA:true",
            "-addext", "keyUsage=critical,keyCertSign")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "code.key", "-out", "code.csr",
            "-subj", "/CN=Dorvanel throwaway signer")
    with open(os.path.join(folder, "code.ext"), "w") as f:
        f.write(CODE_SIGNING)
    openssl("x509", "-req", "-in", "code.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-days", "2", "-extfile", "code.ext", "-out", "code.pem")
    os.makedirs(env["GNUPGHOME"], mode=0o700)
    subprocess.run(["gpg", "--batch", "--passphrase", "", "--quick-generate-key",
                    "Dorvanel throwaway <release-test@example.invalid>", "rsa2048", "sign", "never"],
                   env=env, check=True, capture_output=True, timeout=120)
    listing = run(["gpg", "--with-colons", "--list-secret-keys"], env=env).stdout
    return re.search(r"^fpr:+([0-9A-F]{40}):", listing, re.M)[1]


def flip_a_byte(path):
    """One bit of one byte a quarter into the file: the program's code, the
    ZIP's first member, the first checksum line."""
    with open(path, "r+b") as f:
        data = bytearray(f.read())
        data[len(data) // 4] ^= 1
        f.seek(0)
        f.write(data)


def main(argv):
    parser = argparse.ArgumentParser()
    for option in ["--source", "--epoch", "--version", "--vendor", "--summary", "--unsigned-exe", "--keep"]:
        parser.add_argument(option, required=option != "--epoch")
    args = parser.parse_args(argv[1:])
    # Only the two signed releases are compared, so a build without a time of
    # its own takes any fixed one.
    epoch = args.epoch or "1000000000"
    results = report.Report("signed release files")
    # An exe left by an earlier run must not stand in for this run's.
    shutil.rmtree(args.keep, ignore_errors=True)
    with tempfile.TemporaryDirectory(prefix="dorvanel-signed-") as scratch:
        env = dict(os.environ, SOURCE_DATE_EPOCH=epoch, GNUPGHOME=os.path.join(scratch, "gnupg"))
        try:
            key_id = make_keys(scratch, env)
            sign = ["--sign-cert", os.path.join(scratch, "code.pem"), "--sign-key", os.path.join(scratch, "code.key")]
            url = URL.format(args.version)
            tool = os.path.join(args.source, "tools", "release")
            first = run([tool, "--out", os.path.join(scratch, "first"), *sign], env=env)
            second = run([tool, "--out", os.path.join(scratch, "second"), *sign, "--url", url, "--gpg-key", key_id],
                         env=env)
            print(first.stdout + second.stdout, end="")
            results.case("tools/release signs with the throwaway keys",
                         report.compare("exit status, first and second", (first.returncode, second.returncode), (0, 0)),
                         (first.stderr + second.stderr).splitlines()[-20:])
            if first.returncode or second.returncode:
                return results.finish()
            folders = [os.path.join(scratch, "first"), os.path.join(scratch, "second")]
            results.case("without --url: no manifest, and it says why",
                         report.compare("folders", sorted(d for d in os.listdir(folders[0])
                                                         if os.path.isdir(os.path.join(folders[0], d))), [])
                         + ([] if "No --url" in first.stderr else ["nothing said about --url"]))

            names = release_files.published_files(folders[0]) + ["SHA256SUMS"]
            results.case("two signings of the same commit give the same bytes",
                         report.compare("files", release_files.published_files(folders[1]), names[:-1])
                         + [f"{name} differs" for name in names
                            if release_files.sha256(os.path.join(folders[0], name))
                            != release_files.sha256(os.path.join(folders[1], name))])
            release_files.check_sums(results, folders[1])
            with open(os.path.join(args.source, "LICENSE")) as f:
                licence = f.readline().strip()
            release_files.check_manifests(results, folders[1], url, dict(
                version=args.version, vendor=args.vendor, summary=args.summary, licence=licence))

            zip_name = next(name for name in names if name.endswith(".zip"))
            with zipfile.ZipFile(os.path.join(folders[1], zip_name)) as archive:
                archive.extract("dorvanel.exe", folders[1])
            verify = run(["osslsigncode", "verify", "-CAfile", os.path.join(scratch, "ca.pem"), "-in", "dorvanel.exe"],
                         cwd=folders[1])
            signing_time = time.strftime("%b %e %H:%M:%S %Y GMT", time.gmtime(int(epoch)))
            results.case(f"dorvanel.exe's signature: SHA-256, signed at the release files' time, {signing_time}",
                         ([] if re.search(r"^Message digest algorithm\s*: SHA256$", verify.stdout, re.M)
                          else ["the digest is not SHA-256"])
                         + ([] if f"Signing time: {signing_time}" in verify.stdout else ["another signing time"]),
                         verify.stdout.splitlines())

            removed = os.path.join(scratch, "removed.exe")
            run(["osslsigncode", "remove-signature", "-in", "dorvanel.exe", "-out", removed], cwd=folders[1])
            results.case("without its signature, dorvanel.exe is the unsigned build's, byte for byte",
                         report.compare("bytes", os.path.exists(removed) and release_files.sha256(removed),
                                        release_files.sha256(args.unsigned_exe)))

            # Each check passes on the release as made, and fails once the file it guards is changed.
            for name, checked, command in [
                ("osslsigncode verify against the throwaway CA", "dorvanel.exe",
                 ["osslsigncode", "verify", "-CAfile", os.path.join(scratch, "ca.pem"), "-in", "dorvanel.exe"]),
                ("sha256sum -c SHA256SUMS", zip_name, ["sha256sum", "--check", "--strict", "SHA256SUMS"]),
                ("gpg --verify SHA256SUMS.asc", "SHA256SUMS", ["gpg", "--verify", "SHA256SUMS.asc", "SHA256SUMS"]),
            ]:
                genuine = run(command, cwd=folders[1], env=env)
                changed = os.path.join(scratch, "changed")
                shutil.rmtree(changed, ignore_errors=True)
                shutil.copytree(folders[1], changed)
                flip_a_byte(os.path.join(changed, checked))
                tampered = run(command, cwd=changed, env=env)
                results.case(f"{name} passes, and fails for a changed {checked}",
                             report.compare("exit status as made", genuine.returncode, 0)
                             + ([] if tampered.returncode else ["it passes a changed file"]),
                             (genuine.stdout + genuine.stderr).splitlines()[-10:])

            os.makedirs(args.keep, exist_ok=True)
            shutil.copy(os.path.join(folders[1], "dorvanel.exe"), args.keep)
        finally:
            subprocess.run(["gpgconf", "--kill", "gpg-agent"], env=env, capture_output=True, timeout=60)
    return results.finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
