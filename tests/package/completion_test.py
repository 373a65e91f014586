#!/usr/bin/python3
"""The bash completion, driven in bash against a made-up /dev: for each
command line, the arguments the user can end up with, whether or not ':' and
'=' split words (COMP_WORDBREAKS).

    completion_test.py COMPLETION_FILE
"""
import os
import subprocess
import sys
import tempfile

import report

# Calls the completion function as bash does on Tab: COMP_LINE and COMP_POINT
# for the line, and the word after the last word-break character as $2.
DRIVER = r'''
source "$1"
_dorvanel_devices=$2 COMP_WORDBREAKS=$3 COMP_LINE=$4 COMP_POINT=${#4}
compopt() { [[ $* == "-o nospace" ]] && nospace=1; }  # the builtin needs readline
words=($4)
[[ $4 == *[[:space:]] ]] && words+=("")
COMP_WORDS=("${words[@]}") COMP_CWORD=$((${#words[@]} - 1))
_dorvanel dorvanel "$5" "${words[COMP_CWORD - 1]}"
printf '%s\n' "nospace=${nospace:-0}" "${COMPREPLY[@]}"
'''

DEFAULT_BREAKS = " \t\n\"'@><=;|&(:"
PLAIN_BREAKS = " \t\n\"'><;|&("
ACTIONS = {"/Open", "/Close", "/OpenClose=", "/Notify", "/\\?"}

# (command line, device files present, the arguments it can complete to)
CASES = [
    ("dorvanel ", ["sr0", "sr1"], ACTIONS | {"/D:", "/E:"}),
    ("dorvanel /", ["sr0", "sr22", "sr23", "cdrom"], ACTIONS | {"/D:", "/Z:"}),
    ("dorvanel /", [], ACTIONS),
    ("dorvanel /o", [], {"/Open", "/OpenClose="}),
    ("dorvanel /OpenC", ["sr0"], {"/OpenClose="}),
    ("dorvanel /D: /OpenClose=", [], {"/OpenClose="}),
    ("dorvanel /c", ["sr0"], {"/Close"}),
    ("dorvanel /N", [], {"/Notify"}),
    ("dorvanel /?", [], {"/\\?"}),
    ("dorvanel /E", ["sr0", "sr1"], {"/E:"}),
    ("dorvanel /E:", ["sr1"], {"/E:"}),
    ("dorvanel /\\?", [], {"/\\?"}),
    ("dorvanel /E", ["sr0"], set()),
    ("dorvanel /D: /", ["sr0"], ACTIONS | {"/D:"}),
    ("dorvanel /x", ["sr0"], set()),
]


def complete(script, devices, breaks, line):
    """The arguments the last one becomes, sorted, and whether a space follows."""
    argument = line.split(" ")[-1]
    cut = max((i + 1 for i, c in enumerate(argument) if c in breaks), default=0)
    result = subprocess.run(["bash", "--norc", "--noprofile", "-c", DRIVER, "driver",
                             script, devices, breaks, line, argument[cut:]],
                            capture_output=True, text=True, timeout=30)
    if result.returncode != 0 or result.stderr:
        return f"bash failed ({result.returncode}): {result.stderr}"
    flag, *replies = result.stdout.split("\n")[:-1]
    # Bash puts each reply in place of the word after the last break.
    return sorted({argument[:cut] + reply for reply in replies}), flag == "nospace=1"


def main(argv):
    script = os.path.abspath(argv[1])
    results = report.Report("the bash completion")
    for breaks in [DEFAULT_BREAKS, PLAIN_BREAKS]:
        for line, present, expected in CASES:
            with tempfile.TemporaryDirectory() as devices:
                for name in present:
                    open(os.path.join(devices, name), "w").close()
                got = complete(script, devices, breaks, line)
            results.case(f"{line!r} with {present}, COMP_WORDBREAKS {breaks!r}",
                         report.compare("completions, and no space after them", got,
                                        (sorted(expected), expected == {"/OpenClose="})))
    return results.finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
