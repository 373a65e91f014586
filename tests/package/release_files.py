"""Checks of a folder tools/release made: SHA256SUMS covers and matches every
file; the manifests parse, have the fields that the documentation of winget's
manifest schema 1.12.0 and of Scoop's app manifests marks required, and carry
the ZIP's hash, the given URL and the project's facts."""

import glob
import hashlib
import json
import os
import subprocess
import zipfile

import yaml  # Debian's python3-yaml, for /usr/bin/python3

import report

WINGET_REQUIRED = {
    "version": ["PackageIdentifier", "PackageVersion", "DefaultLocale", "ManifestType", "ManifestVersion"],
    "defaultLocale": ["PackageIdentifier", "PackageVersion", "PackageLocale", "Publisher", "PackageName", "License",
                      "ShortDescription", "ManifestType", "ManifestVersion"],
    "installer": ["PackageIdentifier", "PackageVersion", "Installers", "ManifestType", "ManifestVersion"],
}


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def published_files(out):
    """What is uploaded: the folder's files but the sums and their signature."""
    return sorted(name for name in os.listdir(out) if os.path.isfile(os.path.join(out, name))
                  and name not in ("SHA256SUMS", "SHA256SUMS.asc"))


def check_sums(results, out):
    check = subprocess.run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=out, capture_output=True,
                           text=True, timeout=60)
    with open(os.path.join(out, "SHA256SUMS")) as f:
        covered = sorted(line.rstrip("\n").split("  ", 1)[-1] for line in f)
    results.case("sha256sum -c SHA256SUMS passes, and it covers every file of the release",
                 report.compare("sha256sum -c", (check.returncode, check.stderr), (0, ""))
                 + report.compare("files in SHA256SUMS", covered, published_files(out)))


def check_manifests(results, out, url, facts):
    """facts: version, vendor (the publisher), summary, licence (LICENSE's first line)."""
    zip_path = (glob.glob(os.path.join(out, "*.zip")) + [""])[0]
    zip_url, zip_hash = url + os.path.basename(zip_path), sha256(zip_path)
    with zipfile.ZipFile(zip_path) as archive:
        members = archive.namelist()

    winget = {}
    for path in glob.glob(os.path.join(out, "winget", "manifests", "*", "*", "*", "*", "*.yaml")):
        with open(path) as f:
            document = yaml.safe_load(f)
        winget[document.get("ManifestType")] = dict(document, path=os.path.relpath(path, out))
    identifier = winget.get("version", {}).get("PackageIdentifier", "")
    # Where winget-pkgs wants them: manifests/<first letter>/<the identifier's parts>/<version>/.
    folder = os.path.join("winget", "manifests", identifier[:1].lower(), *identifier.split("."), facts["version"])
    problems = report.compare("manifest types", sorted(winget), sorted(WINGET_REQUIRED))
    for kind, document in winget.items():
        problems += [f"{kind}: no {key}" for key in WINGET_REQUIRED.get(kind, []) if not document.get(key)]
        problems += report.compare(f"{kind}: identifier, version, schema, folder",
                                   [document.get("PackageIdentifier"), document.get("PackageVersion"),
                                    document.get("ManifestVersion"), os.path.dirname(document["path"])],
                                   [identifier, facts["version"], "1.12.0", folder])
    locale = winget.get("defaultLocale", {})
    problems += report.compare("publisher, short description, default locale",
                               [locale.get("Publisher"), locale.get("ShortDescription"), locale.get("PackageLocale")],
                               [facts["vendor"], facts["summary"], winget.get("version", {}).get("DefaultLocale")])
    if not (locale.get("License") and facts["licence"].startswith(locale["License"])):
        problems.append(f"License {locale.get('License')!r} does not name LICENSE's {facts['licence']!r}")
    problems += report.compare("installers", winget.get("installer", {}).get("Installers"), [{
        "Architecture": "x86", "InstallerType": "zip", "NestedInstallerType": "portable",
        "NestedInstallerFiles": [{"RelativeFilePath": "dorvanel.exe", "PortableCommandAlias": "dorvanel"}],
        "InstallerUrl": zip_url, "InstallerSha256": zip_hash.upper()}])
    results.case("winget: the three files, their fields, the project's facts, the ZIP's URL and hash",
                 problems + report.unless("dorvanel.exe" in members, "no dorvanel.exe in the ZIP"))

    scoop = {}
    for path in glob.glob(os.path.join(out, "scoop", "*.json")):
        with open(path) as f:
            scoop = json.load(f)
    homepage = scoop.pop("homepage", "")
    results.case("Scoop: its fields, the project's facts, the ZIP's URL and hash, a program in the ZIP",
                 report.compare("manifest", scoop, {
                     "version": facts["version"], "description": facts["summary"], "license": locale.get("License"),
                     "url": zip_url, "hash": zip_hash, "bin": "dorvanel.exe"})
                 + report.unless(homepage.startswith(("https://", "http://")), f"homepage {homepage!r}"))
