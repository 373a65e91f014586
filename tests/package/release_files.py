"""Checks of a folder tools/release made: SHA256SUMS, and the winget and
Scoop manifests read back against the ZIP beside them and the project's facts.

The fields each manifest must have are those the winget manifest schema's
documentation (version 1.12.0: the version, defaultLocale and installer
files) and Scoop's app manifest documentation mark required.
"""

import glob
import hashlib
import json
import os
import re
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
# For each installer; the nested ones because the installer is a ZIP.
WINGET_INSTALLER_REQUIRED = ["Architecture", "InstallerType", "InstallerUrl", "InstallerSha256",
                             "NestedInstallerType", "NestedInstallerFiles"]
# Required, or asked of every new manifest, and what installs the ZIP.
SCOOP_REQUIRED = ["version", "description", "homepage", "license", "url", "hash", "bin"]
PACKAGE_IDENTIFIER = re.compile(r"[^.\s\\/:*?\"<>|\x01-\x1f]{1,32}(\.[^.\s\\/:*?\"<>|\x01-\x1f]{1,32}){1,7}")


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def published_files(out):
    """What goes into the release folder: everything but the manifests and the sums themselves."""
    return sorted(name for name in os.listdir(out)
                  if os.path.isfile(os.path.join(out, name)) and name not in ("SHA256SUMS", "SHA256SUMS.asc"))


def check_sums(results, out):
    check = subprocess.run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=out, capture_output=True,
                           text=True, timeout=60)
    with open(os.path.join(out, "SHA256SUMS")) as f:
        covered = sorted(line.split("  ", 1)[1].rstrip("\n") for line in f)
    results.case("sha256sum -c SHA256SUMS passes, and it covers every file of the release",
                 report.compare("sha256sum -c", (check.returncode, check.stderr), (0, ""))
                 + report.compare("files in SHA256SUMS", covered, published_files(out)),
                 check.stdout.splitlines())


def missing(document, keys):
    return [key for key in keys if document.get(key) in (None, "", [])]


def check_manifests(results, out, url, facts):
    """facts: version, vendor (the publisher), summary, licence (LICENSE's first line)."""
    zip_path = next(iter(glob.glob(os.path.join(out, "*.zip"))), None)
    if not zip_path:
        results.case("the manifests name the ZIP", ["no ZIP in the release"])
        return
    zip_url, zip_hash = url + os.path.basename(zip_path), sha256(zip_path)
    with zipfile.ZipFile(zip_path) as archive:
        members = archive.namelist()

    paths = sorted(glob.glob(os.path.join(out, "winget", "manifests", "*", "*", "*", "*", "*.yaml")))
    documents = {}
    problems = []
    for path in paths:
        with open(path) as f:
            document = yaml.safe_load(f)
        documents[document.get("ManifestType")] = (path, document)
    problems += report.compare("winget manifest types", sorted(documents), sorted(WINGET_REQUIRED))
    for kind, (path, document) in documents.items():
        identifier, version = document.get("PackageIdentifier", ""), document.get("PackageVersion")
        problems += [f"{kind}: no {key}" for key in missing(document, WINGET_REQUIRED.get(kind, []))]
        problems += report.compare(f"{kind}: PackageVersion", version, facts["version"])
        problems += [] if PACKAGE_IDENTIFIER.fullmatch(identifier) else [f"{kind}: PackageIdentifier {identifier!r}"]
        problems += report.compare(f"{kind}: ManifestVersion", document.get("ManifestVersion"), "1.12.0")
        # winget-pkgs' layout: manifests/<first letter>/<one folder per part of the identifier>/<version>/
        suffix = {"version": "", "installer": ".installer", "defaultLocale": f".locale.{document.get('PackageLocale')}"}
        expected = os.path.join(out, "winget", "manifests", identifier[:1].lower(), *identifier.split("."),
                                str(version), f"{identifier}{suffix.get(kind, '?')}.yaml")
        problems += report.compare(f"{kind}: file", path, expected)
    identifiers = {document.get("PackageIdentifier") for _, document in documents.values()}
    problems += report.compare("one PackageIdentifier in all three", len(identifiers), 1)
    if "version" in documents and "defaultLocale" in documents:
        problems += report.compare("DefaultLocale is the default locale file's", documents["version"][1]["DefaultLocale"],
                                   documents["defaultLocale"][1].get("PackageLocale"))
    results.case("the winget files parse, each with the fields its schema requires, laid out as winget-pkgs wants",
                 problems)

    locale = documents.get("defaultLocale", (None, {}))[1]
    results.case("winget: publisher, licence and short description are the project's own",
                 report.compare("Publisher", locale.get("Publisher"), facts["vendor"])
                 + report.compare("ShortDescription", locale.get("ShortDescription"), facts["summary"])
                 + ([] if facts["licence"].startswith(str(locale.get("License"))) and locale.get("License")
                    else [f"License {locale.get('License')!r} does not name LICENSE's {facts['licence']!r}"]))

    installers = documents.get("installer", (None, {}))[1].get("Installers") or [{}]
    installer = installers[0]
    nested = (installer.get("NestedInstallerFiles") or [{}])[0]
    results.case("winget: one x86 ZIP of a portable dorvanel.exe run as dorvanel, at the given URL, with its hash",
                 report.compare("installers", len(installers), 1)
                 + [f"installer: no {key}" for key in missing(installer, WINGET_INSTALLER_REQUIRED)]
                 + report.compare("Architecture, InstallerType, NestedInstallerType",
                                  [installer.get(key) for key in ["Architecture", "InstallerType", "NestedInstallerType"]],
                                  ["x86", "zip", "portable"])
                 + report.compare("NestedInstallerFiles", installer.get("NestedInstallerFiles"),
                                  [{"RelativeFilePath": "dorvanel.exe", "PortableCommandAlias": "dorvanel"}])
                 + ([] if nested.get("RelativeFilePath") in members else ["the nested file is not in the ZIP"])
                 + report.compare("InstallerUrl", installer.get("InstallerUrl"), zip_url)
                 + report.compare("InstallerSha256", installer.get("InstallerSha256"), zip_hash.upper()))

    scoop_paths = glob.glob(os.path.join(out, "scoop", "*.json"))
    scoop = {}
    if len(scoop_paths) == 1:
        with open(scoop_paths[0]) as f:
            scoop = json.load(f)
    results.case("Scoop: the fields it requires, the project's facts, the ZIP's URL and hash, a program in the ZIP",
                 report.compare("Scoop manifests", len(scoop_paths), 1)
                 + [f"no {key}" for key in missing(scoop, SCOOP_REQUIRED)]
                 + report.compare("version, description, license, url, hash",
                                  [scoop.get(key) for key in ["version", "description", "license", "url", "hash"]],
                                  [facts["version"], facts["summary"], locale.get("License"), zip_url, zip_hash])
                 + ([] if re.match(r"https?://", str(scoop.get("homepage"))) else ["homepage is no web address"])
                 + ([] if scoop.get("bin") in members else [f"bin {scoop.get('bin')!r} is not in the ZIP"]))
