// The run, against a platform that records what it is asked to do.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "main/run.h"
#include "support/expected_usage.h"
#include "support/recording_platform.h"

namespace dorvanel {
namespace {

using Requests = std::vector<std::string>;

Requests run(const Invocation& invocation) {
    recording::clear();
    carry_out(invocation);
    return recording::requests();
}

const DriveElement none{};
const DriveElement drive_e = DriveElement::for_letter('e');

struct RunCase {
    const char* name;
    Invocation invocation;
    Requests requests;
};

const RunCase run_cases[] = {
    {"open", {Mode::Open, none, 0}, {"open"}},
    {"close", {Mode::Close, none, 0}, {"close"}},
    {"open on e", {Mode::Open, drive_e, 0}, {"open !e:\\"}},
    {"close on d", {Mode::Close, DriveElement::for_letter('d'), 0}, {"close !d:\\"}},
    {"delay is ignored outside OpenClose", {Mode::Close, none, 20}, {"close"}},
    {"open and close", {Mode::OpenClose, drive_e, 20},
     {"open !e:\\", "wait 20000", "close !e:\\"}},
    {"one second", {Mode::OpenClose, none, 1}, {"open", "wait 1000", "close"}},
    {"delay 0 leaves the door open", {Mode::OpenClose, none, 0}, {"open"}},
    {"negative delay leaves it open", {Mode::OpenClose, none, -5}, {"open"}},
    {"most negative delay", {Mode::OpenClose, none, -2147483647 - 1}, {"open"}},
    {"odd drive bytes pass through", {Mode::Open, DriveElement::for_letter('\x82'), 0}, {"open !\x82:\\"}},
    {"usage", {Mode::Usage, drive_e, 10}, {"notice Dorvanel 64"}},
};

TEST(Run, MovesTheTrayInOrder) {
    for (const RunCase& c : run_cases) EXPECT_EQ(run(c.invocation), c.requests) << c.name;
}

TEST(Run, ShowsTheFiveLineUsageNotice) {
    run({Mode::Usage, none, 0});
    EXPECT_EQ(recording::last_notice_text(), expected_usage_text());
}

// A delay is waited in full: one exact wait while delay x 1000 fits in 32
// bits, several waits below 0xFFFFFFFF ("forever" to Windows) beyond that.
struct WaitCase {
    std::int32_t delay;
    Requests waits;
};

const WaitCase wait_cases[] = {
    {4294967, {"wait 4294967000"}},
    {4294968, {"wait 4294967294", "wait 706"}},
    {8589934, {"wait 4294967294", "wait 4294966706"}},
    {8589935, {"wait 4294967294", "wait 4294967294", "wait 412"}},
};

TEST(Run, WaitsLongDelaysInFullWithoutWrapping) {
    for (const WaitCase& c : wait_cases) {
        Requests requests = run({Mode::OpenClose, none, c.delay});
        ASSERT_GE(requests.size(), 2u) << c.delay;
        EXPECT_EQ(requests.front(), "open");
        EXPECT_EQ(requests.back(), "close");
        EXPECT_EQ(Requests(requests.begin() + 1, requests.end() - 1), c.waits) << c.delay;
    }
}

TEST(Run, LargestDelayAddsUpToTheWholeTime) {
    const Requests requests = run({Mode::OpenClose, none, 2147483647});
    std::uint64_t total = 0;
    for (std::size_t i = 1; i + 1 < requests.size(); ++i) {
        const std::uint64_t wait = std::stoull(requests[i].substr(5));
        EXPECT_GT(wait, 0u);
        EXPECT_LT(wait, 0xFFFFFFFFull);
        total += wait;
    }
    EXPECT_EQ(total, 2147483647ull * 1000);
    EXPECT_EQ(requests.back(), "close");
}

}  // namespace
}  // namespace dorvanel
