// The Linux program run with argument vectors near the kernel's limit. The
// tests' preload (support/trace_preload.cpp) records which device it opens
// and whether it waits, and refuses the open, so no drive of this machine is
// ever touched; standard error shows the usage notice. The vectors fill the
// 2 MiB the kernel allows with an 8 MiB stack, less the environment and a
// margin.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/expected_usage.h"
#include "support/large_vectors.h"

extern char** environ;

namespace dorvanel {
namespace {

constexpr const char* program = DORVANEL_PROGRAM;
constexpr std::size_t margin = 16 * 1024;

std::string trace_path() { return ::testing::TempDir() + "dorvanel-trace"; }

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The environment the program runs with: the test's own, the preload and its
// log, and no leak check (a sanitized build's leak checker stops at the
// preload, as does its check that it is loaded first).
std::vector<std::string> child_environment() {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text = *entry;
        if (text.starts_with("ASAN_OPTIONS=") || text.starts_with("LD_PRELOAD=")) continue;
        environment.emplace_back(text);
    }
    const char* asan = std::getenv("ASAN_OPTIONS");
    environment.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0:verify_asan_link_order=0");
    environment.push_back("LD_PRELOAD=" DORVANEL_PRELOAD);
    environment.push_back("DORVANEL_TRACE=" + trace_path());
    return environment;
}

struct Outcome {
    int exit_status = -1;
    std::string out, err;
    std::vector<std::string> devices;  // CD devices opened, in order
    int waits = 0;
};

Outcome run(const std::vector<std::string>& arguments) {
    const std::string directory = ::testing::TempDir();
    const std::string out_path = directory + "dorvanel-out", err_path = directory + "dorvanel-err";
    std::remove(trace_path().c_str());
    std::vector<std::string> command{program};
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : command) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment = child_environment();
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    const pid_t child = fork();
    if (child == 0) {
        // The kernel allows a quarter of the stack limit for the vector: make that 2 MiB.
        rlimit stack{};
        getrlimit(RLIMIT_STACK, &stack);
        if (stack.rlim_cur != RLIM_INFINITY && stack.rlim_cur < 8u << 20) {
            stack.rlim_cur = std::min<rlim_t>(8u << 20, stack.rlim_max);
            setrlimit(RLIMIT_STACK, &stack);
        }
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);  // E2BIG or a missing program
    }
    Outcome outcome;
    int status = 0;
    waitpid(child, &status, 0);
    outcome.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome.out = read_file(out_path);
    outcome.err = read_file(err_path);
    std::istringstream trace(read_file(trace_path()));
    for (std::string line; std::getline(trace, line);) {
        if (line.starts_with("wait ")) ++outcome.waits;
        if (line.starts_with("open ")) outcome.devices.push_back(line.substr(5));
    }
    return outcome;
}

std::size_t environment_cost() {
    std::size_t cost = 0;
    for (const std::string& entry : child_environment()) cost += entry.size() + 1 + sizeof(char*);
    return cost;
}

std::string device_of(const DriveElement& drive) {
    if (drive.size == 0) return "/dev/cdrom";
    return "/dev/sr" + std::to_string(drive.bytes[1] - 'd');
}

// On standard error the notice's lines end in a plain newline, the last one too.
std::string usage_lines() {
    std::string lines;
    for (const char c : expected_usage_text()) {
        if (c != '\r') lines += c;
    }
    return lines + "\n";
}

TEST(LinuxLimits, RunsWithArgumentVectorsNearTheKernelLimit) {
    const std::size_t budget = large::vector_limit - environment_cost() - sizeof(DORVANEL_PROGRAM) - margin;
    for (const large::LargeVector& v : large::large_vectors(budget)) {
        const Outcome outcome = run(v.arguments);
        ASSERT_EQ(outcome.exit_status, 0) << v.name << ": " << outcome.err.substr(0, 2000);
        EXPECT_EQ(outcome.out, "") << v.name;
        std::vector<std::string> devices;
        if (v.invocation.mode != Mode::Usage) devices.push_back(device_of(v.invocation.drive_element));
        const bool closes_later = v.invocation.mode == Mode::OpenClose && v.invocation.delay > 0;
        if (closes_later) devices.push_back(devices.front());
        EXPECT_EQ(outcome.devices, devices) << v.name;
        std::string said;  // the preload refuses each open as if there were no device
        for (const std::string& device : devices) said += "dorvanel: " + device + ": no such device\n";
        EXPECT_EQ(outcome.err, v.invocation.mode == Mode::Usage ? usage_lines() : said) << v.name;
        EXPECT_EQ(outcome.waits, closes_later ? 1 : 0) << v.name;
    }
}

}  // namespace
}  // namespace dorvanel
