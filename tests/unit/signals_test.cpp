// The signal thread, each case in a child process of its own, since it
// blocks every signal of the process: the first termination signal stops
// the frontend, other signals stay pending, and the stop wakes and joins it.
#include "signals.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <csignal>
#include <regex>
#include <string>

#include "child_process.h"
#include "debugging.h"
#include "frontend.h"

namespace {

using test_support::ChildResult;
using test_support::lines_of;
using test_support::run_in_child;

// The message part of the console lines, without the time.
std::vector<std::string> messages(const std::string& out)
{
    std::vector<std::string> result;
    for (const std::string& line : lines_of(out)) {
        auto space = line.find(' ');
        result.push_back(space == std::string::npos ? line : line.substr(space + 1));
    }
    return result;
}

int count_of(const std::vector<std::string>& lines, const std::string& wanted)
{
    int n = 0;
    for (const auto& line : lines) n += line == wanted;
    return n;
}

bool pending(int sig)
{
    sigset_t set;
    sigpending(&set);
    return sigismember(&set, sig) == 1;
}

TEST(SignalNames, FollowTheLinuxNumbering)
{
    EXPECT_STREQ(signal_name(SIGHUP), "SIGHUP");
    EXPECT_STREQ(signal_name(SIGINT), "SIGINT");
    EXPECT_STREQ(signal_name(SIGUSR1), "SIGUSR1");
    EXPECT_STREQ(signal_name(SIGTERM), "SIGTERM");
    EXPECT_STREQ(signal_name(16), "SIGSTKFLT");
    EXPECT_STREQ(signal_name(SIGWINCH), "SIGWINCH");
    EXPECT_STREQ(signal_name(SIGSYS), "SIGSYS");
    EXPECT_STREQ(signal_name(0), "unknown");
    EXPECT_STREQ(signal_name(32), "unknown");
    EXPECT_STREQ(signal_name(64), "unknown");
    EXPECT_STREQ(signal_name(-1), "unknown");
}

// Child exit codes: what went wrong inside.
enum : int { CHILD_OK = 0, NO_STOP = 10, NOT_PENDING = 11, STILL_RUNNING = 12 };

TEST(SignalThread, SigintStopsTheFrontendAndTheStopCollectsTheThread)
{
    ChildResult r = run_in_child([] {
        test_support::OutputTap tap;
        debugging_set(true);
        signals_thread_start();
        // To the whole process, as from a terminal: only the signal thread can take it.
        kill(getpid(), SIGINT);
        bool stopped = tap.wait_for("frontend_stop: stopping frontend");
        // The thread takes one signal only: this one stays pending.
        kill(getpid(), SIGINT);
        signals_thread_stop();
        bool still_pending = pending(SIGINT);
        bool running = frontend_running();
        printf("%s", tap.finish().c_str());
        if (!stopped) return int{NO_STOP};
        if (!still_pending) return int{NOT_PENDING};
        return running ? int{STILL_RUNNING} : int{CHILD_OK};
    });
    ASSERT_FALSE(r.timed_out) << r.out;
    EXPECT_EQ(r.status, CHILD_OK) << r.out << r.err;
    auto lines = messages(r.out);
    EXPECT_EQ(count_of(lines, "signals_block_all: all signals blocked"), 1) << r.out;
    EXPECT_EQ(count_of(lines, "signals_thread_start: thread setup complete"), 1) << r.out;
    EXPECT_EQ(count_of(lines, "signals_function: got signal SIGINT (2): stopping frontend"), 1) << r.out;
    EXPECT_EQ(count_of(lines, "frontend_stop: stopping frontend"), 1) << r.out;
    EXPECT_EQ(count_of(lines, "signals_thread_stop: collected signals thread"), 1) << r.out;
    EXPECT_EQ(r.out.find("SIGTERM"), std::string::npos) << r.out;
    // Every console line: time with milliseconds, function, message.
    for (const auto& line : lines_of(r.out))
        EXPECT_TRUE(std::regex_match(line, std::regex(R"([0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} [a-z_]+: .*)")))
            << line;
}

TEST(SignalThread, OtherSignalsStayPendingAndTheStopWakesTheWaitingThread)
{
    ChildResult r = run_in_child([] {
        test_support::OutputTap tap;
        debugging_set(true);
        signals_thread_start();
        kill(getpid(), SIGUSR1);
        kill(getpid(), SIGCHLD);
        bool usr1_pending = pending(SIGUSR1) && pending(SIGCHLD);
        signals_thread_stop();
        printf("%s", tap.finish().c_str());
        return usr1_pending ? int{CHILD_OK} : int{NOT_PENDING};
    });
    ASSERT_FALSE(r.timed_out) << r.out;
    EXPECT_EQ(r.status, CHILD_OK) << r.out << r.err;
    auto lines = messages(r.out);
    // The wake-up is an ordinary SIGTERM to the thread.
    EXPECT_EQ(count_of(lines, "signals_function: got signal SIGTERM (15): stopping frontend"), 1) << r.out;
    EXPECT_EQ(count_of(lines, "frontend_stop: stopping frontend"), 1) << r.out;
    EXPECT_EQ(count_of(lines, "signals_thread_stop: collected signals thread"), 1) << r.out;
    EXPECT_EQ(r.out.find("SIGUSR1"), std::string::npos) << r.out;
}

TEST(SignalThread, StopRightAfterStartStillEnds)
{
    ChildResult r = run_in_child([] {
        signals_thread_start();
        signals_thread_stop();
        return int{CHILD_OK};
    });
    ASSERT_FALSE(r.timed_out) << "the stop did not wake the thread";
    EXPECT_EQ(r.status, CHILD_OK) << r.err;
    EXPECT_EQ(r.out, "") << "no console line outside debug mode";
}

TEST(SignalThread, TerminationSignalWithoutDebugModeWritesNoConsoleLine)
{
    ChildResult r = run_in_child([] {
        signals_thread_start();
        kill(getpid(), SIGTERM);
        signals_thread_stop();
        return int{CHILD_OK};
    });
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, CHILD_OK) << r.err;
    EXPECT_EQ(r.out, "");
}

} // namespace
