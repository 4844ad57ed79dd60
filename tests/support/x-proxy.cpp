// x-proxy: an X display that forwards every connection to a real server and
// can lie about extensions, for the failures a real server cannot be made
// to show (Xvfb switches XTEST and RECORD only together, and always answers
// version queries).
//
//   x-proxy UPSTREAM_DISPLAY [--displayfd FD] [--hide NAME]... [--break NAME:MINOR]...
//
// --hide NAME      QueryExtension replies for NAME say "not present".
// --break NAME:MINOR  requests of extension NAME with that minor opcode are
//                  sent with minor opcode 255 instead, so the server answers
//                  them with an error (BadRequest) in their place.
//
// It takes a free display number the way X servers do (the lock file
// /tmp/.X<N>-lock, then the socket /tmp/.X11-unix/X<N>), writes ":N" and a
// newline once it listens (on standard output, or on descriptor FD), and on
// SIGTERM removes both and exits 0.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

std::set<std::string> hidden;
std::map<std::string, std::set<int>> broken; // extension name -> minor opcodes

[[noreturn]] void die(const std::string& msg)
{
    std::fprintf(stderr, "x-proxy: %s: %s\n", msg.c_str(), std::strerror(errno));
    std::exit(1);
}

uint16_t u16(const std::vector<uint8_t>& b, size_t at)
{
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

uint32_t u32(const std::vector<uint8_t>& b, size_t at)
{
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

size_t pad4(size_t n)
{
    return (n + 3) & ~size_t{3};
}

bool write_all(int fd, const uint8_t* p, size_t n)
{
    while (n) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// One client connection and its own connection to the real server.  The
// protocol is followed (little-endian clients only, as xcb on this machine
// speaks) just far enough to cut it into requests and responses.
struct Link {
    int client = -1, server = -1;
    std::vector<uint8_t> up, down; // bytes not yet forwarded
    bool up_setup_done = false, down_setup_done = false;
    uint16_t sequence = 0;
    std::map<uint16_t, std::string> queries;  // QueryExtension in flight
    std::map<uint8_t, std::string> extension; // major opcode -> name

    // Client to server: whole requests, rewritten where asked.
    bool pump_up()
    {
        size_t done = 0;
        for (;;) {
            size_t avail = up.size() - done;
            size_t size;
            if (!up_setup_done) {
                if (avail < 12) break;
                size = 12 + pad4(u16(up, done + 6)) + pad4(u16(up, done + 8));
            } else {
                if (avail < 4) break;
                size = u16(up, done + 2) * size_t{4};
                if (size == 0) { // BIG-REQUESTS length
                    if (avail < 8) break;
                    size = u32(up, done + 4) * size_t{4};
                }
            }
            if (size < 4 || avail < size) break;
            if (up_setup_done) request(done, size);
            up_setup_done = true;
            if (!write_all(server, up.data() + done, size)) return false;
            done += size;
        }
        up.erase(up.begin(), up.begin() + static_cast<std::ptrdiff_t>(done));
        return true;
    }

    void request(size_t at, size_t size)
    {
        ++sequence;
        uint8_t major = up[at];
        if (major == 98 && size >= 8) { // QueryExtension
            size_t n = u16(up, at + 4);
            if (8 + n <= size) queries[sequence] = std::string(reinterpret_cast<const char*>(&up[at + 8]), n);
            return;
        }
        auto ext = extension.find(major);
        if (ext == extension.end()) return;
        auto rule = broken.find(ext->second);
        if (rule != broken.end() && rule->second.count(up[at + 1])) up[at + 1] = 255;
    }

    // Server to client: whole responses, QueryExtension replies rewritten.
    bool pump_down()
    {
        size_t done = 0;
        for (;;) {
            size_t avail = down.size() - done;
            size_t size;
            if (!down_setup_done) {
                if (avail < 8) break;
                size = 8 + u16(down, done + 6) * size_t{4};
            } else {
                if (avail < 32) break;
                uint8_t type = down[done] & 0x7f;
                size = 32;
                if (type == 1 || type == 35) size += u32(down, done + 4) * size_t{4};
            }
            if (avail < size) break;
            if (down_setup_done && down[done] == 1) reply(done);
            down_setup_done = true;
            if (!write_all(client, down.data() + done, size)) return false;
            done += size;
        }
        down.erase(down.begin(), down.begin() + static_cast<std::ptrdiff_t>(done));
        return true;
    }

    void reply(size_t at)
    {
        auto q = queries.find(u16(down, at + 2));
        if (q == queries.end()) return;
        std::string name = q->second;
        queries.erase(q);
        if (hidden.count(name)) {
            std::memset(&down[at + 8], 0, 4); // present, major opcode, first event, first error
        } else if (down[at + 8]) {
            extension[down[at + 9]] = name;
        }
    }
};

bool pass(int from, std::vector<uint8_t>& into)
{
    uint8_t buf[65536];
    ssize_t n = ::read(from, buf, sizeof buf);
    if (n < 0 && errno == EINTR) return true;
    if (n <= 0) return false;
    into.insert(into.end(), buf, buf + n);
    return true;
}

std::string lock_path, socket_path;
int file_listener = -1;

int listen_on_free_display(int& number)
{
    mkdir("/tmp/.X11-unix", 01777);
    for (number = 200; number < 1000; ++number) {
        lock_path = "/tmp/.X" + std::to_string(number) + "-lock";
        int lock = open(lock_path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0444);
        if (lock < 0) continue;
        char pid[16];
        std::snprintf(pid, sizeof pid, "%10d\n", static_cast<int>(getpid()));
        if (!write_all(lock, reinterpret_cast<uint8_t*>(pid), 11)) die("write lock file");
        close(lock);
        socket_path = "/tmp/.X11-unix/X" + std::to_string(number);
        // Servers started with -displayfd take no lock file: the abstract
        // socket, which clients try first and which vanishes with its
        // owner, is the real claim on the number.
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path + 1, socket_path.c_str(), sizeof addr.sun_path - 2);
        auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + socket_path.size());
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 && listen(fd, 16) == 0) {
            // the file socket too, unless a live server answers on it
            int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un file{};
            file.sun_family = AF_UNIX;
            std::strncpy(file.sun_path, socket_path.c_str(), sizeof file.sun_path - 1);
            bool live = connect(probe, reinterpret_cast<sockaddr*>(&file), sizeof file) == 0;
            close(probe);
            if (!live) {
                unlink(socket_path.c_str());
                int ffd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                if (bind(ffd, reinterpret_cast<sockaddr*>(&file), sizeof file) == 0 && listen(ffd, 16) == 0) {
                    file_listener = ffd;
                    return fd;
                }
                close(ffd);
            }
        }
        close(fd);
        unlink(lock_path.c_str());
    }
    die("no free display number");
}

int connect_upstream(const std::string& display)
{
    std::string path = "/tmp/.X11-unix/X" + display.substr(display.find(':') + 1);
    if (auto dot = path.rfind('.'); dot != std::string::npos && dot > path.rfind('X')) path.resize(dot);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: x-proxy UPSTREAM_DISPLAY [--hide NAME]... [--break NAME:MINOR]...\n");
        return 2;
    }
    std::string upstream = argv[1];
    int displayfd = 1;
    for (int i = 2; i + 1 < argc; i += 2) {
        std::string opt = argv[i], value = argv[i + 1];
        if (opt == "--displayfd") {
            displayfd = std::atoi(value.c_str());
        } else if (opt == "--hide") {
            hidden.insert(value);
        } else if (opt == "--break" && value.find(':') != std::string::npos) {
            broken[value.substr(0, value.find(':'))].insert(
                std::atoi(value.substr(value.find(':') + 1).c_str()));
        } else {
            std::fprintf(stderr, "x-proxy: unknown option %s\n", opt.c_str());
            return 2;
        }
    }
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGHUP);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int sfd = signalfd(-1, &stop, SFD_CLOEXEC);

    int number = 0;
    int listener = listen_on_free_display(number);
    std::string name = ":" + std::to_string(number) + "\n";
    if (!write_all(displayfd, reinterpret_cast<const uint8_t*>(name.data()), name.size()))
        die("write the display name");
    if (displayfd != 1) close(displayfd);

    std::vector<std::unique_ptr<Link>> links;
    for (;;) {
        std::vector<pollfd> p{{sfd, POLLIN, 0}, {listener, POLLIN, 0}, {file_listener, POLLIN, 0}};
        for (auto& l : links) {
            p.push_back({l->client, POLLIN, 0});
            p.push_back({l->server, POLLIN, 0});
        }
        if (poll(p.data(), p.size(), -1) < 0) {
            if (errno == EINTR) continue;
            die("poll");
        }
        if (p[0].revents) break;
        for (int which : {1, 2}) {
            if (!p[static_cast<size_t>(which)].revents) continue;
            int c = accept4(p[static_cast<size_t>(which)].fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                int s = connect_upstream(upstream);
                if (s < 0) {
                    close(c);
                } else {
                    auto l = std::make_unique<Link>();
                    l->client = c;
                    l->server = s;
                    links.push_back(std::move(l));
                }
            }
        }
        std::vector<bool> dead(links.size(), false);
        size_t polled = (p.size() - 3) / 2; // a link accepted just now was not polled
        for (size_t k = 0; k < polled; ++k) {
            Link& l = *links[k];
            bool ok = true;
            if (p[3 + 2 * k].revents) ok = pass(l.client, l.up) && l.pump_up();
            if (ok && p[4 + 2 * k].revents) ok = pass(l.server, l.down) && l.pump_down();
            dead[k] = !ok;
        }
        for (size_t i = links.size(); i-- > 0;)
            if (dead[i]) {
                close(links[i]->client);
                close(links[i]->server);
                links.erase(links.begin() + static_cast<std::ptrdiff_t>(i));
            }
    }
    unlink(socket_path.c_str());
    unlink(lock_path.c_str());
    return 0;
}
