// What the fault tests share: reading a recording as it grows, verifying it
// with zeldump, the journal of a recorder run in a private mount namespace,
// the X workload client, and a process's peak memory.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "x-harness.h"
#include "zel.h"

namespace fault {

// One record as the reader gave it back, with what the tests look at.
struct Record {
    uint8_t type = ZEL_TYPE_UNKNOWN;
    uint64_t timestamp = 0;
    std::string text;               // footer item value
    uint16_t width = 0, height = 0; // header, screen change
};

struct Recording {
    bool exists = false;
    uint64_t size = 0;
    std::vector<Record> records;
    ZelReadStatus status = ZEL_READ_ERROR; // how the reading ended
    std::string problem;

    size_t count(uint8_t type) const;
    size_t images() const; // records of the four image types
    bool has_item(uint8_t type, const std::string& text) const;
};

// Reads every record of the file as it is now.
Recording read_recording(const std::string& path);

// Re-reads the file until pred holds on what it holds.  Fails the test (an
// exception) after the guard, or when `alive` has exited before.
Recording wait_for_recording(const std::string& path, const std::function<bool(const Recording&)>& pred,
                             xtest::Process* alive = nullptr,
                             std::chrono::milliseconds guard = xtest::kGuard);

// Exit status of `zeldump --verify path` (0 complete, 2 truncated, 3 corrupt).
int zeldump_verify(const std::string& path, std::string* output = nullptr);

// Peak resident memory (VmHWM) of a running process in KiB; 0 when unknown.
long vm_hwm_kib(pid_t pid);

// CPU seconds (user + system) a running process has used.
double cpu_seconds(pid_t pid);

// A datagram socket in the journal's native protocol, bound in a temporary
// directory; a recorder run through in_private_namespace() logs here
// instead of to the system journal.
struct JournalEntry {
    int priority = -1;
    std::string function;
    std::string message;
};

class JournalCapture {
  public:
    JournalCapture();
    ~JournalCapture();
    JournalCapture(const JournalCapture&) = delete;
    JournalCapture& operator=(const JournalCapture&) = delete;

    const std::string& socket_path() const { return path_; }
    std::vector<JournalEntry> entries() const;
    // The first entry whose message contains text, or nullptr.
    std::unique_ptr<JournalEntry> find(const std::string& text) const;
    std::string dump() const; // every entry, one per line, for failure messages

  private:
    void loop();
    std::string path_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<JournalEntry> entries_;
    std::thread thread_;
};

// Whether this process may make private mount namespaces (root with
// CAP_SYS_ADMIN); the tests that need one skip without it.
bool private_namespaces_available();

struct NamespaceOptions {
    std::string journal_socket; // bound over /run/systemd/journal/socket inside
    std::string tmpfs_dir;      // a tmpfs of tmpfs_size mounted here inside ("" none)
    std::string tmpfs_size = "2m";
    std::string copy_file; // after the program: this file (in tmpfs_dir) ...
    std::string copy_to;   // ... is copied here, the exit status kept
    int stdin_fd = -1;     // becomes the program's standard input (kept open in the child)
};

// The command line that runs argv in a private mount namespace laid out as
// asked.  Without copy_file the program replaces the wrapper (same pid).
std::vector<std::string> in_private_namespace(const std::vector<std::string>& argv,
                                              const NamespaceOptions& o);

// The workload client (x-workload) on a display; the constructor returns
// once it said "ready".
class Workload {
  public:
    Workload(const std::string& display, std::vector<std::string> args);
    xtest::Process& process() { return *process_; }
    int stop(); // SIGTERM and wait

  private:
    std::unique_ptr<xtest::Process> process_;
};

} // namespace fault
