// How long the Linux program takes to judge a mount table, by its shape, at
// 20,000 lines: a real-looking table, and the shapes that make the ordering
// longest. Each run copies the table first (the reader unescapes in place);
// every proof and unmount handed over succeeds at once.
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

// Every mount at one point, the disc's stacked on each other, listed the
// bottom first: all of them are handed over, the top first.
std::string one_pile() {
    std::string table = line(20, 1, "8:1", "/");
    for (int i = 1; i < lines; ++i) table += line(20 + i, 19 + i, "11:0", "/mnt/disc");
    return table;
}

// A table read in pieces: the disc's mounts, their parents leading round in
// one circle through all of them, so that none is handed over.
std::string one_circle() {
    std::string table;
    for (int i = 0; i < lines; ++i) table += line(20 + i, 20 + (i + 1) % lines, "11:0", "/mnt/disc");
    return table;
}

int handed;  // mounts handed over, so that the work is not optimised away

int count(std::uint64_t, const char*, dorvanel::linux_mounts::DeviceNumbers) {
    ++handed;
    return 0;
}

void judge(benchmark::State& state, const std::string& table) {
    std::vector<char> text(table.size());
    for (auto _ : state) {
        text.assign(table.begin(), table.end());
        dorvanel::linux_mounts::unmount_mounts(text, disc, {count, count});
        benchmark::DoNotOptimize(handed);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(table.size()));
}

BENCHMARK_CAPTURE(judge, real_table, real_table())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(judge, one_pile, one_pile())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(judge, one_circle, one_circle())->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
