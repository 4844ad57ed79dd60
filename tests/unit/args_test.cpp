// Options: the Base64 decoder at its limits, and the word scanner's rules
// for options, positional words and values.
#include "args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "debugging.h"

namespace {

// "ABC" per group of four characters.
std::string groups(size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; i++) s += "QUJD";
    return s;
}

struct Decoded {
    int status;
    std::string value;
};

Decoded decode(const std::string& in)
{
    std::vector<unsigned char> out(4096, 0);
    size_t length = 4095;
    int status = base64_decode(in.data(), in.size(), out.data(), &length);
    return {status, status == 0 ? std::string(out.begin(), out.begin() + static_cast<long>(length)) : ""};
}

TEST(Base64, DecodesTheStandardAlphabetWithOrWithoutPadding)
{
    EXPECT_EQ(decode("QQ==").value, "A");
    EXPECT_EQ(decode("QQ").value, "A");
    EXPECT_EQ(decode("QUI").value, "AB");
    EXPECT_EQ(decode("QUJD").value, "ABC");
    EXPECT_EQ(decode("+/+/").value, "\xfb\xff\xbf");
    EXPECT_EQ(decode("aGVsbG8gd29ybGQ=").value, "hello world");
    // A single trailing character carries no whole byte and is dropped.
    EXPECT_EQ(decode("Q").status, 0);
    EXPECT_EQ(decode("Q").value, "");
    EXPECT_EQ(decode("QUJDR").value, "ABC");
    EXPECT_EQ(decode("").value, "");
}

TEST(Base64, EqualsSignEndsTheDataWhateverFollows)
{
    EXPECT_EQ(decode("QQ==junk!").value, "A");
    EXPECT_EQ(decode("QUJD=QUJD").value, "ABC");
    EXPECT_EQ(decode("=\x01").value, "");
}

TEST(Base64, NewlinesAreSkippedAndOtherBytesAreInvalid)
{
    EXPECT_EQ(decode("QU\nJD\n").value, "ABC");
    EXPECT_EQ(decode("\n\nQQ").value, "A");
    for (const char* bad : {"QQ ==", "Q\tQ", "QQ\r\n", "QQ-_", "Q.Q", "\x80QQ"}) {
        EXPECT_EQ(decode(bad).status, 4) << bad;
    }
}

TEST(Base64, ValueOfUpTo4095BytesFitsAndOneMoreFails)
{
    // 1365 groups give exactly 4095 bytes.
    Decoded full = decode(groups(1365));
    ASSERT_EQ(full.status, 0);
    EXPECT_EQ(full.value.size(), 4095u);
    EXPECT_EQ(full.value.substr(4092), "ABC");
    // A lone extra character adds no byte.
    EXPECT_EQ(decode(groups(1365) + "Q").status, 0);
    // Two more characters make one byte too many, three make two, four a whole group.
    EXPECT_EQ(decode(groups(1365) + "QU").status, 1);
    EXPECT_EQ(decode(groups(1365) + "QUJ").status, 2);
    EXPECT_EQ(decode(groups(1365) + "QUJD").status, 3);
    EXPECT_EQ(decode(groups(2000)).status, 3);
    // Newlines and padding do not count.
    EXPECT_EQ(decode(groups(1365) + "\n==QUJD").status, 0);
    // Two characters before the limit still fit as one byte.
    EXPECT_EQ(decode(groups(1364) + "QUJ").value.size(), 4094u);
    EXPECT_EQ(decode(groups(1364) + "QU").value.size(), 4093u);
}

TEST(Base64, OptionValueEndsAtADecodedZeroByte)
{
    EXPECT_STREQ(value_of_option64("-app64", "QQ=="), "A");
    EXPECT_STREQ(value_of_option64("-app64", "Q"), "");
    EXPECT_STREQ(value_of_option64("-app64", "QUFBAEJC"), "AAA"); // "AAA\0BB"
    EXPECT_STREQ(value_of_option64("-user64", "w6TDtsO8"), "\xc3\xa4\xc3\xb6\xc3\xbc");
    std::string big = value_of_option64("-tfn64", groups(1365).c_str());
    EXPECT_EQ(big.size(), 4095u);
}

// Scans a command line as main would, with the program name in front.
class Scan : public ::testing::Test {
  protected:
    void SetUp() override { debugging_set(false); }
    void TearDown() override { debugging_set(false); }

    void parse(std::vector<std::string> words)
    {
        words_ = std::move(words);
        words_.insert(words_.begin(), "prog");
        argv_.clear();
        for (auto& w : words_) argv_.push_back(w.data());
        argv_.push_back(nullptr);
        cli_parse_arguments(static_cast<int>(words_.size()), argv_.data());
    }
    std::vector<std::string> words_;
    std::vector<char*> argv_;
};

std::string text(const char* s)
{
    return s ? s : "(null)";
}

TEST_F(Scan, ValueOptionTakesTheNextWordWhateverItLooksLike)
{
    parse({"-app", "-debug", "d", "f"});
    EXPECT_EQ(text(app()), "-debug");
    EXPECT_FALSE(debugging());
    EXPECT_EQ(text(display_name()), "d");
    EXPECT_EQ(text(filename()), "f");
}

TEST_F(Scan, DoubleDashEndsTheOptions)
{
    parse({"--", "-debug", "f"});
    EXPECT_EQ(text(display_name()), "-debug");
    EXPECT_EQ(text(filename()), "f");
    EXPECT_FALSE(debugging());
}

TEST_F(Scan, UnknownDashWordsArePositionalWhileASlotIsOpen)
{
    parse({"-x", "-hx"});
    EXPECT_EQ(text(display_name()), "-x");
    EXPECT_EQ(text(filename()), "-hx");
    // One-letter forms exist with one dash only.
    parse({"-vv", "--h"});
    EXPECT_EQ(text(display_name()), "-vv");
    EXPECT_EQ(text(filename()), "--h");
}

TEST_F(Scan, EveryNamedOptionWorksWithOneAndTwoDashes)
{
    for (const char* dashes : {"-", "--"}) {
        std::string d = dashes;
        parse({d + "app",
               "a1",
               d + "appfmt",
               "af1",
               d + "host",
               "h1",
               d + "ip",
               "i1",
               d + "sid",
               "s1",
               d + "tid",
               "t1",
               d + "tfn",
               "tf1",
               d + "user",
               "u1",
               d + "framerate",
               "25",
               d + "ignore-suspended",
               d + "no-session",
               d + "installed-colormap",
               "disp",
               "file"});
        EXPECT_EQ(text(app()), "a1") << d;
        EXPECT_EQ(text(appfmt()), "af1") << d;
        EXPECT_EQ(text(host()), "h1") << d;
        EXPECT_EQ(text(ip()), "i1") << d;
        EXPECT_EQ(text(sid()), "s1") << d;
        EXPECT_EQ(text(tid()), "t1") << d;
        EXPECT_EQ(text(tfn()), "tf1") << d;
        EXPECT_EQ(text(user()), "u1") << d;
        EXPECT_EQ(framerate(), 25) << d;
        EXPECT_TRUE(ignore_suspended()) << d;
        EXPECT_TRUE(no_session()) << d;
        EXPECT_TRUE(use_installed_colormap()) << d;
        EXPECT_EQ(text(display_name()), "disp") << d;
        EXPECT_EQ(text(filename()), "file") << d;

        parse({d + "app64", "QQ", d + "appfmt64", "Qg", d + "tid64", "Qw", d + "tfn64", "RA", d + "user64",
               "RQ", d + "id", "s2", d + "nosession"});
        EXPECT_EQ(text(app()), "A") << d;
        EXPECT_EQ(text(appfmt()), "B") << d;
        EXPECT_EQ(text(tid()), "C") << d;
        EXPECT_EQ(text(tfn()), "D") << d;
        EXPECT_EQ(text(user()), "E") << d;
        EXPECT_EQ(text(sid()), "s2") << d;
        EXPECT_TRUE(no_session()) << d;
        EXPECT_FALSE(ignore_suspended()) << d << ": start values are set again on each parse";
        EXPECT_EQ(framerate(), 10) << d;
    }
}

TEST_F(Scan, LaterOccurrencesOverwriteEarlierOnes)
{
    parse({"-user", "a", "--user", "b", "-user64", "Qw", "-host", "x", "-host", "y"});
    EXPECT_EQ(text(user()), "C");
    EXPECT_EQ(text(host()), "y");
}

TEST_F(Scan, FramerateOutsideOneToHundredIsKeptAtItsOldValue)
{
    parse({"-framerate", "100"});
    EXPECT_EQ(framerate(), 100);
    parse({"-framerate", "1"});
    EXPECT_EQ(framerate(), 1);
    parse({"-framerate", " +25fps"});
    EXPECT_EQ(framerate(), 25);
    for (const char* bad : {"0", "101", "-5", "300", "abc", ""}) {
        ::testing::internal::CaptureStderr();
        parse({"-framerate", "50", "-framerate", bad});
        std::string warning = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(framerate(), 50) << bad;
        EXPECT_NE(warning.find("invalid framerate '"), std::string::npos) << warning;
    }
}

TEST_F(Scan, DebugAndVerboseSwitches)
{
    ::testing::internal::CaptureStdout();
    parse({"--debug", "--verbose", "d"});
    std::string dump = ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(debugging());
    EXPECT_TRUE(verbose());
    EXPECT_NE(dump.find("\tdebug=1\n\tstdin=0\n\tverbose=1\n"), std::string::npos) << dump;
    verbose_set(false);
}

} // namespace
