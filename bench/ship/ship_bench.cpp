// ship_bench SOURCE SECONDS SPEED [ZELSHIP]
// Writes the first SECONDS of the recording SOURCE again through libzel's
// writer at SPEED times its own pace, sealing as the recorder does (a seal 1 s
// after the start, then every 10 s, idle or not; the writer adds its own after
// keyframes and at the end) while zelship ships it into a Ceph gateway that
// the test harness starts.  Prints the seal-to-object lag (from the write that
// ends a segment to zelship's line for it), zelship's CPU and peak memory per
// recording hour up to the last segment, its requests per recording hour, and
// the time to verify the shipped recording from the store.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "harness.h"
#include "shipped.h"
#include "verify.h"

namespace {

using Clock = std::chrono::steady_clock;

// CPU seconds (user + system) and peak resident memory (KiB) of a process.
std::pair<double, long> usage(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i)
        if (i >= 14) ticks += std::stod(f);
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    long hwm = 0;
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmHWM:")) hwm = std::stol(line.substr(6));
    return {ticks / static_cast<double>(sysconf(_SC_CLK_TCK)), hwm};
}

// zelship's standard output, line by line with the time each came.
struct Lines {
    std::mutex mutex;
    std::vector<std::pair<Clock::time_point, std::string>> lines;
    std::pair<double, long> usage_at_end{};
    std::pair<double, long> usage_last{}; // sampled while it runs: the last, up to its exit
    unsigned long long requests = 0;

    void read(int fd, pid_t pid)
    {
        std::string pending;
        char buf[4096];
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) {
            pending.append(buf, static_cast<size_t>(n));
            for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
                const std::string line = pending.substr(0, nl);
                if (line.starts_with("shipped ") && line.find(" requests") != std::string::npos) {
                    usage_at_end = usage(pid);
                    requests = std::strtoull(line.substr(line.rfind(" in ") + 4).c_str(), nullptr, 10);
                }
                std::lock_guard lock(mutex);
                lines.emplace_back(Clock::now(), line);
            }
        }
    }
};

// Samples a process's usage every 50 ms while it lives (its peak memory
// can no longer be read once it exits).
void sample(pid_t pid, const std::atomic<bool>& stop, std::pair<double, long>& last)
{
    while (!stop) {
        if (const auto u = usage(pid); u.second > 0) last = u;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// The recorder's seals: 1 s after the start, then every 10 s.
constexpr double first_seal = 1, seal_period = 10;

// Writes the records of SOURCE up to `seconds` at `speed`, with the
// recorder's seals; the time at which the file reached each size.
std::map<uint64_t, Clock::time_point> write_paced(const char* source, const std::string& out, double seconds,
                                                  double speed, double& recorded)
{
    ZelReader* reader = zel_reader_open(source);
    ZelWriter* writer = zel_writer_open(out.c_str());
    if (reader == nullptr || writer == nullptr) std::exit(1);
    std::map<uint64_t, Clock::time_point> written;
    const auto start = Clock::now();
    uint64_t first = 0, last = 0;
    double next_seal = first_seal;
    const auto pace = [&](double at) {
        std::this_thread::sleep_until(start + std::chrono::duration<double>(at / speed));
    };
    ZelRecord* r = nullptr;
    while (zel_reader_next(reader, &r) == ZEL_READ_RECORD) {
        if (first == 0) first = r->timestamp;
        const double at = static_cast<double>(r->timestamp - first) / 1e6;
        if (r->type == ZEL_DONE || at > seconds) break;
        for (; next_seal <= at; next_seal += seal_period) {
            pace(next_seal);
            if (zel_writer_seal(writer, first + static_cast<uint64_t>(next_seal * 1e6)) != 0) std::exit(1);
            written[zel_writer_size(writer)] = Clock::now();
        }
        pace(at);
        if (zel_record_write(writer, r) != 0) std::exit(1);
        last = r->timestamp;
        zel_record_free(r);
        written[zel_writer_size(writer)] = Clock::now();
    }
    zel_record_free(r);
    ZelRecord* done = zel_record_done();
    done->timestamp = last + 1;
    if (zel_record_write(writer, done) != 0 || zel_writer_close(writer) != 0) std::exit(1);
    zel_record_free(done);
    written[std::filesystem::file_size(out)] = Clock::now();
    zel_reader_close(reader);
    recorded = static_cast<double>(last - first) / 1e6;
    return written;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: ship_bench SOURCE SECONDS SPEED [ZELSHIP]\n");
        return 1;
    }
    xtest::ObjectStore store;
    const std::string file = xtest::temp_dir() + "/recording.zel";
    {
        std::ofstream create(file);
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return 1;
    xtest::ProcessOptions po;
    po.env = store.credentials();
    po.capture = false;
    po.stdout_fd = fds[1];
    xtest::Process shipper(
        {ZELSHIP_PATH, "--store", "s3://" + store.bucket() + "/bench", "--endpoint", store.endpoint(), file},
        po);
    close(fds[1]);
    Lines lines;
    std::thread reading([&] { lines.read(fds[0], shipper.pid()); });
    std::atomic<bool> exited = false;
    std::thread sampling([&] { sample(shipper.pid(), exited, lines.usage_last); });
    double recorded = 0;
    const auto began = Clock::now();
    const auto written = write_paced(argv[1], file, std::atof(argv[2]), std::atof(argv[3]), recorded);
    const int status = shipper.wait(std::chrono::hours(1));
    exited = true;
    sampling.join();
    reading.join();
    close(fds[0]);

    std::vector<double> lag_ms;
    Clock::time_point summary{}, verdict_line{}, first_object{};
    for (const auto& [when, line] : lines.lines) {
        if (line.starts_with("shipped ") && line.find(" requests") != std::string::npos) summary = when;
        if (line.starts_with("s3://")) verdict_line = when;
        if (!line.starts_with("shipped bytes ")) continue;
        if (first_object == Clock::time_point{}) first_object = when;
        const uint64_t end = std::strtoull(line.substr(line.find('-') + 1).c_str(), nullptr, 10);
        // the write call that took the file past the segment's end wrote it
        if (auto it = written.lower_bound(end); it != written.end())
            lag_ms.push_back(std::chrono::duration<double, std::milli>(when - it->second).count());
    }
    // The requests a verification makes, counted by doing one here.
    zelship::Location at{store.endpoint(), "us-east-1", store.bucket(), "bench"};
    const auto keys = store.credentials();
    zelship::Client client(at,
                           {keys[0].substr(keys[0].find('=') + 1), keys[1].substr(keys[1].find('=') + 1)});
    zelship::Shipped shipped;
    zelship::StoreVerdict verdict;
    const bool read =
        load_shipped(client, shipped).ok() && verify_shipped(client, shipped, nullptr, verdict).ok();

    const double per_hour = 3600 / recorded;
    std::printf("recorded %.0f s at %gx, %zu bytes, zelship status %d, %zu segments\n", recorded,
                std::atof(argv[3]), static_cast<size_t>(std::filesystem::file_size(file)), status,
                lag_ms.size());
    std::printf(
        "seal-to-object lag: p50 %.1f ms, p95 %.1f ms, max %.1f ms; the first object %.2f s after the "
        "file head\n",
        percentile(lag_ms, 0.5), percentile(lag_ms, 0.95), percentile(lag_ms, 1.0),
        std::chrono::duration<double>(first_object - began).count());
    std::printf(
        "zelship while shipping: %.2f s CPU per recording hour, peak %ld KiB; %.0f requests per recording "
        "hour\n",
        lines.usage_at_end.first * per_hour, lines.usage_at_end.second,
        static_cast<double>(lines.requests) * per_hour);
    std::printf("zelship verifying from the store: %.2f s, %.2f s CPU, peak %ld KiB, %llu requests (%s)\n",
                std::chrono::duration<double>(verdict_line - summary).count(),
                lines.usage_last.first - lines.usage_at_end.first, lines.usage_last.second,
                static_cast<unsigned long long>(client.requests()),
                read ? verdict.text("s3://evidence/bench").c_str() : "the store could not be read");
    return status;
}
