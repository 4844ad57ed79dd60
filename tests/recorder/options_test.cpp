// The command line, the options line on standard input and every refusal at
// start: exact messages on standard error, exit statuses, and no recording
// file left behind by a start that failed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <regex>

#include "harness.h"

using namespace xtest;

namespace {

const std::string title = "pelkRec pelkrecorder-xpra-seamless";

std::string fatal(const std::string& message)
{
    return title + ": " + message + "\n";
}

std::string groups(size_t n) // n Base64 groups of three bytes each
{
    std::string s;
    while (n--) s += "QUJD";
    return s;
}

struct Refusal {
    std::vector<std::string> args;
    int status;
    std::string message;
};

class CommandLine : public testing::TestWithParam<Refusal> {};

TEST_P(CommandLine, IsRefusedWithItsMessageAndStatus)
{
    std::vector<std::string> argv = GetParam().args;
    argv.insert(argv.begin(), RECORDER_PATH);
    const RunResult r = run(argv);
    EXPECT_EQ(r.status, GetParam().status);
    EXPECT_EQ(r.err, fatal(GetParam().message));
    EXPECT_EQ(r.out, "");
}

const Refusal refusals[] = {
    {{}, 1, "no display specified"},
    {{"d"}, 1, "no filename specified"},
    {{"d", "-app"}, 1, "missing value for option '-app'"},
    {{"d", "--tfn64"}, 1, "missing value for option '--tfn64'"},
    {{"d", "-framerate"}, 1, "missing value for option '-framerate'"},
    {{"a", "b", "c"}, 1, "unknown argument 'c'"},
    {{"-x", "-hx", "-vv"}, 1, "unknown option '-vv'"},
    {{"-app64", "QU@J"}, 4, "failed to decode value 'QU@J' for '-app64'"},
    {{"--user64", groups(1366)}, 3, "failed to decode value '" + groups(1366) + "' for '--user64'"},
    {{"-tid64", groups(1365) + "QUI"}, 2, "failed to decode value '" + groups(1365) + "QUI' for '-tid64'"},
    {{"-tfn64", groups(1365) + "QU"}, 1, "failed to decode value '" + groups(1365) + "QU' for '-tfn64'"},
};
INSTANTIATE_TEST_SUITE_P(Table, CommandLine, testing::ValuesIn(refusals));

TEST(Options, HelpAndVersionPrintUnderTheTitle)
{
    const std::regex version(title + " built [A-Z][a-z]{2} [ 123][0-9] [0-9]{4} [0-9:]{8} on .+\n");
    std::string usage = read_file(std::string(TEST_DATA_DIR) + "/usage.txt");
    usage.replace(usage.find("%s"), 2, title);
    for (const char* word : {"-help", "--help", "-h", "-?"}) {
        const RunResult r = run({RECORDER_PATH, "d", word});
        EXPECT_EQ(r.status, 0) << word;
        const auto end = r.out.find('\n') + 1;
        EXPECT_TRUE(std::regex_match(r.out.substr(0, end), version)) << r.out;
        EXPECT_EQ(r.out.substr(end), usage) << word;
    }
    const RunResult v = run({RECORDER_PATH, "--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_TRUE(std::regex_match(v.out, version)) << v.out;
}

TEST(Options, InvalidFrameRateWarnsAndGoesOn)
{
    const RunResult r = run({RECORDER_PATH, "-framerate", "101", "-framerate", "x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, title + ": invalid framerate '101'\n" + title + ": invalid framerate '0'\n" +
                         fatal("no display specified"));
}

// Standard input as a regular file, so that the offset the program leaves
// in the shared open file tells how much it read.
struct InputFile {
    explicit InputFile(const std::string& content)
    {
        const std::string path = temp_dir() + "/stdin";
        std::ofstream(path) << content;
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    ~InputFile() { close(fd); }
    int fd;
};

RunResult run_with_stdin(std::vector<std::string> args, InputFile& in)
{
    // the descriptor is dup'ed onto the child's standard input by a shell
    std::string command = "exec \"$@\" <&" + std::to_string(in.fd);
    args.insert(args.begin(), {"sh", "-c", command, "sh", RECORDER_PATH});
    ProcessOptions po;
    po.keep_fds = {in.fd};
    return run(args, po);
}

TEST(StdinLine, OnlyTheFirstLineIsReadAndNothingAfterIt)
{
    InputFile in("-help\nsid 4711\n");
    const RunResult r = run_with_stdin({"-stdin"}, in);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("USAGE: " + title), std::string::npos);
    EXPECT_EQ(lseek(in.fd, 0, SEEK_CUR), 6);
}

TEST(StdinLine, OverlongLineIsRefused)
{
    InputFile in("-user " + std::string(70000, 'u') + "\n");
    const RunResult r = run_with_stdin({"-stdin", "d", "f"}, in);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, fatal("the options line on standard input is longer than 65536 bytes"));
}

// ---------------------------------------------------------------- start failures

struct StartFailure {
    const char* name;
    std::vector<std::string> server_args; // extra X server arguments
    SeamlessOptions seamless;
    // Prepares the case in a fresh folder: the FILENAME and extra options.
    std::function<std::pair<std::string, std::vector<std::string>>(const std::string& dir)> prepare;
    std::string message; // with %D the display, %F the file, %K the folder's key file
};

class Start : public testing::TestWithParam<StartFailure> {};

TEST_P(Start, FailsWithOneLineAndLeavesNoRecording)
{
    const StartFailure& f = GetParam();
    Display display({"640x480x24", f.server_args, false}, f.seamless);
    const std::string dir = temp_dir();
    auto [file, args] = f.prepare(dir);
    struct stat before {};
    const bool existed = lstat(file.c_str(), &before) == 0;
    args.insert(args.begin(), RECORDER_PATH);
    args.insert(args.end(), {display.name(), file});
    const RunResult r = run(args);
    std::string message = f.message;
    for (auto [key, value] :
         {std::pair{"%D", display.name()}, std::pair{"%F", file}, std::pair{"%K", dir + "/k.sec"}})
        if (auto at = message.find(key); at != std::string::npos) message.replace(at, 2, value);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, fatal(message));
    struct stat after {};
    const bool exists = lstat(file.c_str(), &after) == 0;
    EXPECT_EQ(exists, existed) << "a failed start left a recording behind";
    if (existed) {
        EXPECT_EQ(after.st_size, before.st_size);
    }
}

using Prepared = std::pair<std::string, std::vector<std::string>>;

Prepared plain(const std::string& dir)
{
    return {dir + "/recording.zel", {}};
}

// The recording file is something other than a new file.
std::function<Prepared(const std::string&)> file_as(std::function<void(const std::string&)> make)
{
    return [make](const std::string& dir) {
        make(dir + "/recording.zel");
        return plain(dir);
    };
}

// A key pair in the folder, its secret file then changed by `spoil`.
std::function<Prepared(const std::string&)> key_as(std::function<void(const std::string&)> spoil)
{
    return [spoil](const std::string& dir) {
        const std::string key = dir + "/k.sec";
        run({ZELDUMP_PATH, "--keygen", key, dir + "/k.pub"});
        spoil(key);
        return Prepared{dir + "/recording.zel", {"-sign-key", key}};
    };
}

void replace_by_link(const std::string& path)
{
    const std::string target = path + ".target";
    std::rename(path.c_str(), target.c_str());
    [[maybe_unused]] int rc = symlink(target.c_str(), path.c_str());
}

void replace_by_fifo(const std::string& path)
{
    unlink(path.c_str());
    mkfifo(path.c_str(), 0600);
}

const StartFailure start_failures[] = {
    {"NotSeamless",
     {},
     {"utf8", "desktop"},
     plain,
     "not an xpra seamless session (XPRA_SERVER_MODE=desktop)"},
    {"ModeMissing", {}, {"absent", ""}, plain, "not an xpra seamless session (XPRA_SERVER_MODE=(missing))"},
    {"NoDamage", {"-extension", "DAMAGE"}, {}, plain, "no DAMAGE extension on display %D"},
    {"NoRecordNorXtest",
     {"-extension", "RECORD", "-extension", "XTEST"},
     {},
     plain,
     "no RECORD extension on display %D"},
    {"FileNotEmpty",
     {},
     {},
     file_as([](const std::string& f) { std::ofstream(f) << "not a recording"; }),
     "recording file %F exists and is not empty"},
    {"FolderMissing",
     {},
     {},
     [](const std::string& d) {
         return Prepared{d + "/missing/recording.zel", {}};
     },
     "cannot create recording file %F: No such file or directory"},
    {"SymbolicLink",
     {},
     {},
     file_as([](const std::string& f) {
         std::ofstream{f};
         replace_by_link(f);
     }),
     "recording file %F is a symbolic link"},
    {"Fifo", {}, {}, file_as(replace_by_fifo), "recording file %F is not a regular file"},
    {"Directory",
     {},
     {},
     file_as([](const std::string& f) { mkdir(f.c_str(), 0700); }),
     "recording file %F is not a regular file"},
    {"KeyMissing",
     {},
     {},
     key_as([](const std::string& k) { unlink(k.c_str()); }),
     "secret key file %K does not exist"},
    {"KeyReadableByGroup",
     {},
     {},
     key_as([](const std::string& k) { chmod(k.c_str(), 0640); }),
     "secret key file %K has group or other permissions (mode 0640); it must be 0600 or 0400"},
    {"KeyLink", {}, {}, key_as(replace_by_link), "secret key file %K is a symbolic link"},
    {"KeyFifo", {}, {}, key_as(replace_by_fifo), "secret key file %K is not a regular file"},
};
INSTANTIATE_TEST_SUITE_P(Table, Start, testing::ValuesIn(start_failures),
                         [](const testing::TestParamInfo<StartFailure>& i) {
                             return std::string(i.param.name);
                         });

// The options line's values land in the header and the footer items, and
// win over the command line's.
TEST(StdinLine, ValuesReachTheRecording)
{
    Display display;
    const std::string file = temp_dir() + "/r.zel";
    ProcessOptions po;
    po.pipe_stdin = true;
    Process recorder({RECORDER_PATH, "-stdin", "-user", "alice", "-app", "A"}, po);
    recorder.write_stdin("-user bob -tfn64 dGZuLWI= " + display.name() + " " + file + "\nsid 4711\n");
    wait_for_records(
        file, [](const Recording& r) { return !r.items(ZEL_FOOTER_ITEM_SID).empty(); }, &recorder);
    recorder.close_stdin();
    EXPECT_EQ(recorder.wait(), 0);
    const Recording r = read_recording(file);
    const auto* header = reinterpret_cast<const ZelHeader*>(r.of_type(ZEL_HEADER).front());
    EXPECT_STREQ(reinterpret_cast<const char*>(header->user), "bob");
    EXPECT_STREQ(reinterpret_cast<const char*>(header->tfn), "tfn-b");
    EXPECT_EQ(r.items(ZEL_FOOTER_ITEM_APP), std::vector<std::string>{"A"});
    EXPECT_EQ(r.items(ZEL_FOOTER_ITEM_SID), std::vector<std::string>{"4711"});
}

} // namespace
