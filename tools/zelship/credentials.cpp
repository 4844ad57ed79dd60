#include "credentials.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace zelship {

namespace {

std::string env(const char* name)
{
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

std::string trimmed(const std::string& s)
{
    const size_t a = s.find_first_not_of(" \t\r");
    const size_t b = s.find_last_not_of(" \t\r");
    return a == std::string::npos ? std::string{} : s.substr(a, b - a + 1);
}

// The file's text: a regular file of at most 64 KiB, opened without following
// a final symbolic link, readable by its owner only.
bool read_private_file(const std::string& path, std::string& text, std::string& error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return error = "credentials file " + path + " cannot be opened: " + std::strerror(errno), false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= (64 << 10);
    if (!ok) error = "credentials file " + path + " is not a regular file of at most 64 KiB";
    if (ok && (st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        error = "credentials file " + path + " has group or other permissions (mode " + mode +
                "); it must be 0600";
        ok = false;
    }
    if (ok) {
        text.resize(static_cast<size_t>(st.st_size));
        ok = ::read(fd, text.data(), text.size()) == st.st_size;
        if (!ok) error = "credentials file " + path + " cannot be read";
    }
    ::close(fd);
    return ok;
}

} // namespace

bool load_credentials(Credentials& out, std::string& error)
{
    out = Credentials{env("AWS_ACCESS_KEY_ID"), env("AWS_SECRET_ACCESS_KEY")};
    if (!out.access_key.empty() && !out.secret_key.empty()) return true;
    std::string path = env("AWS_SHARED_CREDENTIALS_FILE");
    if (path.empty() && !env("HOME").empty()) path = env("HOME") + "/.aws/credentials";
    if (path.empty()) return error = "no credentials: set AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY", false;
    std::string text;
    if (!read_private_file(path, text, error)) return false;
    const std::string profile = env("AWS_PROFILE").empty() ? "default" : env("AWS_PROFILE");
    std::istringstream lines(text);
    bool inside = false;
    for (std::string line; std::getline(lines, line);) {
        line = trimmed(line);
        if (line.starts_with("[")) inside = line == "[" + profile + "]";
        const size_t eq = line.find('=');
        if (!inside || eq == std::string::npos) continue;
        const std::string name = trimmed(line.substr(0, eq)), value = trimmed(line.substr(eq + 1));
        if (name == "aws_access_key_id") out.access_key = value;
        if (name == "aws_secret_access_key") out.secret_key = value;
    }
    if (out.access_key.empty() || out.secret_key.empty())
        return error = "credentials file " + path +
                       " has no aws_access_key_id and aws_secret_access_key in [" + profile + "]",
               false;
    return true;
}

} // namespace zelship
