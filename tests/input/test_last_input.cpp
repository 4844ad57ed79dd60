// Last-input arbitration: members registered from real root properties,
// votes fed as the ClientMessages that the event handling passes on, the
// announcements read from standard output and the decisions from the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "input-fixture.h"

using namespace input_test;

namespace {

uint32_t fake_now;
uint32_t fake_clock()
{
    return fake_now;
}

const Credit own{"olga", "t-own"};

class LastInput : public InputModules {
  protected:
    void SetUp() override
    {
        testing::internal::CaptureStdout();
        start({"-user", "olga", "-tfn", "t-own"}, debug_);
        fake_now = 100000;
        last_input_clock_set(fake_clock);
        capturing_ = true;
        last_input_setup();
    }

    void TearDown() override
    {
        last_input_clock_set(nullptr);
        if (capturing_) testing::internal::GetCapturedStdout();
        InputModules::TearDown();
    }

    void send(uint32_t type, xcb_atom_t atom, uint32_t time = 0)
    {
        auto e = message(type, atom, time);
        last_input_handle_message(&e);
    }

    // A registered member: the atom of a property name\0tfn named after it.
    xcb_atom_t member(const std::string& name, const std::string& tfn)
    {
        xcb_atom_t a = publish("PELK_MEMBER_" + name, name + std::string(1, '\0') + tfn);
        send(LI_MEMBER_REGISTER, a);
        return a;
    }

    // Ends the run: the announcements made and the records written.
    std::pair<std::vector<std::string>, Recording> end()
    {
        last_input_teardown();
        fflush(stdout);
        std::string out = testing::internal::GetCapturedStdout();
        capturing_ = false;
        return {lines_with(out, "##lastInputBy "), finish()};
    }

    bool capturing_ = false;
    bool debug_ = false;
};

class LastInputDebug : public LastInput {
  protected:
    LastInputDebug() { debug_ = true; }
};

TEST_F(LastInput, WorkedExampleTwoMembers)
{
    xcb_atom_t a = member("alice", "ta");
    xcb_atom_t b = member("bob", "tb");
    ASSERT_EQ(last_input_quorum(), 2u);

    send(LI_KEY_PRESS, 0, 1000);    // A: not mine
    send(LI_KEY_PRESS, 0, 1000);    // B: not mine either -> own user
    send(LI_KEY_PRESS, b, 1000);    // too late: decided
    send(LI_KEY_PRESS, a, 999);     // older: stale
    send(LI_BUTTON_PRESS, a, 2000); // A's own input, credited at once
    send(LI_KEY_PRESS, b, 2500);
    send(LI_KEY_PRESS, b, 2600); // same member again: record, no announcement

    auto [announced, rec] = end();
    EXPECT_EQ(announced, (std::vector<std::string>{"t-own", "ta", "tb"}));
    EXPECT_EQ(rec.credits, (std::vector<Credit>{own, {"alice", "ta"}, {"bob", "tb"}, {"bob", "tb"}}));
}

TEST_F(LastInput, OneAnonymousReportIsNotEnoughWithTwoMembers)
{
    member("alice", "ta");
    member("bob", "tb");
    send(LI_KEY_PRESS, 0, 1000);
    auto [announced, rec] = end();
    EXPECT_TRUE(announced.empty());
    EXPECT_TRUE(rec.credits.empty());
}

TEST_F(LastInput, UnknownMemberVotingForItselfIsRegisteredAndCreditedAtOnce)
{
    xcb_atom_t alice = publish("PELK_ALICE", std::string("alice\0t1", 8));
    send(LI_KEY_PRESS, alice, 1000);
    EXPECT_EQ(last_input_quorum(), 1u);
    send(LI_KEY_PRESS, alice, 1001);
    auto [announced, rec] = end();
    EXPECT_EQ(announced, std::vector<std::string>{"t1"});
    EXPECT_EQ(rec.credits, (std::vector<Credit>{{"alice", "t1"}, {"alice", "t1"}}));
}

TEST_F(LastInput, StaleEqualAndZeroTimesAreIgnored)
{
    send(LI_KEY_PRESS, 0, 0);   // never later than the start value
    send(LI_KEY_PRESS, 0, 500); // no members: decided at once for the own user
    send(LI_KEY_PRESS, 0, 500);
    send(LI_BUTTON_PRESS, 0, 500);
    send(LI_KEY_PRESS, 0, 400);
    send(LI_KEY_PRESS, 0, 501);
    auto [announced, rec] = end();
    EXPECT_EQ(announced, std::vector<std::string>{"t-own"});
    EXPECT_EQ(rec.credits, (std::vector<Credit>{own, own}));
}

TEST_F(LastInput, KeyAndButtonAtTheSameTimeAreSeparateVotes)
{
    member("alice", "ta");
    member("bob", "tb");
    send(LI_KEY_PRESS, 0, 1000);
    send(LI_BUTTON_PRESS, 0, 1000); // does not count towards the key vote
    send(LI_KEY_PRESS, 0, 1000);    // the second report about the key decides it
    send(LI_BUTTON_PRESS, 0, 1000); // decided key at 1000 made this stale
    auto [announced, rec] = end();
    EXPECT_EQ(rec.credits, (std::vector<Credit>{own}));
}

TEST_F(LastInput, ThreeMembersNeedThreeAnonymousReports)
{
    member("a", "ta");
    member("b", "tb");
    member("c", "tc");
    send(LI_KEY_PRESS, 0, 1000);
    send(LI_KEY_PRESS, 0, 1000);
    send(LI_KEY_PRESS, 0, 2000); // another input, pending on its own
    send(LI_KEY_PRESS, 0, 1000); // third report: decided
    send(LI_KEY_PRESS, 0, 2000);
    send(LI_KEY_PRESS, 0, 2000); // third report about 2000
    auto [announced, rec] = end();
    EXPECT_EQ(rec.credits, (std::vector<Credit>{own, own}));
}

TEST_F(LastInput, LeaveRemovesTheMember)
{
    xcb_atom_t a = member("alice", "ta");
    member("bob", "tb");
    send(LI_MEMBER_LEAVE, a);
    EXPECT_EQ(last_input_quorum(), 1u);
    send(LI_KEY_PRESS, 0, 1000);                          // one member left: one report decides
    send(LI_MEMBER_LEAVE, client_->atom("NOT_A_MEMBER")); // unknown: ignored
    EXPECT_EQ(last_input_quorum(), 1u);
    auto [announced, rec] = end();
    EXPECT_EQ(rec.credits, (std::vector<Credit>{own}));
}

TEST_F(LastInput, SilentMemberIsPurgedAfterMoreThan2500Ms)
{
    xcb_atom_t a = member("alice", "ta");
    fake_now += 2000;
    send(LI_MEMBER_HEARTBEAT, a);
    fake_now += 2500;
    send(LI_KEY_PRESS, 0, 1000); // purge first: kept, so one report decides
    EXPECT_EQ(last_input_quorum(), 1u);
    fake_now += 1;
    send(LI_KEY_PRESS, 0, 2000);
    EXPECT_EQ(last_input_quorum(), 0u);
    auto [announced, rec] = end();
    EXPECT_EQ(rec.credits, (std::vector<Credit>{own, own}));
}

TEST_F(LastInput, PurgeCountsInWrappingMilliseconds)
{
    fake_now = UINT32_MAX - 1000;
    xcb_atom_t a = member("alice", "ta");
    fake_now += 2500; // past zero
    send(LI_KEY_PRESS, 0, 10);
    EXPECT_EQ(last_input_quorum(), 1u);
    fake_now += 1;
    send(LI_KEY_PRESS, 0, 20);
    EXPECT_EQ(last_input_quorum(), 0u);
    send(LI_KEY_PRESS, a, 30); // its property is still there: registered anew
    EXPECT_EQ(last_input_quorum(), 1u);
    auto [announced, rec] = end();
    EXPECT_EQ(rec.credits, (std::vector<Credit>{own, own, {"alice", "ta"}}));
}

TEST_F(LastInput, HeartbeatOfAnUnknownMemberRegistersIt)
{
    xcb_atom_t a = publish("PELK_HB", std::string("hb\0thb", 6));
    send(LI_MEMBER_HEARTBEAT, a);
    EXPECT_EQ(last_input_quorum(), 1u);
    end();
}

TEST_F(LastInput, ReRegistrationReplacesNameAndTfn)
{
    xcb_atom_t a = member("alice", "ta");
    publish("PELK_MEMBER_alice", std::string("alicia\0ta2", 10));
    send(LI_MEMBER_REGISTER, a);
    EXPECT_EQ(last_input_quorum(), 1u);
    send(LI_KEY_PRESS, a, 1000);
    auto [announced, rec] = end();
    EXPECT_EQ(announced, std::vector<std::string>{"ta2"});
    EXPECT_EQ(rec.credits, (std::vector<Credit>{{"alicia", "ta2"}}));
}

TEST_F(LastInput, ThirtySecondMemberIsRefused)
{
    for (int i = 1; i <= 31; i++) member("m" + std::to_string(i), "t" + std::to_string(i));
    ASSERT_EQ(last_input_quorum(), 31u);
    EXPECT_TRUE(journal_messages().empty());
    member("m32", "t32");
    EXPECT_EQ(last_input_quorum(), 31u);
    EXPECT_EQ(journal_messages(),
              std::vector<std::string>{"can't add member name=<m32> tfn=<t32>: quorum=31"});
    // every registered member can still be found and credited
    for (int i = 1; i <= 31; i++)
        send(LI_KEY_PRESS, client_->atom("PELK_MEMBER_m" + std::to_string(i)),
             static_cast<uint32_t>(1000 + i));
    auto [announced, rec] = end();
    ASSERT_EQ(rec.credits.size(), 31u);
    EXPECT_EQ(rec.credits[30], (Credit{"m31", "t31"}));
}

TEST_F(LastInput, MalformedPropertiesRegisterNothingSilently)
{
    xcb_atom_t no_zero = publish("PELK_NO_ZERO", "alice");
    xcb_atom_t empty = publish("PELK_EMPTY", "");
    xcb_atom_t absent = client_->atom("PELK_ABSENT");
    for (xcb_atom_t a : {no_zero, empty, absent}) {
        send(LI_MEMBER_REGISTER, a);
        send(LI_MEMBER_HEARTBEAT, a);
        send(LI_KEY_PRESS, a, 1000 + a); // a named member without entry: no record
    }
    EXPECT_EQ(last_input_quorum(), 0u);
    std::vector<std::string> expected;
    for (xcb_atom_t a : {no_zero, empty, absent})
        expected.push_back("failed to find member entry for atom=" + std::to_string(a));
    EXPECT_EQ(journal_messages(), expected);

    // an empty name is a name
    xcb_atom_t anonymous = publish("PELK_NAMELESS", std::string("\0tx", 3));
    send(LI_KEY_PRESS, anonymous, 5000);
    auto [announced, rec] = end();
    EXPECT_EQ(rec.credits, (std::vector<Credit>{{"", "tx"}}));
}

TEST_F(LastInput, UnreadablePropertyIsReported)
{
    const xcb_atom_t no_such_atom = 0x3fffffff;
    send(LI_MEMBER_REGISTER, no_such_atom);
    EXPECT_EQ(last_input_quorum(), 0u);
    EXPECT_EQ(journal_messages(), std::vector<std::string>{"failed to get property for atom 1073741823"});
    end();
}

TEST_F(LastInput, LongTfnsAreComparedAndAnnouncedWhole)
{
    // The value read is at most 4096 bytes: "a", a zero byte, 4094 bytes of tfn.
    std::string common(4000, 'x');
    std::string t1 = common + std::string(94, '1');
    std::string t2 = common + std::string(94, '2');
    xcb_atom_t a = publish("PELK_LONG_A", "a" + std::string(1, '\0') + t1);
    xcb_atom_t b = publish("PELK_LONG_B", "b" + std::string(1, '\0') + t2 + "cut off");
    send(LI_KEY_PRESS, a, 1000);
    send(LI_KEY_PRESS, b, 2000); // differs from t1 only after 4000 bytes
    send(LI_KEY_PRESS, a, 3000);
    auto [announced, rec] = end();
    EXPECT_EQ(announced, (std::vector<std::string>{t1, t2, t1}));
    EXPECT_EQ(rec.credits, (std::vector<Credit>{{"a", t1}, {"b", t2}, {"a", t1}}));
}

TEST_F(LastInput, PendingVotesAreBoundedAndReported)
{
    member("a", "ta");
    member("b", "tb");
    for (uint32_t t = 1; t <= 32; t++) send(LI_KEY_PRESS, 0, t); // none decides
    EXPECT_EQ(
        journal_messages(),
        std::vector<std::string>{"can't add vote type=4 time=32: maximum number of pending votes reached"});
    send(LI_KEY_PRESS, 0, 31); // decides 31, removing every earlier vote
    send(LI_KEY_PRESS, 0, 33); // room again
    send(LI_KEY_PRESS, 0, 33);
    auto [announced, rec] = end();
    EXPECT_EQ(rec.credits, (std::vector<Credit>{own, own}));
}

TEST_F(LastInput, RecordRefusedByTheWriterIsReportedAndReleased)
{
    Recording before = finish(); // the writer is gone: sends fail
    EXPECT_TRUE(before.credits.empty());
    journal_clear();
    send(LI_KEY_PRESS, 0, 1000);
    auto messages = journal_messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "failed to send record for name=olga tfn=t-own to backend"),
              messages.end());
    // still announced: the announcement comes before the record
    auto [announced, rec] = end();
    EXPECT_EQ(announced, std::vector<std::string>{"t-own"});
}

TEST_F(LastInput, MessagesArriveThroughTheServerFromARealMember)
{
    // The main connection selected the root's structure and property events,
    // so a member's SendEvent to the root reaches it.
    xtest::ProcessOptions options;
    options.pipe_stdin = true;
    xtest::Process alice({MEMBER_CLIENT_PATH, xvfb_->display()}, options);
    alice.write_stdin("atom PELK_ALICE\npublish alice talice\nregister\nkey 1000 self\n"
                      "button 1000 0\necho all-sent\n");
    ASSERT_TRUE(alice.wait_for_output("all-sent"));

    xcb_connection_t* c = display_connection();
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    int handled = 0;
    while (xcb_generic_event_t* e = xcb_poll_for_queued_event(c)) {
        if ((e->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
            last_input_handle_message(reinterpret_cast<xcb_client_message_event_t*>(e));
            handled++;
        }
        free(e);
    }
    alice.close_stdin();
    EXPECT_EQ(alice.wait(), 0);
    EXPECT_EQ(handled, 3);
    EXPECT_EQ(last_input_quorum(), 1u);
    auto [announced, rec] = end();
    EXPECT_EQ(announced, std::vector<std::string>{"talice"});
    EXPECT_EQ(rec.credits, (std::vector<Credit>{{"alice", "talice"}}));
}

TEST_F(LastInputDebug, DebugModeLogsAndDumps)
{
    xcb_atom_t a = member("alice", "ta");
    send(LI_KEY_PRESS, 0, 1000);
    send(LI_KEY_PRESS, a, 999);
    send(LI_MEMBER_LEAVE, a);
    send(7, 0, 0);
    last_input_teardown();
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    capturing_ = false;
    EXPECT_NE(out.find("member name=alice tfn=ta joined -> new quorum=1"), std::string::npos);
    EXPECT_NE(out.find("-- members_dump: quorum=1\n\tmembers[0]: atom=0 name=olga tfn=t-own"),
              std::string::npos);
    EXPECT_NE(out.find("pending=1, vote: time=1000 votes_left=0, atom=0"), std::string::npos);
    EXPECT_NE(out.find("-- votes_dump: votes_pending=0"), std::string::npos);
    EXPECT_NE(out.find("time 999 < last_vote 1000 -> ignoring KEY_PRESS vote from " + std::to_string(a)),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("member name=alice tfn=ta left"), std::string::npos);
    EXPECT_NE(out.find("purging member name=alice tfn=ta"), std::string::npos);
    EXPECT_NE(out.find("type=unknown atom=0 time=0"), std::string::npos);
    finish();
}

// Hostile members: random property contents and random message words.  The
// arbitration must neither crash nor leak (the sanitizer builds check that)
// and every record must name the own user or a value some property held.
TEST_F(LastInput, HostileMembersNeverCorruptARecord)
{
    std::mt19937 rng(20261206);
    std::vector<xcb_atom_t> atoms;
    for (int i = 0; i < 40; i++) atoms.push_back(client_->atom("PELK_HOSTILE_" + std::to_string(i)));
    std::set<std::string> names{"olga"}, tfns{"t-own"};

    auto random_bytes = [&](size_t n) {
        std::string s(n, '\0');
        for (auto& ch : s) ch = static_cast<char>(rng() % 4 == 0 ? 0 : 'a' + rng() % 26);
        return s;
    };
    for (int round = 0; round < 1500; round++) {
        switch (rng() % 4) {
        case 0: {
            size_t n = rng() % 8 == 0 ? 4096 : rng() % 4 == 0 ? rng() % 4097 : rng() % 64;
            std::string value = random_bytes(n);
            xcb_atom_t a = atoms[rng() % atoms.size()];
            xcb_change_property(client_->c(), XCB_PROP_MODE_REPLACE, client_->root(), a, XCB_ATOM_STRING, 8,
                                static_cast<uint32_t>(value.size()), value.data());
            client_->sync();
            size_t zero = value.find('\0');
            if (zero != std::string::npos) {
                names.insert(value.substr(0, zero).c_str());
                tfns.insert(value.substr(zero + 1).c_str());
            }
            break;
        }
        case 1: {
            xcb_client_message_event_t e{};
            e.response_type = XCB_CLIENT_MESSAGE;
            for (auto& w : e.data.data32) w = static_cast<uint32_t>(rng());
            if (rng() % 2) e.data.data32[0] %= 7;
            if (rng() % 2) e.data.data32[1] = atoms[rng() % atoms.size()];
            last_input_handle_message(&e);
            break;
        }
        default: {
            uint32_t type = 1 + rng() % 5;
            xcb_atom_t a = rng() % 3 == 0 ? 0 : atoms[rng() % atoms.size()];
            uint32_t time = static_cast<uint32_t>(round * 10 + rng() % 40);
            send(type, a, time);
            break;
        }
        }
        ASSERT_LE(last_input_quorum(), 31u);
        fake_now += rng() % 600;
    }
    auto [announced, rec] = end();
    EXPECT_FALSE(rec.credits.empty());
    for (const auto& credit : rec.credits) {
        EXPECT_TRUE(names.count(credit.user)) << credit;
        EXPECT_TRUE(tfns.count(credit.tfn)) << credit;
    }
    for (const auto& line : announced) EXPECT_TRUE(tfns.count(line)) << line;
}

} // namespace
