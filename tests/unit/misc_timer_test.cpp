// Small pure pieces: xcb connection error names, the clocks, console lines.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "debugging.h"
#include "misc.h"
#include "timer.h"

namespace {

TEST(XcbErrorNames, NameTheSixConnectionErrors)
{
    EXPECT_STREQ(xcb_error_code_to_string(XCB_CONN_ERROR), "socket, pipe, or stream error");
    EXPECT_STREQ(xcb_error_code_to_string(XCB_CONN_CLOSED_EXT_NOTSUPPORTED), "unsupported extension");
    EXPECT_STREQ(xcb_error_code_to_string(XCB_CONN_CLOSED_MEM_INSUFFICIENT), "not enough memory");
    EXPECT_STREQ(xcb_error_code_to_string(XCB_CONN_CLOSED_REQ_LEN_EXCEED), "request length exceeded");
    EXPECT_STREQ(xcb_error_code_to_string(XCB_CONN_CLOSED_PARSE_ERR), "can't parse display string");
    EXPECT_STREQ(xcb_error_code_to_string(XCB_CONN_CLOSED_INVALID_SCREEN), "invalid screen");
    EXPECT_STREQ(xcb_error_code_to_string(0), "unknown error code");
    EXPECT_STREQ(xcb_error_code_to_string(7), "unknown error code");
    EXPECT_STREQ(xcb_error_code_to_string(-1), "unknown error code");
}

TEST(Clock, RecordTimeStartsAtTheStartInstantAndNeverDecreases)
{
    struct timeval before {};
    gettimeofday(&before, nullptr);
    time_start();
    uint64_t started = time_started_in_us();
    uint64_t wall_before =
        static_cast<uint64_t>(before.tv_sec) * 1000000u + static_cast<uint64_t>(before.tv_usec);
    EXPECT_GE(started + 1000, wall_before); // gettimeofday and CLOCK_REALTIME agree to the microsecond
    EXPECT_LT(started - wall_before, 5000000u);

    uint64_t first = time_in_us();
    EXPECT_GE(first + 1, started); // the divisions may each drop a microsecond
    EXPECT_LT(first - started, 5000000u);
    uint64_t previous = first;
    for (int i = 0; i < 100000; i++) {
        uint64_t now = time_in_us();
        ASSERT_GE(now, previous);
        previous = now;
    }
}

TEST(Clock, MillisecondClockFollowsTheWallClockModulo32Bits)
{
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    uint32_t expected = static_cast<uint32_t>(static_cast<uint64_t>(tv.tv_sec) * 1000u +
                                              static_cast<uint64_t>(tv.tv_usec) / 1000u);
    uint32_t got = time_in_ms();
    EXPECT_LT(static_cast<uint32_t>(got - expected), 5000u); // modular difference: wraps like X times
}

TEST(Clock, LocalTimestampHasMillisecondsAndZoneAndIsTruncatedToTheBuffer)
{
    char buffer[64];
    timestamp(buffer, sizeof buffer);
    EXPECT_TRUE(std::regex_match(buffer, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}[+-]\d{4})")))
        << buffer;

    char small[11];
    timestamp(small, sizeof small);
    EXPECT_EQ(std::string(small).size(), 10u);
    EXPECT_TRUE(std::regex_match(small, std::regex(R"(\d{4}-\d\d-\d\d)"))) << small;

    char one = 'x';
    timestamp(&one, 1);
    EXPECT_EQ(one, '\0');
}

TEST(ConsoleLog, LineHasTimeFunctionAndMessageAndRawTextIsAsGiven)
{
    auto r = test_support::run_in_child([] {
        debug_puts("some_function", "value %d of %s", 42, "x");
        debug_puts("f", "ends with newline\n");
        debug_printf("\t[%zu] 0x%0x\n", static_cast<size_t>(3), 0xabcu);
        debug_printf("no newline");
        return 0;
    });
    ASSERT_EQ(r.status, 0);
    auto lines = test_support::lines_of(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    std::regex prefix(R"(\d\d:\d\d:\d\d\.\d{3} )");
    EXPECT_TRUE(
        std::regex_match(lines[0], std::regex(R"(\d\d:\d\d:\d\d\.\d{3} some_function: value 42 of x)")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\d\d:\d\d:\d\d\.\d{3} f: ends with newline)")))
        << lines[1];
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], "\t[3] 0xabc");
    EXPECT_EQ(lines[4], "no newline");
    EXPECT_EQ(r.out.back(), 'e');
}

TEST(ConsoleLog, LinesOfManyThreadsNeverMix)
{
    auto r = test_support::run_in_child([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; t++)
            threads.emplace_back([t] {
                for (int i = 0; i < 500; i++)
                    debug_puts("writer", "thread %d line %d %s", t, i, "padding padding padding");
            });
        for (auto& th : threads) th.join();
        return 0;
    });
    ASSERT_EQ(r.status, 0);
    auto lines = test_support::lines_of(r.out);
    ASSERT_EQ(lines.size(), 2000u);
    std::regex line(R"(\d\d:\d\d:\d\d\.\d{3} writer: thread [0-3] line \d+ padding padding padding)");
    for (const auto& l : lines) ASSERT_TRUE(std::regex_match(l, line)) << l;
}

} // namespace
