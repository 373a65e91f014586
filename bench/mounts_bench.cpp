// How long the Linux program takes to judge a mount table, by its shape, at
// 20,000 lines: a real-looking table, and the shapes that make the walks
// longest. Each run copies the table first (the reader unescapes in place);
// every unmount handed over succeeds at once.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/linux_mounts.h"

namespace {

constexpr int lines = 20000;
constexpr dorvanel::linux_mounts::DeviceNumbers disc{11, 0};

std::string line(int id, int parent, const char* device, const std::string& point) {
    return std::to_string(id) + " " + std::to_string(parent) + " " + device + " / " + point +
           " rw,relatime shared:1 - tmpfs tmpfs rw\n";
}

// A machine with many mounts, each at its own point, and the disc last.
std::string real_table() {
    std::string table = line(20, 1, "8:1", "/");
    for (int i = 1; i < lines - 1; ++i) table += line(20 + i, 20, "0:50", "/run/user/" + std::to_string(i));
    return table + line(20 + lines, 20, "11:0", "/media/disc");
}

// Every mount at one point: other filesystems at the bottom, the disc's
// mounts stacked on them, so that each of the disc's walks down the whole pile.
std::string one_pile() {
    std::string table = line(20, 1, "8:1", "/");
    for (int i = 1; i < lines; ++i) table += line(20 + i, 19 + i, i < lines / 2 ? "0:50" : "11:0", "/mnt/disc");
    return table;
}

// A table read in pieces: every mount at the disc's point, their parents
// leading round in one circle through all of them.
std::string one_circle() {
    std::string table;
    for (int i = 0; i < lines; ++i) table += line(20 + i, 20 + (i + 1) % lines, i % 2 ? "11:0" : "0:50", "/mnt/disc");
    return table;
}

int handed;  // mounts handed over, so that the work is not optimised away

void judge(benchmark::State& state, const std::string& table) {
    std::vector<char> text(table.size());
    for (auto _ : state) {
        text.assign(table.begin(), table.end());
        dorvanel::linux_mounts::unmount_mounts(text, disc, [](std::uint64_t, const char*) {
            ++handed;
            return 0;
        });
        benchmark::DoNotOptimize(handed);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(table.size()));
}

BENCHMARK_CAPTURE(judge, real_table, real_table())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(judge, one_pile, one_pile())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(judge, one_circle, one_circle())->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
