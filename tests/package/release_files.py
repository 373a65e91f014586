"""Checks of a folder tools/release made: SHA256SUMS covers and matches every
file; the manifests are valid against the constraints of winget's manifest
schema 1.12.0 and of Scoop's app manifest schema (manifest_schemas.json), and
say what the release is: the ZIP's address, hash and program, the version,
the project's page and licence as given, and what Scoop would fetch for the
next version."""

import glob
import hashlib
import json
import os
import re
import subprocess
import urllib.parse
import zipfile

import jsonschema  # Debian's python3-jsonschema, for /usr/bin/python3
import yaml  # Debian's python3-yaml

import report

with open(os.path.join(os.path.dirname(__file__), "manifest_schemas.json")) as schema_file:
    SCHEMAS = json.load(schema_file)


def schema_problems(kind, document):
    validator = jsonschema.Draft7Validator(SCHEMAS[kind], format_checker=jsonschema.FormatChecker())
    return [f"{kind}: {'/'.join(map(str, error.absolute_path)) or 'the manifest'}: {error.message}"
            for error in validator.iter_errors(document)]


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
    """facts: version, vendor (the publisher), licence (LICENSE's first line), homepage and licence_url (as
    tools/release was given them)."""
    zip_path = (glob.glob(os.path.join(out, "*.zip")) + [""])[0]
    zip_name = os.path.basename(zip_path)
    zip_url, zip_hash = url + urllib.parse.quote(zip_name), sha256(zip_path)
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
    problems = report.compare("manifest types", sorted(winget), ["defaultLocale", "installer", "version"])
    for kind, document in winget.items():
        problems += schema_problems(f"winget-{kind}", {k: v for k, v in document.items() if k != "path"})
        problems += report.compare(f"{kind}: identifier, version, schema version, folder",
                                   [document.get("PackageIdentifier"), document.get("PackageVersion"),
                                    document.get("ManifestVersion"), os.path.dirname(document["path"])],
                                   [identifier, facts["version"], "1.12.0", folder])
    locale = winget.get("defaultLocale", {})
    problems += report.compare("publisher, default locale, page, licence page",
                               [locale.get("Publisher"), locale.get("PackageLocale"), locale.get("PackageUrl"),
                                locale.get("LicenseUrl")],
                               [facts["vendor"], winget.get("version", {}).get("DefaultLocale"), facts["homepage"],
                                facts["licence_url"]])
    if not (locale.get("License") and facts["licence"].startswith(locale["License"])):
        problems.append(f"License {locale.get('License')!r} does not name LICENSE's {facts['licence']!r}")
    for installer in winget.get("installer", {}).get("Installers", []):
        files = [entry.get("RelativeFilePath") for entry in installer.get("NestedInstallerFiles", [])]
        problems += report.compare("installer: address, hash, architecture",
                                   [installer.get("InstallerUrl"), installer.get("InstallerSha256", "").lower(),
                                    installer.get("Architecture")], [zip_url, zip_hash, "x86"])
        problems += [f"installer: {name} is not in the ZIP" for name in files if name not in members]
    results.case("winget: valid against the schema, in its folder, the ZIP's address and hash, the page and "
                 "licence as given", problems)

    scoop = {}
    for path in glob.glob(os.path.join(out, "scoop", "*.json")):
        with open(path) as f:
            scoop = json.load(f)
    checkver, autoupdate = scoop.get("checkver", {}), scoop.get("autoupdate", {})
    regex = checkver.get("regex", checkver) if isinstance(checkver, dict) else checkver
    found = re.search(regex, f'<a href="{zip_name}">') if isinstance(regex, str) else None
    results.case("Scoop: valid against the schema, the ZIP's address and hash, the page and licence as given; "
                 "checkver reads the version from the ZIP's name, autoupdate gives back its address",
                 schema_problems("scoop", scoop)
                 + report.compare("version, address, hash, program in the ZIP, page, licence",
                                  [scoop.get("version"), scoop.get("url"), scoop.get("hash"),
                                   scoop.get("bin") in members, scoop.get("homepage"), scoop.get("license")],
                                  [facts["version"], zip_url, zip_hash, True, facts["homepage"],
                                   {"identifier": locale.get("License"), "url": facts["licence_url"]}])
                 + report.compare("checkver's version from the ZIP's name", found and found[1], facts["version"])
                 + report.compare("autoupdate's address for this version",
                                  autoupdate.get("url", "").replace("$version", facts["version"]), zip_url)
                 + report.compare("autoupdate's checksum file for this version",
                                  autoupdate.get("hash", {}).get("url", "").replace("$url", zip_url),
                                  zip_url + ".sha256")
                 + report.unless(os.path.isfile(zip_path + ".sha256"), "no checksum file beside the ZIP"))
