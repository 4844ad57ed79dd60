#include "fault-support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fault {

namespace {

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error(what);
}

std::string text_of(const uint8_t* p)
{
    return p ? reinterpret_cast<const char*>(p) : "";
}

Record summary(const ZelRecord* r)
{
    Record out;
    out.type = r->type;
    out.timestamp = r->timestamp;
    switch (r->type) {
    case ZEL_HEADER: {
        auto h = reinterpret_cast<const ZelHeader*>(r);
        out.width = h->width;
        out.height = h->height;
        break;
    }
    case ZEL_SCREEN_CHANGE: {
        auto s = reinterpret_cast<const ZelScreenChange*>(r);
        out.width = s->width;
        out.height = s->height;
        break;
    }
    case ZEL_FOOTER_ITEM_APP:
    case ZEL_FOOTER_ITEM_APPFMT:
    case ZEL_FOOTER_ITEM_HOST:
    case ZEL_FOOTER_ITEM_IP:
    case ZEL_FOOTER_ITEM_SID:
    case ZEL_FOOTER_ITEM_TID: out.text = text_of(reinterpret_cast<const ZelFooterItem*>(r)->item); break;
    default: break;
    }
    return out;
}

} // namespace

size_t Recording::count(uint8_t type) const
{
    size_t n = 0;
    for (const auto& r : records) n += r.type == type;
    return n;
}

size_t Recording::images() const
{
    return count(ZEL_IMAGE) + count(ZEL_COMPRESSED_IMAGE) + count(ZEL_IMAGE_BLOCKS) +
           count(ZEL_COMPRESSED_IMAGE_BLOCKS);
}

bool Recording::has_item(uint8_t type, const std::string& text) const
{
    for (const auto& r : records)
        if (r.type == type && r.text == text) return true;
    return false;
}

Recording read_recording(const std::string& path)
{
    Recording rec;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return rec;
    rec.exists = true;
    rec.size = static_cast<uint64_t>(st.st_size);
    ZelReader* reader = zel_reader_open(path.c_str());
    if (!reader) {
        rec.problem = std::string("cannot open: ") + std::strerror(errno);
        return rec;
    }
    for (;;) {
        ZelRecord* r = nullptr;
        ZelReadStatus s = zel_reader_next(reader, &r);
        if (s != ZEL_READ_RECORD) {
            rec.status = s;
            rec.problem = zel_reader_problem(reader);
            break;
        }
        rec.records.push_back(summary(r));
        zel_record_free(r);
    }
    zel_reader_close(reader);
    return rec;
}

Recording wait_for_recording(const std::string& path, const std::function<bool(const Recording&)>& pred,
                             xtest::Process* alive, std::chrono::milliseconds guard)
{
    const auto deadline = std::chrono::steady_clock::now() + guard;
    for (;;) {
        // Whether the process had ended is taken before the file is read,
        // so a condition it met on its way out still counts.
        bool gone = alive && !alive->running();
        Recording rec = read_recording(path);
        if (pred(rec)) return rec;
        if (gone)
            fail("the recorder ended (status " + std::to_string(alive->wait()) +
                 ") before the recording held what was awaited; " + std::to_string(rec.records.size()) +
                 " records; stderr: " + alive->err());
        if (std::chrono::steady_clock::now() > deadline)
            fail("timed out waiting for records in " + path + " (" + std::to_string(rec.records.size()) +
                 " records, " + std::to_string(rec.size) + " bytes)");
        // The file is re-read as it grows; a short pause keeps the poll cheap.
        usleep(20000);
    }
}

int zeldump_verify(const std::string& path, std::string* output)
{
    auto r = xtest::run({ZELDUMP_PATH, "--verify", path}, {}, std::chrono::milliseconds(120000));
    if (output) *output = r.out + r.err;
    return r.status;
}

long vm_hwm_kib(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

double cpu_seconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto close = all.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(all.substr(close + 2));
    std::string f;
    unsigned long utime = 0, stime = 0;
    // Fields after the command: state is 3, utime 14 and stime 15.
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14) utime = std::stoul(f);
        if (i == 15) stime = std::stoul(f);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// ---------------------------------------------------------------- journal

JournalCapture::JournalCapture()
{
    path_ = xtest::temp_dir() + "/journal.socket";
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) fail("journal socket: " + std::string(std::strerror(errno)));
    int size = 8 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path_.size() >= sizeof a.sun_path) fail("journal socket path too long: " + path_);
    std::memcpy(a.sun_path, path_.c_str(), path_.size() + 1);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        fail("bind " + path_ + ": " + std::strerror(errno));
    chmod(path_.c_str(), 0666);
    thread_ = std::thread([this] { loop(); });
}

JournalCapture::~JournalCapture()
{
    stop_ = true;
    thread_.join();
    close(fd_);
}

// The native protocol: "FIELD=value\n" lines, or "FIELD\n" + 64-bit
// little-endian length + value + "\n" for values holding line ends.
void JournalCapture::loop()
{
    std::vector<char> buf(256 * 1024);
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
        if (n <= 0) continue;
        JournalEntry e;
        size_t i = 0, end = static_cast<size_t>(n);
        while (i < end) {
            size_t nl = i;
            while (nl < end && buf[nl] != '\n') ++nl;
            std::string line(buf.data() + i, nl - i);
            std::string name, value;
            auto eq = line.find('=');
            if (eq != std::string::npos) {
                name = line.substr(0, eq);
                value = line.substr(eq + 1);
                i = nl + 1;
            } else {
                name = line;
                uint64_t len = 0;
                if (nl + 9 > end) break;
                std::memcpy(&len, buf.data() + nl + 1, 8);
                if (nl + 9 + len > end) break;
                value.assign(buf.data() + nl + 9, len);
                i = nl + 9 + len + 1;
            }
            if (name == "MESSAGE")
                e.message = value;
            else if (name == "PRIORITY")
                e.priority = std::atoi(value.c_str());
            else if (name == "CODE_FUNC")
                e.function = value;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.push_back(std::move(e));
    }
}

std::vector<JournalEntry> JournalCapture::entries() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
}

std::unique_ptr<JournalEntry> JournalCapture::find(const std::string& text) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& e : entries_)
        if (e.message.find(text) != std::string::npos) return std::make_unique<JournalEntry>(e);
    return nullptr;
}

std::string JournalCapture::dump() const
{
    std::string out;
    for (const auto& e : entries())
        out += "<" + std::to_string(e.priority) + "> " + e.function + ": " + e.message + "\n";
    return out.empty() ? "(no journal entries)\n" : out;
}

// ---------------------------------------------------------------- namespaces

bool private_namespaces_available()
{
    static const bool ok = [] {
        try {
            return xtest::run({"unshare", "-m", "--propagation", "private", "true"}).status == 0;
        } catch (...) {
            return false;
        }
    }();
    return ok;
}

std::vector<std::string> in_private_namespace(const std::vector<std::string>& argv, const NamespaceOptions& o)
{
    // Everything mounted here lives in the namespace only and goes with it.
    // bash, not sh: the descriptor given for standard input may have two digits.
    std::string script = "set -e\n";
    if (!o.journal_socket.empty())
        script += "d=/run/systemd; [ -d $d ] || d=/run\n"
                  "mount -t tmpfs -o size=64k,mode=0755 tmpfs $d\n"
                  "mkdir -p /run/systemd/journal\n"
                  ": > /run/systemd/journal/socket\n"
                  "mount --bind \"$FAULT_JOURNAL\" /run/systemd/journal/socket\n";
    if (!o.tmpfs_dir.empty())
        script += "mount -t tmpfs -o size=$FAULT_TMPFS_SIZE,mode=0700 tmpfs \"$FAULT_TMPFS\"\n";
    script += "set +e\n";
    std::string redirect =
        o.stdin_fd >= 0 ? " <&" + std::to_string(o.stdin_fd) + " " + std::to_string(o.stdin_fd) + "<&-" : "";
    if (o.copy_file.empty()) {
        script += "exec \"$@\"" + redirect + "\n";
    } else {
        script +=
            "\"$@\"" + redirect + "\nrc=$?\ncp \"$FAULT_COPY_FILE\" \"$FAULT_COPY_TO\" || true\nexit $rc\n";
    }
    std::vector<std::string> out = {"env",
                                    "FAULT_JOURNAL=" + o.journal_socket,
                                    "FAULT_TMPFS=" + o.tmpfs_dir,
                                    "FAULT_TMPFS_SIZE=" + o.tmpfs_size,
                                    "FAULT_COPY_FILE=" + o.copy_file,
                                    "FAULT_COPY_TO=" + o.copy_to,
                                    "unshare",
                                    "-m",
                                    "--propagation",
                                    "private",
                                    "bash",
                                    "-c",
                                    script,
                                    "bash"};
    out.insert(out.end(), argv.begin(), argv.end());
    return out;
}

// ---------------------------------------------------------------- workload

Workload::Workload(const std::string& display, std::vector<std::string> args)
{
    std::vector<std::string> argv = {X_WORKLOAD_PATH, display};
    argv.insert(argv.end(), args.begin(), args.end());
    process_ = std::make_unique<xtest::Process>(argv);
    if (!process_->wait_for_output("ready\n")) fail("x-workload did not get ready: " + process_->err());
}

int Workload::stop()
{
    if (process_->running()) process_->signal(SIGTERM);
    return process_->wait();
}

} // namespace fault
