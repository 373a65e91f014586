#!/usr/bin/python3
"""Writes the fuzzers' seed corpus (fuzz/corpus/split, run and mounts) from
the command lines the program's own tables of odd cases list, and from mount
tables shaped like the unit tests' ones.

    /usr/bin/python3 fuzz/make-seeds.py
"""
import hashlib
import pathlib

HERE = pathlib.Path(__file__).resolve().parent

# Argument lists, as typed (one list per line of the grammar's table of cases).
ARGUMENT_LISTS = [
    [], ["/Open"], ["/D:", "/Close"], ["/D:", "/OpenClose=20"], ["/OpenClose"], ["/OpenClose="],
    ["/OpenClose=abc"], ["/OpenClose=5x"], ["/OpenClose=0"], ["/OpenClose=-5"], ["/OpenClose=$1E"],
    ["/OpenClose=0x1e"], ["/OPENCLOSE=007"], ["/OpenCloseNow=7"], ["/OpenClose=2147483648"],
    ["/OpenClose=-2147483648"], ["/Open", "/Close"], ["/Close", "/Open"], ["/Open", "/OpenClose=5"],
    ["/OpenClose=5", "/Open"], ["/E:", "/D:", "/Open"], ["/D:"], ["/?"], ["/Open", "/?"], ["/?", "/Open"],
    ["O/p/e/n"], ["open=1"], ["/D:/Open"], ["/OpenClose=5:"], [":"], ["/:"],
    # The run's cases: an OpenClose on e, a zero and a negative delay.
    ["/E:", "/OpenClose=20"], ["/OpenClose=-1"], ["/OpenClose=$FFFFFFFF"], ["/OpenClose=2147483647"],
]

# Command-line texts for the splitter: quoting, blanks and double-byte characters.
COMMAND_LINES = [
    b'dorvanel.exe ""',
    b'"C:\\Program Files\\dorvanel.exe" /D: /OpenClose=20',
    b'dorvanel.exe "/Open',
    b'dorvanel.exe a"b c"d e',
    b'dorvanel.exe "" """" /Open',
    b'dorvanel.exe "a""b c"',
    b'dorvanel.exe\t/Open\x01/Close\x1f/E:',
    b'dorvanel.exe \x82\x20\x82\x22 /Open',
    b'dorvanel.exe "\x95\x22" x',
    b'dorvanel.exe /Open \x82',
    b'dorvanel.exe /\x82\xa0: /Close',
    b'dorvanel.exe /Open\x00/Close',
]

# The run fuzzer's first byte: bit 0 picks the accented lowercase rule, bit 1
# the command-line text instead of an argument vector.
VECTOR, VECTOR_ACCENTED, TEXT = b"\x00", b"\x01", b"\x02"


# Mount tables for the disc 11:1 (each seed starts with 11, 1 and the number
# of the call that is refused): stacks, covers, escapes, a moved mount, a
# repeated id, a cycle, a cut line.
ROOT = b"20 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
MOUNT_TABLES = [
    ROOT + b"30 20 11:1 / /media/my\\040disc ro - iso9660 disc ro\n"
           b"32 30 11:1 /DATA /media/my\\040disc/a\\134b ro - iso9660 disc ro\n",
    ROOT + b"30 20 11:1 / /mnt/disc ro\n40 30 0:50 / /mnt/disc rw\n41 40 11:1 / /mnt/disc ro\n",
    ROOT + b"40 20 0:50 / /mnt/disc rw\n30 40 11:1 / /mnt/disc ro\n41 30 11:1 / /mnt/disc ro\n",
    ROOT + b"30 20 11:1 / /mnt/disc ro\n50 20 0:50 / /mnt rw\n51 50 0:51 / /mnt/disc rw\n",
    ROOT + b"30 31 11:1 / /mnt/disc ro\n31 30 0:50 / /mnt/disc rw\n30 30 11:1 / /mnt/disc ro\n",
    ROOT + b"30 31 11:1 / /tmp/s2/dir ro\n31 20 11:1 / /tmp/s2 ro\n",
    ROOT + b"30 20 11:1 / /mnt/a ro\n31 30 11:1 / /mnt/a/b ro\n31 30 11:1 / /mnt/a/b ro\n",
    ROOT + b"30 20 11:1 / /media/disc",
]


def write(folder, data):
    folder.mkdir(parents=True, exist_ok=True)
    (folder / hashlib.sha1(data).hexdigest()).write_bytes(data)


def main():
    for arguments in ARGUMENT_LISTS:
        typed = " ".join(arguments).encode()
        write(HERE / "corpus/run", VECTOR + b"\x00".join(a.encode() for a in arguments))
        write(HERE / "corpus/run", TEXT + b"dorvanel.exe " + typed)
        write(HERE / "corpus/split", b"dorvanel.exe " + typed)
    for line in COMMAND_LINES:
        write(HERE / "corpus/split", line)
        write(HERE / "corpus/run", TEXT + line)
    write(HERE / "corpus/run", VECTOR_ACCENTED + b"/\xc4:\x00/OPEN")
    for delay in [b"$1E", b"0x1e", b"007", b"-2147483648", b"2147483648", b"  12", b"-$80000000", b"$000000001"]:
        write(HERE / "corpus/run", VECTOR + delay)
    for table in MOUNT_TABLES:
        write(HERE / "corpus/mounts", b"\x0b\x01\x00" + table)
    write(HERE / "corpus/mounts", b"\x0b\x01\x01" + MOUNT_TABLES[0])
    write(HERE / "corpus/mounts", b"\x0b\x01\x03" + MOUNT_TABLES[0])


if __name__ == "__main__":
    main()
