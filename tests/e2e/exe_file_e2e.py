#!/usr/bin/python3
"""dorvanel.exe as a file: its headers, layout, imports and size, the
version information read back with pefile, the icon read back with
icoutils, and the manifest.

    exe_file_e2e.py EXE VERSION [--signed]     (VERSION as the project writes it, e.g. 1.2.3)

--signed: the exe is tools/release's signed one, whose certificate table
follows the program's own bytes; without it there must be none.
"""

import os
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

import pefile  # Debian's python3-pefile, for /usr/bin/python3

import report

IMAGE_FILE_MACHINE_I386 = 0x14C
PE32_MAGIC = 0x10B
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2
RT_MANIFEST = 24
LARGEST_SIZE = 8 * 1024
PAGE = 0x1000
SCN_MEM_EXECUTE, SCN_MEM_WRITE = 0x20000000, 0x80000000
DYNAMIC_BASE, NX_COMPAT, NO_SEH, TERMINAL_SERVER_AWARE = 0x0040, 0x0100, 0x0400, 0x8000
RELOCS_STRIPPED = 0x0001
# Everything the program asks of the system; no C runtime. Only KnownDLLs,
# which Windows never looks for beside the exe: winmm is loaded by hand.
IMPORTS = {
    "KERNEL32.DLL": ["ExitProcess", "GetCommandLineA", "GetModuleHandleA", "GetProcAddress", "GetProcessHeap",
                     "GetSystemDirectoryA", "HeapAlloc", "IsDBCSLeadByte", "LoadLibraryExA", "Sleep"],
    "USER32.DLL": ["CharLowerBuffA", "MessageBoxA"],
}
VERSION_NUMBERS = VERSION_TEXT = None  # set from the command line
SIGNED = False
LICENSE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "LICENSE")
COMMON_CONTROLS_6 = {"type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
                     "processorArchitecture": "*", "publicKeyToken": "6595b64144ccf1df", "language": "*"}


def headers(pe, path):
    return (report.compare("machine", hex(pe.FILE_HEADER.Machine), hex(IMAGE_FILE_MACHINE_I386))
            + report.compare("optional header magic (PE32)", hex(pe.OPTIONAL_HEADER.Magic), hex(PE32_MAGIC))
            + report.compare("subsystem", pe.OPTIONAL_HEADER.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI)
            + report.compare("link time", pe.FILE_HEADER.TimeDateStamp, 0))


def layout(pe, path):
    """What the loader relies on to keep the image out of reach: page-aligned
    sections (below a page Wine maps the whole image writable and executable),
    no section both writable and executable, relocations for ASLR, DEP."""
    pe.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]])
    header = pe.OPTIONAL_HEADER
    sections = [(s.Name.rstrip(b"\0").decode(errors="replace"), s) for s in pe.sections]
    relocations = sum(len(block.entries) for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []))
    print(f"     {len(sections)} sections, {relocations} relocations")
    return (report.compare("section alignment", hex(header.SectionAlignment), hex(PAGE))
            + report.compare("sections not starting on a page",
                             [name for name, s in sections if s.VirtualAddress % PAGE], [])
            + report.compare("sections both writable and executable",
                             [name for name, s in sections
                              if s.Characteristics & SCN_MEM_WRITE and s.Characteristics & SCN_MEM_EXECUTE], [])
            + report.compare("relocations stripped flag", pe.FILE_HEADER.Characteristics & RELOCS_STRIPPED, 0)
            + report.unless(relocations, "no base relocations")
            + report.compare("DLL characteristics: DYNAMIC_BASE, NX_COMPAT, NO_SEH, TERMINAL_SERVER_AWARE",
                             hex(header.DllCharacteristics), hex(DYNAMIC_BASE | NX_COMPAT | NO_SEH | TERMINAL_SERVER_AWARE))
            + report.compare("PE checksum", header.CheckSum, pe.generate_checksum()))


def imports(pe, path):
    pe.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
                               pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"]])
    imported = {entry.dll.decode().upper(): sorted((i.name or b"").decode() for i in entry.imports)
                for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    delayed = {entry.dll.decode().upper() for entry in getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])}
    return (report.compare("imported functions by DLL", imported, IMPORTS)
            + report.compare("delay-loaded DLLs", sorted(delayed), []))


def size(pe, path):
    """The program's own bytes: a signature aside, which sits in a certificate
    table from the end of the sections (8-byte aligned) to the end of the file."""
    size = os.path.getsize(path)
    table = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    start = table.VirtualAddress  # a file offset, not an address
    own = start if SIGNED else size
    sections_end = max(s.PointerToRawData + s.SizeOfRawData for s in pe.sections)
    print(f"     dorvanel.exe is {size} bytes, {own} of them its own")
    return (report.compare("certificate table (start, end)", (start, start + table.Size),
                           ((sections_end + 7) // 8 * 8, size) if SIGNED else (0, 0))
            + report.unless(own <= LARGEST_SIZE, f"{own} bytes, more than {LARGEST_SIZE}"))


def version_information(pe, path):
    pe.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    if not getattr(pe, "VS_FIXEDFILEINFO", None):
        return ["no version information"]
    fixed = pe.VS_FIXEDFILEINFO[0]
    problems = report.compare(
        "fixed file and product version",
        [fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS, fixed.ProductVersionLS],
        [VERSION_NUMBERS[0] << 16 | VERSION_NUMBERS[1], VERSION_NUMBERS[2] << 16 | VERSION_NUMBERS[3]] * 2)
    tables, translations = {}, []
    for info in getattr(pe, "FileInfo", []):
        for block in info:
            if block.Key == b"StringFileInfo":
                tables.update({table.LangID.decode().upper(): table.entries for table in block.StringTable})
            elif block.Key == b"VarFileInfo":
                translations += [var.entry.get(b"Translation") for var in block.Var]
    problems += report.compare("string blocks", sorted(tables), ["041103A4"])
    strings = tables.get("041103A4", {})
    problems += report.compare("FileVersion", strings.get(b"FileVersion"), VERSION_TEXT.encode())
    problems += report.compare("ProductVersion", strings.get(b"ProductVersion"), b"1.0.0.0")
    with open(LICENSE, "rb") as licence:
        copyright_line = next(line.strip() for line in licence if line.startswith(b"Copyright "))
    problems += report.compare("LegalCopyright", strings.get(b"LegalCopyright"), copyright_line)
    problems += report.compare("translation (language, code page)", translations, ["0x0411 0x03a4"])
    return problems


def icon(pe, path):
    with tempfile.TemporaryDirectory() as scratch:
        ico = os.path.join(scratch, "dorvanel.ico")
        subprocess.run(["wrestool", "--extract", "--type=14", f"--output={ico}", path], timeout=60)
        if not os.path.exists(ico):
            return ["no icon group to extract"]
        listing = subprocess.run(["icotool", "--list", ico], capture_output=True, text=True, check=True,
                                 timeout=60).stdout
    images = sorted((int(w), int(h), int(bits)) for w, h, bits in
                    re.findall(r"--width=(\d+) --height=(\d+) --bit-depth=(\d+)", listing))
    return report.compare("icon images (width, height, bits per pixel)", images, [(16, 16, 4), (32, 32, 4)])


def manifest(pe, path):
    pe.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    resources = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for kind in resources.entries if resources else []:
        if kind.id != RT_MANIFEST:
            continue
        for name in kind.directory.entries:
            for language in name.directory.entries:
                data = pe.get_data(language.data.struct.OffsetToData, language.data.struct.Size)
                try:
                    root = ElementTree.fromstring(data)
                except ElementTree.ParseError as error:
                    return [f"the manifest is not XML: {error}"]
                dependencies = [identity.attrib for identity in root.iterfind(
                    "v1:dependency/v1:dependentAssembly/v1:assemblyIdentity",
                    {"v1": "urn:schemas-microsoft-com:asm.v1"})]
                return (report.compare("manifest resource id", name.id, 1)
                        + report.compare("manifest root", root.tag, "{urn:schemas-microsoft-com:asm.v1}assembly")
                        + report.compare("dependent assemblies", dependencies, [COMMON_CONTROLS_6]))
    return ["no manifest resource"]


CHECKS = [
    ("a PE32 for i386 with the GUI subsystem, no link time", headers),
    ("page-aligned, no writable code, relocatable with DEP, no SEH, terminal-server aware, a valid checksum", layout),
    ("imports only its functions from KERNEL32 and USER32", imports),
    ("at most 8 KiB, and no signature but where signed, after the program's own bytes", size),
    ("the file version and copyright, Japanese block 041103A4, translation 0x0411 / 932", version_information),
    ("icon of 32 x 32 and 16 x 16 pixels, 16 colours", icon),
    ("an application manifest asking for Common Controls 6", manifest),
]


def main(argv):
    global VERSION_NUMBERS, VERSION_TEXT, SIGNED
    SIGNED = argv[3:] == ["--signed"]
    if len(argv) != 3 + SIGNED:
        print(__doc__, file=sys.stderr)
        return 2
    path = argv[1]
    VERSION_NUMBERS = [int(part) for part in argv[2].split(".")] + [0]
    VERSION_TEXT = ".".join(map(str, VERSION_NUMBERS))
    results = report.Report("dorvanel.exe as a file" + (", signed" if SIGNED else ""))
    for name, check in CHECKS:
        pe = pefile.PE(path, fast_load=True)
        try:
            problems = check(pe, path)
        except Exception as error:  # a file too broken to read fails its check
            problems = [f"{type(error).__name__}: {error}"]
        results.case(name, problems)
    return results.finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
