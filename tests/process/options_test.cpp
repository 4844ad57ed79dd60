// The program run as a subprocess: its process title, the options line on
// standard input, and the exact messages, outputs and exit statuses of
// option handling.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "child_process.h"

namespace {

using test_support::ChildResult;

const std::string recorder = RECORDER_PATH;
const std::string title = "pelkRec pelkrecorder-xpra-seamless";

// A regular file holding the given bytes, opened for reading at offset 0.
class InputFile {
  public:
    explicit InputFile(const std::string& content)
    {
        char path[] = "/tmp/recorder-stdin-XXXXXX";
        fd_ = mkstemp(path);
        if (fd_ < 0) abort();
        unlink(path);
        if (write(fd_, content.data(), content.size()) != static_cast<ssize_t>(content.size())) abort();
        lseek(fd_, 0, SEEK_SET);
    }
    ~InputFile() { close(fd_); }
    int fd() const { return fd_; }
    // The offset that the program left in the shared open file description.
    off_t offset() const { return lseek(fd_, 0, SEEK_CUR); }

  private:
    int fd_;
};

ChildResult run(std::vector<std::string> args, int stdin_fd = -1)
{
    args.insert(args.begin(), recorder);
    return test_support::run_program(recorder, args, stdin_fd);
}

ChildResult run_with_input(std::vector<std::string> args, const std::string& input, off_t* offset = nullptr)
{
    InputFile in(input);
    ChildResult r = run(std::move(args), in.fd());
    if (offset) *offset = in.offset();
    return r;
}

std::string fatal(const std::string& message)
{
    return title + ": " + message + "\n";
}

const std::string usage_text = R"(
	record events from X display to file

USAGE: pelkRec pelkrecorder-xpra-seamless [OPTIONS] DISPLAY FILENAME

    DISPLAY  is the X display to record
    FILENAME serves as template for the ZEL files

The options are:

   -ignore-suspended
       record even if session on display is suspended (default is to exit)

   -installed-colormap
       use first installed colormap (instead of default)

   -app   APP
   -app64 APP64
       value of app

   -appfmt   APP
   -appfmt64 APP64
       value of app formatted by String::fmtTfn

   -host HOST
       value of host

   -ip IP
       value of ip

   -id  SID
   -sid SID
       session id

   -tfn   TFN
   -tfn64 TFN64
       value of tfn

   -tid   TID
   -tid64 TID64
       ticket id

   -user   USER
   -user64 USER64
       name of user

   -no-session
       record even if there is no TOVEN_SESSION_STATE property

   -stdin
       scan stdin for further options and arguments

    -help
        show this help
    -version
        show the version

    -debug
        set debug mode
    -verbose
        set verbose mode

)";

// "<title> built Mmm dd yyyy hh:mm:ss on <host>\n", the day padded with a blank.
void expect_version_line(const std::string& line)
{
    std::regex version(title + " built [A-Z][a-z]{2} [ 123][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} on " +
                       EXPECTED_BUILD_HOST + "\n");
    EXPECT_TRUE(std::regex_match(line, version)) << line;
}

struct Dump {
    std::string app = "(null)", appfmt = "(null)", framerate = "10", host = "(null)", ip = "(null)",
                sid = "(null)", tfn = "(null)", tid = "(null)", user = "(null)";
    int ignore_suspended = 0, no_session = 0, debug = 1, stdin = 0, verbose = 0;
    std::string display = "(null)", filename = "(null)";

    std::string text() const
    {
        return "-- OPTIONS:\n\tapp=" + app + "\n\tappfmt=" + appfmt + "\n\tframerate=" + framerate +
               "\n\thost=" + host + "\n\tip=" + ip + "\n\tsid=" + sid + "\n\ttfn=" + tfn + "\n\ttid=" + tid +
               "\n\tuser=" + user + "\n\n\tignore_suspended=" + std::to_string(ignore_suspended) +
               "\n\tno_session=" + std::to_string(no_session) + "\n\n\tdebug=" + std::to_string(debug) +
               "\n\tstdin=" + std::to_string(stdin) + "\n\tverbose=" + std::to_string(verbose) +
               "\n\n-- ARGUMENTS:\n\tdisplay=" + display + "\n\tfilename=" + filename + "\n\n";
    }
};

std::string base64_groups(size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; i++) s += "QUJD";
    return s;
}

TEST(Options, MissingPositionalArgumentsEndWithStatusOne)
{
    ChildResult r = run({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, fatal("no display specified"));
    EXPECT_EQ(r.out, "");

    r = run({"d"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, fatal("no filename specified"));
}

TEST(Options, ValueOptionAsLastWordEndsWithMissingValue)
{
    for (const char* name : {"app", "app64", "appfmt", "appfmt64", "framerate", "host", "ip", "sid", "id",
                             "tid", "tid64", "tfn", "tfn64", "user", "user64"}) {
        for (const char* dashes : {"-", "--"}) {
            std::string word = std::string(dashes) + name;
            ChildResult r = run({"d", word});
            EXPECT_EQ(r.status, 1) << word;
            EXPECT_EQ(r.err, fatal("missing value for option '" + word + "'")) << word;
        }
    }
}

TEST(Options, ThirdPositionalWordIsUnknown)
{
    ChildResult r = run({"a", "b", "c"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, fatal("unknown argument 'c'\n"));

    r = run({"a", "b", "-x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, fatal("unknown option '-x'\n"));

    r = run({"-x", "-hx", "-vv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, fatal("unknown option '-vv'\n"));
}

TEST(Options, Base64FailuresEndWithTheDecodersStatus)
{
    struct Case {
        std::string option, value;
        int status;
    };
    std::vector<Case> cases = {
        {"-app64", "QQ ==", 4},
        {"--user64", "QUJD\r", 4},
        {"-tfn64", base64_groups(1365) + "QUJD", 3},
        {"--tid64", base64_groups(1365) + "QUJ", 2},
        {"-appfmt64", base64_groups(1365) + "QU", 1},
    };
    for (const Case& c : cases) {
        ChildResult r = run({c.option, c.value, "d"});
        EXPECT_EQ(r.status, c.status) << c.option;
        EXPECT_EQ(r.err, fatal("failed to decode value '" + c.value + "' for '" + c.option + "'"))
            << c.option;
    }
    // 4095 bytes fit.
    ChildResult r = run({"-tfn64", base64_groups(1365) + "Q", "d"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, fatal("no filename specified"));
}

TEST(Options, HelpPrintsVersionAndUsage)
{
    for (const char* word : {"-?", "-h", "-help", "--help"}) {
        ChildResult r = run({"-user", "u", word, "x", "y", "z"});
        EXPECT_EQ(r.status, 0) << word;
        EXPECT_EQ(r.err, "") << word;
        auto newline = r.out.find('\n');
        ASSERT_NE(newline, std::string::npos) << word;
        expect_version_line(r.out.substr(0, newline + 1));
        EXPECT_EQ(r.out.substr(newline + 1), usage_text) << word;
    }
}

TEST(Options, VersionPrintsOneLine)
{
    for (const char* word : {"-v", "-version", "--version"}) {
        ChildResult r = run({word, "-x"});
        EXPECT_EQ(r.status, 0) << word;
        EXPECT_EQ(r.err, "") << word;
        expect_version_line(r.out);
    }
}

TEST(Options, DebugModeDumpsEveryValueBeforeValidation)
{
    ChildResult r = run({"--debug",
                         "-app",
                         "A",
                         "--appfmt64",
                         "Qg==",
                         "-framerate",
                         "25",
                         "-host",
                         "h",
                         "--ip",
                         "1.2.3.4",
                         "-id",
                         "s",
                         "-tfn",
                         "t f",
                         "-tid64",
                         "VElE",
                         "--user",
                         "u",
                         "-no-session",
                         "--ignore-suspended",
                         "-installed-colormap",
                         "-verbose",
                         "disp"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, fatal("no filename specified"));
    Dump d;
    d.app = "A";
    d.appfmt = "B";
    d.framerate = "25";
    d.host = "h";
    d.ip = "1.2.3.4";
    d.sid = "s";
    d.tfn = "t f";
    d.tid = "TID";
    d.user = "u";
    d.ignore_suspended = 1;
    d.no_session = 1;
    d.verbose = 1;
    d.display = "disp";
    EXPECT_EQ(r.out, d.text());
}

TEST(Options, InvalidFrameRatesWarnAndKeepTheDefault)
{
    ChildResult r = run({"-framerate", "0", "-framerate", "101", "--framerate", "-5", "-framerate", "300",
                         "-framerate", "fast", "-debug"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, fatal("invalid framerate '0'") + fatal("invalid framerate '101'") +
                         fatal("invalid framerate '-5'") + fatal("invalid framerate '300'") +
                         fatal("invalid framerate '0'") + fatal("no display specified"));
    EXPECT_EQ(r.out, Dump{}.text());
}

TEST(Options, ValueWordThatLooksLikeAnOptionIsAValue)
{
    ChildResult r = run({"-app", "-debug", "d"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "") << "no dump: debug mode is off";
    EXPECT_EQ(r.err, fatal("no filename specified"));
}

TEST(StdinLine, ValuesAndArgumentsComeFromTheOneLine)
{
    off_t offset = -1;
    ChildResult r =
        run_with_input({"-stdin", "-debug", "-user", "alice"}, "-user bob\td\n-app X\nmore", &offset);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, fatal("no filename specified"));
    Dump d;
    d.user = "bob";
    d.stdin = 1;
    d.display = "d";
    EXPECT_EQ(r.out, d.text());
    // Nothing after the line was taken from the descriptor.
    EXPECT_EQ(offset, static_cast<off_t>(std::string("-user bob\td\n").size()));
}

TEST(StdinLine, GivenTwiceStillReadsOneLine)
{
    off_t offset = -1;
    ChildResult r = run_with_input({"-stdin", "--stdin"}, "  -debug  \n-user bob\n", &offset);
    EXPECT_EQ(r.status, 1);
    Dump d;
    d.stdin = 1;
    EXPECT_EQ(r.out, d.text());
    EXPECT_EQ(offset, 11);
}

TEST(StdinLine, EndOfInputIsNoError)
{
    off_t offset = -1;
    ChildResult r = run_with_input({"-stdin", "-debug"}, "", &offset);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, fatal("no display specified"));
    Dump d;
    d.stdin = 1;
    EXPECT_EQ(r.out, "-- cli_process_stdin: failed to get line from stdin\n" + d.text());
    EXPECT_EQ(offset, 0);

    // A last line without its newline is still read.
    r = run_with_input({"-stdin", "-debug"}, "-host h");
    Dump with_host;
    with_host.stdin = 1;
    with_host.host = "h";
    EXPECT_EQ(r.out, with_host.text());
}

TEST(StdinLine, StdinOnTheLineIsAWordAndDoubleDashDoesNotCarryOver)
{
    ChildResult r = run_with_input({"-stdin", "--", "-debug"}, "--stdin -debug\n");
    Dump d;
    d.stdin = 1;
    d.display = "-debug";
    d.filename = "--stdin";
    // The line's -debug is an option again; the program then goes on to the
    // display, which the name -debug cannot reach.
    EXPECT_EQ(r.out.substr(0, d.text().size()), d.text());
}

TEST(StdinLine, HelpOnTheLineShowsTheUsageUnderTheTitle)
{
    ChildResult r = run_with_input({"-stdin"}, "-help\n");
    EXPECT_EQ(r.status, 0);
    auto newline = r.out.find('\n');
    ASSERT_NE(newline, std::string::npos);
    expect_version_line(r.out.substr(0, newline + 1));
    EXPECT_EQ(r.out.substr(newline + 1), usage_text);

    r = run_with_input({"-stdin"}, "--version\n");
    EXPECT_EQ(r.status, 0);
    expect_version_line(r.out);
}

std::vector<std::string> cmdline_of(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> words;
    size_t start = 0;
    for (size_t i = 0; i < all.size(); i++)
        if (all[i] == '\0') {
            words.push_back(all.substr(start, i - start));
            start = i + 1;
        }
    return words;
}

TEST(ProcessTitle, ProgramRunsUnderTheTitleWhateverItWasStartedAs)
{
    for (std::string first : {recorder, std::string("recorder"), std::string(""), title}) {
        int in[2];
        ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
        std::vector<std::string> seen;
        ChildResult r =
            test_support::run_program(recorder, {first, "-stdin", "d"}, in[0], {}, nullptr, [&](pid_t pid) {
                close(in[0]);
                // It waits for its options line; by then it runs under the title.
                auto deadline = std::chrono::steady_clock::now() + test_support::generous_timeout;
                while (std::chrono::steady_clock::now() < deadline) {
                    seen = cmdline_of(pid);
                    if (!seen.empty() && seen[0] == title) break;
                    sched_yield();
                }
                close(in[1]);
            });
        EXPECT_EQ(seen, (std::vector<std::string>{title, "-stdin", "d"})) << "started as '" << first << "'";
        EXPECT_EQ(r.status, 1);
        // err/errx lines name the title.
        EXPECT_EQ(r.err, fatal("no filename specified")) << "started as '" << first << "'";
    }
}

TEST(ProcessTitle, UnresolvableExecutableEndsBeforeAnyOption)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer runtimes need /proc at start";
#else
    // Without /proc the running executable cannot be resolved.
    ChildResult r = test_support::run_program(recorder, {recorder, "-help"}, -1, [] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("none", "/proc", "tmpfs", 0, nullptr) != 0) {
            dprintf(STDERR_FILENO, "no private mount namespace: %s\n", strerror(errno));
            _exit(77);
        }
    });
    if (r.status == 77) GTEST_SKIP() << r.err;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(
        r.err,
        "pelkrecorder-xpra-seamless: failed to get realpath for /proc/self/exe: No such file or directory\n");
#endif
}

} // namespace
