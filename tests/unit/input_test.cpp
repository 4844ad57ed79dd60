// Last-input arbitration, in-process against
// a real Xvfb: members published as real root properties, votes fed as the
// client messages the event handling passes on, announcements read from
// standard output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "args.h"
#include "display.h"
#include "harness.h"
#include "last-input.h"

using namespace xtest;

namespace {

enum : uint32_t { REGISTER = 1, HEARTBEAT = 2, LEAVE = 3, KEY = 4 };

uint32_t now_ms;
uint32_t fake_clock()
{
    return now_ms;
}

// One X server and the recorder's display connection for the whole program.
class Modules : public testing::Environment {
  public:
    void SetUp() override
    {
        server = std::make_unique<XServer>();
        static std::string display = server->display();
        static const char* argv[] = {"t", "-user", "olga", "-tfn", "own", display.c_str(), "/dev/null"};
        cli_parse_arguments(7, const_cast<char**>(argv));
        client = std::make_unique<Client>(display);
        client->set_root_property("XPRA_SERVER_MODE", "UTF8_STRING", "seamless");
        display_connection_setup();
    }
    void TearDown() override
    {
        display_connection_teardown();
        client.reset();
        server.reset();
    }
    std::unique_ptr<XServer> server;
    std::unique_ptr<Client> client;
};
Modules* modules = static_cast<Modules*>(testing::AddGlobalTestEnvironment(new Modules));

// Standard output as a pipe for the test's duration: the announcements.
class Announcements {
  public:
    Announcements()
    {
        std::fflush(stdout);
        saved_ = dup(1);
        if (pipe2(fds_, O_NONBLOCK) != 0) std::abort();
        dup2(fds_[1], 1);
    }
    ~Announcements()
    {
        dup2(saved_, 1);
        for (int fd : {saved_, fds_[0], fds_[1]}) close(fd);
    }
    std::string text()
    {
        char buf[4096];
        for (ssize_t n; (n = read(fds_[0], buf, sizeof buf)) > 0;) text_.append(buf, static_cast<size_t>(n));
        return text_;
    }

  private:
    int saved_ = -1, fds_[2] = {-1, -1};
    std::string text_;
};

// A step of a scenario: a member published, a message, or the clock moved.
struct Step {
    enum { MEMBER, MESSAGE, CLOCK } kind;
    std::string name;  // MEMBER: the member's name (its atom is MEMBER_<name>)
    std::string tfn;   // MEMBER
    uint32_t type = 0; // MESSAGE
    std::string from;  // MESSAGE: a member's name, or "" for atom 0
    uint32_t time = 0; // MESSAGE: the input's time; CLOCK: the new clock
};

Step member(std::string name, std::string tfn)
{
    return {Step::MEMBER, std::move(name), std::move(tfn), 0, "", 0};
}
Step message(uint32_t type, std::string from, uint32_t time = 0)
{
    return {Step::MESSAGE, "", "", type, std::move(from), time};
}
Step clock_at(uint32_t ms)
{
    return {Step::CLOCK, "", "", 0, "", ms};
}

struct Scenario {
    const char* name;
    std::vector<Step> steps;
    std::string announced; // every announcement, in order
};

void run(const Step& s)
{
    Client& c = *modules->client;
    const xcb_atom_t atom = c.atom("MEMBER_" + (s.kind == Step::MESSAGE ? s.from : s.name));
    switch (s.kind) {
    case Step::MEMBER: c.set_root_property("MEMBER_" + s.name, "STRING", s.name + '\0' + s.tfn); return;
    case Step::CLOCK: now_ms = s.time; return;
    case Step::MESSAGE:
        xcb_client_message_event_t e{};
        e.response_type = XCB_CLIENT_MESSAGE;
        e.format = 32;
        e.data.data32[0] = s.type;
        e.data.data32[1] = s.from.empty() ? 0 : atom;
        e.data.data32[2] = s.time;
        last_input_handle_message(&e);
        return;
    }
}

class Arbitration : public testing::TestWithParam<Scenario> {};

TEST_P(Arbitration, AnnouncesWhoGaveTheInput)
{
    std::string announced;
    {
        Announcements out;
        now_ms = 100000;
        last_input_clock_set(fake_clock);
        last_input_setup();
        for (const Step& s : GetParam().steps) run(s);
        last_input_teardown();
        last_input_clock_set(nullptr);
        announced = out.text();
    }
    EXPECT_EQ(announced, GetParam().announced);
}

const uint32_t near_wrap = 0xFFFFFC00u; // a member time whose time-out passes the wrap

const Scenario scenarios[] = {
    {"NoMemberOwnUserAtOnce", {message(KEY, "", 1000)}, "##lastInputBy own\n"},
    {"TimeZeroIgnored", {message(KEY, "", 0)}, ""},
    {"StaleVoteIgnored",
     {member("a", "ta"), message(REGISTER, "a"), message(KEY, "a", 1000), message(KEY, "a", 999)},
     "##lastInputBy ta\n"},
    {"NamedMemberCreditedOnceAnnouncedOnce",
     {member("a", "ta"), message(KEY, "a", 1000), message(KEY, "a", 2000)},
     "##lastInputBy ta\n"},
    {"DisclaimedByEveryMemberGoesToOwnUser",
     {member("a", "ta"), member("b", "tb"), message(REGISTER, "a"), message(REGISTER, "b"),
      message(KEY, "", 500), message(KEY, "", 500)},
     "##lastInputBy own\n"},
    {"DisclaimedByOneOfTwoStaysOpen",
     {member("a", "ta"), member("b", "tb"), message(REGISTER, "a"), message(REGISTER, "b"),
      message(KEY, "", 500)},
     ""},
    {"SilentMembersPurgedAfter2500ms",
     {member("a", "ta"), member("b", "tb"), message(REGISTER, "a"), message(REGISTER, "b"), clock_at(102501),
      message(KEY, "", 700)},
     "##lastInputBy own\n"},
    {"SilentFor2500msKept",
     {member("a", "ta"), member("b", "tb"), message(REGISTER, "a"), message(REGISTER, "b"), clock_at(102500),
      message(KEY, "", 700)},
     ""},
    {"LeftMemberNoLongerCounts",
     {member("a", "ta"), member("b", "tb"), message(REGISTER, "a"), message(REGISTER, "b"),
      message(LEAVE, "a"), message(KEY, "", 700)},
     "##lastInputBy own\n"},
    {"VotesAfterTheServerTimeWrapsCount",
     {member("a", "ta"), message(KEY, "", 0xFFFFFF00u), message(KEY, "a", 0x100)},
     "##lastInputBy own\n##lastInputBy ta\n"},
    {"MembersNotPurgedBeforeTheClockWraps",
     {clock_at(near_wrap), member("a", "ta"), member("b", "tb"), message(REGISTER, "a"),
      message(REGISTER, "b"), clock_at(near_wrap + 1000), message(KEY, "", 700)},
     ""},
    {"ControlCharactersRefused", {member("e", "evil\n##lastInputBy admin"), message(KEY, "e", 900)}, ""},
};
INSTANTIATE_TEST_SUITE_P(Scenarios, Arbitration, testing::ValuesIn(scenarios),
                         [](const testing::TestParamInfo<Scenario>& i) { return std::string(i.param.name); });

} // namespace
