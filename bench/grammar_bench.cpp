// Throughput of the argument grammar on command lines of 100 B to 1 MiB:
// splitting a Windows command-line text, packing a Unix argument vector, and
// interpreting the packed list. The cost should grow linearly with the size,
// so bytes per second should stay flat from 1 KiB up.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <string>
#include <vector>

#include "invocation/invocation.h"
#include "support/code_pages.h"

namespace {

using namespace dorvanel;

using code_pages::ascii_lowercase;
constexpr LeadByteTest no_lead_byte = code_pages::single_byte;

// What people type, plus the odd long quoted path; no "?", which would stop
// the reading at once. Every token is one argument.
constexpr const char* words[] = {
    "/D:", "/Open", "/Close", "/OpenClose=20", "\"C:\\Program Files\\Dorvanel\\notes.txt\"",
    "O/p/e/n", "/OpenClose=0x1E", "/E:", "/OPENCLOSE=007", "verbose", "/OpenClose=$1E",
};

// A command line of exactly `size` bytes: the program name, then words
// separated by blanks, then filler letters to make the size.
std::string command_line(std::size_t size) {
    std::string text = "dorvanel.exe";
    for (std::size_t i = 0; text.size() < size; ++i) {
        text += ' ';
        text += words[i % std::size(words)];
    }
    text.resize(size);
    if (text.back() == ' ' || text.back() == '"') text.back() = 'x';
    return text;
}

// The same command line as the argument vector a Unix shell would hand over.
std::vector<std::string> argument_vector(std::size_t size) {
    const std::string text = command_line(size);
    std::vector<char> packed(text.size() + 1);
    const ArgumentList list = split_command_line(text, no_lead_byte, packed);
    std::vector<std::string> vector{"dorvanel"};
    for (std::size_t at = 0; at < list.packed.size();) {
        vector.emplace_back(list.packed.data() + at);
        at += vector.back().size() + 1;
    }
    return vector;
}

// Google Benchmark's rate: the bytes of every iteration.
void count_bytes(benchmark::State& state, std::size_t per_iteration) {
    state.SetBytesProcessed(state.iterations() * static_cast<benchmark::IterationCount>(per_iteration));
}

void BM_Split(benchmark::State& state) {
    const std::string text = command_line(static_cast<std::size_t>(state.range(0)));
    std::vector<char> out(text.size() + 1);
    for (auto _ : state) {
        const ArgumentList list = split_command_line(text, no_lead_byte, out);
        benchmark::DoNotOptimize(list.packed.data());
        benchmark::ClobberMemory();
    }
    count_bytes(state, text.size());
}

void BM_Pack(benchmark::State& state) {
    const std::vector<std::string> vector = argument_vector(static_cast<std::size_t>(state.range(0)));
    std::vector<const char*> argv;
    for (const std::string& argument : vector) argv.push_back(argument.c_str());
    const int argc = static_cast<int>(argv.size());
    std::vector<char> out(packed_size(argc, argv.data()));
    for (auto _ : state) {
        const ArgumentList list = pack_argument_vector(argc, argv.data(), out);
        benchmark::DoNotOptimize(list.packed.data());
        benchmark::ClobberMemory();
    }
    count_bytes(state, out.size());
}

void BM_Interpret(benchmark::State& state) {
    const std::string text = command_line(static_cast<std::size_t>(state.range(0)));
    std::vector<char> packed(text.size() + 1);
    const ArgumentList list = split_command_line(text, no_lead_byte, packed);
    std::vector<char> room(list.packed.size());
    for (auto _ : state) {
        Invocation invocation = interpret(list, ascii_lowercase, room);
        benchmark::DoNotOptimize(invocation);
    }
    count_bytes(state, text.size());
}

// What dorvanel.exe does with its command line from start to Invocation.
void BM_SplitAndInterpret(benchmark::State& state) {
    const std::string text = command_line(static_cast<std::size_t>(state.range(0)));
    std::vector<char> buffer(2 * (text.size() + 1));
    const std::span<char> out(buffer.data(), text.size() + 1);
    const std::span<char> room(buffer.data() + out.size(), out.size());
    for (auto _ : state) {
        Invocation invocation = interpret(split_command_line(text, no_lead_byte, out), ascii_lowercase, room);
        benchmark::DoNotOptimize(invocation);
    }
    count_bytes(state, text.size());
}

constexpr std::int64_t sizes[] = {100, 1 << 10, 32 << 10, 1 << 20};

void command_line_sizes(benchmark::internal::Benchmark* benchmark) {
    for (const std::int64_t size : sizes) benchmark->Arg(size);
}

BENCHMARK(BM_Split)->Apply(command_line_sizes);
BENCHMARK(BM_Pack)->Apply(command_line_sizes);
BENCHMARK(BM_Interpret)->Apply(command_line_sizes);
BENCHMARK(BM_SplitAndInterpret)->Apply(command_line_sizes);

}  // namespace

BENCHMARK_MAIN();
