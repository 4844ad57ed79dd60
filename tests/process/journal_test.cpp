// Journal entries leave the process in the journal's native protocol, with
// priority, code location, function name and message.  The program runs in
// a private mount namespace whose journal socket directory is a test
// directory, where the test has bound the socket itself.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "child_process.h"

namespace {

namespace fs = std::filesystem;
using Entry = std::map<std::string, std::string>;

// Fields of one datagram: KEY=value lines, or KEY, newline, a 64-bit
// little-endian length and the value, for values that hold newlines.
Entry parse_entry(const std::string& d)
{
    Entry e;
    size_t i = 0;
    while (i < d.size()) {
        size_t nl = d.find('\n', i);
        size_t eq = d.find('=', i);
        if (nl == std::string::npos) nl = d.size();
        if (eq != std::string::npos && eq < nl) {
            e[d.substr(i, eq - i)] = d.substr(eq + 1, nl - eq - 1);
            i = nl + 1;
        } else {
            std::string key = d.substr(i, nl - i);
            uint64_t len = 0;
            if (nl + 9 > d.size()) break;
            memcpy(&len, d.data() + nl + 1, 8);
            e[key] = d.substr(nl + 9, len);
            i = nl + 9 + len + 1;
        }
    }
    return e;
}

// Line of the source file that holds text, counted from 1.
int line_of(const std::string& file, const std::string& text)
{
    std::ifstream in(file);
    int n = 0;
    for (std::string line; std::getline(in, line);) {
        n++;
        if (line.find(text) != std::string::npos) return n;
    }
    return -1;
}

TEST(Journal, WriterEntriesCarryPriorityLocationFunctionAndMessage)
{
    char dir_template[] = "/tmp/journal-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    fs::path dir = dir_template;
    std::string socket_path = (dir / "socket").string();

    int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(socket_path.size(), sizeof addr.sun_path);
    memcpy(addr.sun_path, socket_path.c_str(), socket_path.size() + 1);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << strerror(errno);

    std::string file = (dir / "missing" / "rec.zel").string();
    std::string dir_string = dir.string();
    auto r = test_support::run_program(PROBE_PATH, {PROBE_PATH, file}, -1, [&] {
        // Only this process sees the test directory as the journal's.
        bool ok =
            unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        const char* base = access("/run/systemd", F_OK) == 0 ? "/run/systemd" : "/run";
        ok = ok && mount("none", base, "tmpfs", 0, "size=1m") == 0;
        ok = ok && (access("/run/systemd", F_OK) == 0 || mkdir("/run/systemd", 0755) == 0);
        ok = ok && mkdir("/run/systemd/journal", 0755) == 0;
        ok = ok && mount(dir_string.c_str(), "/run/systemd/journal", nullptr, MS_BIND, nullptr) == 0;
        if (!ok) {
            dprintf(STDERR_FILENO, "no private mount namespace: %s\n", strerror(errno));
            _exit(77);
        }
    });
    std::vector<Entry> entries;
    for (;;) {
        std::string buffer(65536, '\0');
        ssize_t n = recv(sock, buffer.data(), buffer.size(), 0);
        if (n < 0) break;
        entries.push_back(parse_entry(buffer.substr(0, static_cast<size_t>(n))));
    }
    close(sock);
    fs::remove_all(dir);
    if (r.status == 77) GTEST_SKIP() << r.err;
    ASSERT_EQ(r.status, 1) << r.err;

    const std::string source = std::string(SOURCE_DIR) + "/src/backend.cpp";
    struct Expected {
        std::string function, message, source_text;
    };
    std::vector<Expected> expected = {
        {"backend_function", "failed to open file " + file, "\"failed to open file %s\""},
        {"backend_loop", "error while writing record 0 type ", "\"error while writing record %zu type %s"},
        {"backend_function", "error while closing file " + file, "\"error while closing file %s\""},
    };
    ASSERT_EQ(entries.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++) {
        const Entry& e = entries[i];
        const Expected& x = expected[i];
        EXPECT_EQ(e.at("PRIORITY"), "3");
        EXPECT_TRUE(e.at("CODE_FILE").ends_with("src/backend.cpp")) << e.at("CODE_FILE");
        EXPECT_EQ(e.at("CODE_LINE"), std::to_string(line_of(source, x.source_text))) << x.message;
        EXPECT_EQ(e.at("CODE_FUNC"), x.function);
        EXPECT_TRUE(e.at("MESSAGE").starts_with(x.message)) << e.at("MESSAGE");
    }
    EXPECT_TRUE(entries[1].at("MESSAGE").ends_with(" to file " + file + " -> exiting"))
        << entries[1].at("MESSAGE");
}

} // namespace
