#!/usr/bin/python3
"""Runs every benchmark and prints one Markdown table of figures and ratios.

Usage: bench/run.py NATIVE_BUILD_DIR WIN32_BUILD_DIR [--out FILE]
(tools/bench installs what is needed, builds both directories and calls this.)

What is measured, side by side, because the machine is shared and noisy:
- the Linux program's whole run, `dorvanel /Close` on a machine with no CD
  device (it refuses to run where there is one), against the floor C program and util-linux `eject -t`: instructions
  (callgrind), wall time (hyperfine) and peak memory (GNU time);
- dorvanel.exe against the floor exe (the same calls, no C runtime, the same
  resources): size, imported DLLs, and start-to-exit time under Wine;
- the argument grammar's throughput, and the time to judge a mount table (Google Benchmark).
"""

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "support"))
import wine_prefix  # noqa: E402  the prefix the end-to-end tests use too

# The goals the figures are read against.
GOAL_INSTRUCTIONS_VS_FLOOR = 1.3
GOAL_WALL_VS_FLOOR = 1.3
GOAL_INSTRUCTIONS_VS_EJECT = 0.2
GOAL_EXE_BYTES = 8 * 1024
GOAL_EXE_VS_FLOOR = 1.5
GOAL_WINE_TURN_RATIO = 1.05
GOAL_GRAMMAR_SPREAD = 2.0
GOAL_MOUNT_TABLE_MS = 20  # "in milliseconds", for any shape

# Enough runs for stable medians, few enough for a run of a few minutes.
NATIVE_ROUNDS, NATIVE_RUNS = 15, 100
# Under Wine one run takes about 0.1 s and the load of other work on the
# machine swings it by tens of milliseconds, more than the two programs differ:
# they run strictly in turn, so that both see the same load.
WINE_TURNS = 150
ONE_MIB = 1 << 20


def log(message):
    print(message, file=sys.stderr, flush=True)


def instructions(command, env=None):
    """Instructions the whole process executes, as callgrind counts them
    (the median of three runs: address-space randomisation moves it a little)."""
    counts = []
    for _ in range(3):
        result = subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *command],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            text=True, env=env)
        found = re.search(r"Collected\s*:\s*(\d+)", result.stderr)
        if not found:
            raise RuntimeError(f"callgrind gave no count for {command}:\n{result.stderr}")
        counts.append(int(found.group(1)))
    return statistics.median(counts)


def wall_times(commands, rounds, runs, warmup, env=None):
    """Median wall time (seconds) of each command, start to exit, from
    hyperfine. The commands take turns over several rounds, so that a change
    in the machine's load falls on all of them alike."""
    times = {name: [] for name in commands}
    with tempfile.TemporaryDirectory(prefix="dorvanel-bench-") as scratch:
        export = Path(scratch) / "hyperfine.json"
        for round_number in range(rounds):
            names = list(commands)
            if round_number % 2:
                names.reverse()
            arguments = ["hyperfine", "--shell=none", "--ignore-failure", "--style=none",
                         f"--warmup={warmup}", f"--runs={runs}", f"--export-json={export}"]
            for name in names:
                arguments += ["--command-name", name, commands[name]]
            subprocess.run(arguments, check=True, stdout=subprocess.DEVNULL, env=env)
            for result in json.loads(export.read_text())["results"]:
                times[result["command"]] += result["times"]
    return {name: statistics.median(values) for name, values in times.items()}


def wall_times_in_turn(commands, turns, warmup, env=None):
    """Wall times (seconds) of each command, start to exit, one per turn; in
    each turn the commands run one after the other (the other way round every
    other turn)."""
    times = {name: [] for name in commands}
    for turn in range(warmup + turns):
        names = list(commands) if turn % 2 else list(reversed(commands))
        for name in names:
            start = time.perf_counter()
            subprocess.run(commands[name], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, env=env)
            if turn >= warmup:
                times[name].append(time.perf_counter() - start)
    return times


def peak_memory_kib(command):
    """Largest resident set of the process in KiB (GNU time), median of five."""
    peaks = []
    for _ in range(5):
        result = subprocess.run(["/usr/bin/time", "-f", "%M", *command],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, text=True)
        peaks.append(int(result.stderr.strip().splitlines()[-1]))
    return statistics.median(peaks)


def imported_dlls(exe):
    dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", str(exe)],
                          check=True, capture_output=True, text=True).stdout
    return re.findall(r"DLL Name: (\S+)", dump)


def one_mib_arguments():
    """/Close followed by arguments that bring the command line to 1 MiB
    (one argument may hold at most 128 KiB on Linux)."""
    arguments = ["/Close"]
    size = len(arguments[0]) + 1
    while size < ONE_MIB:
        piece = min(64 * 1024, ONE_MIB - size) - 1
        arguments.append("x" * max(piece, 1))
        size += len(arguments[-1]) + 1
    return arguments


def medians(bench_program):
    """The median entry of each Google Benchmark in the program, by run name."""
    with tempfile.TemporaryDirectory(prefix="dorvanel-bench-") as scratch:
        out = Path(scratch) / "bench.json"
        subprocess.run([str(bench_program), "--benchmark_min_time=0.2", "--benchmark_repetitions=3",
                        "--benchmark_report_aggregates_only=true", f"--benchmark_out={out}",
                        "--benchmark_out_format=json"], check=True, stdout=subprocess.DEVNULL)
        report = json.loads(out.read_text())
    return {entry["run_name"]: entry for entry in report["benchmarks"] if entry.get("aggregate_name") == "median"}


def grammar(bench_program):
    """Bytes per second of each grammar benchmark at each size (medians)."""
    rates = {}
    for run_name, entry in medians(bench_program).items():
        name, size = run_name.split("/")
        rates.setdefault(name.removeprefix("BM_"), {})[int(size)] = entry["bytes_per_second"]
    return rates


def optical_drives():
    """The CD drives the benchmarked programs could reach: the default
    device, its siblings and whatever the kernel lists, present or not yet."""
    found = [path for path in ("/dev/cdrom", "/dev/dvd") if os.path.lexists(path)]
    found += sorted(str(p) for p in Path("/dev").glob("sr[0-9]*"))
    found += sorted(f"/sys/block/{p.name}" for p in Path("/sys/block").glob("sr[0-9]*"))
    return found


def ratio(a, b):
    return a / b if b else float("nan")


def verdict(value, limit):
    if limit is None:
        return "—"
    return "yes" if value <= limit else "**no**"


def fmt_count(n):
    return f"{n / 1000:,.1f} k" if n < 1e6 else f"{n / 1e6:,.3f} M"


def fmt_time(seconds):
    return f"{seconds * 1e6:,.0f} µs" if seconds < 0.01 else f"{seconds * 1e3:,.1f} ms"


def fmt_rate(bytes_per_second):
    return f"{bytes_per_second / 1e6:,.0f}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("native")
    parser.add_argument("win32")
    parser.add_argument("--out", help="also write the table to this file")
    options = parser.parse_args()
    native, win32 = Path(options.native).resolve(), Path(options.win32).resolve()

    dorvanel = [str(native / "dorvanel"), "/Close"]
    floor = [str(native / "bench" / "floor")]
    hardened_floor = [str(native / "bench" / "floor-hardened")]
    eject = [shutil.which("eject") or "/usr/bin/eject", "-t"]
    exe, floor_exe = win32 / "dorvanel.exe", win32 / "bench" / "floor-win32.exe"
    drives = optical_drives()
    if drives:
        sys.exit(f"bench/run.py: this machine has a CD drive ({', '.join(drives)}); the benchmarks run "
                 "dorvanel /Close and eject -t well over a thousand times, which would drive its tray. "
                 "Run them on a machine without one.")

    # In the C locale, as the goals are set: there a line looks nothing up in
    # the catalogues, which a translated line does, after start-up.
    os.environ.update(LC_ALL="C", LANG="C")
    os.environ.pop("LANGUAGE", None)
    load_at_start = os.getloadavg()[0]
    rows = []  # (what, dorvanel, reference, ratio, goal, met)

    log("Linux: instructions (callgrind) ...")
    count = {"dorvanel": instructions(dorvanel), "floor": instructions(floor), "eject": instructions(eject),
             "hardened floor": instructions(hardened_floor)}
    big = one_mib_arguments()
    count_big = instructions([dorvanel[0], *big])
    r = ratio(count["dorvanel"], count["floor"])
    rows.append(("Linux whole run, instructions: `dorvanel /Close` vs floor", fmt_count(count["dorvanel"]),
                 fmt_count(count["floor"]), f"{r:.3f}", f"≤ {GOAL_INSTRUCTIONS_VS_FLOOR}",
                 verdict(r, GOAL_INSTRUCTIONS_VS_FLOOR)))
    rows.append(("Linux whole run, instructions: floor with the program's hardening (immediate binding) vs floor",
                 fmt_count(count["hardened floor"]), fmt_count(count["floor"]),
                 f"{ratio(count['hardened floor'], count['floor']):.3f}", "—", "—"))
    r = ratio(count["dorvanel"], count["eject"])
    rows.append(("Linux whole run, instructions: `dorvanel /Close` vs `eject -t`", fmt_count(count["dorvanel"]),
                 fmt_count(count["eject"]), f"{r:.3f}", f"≤ {GOAL_INSTRUCTIONS_VS_EJECT}",
                 verdict(r, GOAL_INSTRUCTIONS_VS_EJECT)))
    rows.append(("Linux whole run, instructions: 1 MiB command line vs `/Close`", fmt_count(count_big),
                 fmt_count(count["dorvanel"]), f"{ratio(count_big, count['dorvanel']):.2f}", "—", "—"))

    log("Linux: wall time (hyperfine) ...")
    quoted = {"dorvanel": " ".join(dorvanel), "floor": " ".join(floor), "eject": " ".join(eject),
              "hardened floor": " ".join(hardened_floor)}
    wall = wall_times(quoted, NATIVE_ROUNDS, NATIVE_RUNS, warmup=20)
    r = ratio(wall["dorvanel"], wall["floor"])
    rows.append((f"Linux whole run, wall time (median of {NATIVE_ROUNDS * NATIVE_RUNS}): vs floor",
                 fmt_time(wall["dorvanel"]), fmt_time(wall["floor"]), f"{r:.3f}", f"≤ {GOAL_WALL_VS_FLOOR}",
                 verdict(r, GOAL_WALL_VS_FLOOR)))
    rows.append((f"Linux whole run, wall time (median of {NATIVE_ROUNDS * NATIVE_RUNS}): floor with the program's "
                 "hardening (immediate binding) vs floor", fmt_time(wall["hardened floor"]), fmt_time(wall["floor"]),
                 f"{ratio(wall['hardened floor'], wall['floor']):.3f}", "—", "—"))
    rows.append((f"Linux whole run, wall time (median of {NATIVE_ROUNDS * NATIVE_RUNS}): vs `eject -t`",
                 fmt_time(wall["dorvanel"]), fmt_time(wall["eject"]),
                 f"{ratio(wall['dorvanel'], wall['eject']):.3f}", "—", "—"))

    log("Linux: peak memory (GNU time) ...")
    peak = {"dorvanel": peak_memory_kib(dorvanel), "floor": peak_memory_kib(floor), "eject": peak_memory_kib(eject)}
    peak_big = peak_memory_kib([dorvanel[0], *big])
    rows.append(("Linux peak memory (max RSS): `dorvanel /Close` vs floor", f"{peak['dorvanel']:,} KiB",
                 f"{peak['floor']:,} KiB", f"{ratio(peak['dorvanel'], peak['floor']):.2f}", "—", "—"))
    rows.append(("Linux peak memory (max RSS): `dorvanel /Close` vs `eject -t`", f"{peak['dorvanel']:,} KiB",
                 f"{peak['eject']:,} KiB", f"{ratio(peak['dorvanel'], peak['eject']):.2f}", "—", "—"))
    rows.append(("Linux peak memory (max RSS): 1 MiB command line vs `/Close`", f"{peak_big:,} KiB",
                 f"{peak['dorvanel']:,} KiB", f"{ratio(peak_big, peak['dorvanel']):.2f}", "—", "—"))

    log("Windows exe: size and imports ...")
    size, floor_size = exe.stat().st_size, floor_exe.stat().st_size
    rows.append(("dorvanel.exe size vs 8 KiB", f"{size:,} B", f"{GOAL_EXE_BYTES:,} B",
                 f"{ratio(size, GOAL_EXE_BYTES):.3f}", "≤ 1", verdict(size, GOAL_EXE_BYTES)))
    r = ratio(size, floor_size)
    rows.append(("dorvanel.exe size vs floor exe", f"{size:,} B", f"{floor_size:,} B", f"{r:.3f}",
                 f"≤ {GOAL_EXE_VS_FLOOR}", verdict(r, GOAL_EXE_VS_FLOOR)))
    dlls, floor_dlls = imported_dlls(exe), imported_dlls(floor_exe)
    rows.append(("dorvanel.exe imported DLLs vs floor exe", f"{len(dlls)} ({', '.join(dlls)})",
                 f"{len(floor_dlls)}", f"{ratio(len(dlls), len(floor_dlls)):.2f}", "—", "—"))

    if shutil.which("wine") and shutil.which("wineserver"):
        log("Windows exe: start-to-exit under Wine (new prefix, about 10 s to set up) ...")
        with wine_prefix.Temporary() as wine:
            turns = wall_times_in_turn({"dorvanel.exe": ["wine", str(exe), "/Close"],
                                        "floor": ["wine", str(floor_exe), "/Close"]},
                                       WINE_TURNS, warmup=3, env=wine.env)
        wine_times = {name: statistics.median(values) for name, values in turns.items()}
        difference = statistics.median(a - b for a, b in zip(turns["dorvanel.exe"], turns["floor"]))
        turn_ratio = statistics.median(a / b for a, b in zip(turns["dorvanel.exe"], turns["floor"]))
        rows.append((f"dorvanel.exe /Close start to exit under Wine (median of {WINE_TURNS}): vs floor exe",
                     fmt_time(wine_times["dorvanel.exe"]), fmt_time(wine_times["floor"]),
                     f"{ratio(wine_times['dorvanel.exe'], wine_times['floor']):.3f}", "—", "—"))
        rows.append(("dorvanel.exe /Close under Wine: median difference to the floor exe in the same turn",
                     f"{difference * 1e3:+.1f} ms", "", f"{ratio(difference, wine_times['floor']):+.3f}",
                     "—", "—"))
        rows.append((f"dorvanel.exe /Close under Wine: median of the {WINE_TURNS} per-turn ratios to the floor exe",
                     "", "", f"{turn_ratio:.3f}", f"≤ {GOAL_WINE_TURN_RATIO}",
                     verdict(turn_ratio, GOAL_WINE_TURN_RATIO)))
    else:
        rows.append(("dorvanel.exe start to exit under Wine", "n/a (no Wine)", "", "", "—", "—"))

    log("Grammar: throughput (Google Benchmark) ...")
    sizes = [100, 1 << 10, 32 << 10, 1 << 20]
    for name, by_size in grammar(native / "bench" / "grammar_bench").items():
        flat = [by_size[s] for s in sizes[1:]]
        spread = max(flat) / min(flat)
        rows.append((f"Grammar `{name}`, MB/s at 100 B / 1 KiB / 32 KiB / 1 MiB",
                     " / ".join(fmt_rate(by_size[s]) for s in sizes), "", f"{spread:.2f} (max/min from 1 KiB)",
                     f"≤ {GOAL_GRAMMAR_SPREAD}", verdict(spread, GOAL_GRAMMAR_SPREAD)))

    log("Linux: judging a 20,000-line mount table (Google Benchmark) ...")
    shapes = {"judge/real_table": "real-looking, the disc last",
              "judge/one_pile": "all at one point, the disc's mounts stacked on each other, the bottom listed first",
              "judge/one_circle": "all the disc's, parents in one circle"}
    judged = medians(native / "bench" / "mounts_bench")
    for run_name, shape in shapes.items():
        milliseconds = judged[run_name]["cpu_time"]
        rows.append((f"Mount table of 20,000 lines, {shape}: CPU time to judge", f"{milliseconds:.2f} ms", "", "",
                     f"≤ {GOAL_MOUNT_TABLE_MS} ms", verdict(milliseconds, GOAL_MOUNT_TABLE_MS)))

    header = ("what", "dorvanel", "reference", "ratio", "goal", "met")
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    load = os.getloadavg()[0]
    lines.append("")
    lines.append(f"Measured {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())} on {os.cpu_count()} cores, "
                 f"load average {load_at_start:.2f} at the start and {load:.2f} at the end.")
    table = "\n".join(lines)
    print(table)
    if options.out:
        Path(options.out).write_text(table + "\n")


if __name__ == "__main__":
    main()
