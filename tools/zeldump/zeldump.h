// zeldump: what its commands share (one file a command in this folder).
#pragma once

#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "zel.h"

namespace zeldump {

constexpr int exit_ok = 0;
constexpr int exit_usage = 1;
constexpr int exit_truncated = 2;
constexpr int exit_corrupt = 3;
constexpr int exit_not_authentic = 4;

struct Options {
    bool json = false;
    bool events = false;
    bool stats = false;
    bool verify = false;
    bool search = false;
    std::string query; // of --search
    std::string png_dir;
    std::string video;
    double every = 0;
    std::vector<double> at;
    double fps = 0;
    bool cursor = true;
    bool quiet = false;
    std::string key;
    std::string keygen_secret;
    std::string keygen_public;
    std::string endpoint; // of the object store of an s3:// recording
    std::string region;
    std::string file; // or s3://BUCKET/PREFIX
};

struct ReaderDeleter {
    void operator()(ZelReader* r) const { zel_reader_close(r); }
};
struct ReplayDeleter {
    void operator()(ZelReplay* r) const { zel_replay_free(r); }
};
struct RecordDeleter {
    void operator()(ZelRecord* r) const { zel_record_free(r); }
};
using Reader = std::unique_ptr<ZelReader, ReaderDeleter>;
using Replay = std::unique_ptr<ZelReplay, ReplayDeleter>;
using Record = std::unique_ptr<ZelRecord, RecordDeleter>;

// The name of a pixel format ("xRGB8888", ...).
const char* format_name(PixelFormat f);

// Length of the valid UTF-8 sequence at p (at most n bytes, n > 0), its code
// point in *code_point; 0 when the bytes there are not UTF-8.
size_t utf8_sequence(const uint8_t* p, size_t n, char32_t* code_point = nullptr);
// A JSON string literal of n bytes, or null for NULL; bytes that are not
// UTF-8 become U+FFFD, and *valid tells whether there were any.
std::string quoted(const uint8_t* s, size_t n, bool* valid = nullptr);
// The same for a NUL-terminated string.
std::string quoted(const uint8_t* s, bool* valid = nullptr);
// A JSON string of the Base64 (with padding) of n bytes.
std::string base64(const uint8_t* p, size_t n);
// A JSON string of lower-case hex.
std::string hex(const uint8_t* p, size_t n);
// A key id as upper-case hex (no quotes).
std::string key_id_text(const uint8_t id[ZEL_KEY_ID_BYTES]);

template <typename T>
const T* as(const ZelRecord* r)
{
    return reinterpret_cast<const T*>(r);
}

// Seconds of a timestamp relative to the recording's start.
struct Clock {
    bool known = false;
    uint64_t base = 0;
    void see(const ZelRecord* r)
    {
        if (!known) {
            known = true;
            base = r->timestamp;
        }
    }
    double seconds(uint64_t t) const
    {
        return known ? (static_cast<double>(t) - static_cast<double>(base)) / 1e6 : 0.0;
    }
};

// A reader of the recording (a file, or one shipped to object storage) with
// keyframes and seals shown (every frame of the file is listed and checked)
// unless keyframes is false; a message on standard error when it cannot be
// opened.
Reader open_reader(const Options& o, bool keyframes = true);

// The message and the hint to --help on standard error; exit_usage.
int usage_error(const std::string& message);

// One line about the reader's final status on standard error; the exit status.
int report_status(const std::string& file, ZelReader* reader, ZelReadStatus s, bool for_export);

// Every readable record of a recording in order, read on past damage: each
// damaged stretch is told on standard error (as a warning for an export) and
// reading goes on at the next intact frame.
class RecordStream {
  public:
    RecordStream(const std::string& file, ZelReader* reader, bool for_export)
        : file_(file), reader_(reader), for_export_(for_export)
    {
    }
    // The next record; empty at the end (status() then says how it ended).
    Record next();
    // Whether the record last returned follows damage, and where that began.
    bool after_damage() const { return after_damage_; }
    uint64_t damage_from() const { return damage_from_; }
    bool damaged() const { return damaged_; }
    unsigned damaged_stretches() const { return stretches_; }
    // The first damage: where, and what.
    uint64_t first_damage() const { return first_damage_; }
    const std::string& first_problem() const { return first_problem_; }
    ZelReadStatus status() const { return status_; }
    // Tells how reading ended; the exit status (corrupt when damaged).
    int finish() const;

  private:
    std::string file_;
    ZelReader* reader_;
    bool for_export_;
    bool damaged_ = false, pending_ = false, after_damage_ = false;
    uint64_t damage_from_ = 0, first_damage_ = 0;
    unsigned stretches_ = 0;
    std::string first_problem_;
    ZelReadStatus status_ = ZEL_READ_RECORD;
};

// Progress on standard error about once a second.
class Progress {
  public:
    Progress(const char* what, bool quiet) : what_(what), quiet_(quiet), tty_(::isatty(2) != 0) {}
    void update(double fraction, uint64_t frames)
    {
        if (quiet_) return;
        auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::seconds(1)) return;
        last_ = now;
        shown_ = true;
        std::fprintf(stderr, "%szeldump: %s: %" PRIu64 " frames, %.0f%% of the recording%s", tty_ ? "\r" : "",
                     what_, frames, fraction * 100.0, tty_ ? "" : "\n");
    }
    void finish(uint64_t frames)
    {
        if (quiet_) return;
        if (shown_ || frames > 0)
            std::fprintf(stderr, "%szeldump: %s: %" PRIu64 " frames written\n", tty_ && shown_ ? "\r" : "",
                         what_, frames);
    }

  private:
    const char* what_;
    bool quiet_;
    bool tty_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// What a verification found.
struct Verified {
    ZelVerification result{};
    std::vector<ZelDamage> damage;
    uint64_t size = 0; // bytes of the file verified
    // Of a shipped recording that is not authentic from the store: the lines
    // that say why (result then says not authentic, with the first reason).
    std::string store_lines;
};
// The public key of --key (nothing to do without it); false with a message.
bool read_public_key(const Options& o, uint8_t key[ZEL_PUBLIC_KEY_BYTES]);
// Verifies the recording (every seal signed with key, unless NULL), and of
// a shipped one what the store holds; false with a message when it cannot be
// read at all.
bool verify_file(const Options& o, const uint8_t* key, Verified& out);

// The commands.
int list_records(const Options& o); // the listing, and --json
int list_events(const Options& o);
int show_stats(const Options& o);
int verify(const Options& o);
int keygen(const Options& o);
int export_png(const Options& o);
int export_video(const Options& o);
int search(const Options& o);

} // namespace zeldump
