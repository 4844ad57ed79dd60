// The record writer thread: writes records through libzel in the order it
// receives them, frees them, seals the file at least every 10 s (idle or
// not), and stops the recording when the file grows past its limit or
// cannot be written.
#include "writer.h"

#include <err.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "args.h"
#include "console.h"
#include "debugging.h"
#include "queue.h"
#include "stop.h"
#include "thread.h"
#include "timer.h"
#include "zel.h"

namespace {

PNC1Queue* queue;
pthread_t thread;
ZelWriter* writer;
// 1 once the file could not be written.
std::atomic<int> exit_status;
// Set by the writer after the end-of-data record: the digest to print.
bool digest_ready;
uint8_t digest[ZEL_DIGEST_BYTES];
// The file this run created (not one that was there before), identified,
// until the recording has started.
bool created_here;
struct stat created;
std::atomic<bool> started;

// Bytes of the records queued for the writer: a producer waits while a
// record would take them past the bound (one record is always let in), so
// that a slow disk holds back the compressor instead of filling memory, and
// what is still written once the file has passed its size limit is bounded.
std::mutex queued_lock;
std::condition_variable queued_taken;
uint64_t queued_bytes;

// Stands in for the end-of-data record when the library cannot make one:
// written like any other but, being static, never freed.
ZelDone spare_done_record{};

void release(ZelRecord* record)
{
    if (record != &spare_done_record) zel_record_free(record);
}

const char* type_name(const ZelRecord* record)
{
    return zel_record_type_to_string(static_cast<ZelRecordType>(record->type));
}

bool is_image(const ZelRecord* record)
{
    switch (record->type) {
    case ZEL_IMAGE:
    case ZEL_COMPRESSED_IMAGE:
    case ZEL_IMAGE_BLOCKS:
    case ZEL_COMPRESSED_IMAGE_BLOCKS: return true;
    default: return false;
    }
}

// What a record weighs in the writer's queue: its data, or a small constant.
uint64_t weight(const ZelRecord* record)
{
    switch (record->type) {
    case ZEL_COMPRESSED_IMAGE:
    case ZEL_KEYFRAME: return reinterpret_cast<const ZelCompressedImage*>(record)->compressed_length;
    case ZEL_COMPRESSED_IMAGE_BLOCKS:
        return reinterpret_cast<const ZelCompressedImageBlocks*>(record)->compressed_length;
    case ZEL_COMPRESSED_CURSOR_IMAGE:
        return reinterpret_cast<const ZelCompressedCursorImage*>(record)->compressed_length;
    case ZEL_IMAGE: return reinterpret_cast<const ZelImage*>(record)->length;
    case ZEL_IMAGE_BLOCKS: return reinterpret_cast<const ZelImageBlocks*>(record)->length;
    case ZEL_COPY: return uint64_t{12} * reinterpret_cast<const ZelCopy*>(record)->count;
    default: return 64;
    }
}

void take_queued(uint64_t bytes)
{
    std::unique_lock<std::mutex> held(queued_lock);
    queued_taken.wait(held,
                      [bytes] { return queued_bytes == 0 || queued_bytes + bytes <= QUEUED_BYTES_MAX; });
    queued_bytes += bytes;
}

void give_queued(uint64_t bytes)
{
    {
        std::lock_guard<std::mutex> held(queued_lock);
        queued_bytes -= bytes;
    }
    queued_taken.notify_all();
}

// A start that failed after the file was created leaves nothing behind:
// the file goes, if this run made it and it is still that file.  An empty
// file the service made beforehand stays.
void remove_unstarted_recording()
{
    struct stat now {};
    if (started || !created_here || lstat(filename(), &now) != 0) return;
    if (now.st_dev == created.st_dev && now.st_ino == created.st_ino) unlink(filename());
}

[[noreturn]] void refuse_file(int e)
{
    switch (e) {
    case EEXIST: errx(1, "recording file %s exists and is not empty", filename());
    case ELOOP: errx(1, "recording file %s is a symbolic link", filename());
    case EINVAL: errx(1, "recording file %s is not a regular file", filename());
    default: errno = e, err(1, "cannot create recording file %s", filename());
    }
}

void use_signing_key()
{
    uint8_t key[ZEL_SECRET_KEY_BYTES];
    char message[512];
    if (zel_key_read_secret(sign_key(), key, message, sizeof message) != 0) errx(1, "%s", message);
    const int rc = zel_writer_set_signing_key(writer, key);
    std::memset(key, 0, sizeof key);
    if (rc != 0) errx(1, "secret key file %s holds no usable key", sign_key());
}

// The writer knows every byte it wrote: past the limit after an image
// record, the recording stops (what is in flight is still written).
void check_file_size()
{
    if (zel_writer_size(writer) <= MAX_FILE_SIZE) return;
    JOURNAL_INFO("the recording passed %llu bytes -> exiting",
                 static_cast<unsigned long long>(MAX_FILE_SIZE));
    stop_request(EndReason::SIZE_LIMIT);
}

// A seal a second after the start, then at least every SEAL_PERIOD_MS,
// idle or not: a live viewer sees the recording authentic from its start.
constexpr int64_t FIRST_SEAL_MS = 1000;
constexpr int64_t SEAL_PERIOD_MS = 10000;

void seal_if_due(int64_t& next_seal)
{
    if (time_monotonic_ms() < next_seal) return;
    if (zel_writer_seal(writer, time_in_us()) != 0)
        JOURNAL_ERROR("error while sealing file %s: %s", filename(), strerror(errno));
    next_seal = time_monotonic_ms() + SEAL_PERIOD_MS;
}

// Writes one record; after a failed write only the end-of-data record is
// still tried (with its final seal, the end may still fit).
void write_record(ZelRecord* record, size_t n, bool& failed)
{
    if (failed && record->type != ZEL_DONE) return;
    if (zel_record_write(writer, record) == 0) {
        if (is_image(record)) check_file_size();
        return;
    }
    if (!failed)
        JOURNAL_ERROR("error while writing record %zu type %s to file %s -> exiting", n, type_name(record),
                      filename());
    failed = true;
    exit_status = 1;
    stop_request(EndReason::WRITE_FAILED);
}

// Writes records until the end-of-data record, sealing on the way.  After a
// failed write the producers still send until they are stopped: their
// records are freed unwritten, so that nobody blocks on a full queue.
void writer_loop(PNC1Queue* q)
{
    int64_t next_seal = time_monotonic_ms() + FIRST_SEAL_MS;
    bool failed = false;
    for (size_t n = 0;;) {
        ZelRecord* record = nullptr;
        const int timeout = static_cast<int>(std::max<int64_t>(0, next_seal - time_monotonic_ms()));
        if (!pNc1_dequeue_within(q, &record, timeout)) {
            if (!failed) seal_if_due(next_seal);
            continue;
        }
        DEBUG("record %zu type '%s'", n, type_name(record));
        write_record(record, n++, failed);
        const bool done = record->type == ZEL_DONE;
        if (done) digest_ready = zel_writer_digest(writer, digest) == 0 && !failed;
        give_queued(weight(record));
        release(record);
        if (done) return;
        if (!failed) seal_if_due(next_seal);
    }
}

void* writer_function(void* arg)
{
    DEBUG("thread %0lx starting...", static_cast<unsigned long>(pthread_self()));
    auto* q = static_cast<PNC1Queue*>(arg);
    writer_loop(q);
    if (zel_writer_close(writer) == -1) {
        JOURNAL_ERROR("error while closing file %s", filename());
        digest_ready = false;
    }
    writer = nullptr;
    // Nothing is sent after the end-of-data record: the queue is no longer used.
    pNc1_destroy(q);
    DEBUG("thread %0lx exiting", static_cast<unsigned long>(pthread_self()));
    return nullptr;
}

} // namespace

void writer_open()
{
    struct stat before {};
    const bool existed = lstat(filename(), &before) == 0;
    writer = zel_writer_open(filename());
    if (writer == nullptr) refuse_file(errno);
    created_here = !existed && lstat(filename(), &created) == 0;
    if (created_here) atexit(remove_unstarted_recording);
    // the compressor, which keeps the screen anyway, writes the keyframes
    zel_writer_set_keyframe_interval(writer, 0);
    if (sign_key() != nullptr) use_signing_key();
    DEBUG("opened file %s", filename());
}

void writer_recording_started()
{
    started = true;
}

void writer_thread_start()
{
    exit_status = 0;
    queued_bytes = 0;
    queue = pNc1_create(4096, sizeof(ZelRecord*));
    if (queue == nullptr) err(1, "failed to create queue for the writer");
    thread = thread_start(writer_function, queue, "writer", "failed to start writer thread",
                          "failed to set name of writer thread");
    DEBUG("thread setup complete");
}

bool send_record_to_writer(RecordPtr record)
{
    if (!record) return false;
    if (queue == nullptr) {
        JOURNAL_ERROR("failed to enqueue record of type %s", type_name(record.get()));
        return false;
    }
    const uint64_t bytes = weight(record.get());
    take_queued(bytes);
    ZelRecord* raw = record.get();
    if (!pNc1_enqueue(queue, &raw)) {
        give_queued(bytes);
        JOURNAL_ERROR("failed to enqueue record of type %s", type_name(raw));
        return false;
    }
    (void)record.release(); // the writer's now
    return true;
}

void writer_thread_stop()
{
    if (pthread_equal(pthread_self(), thread))
        invariant_failed("should be stopped from another thread", __FILE__, __LINE__, __func__);
    ZelDone* done = zel_record_done();
    if (done == nullptr) done = &spare_done_record;
    done->type = ZEL_DONE;
    done->timestamp = time_in_us();
    const StopCause why = stop_cause();
    done->reason = static_cast<uint8_t>(why.reason);
    done->signal = why.signal;
    done->pid = why.pid;
    done->uid = why.uid;
    if (why.reason != EndReason::SIGNAL && why.reason != EndReason::STDIN_CLOSED)
        JOURNAL_ERROR("the recording ends: %s", end_reason_name(why.reason));
    take_queued(weight(done));
    ZelRecord* raw = done;
    if (!pNc1_enqueue(queue, &raw)) {
        JOURNAL_ERROR("failed to enqueue end of data record for the writer");
        give_queued(weight(done));
        release(done);
    }
    (void)thread_join(thread, "writer");
    queue = nullptr; // the thread destroyed it as its last act
}

void writer_print_digest()
{
    if (!digest_ready) return;
    char line[32 + 2 * ZEL_DIGEST_BYTES] = "##recordingDigest sha256:";
    for (uint8_t b : digest) std::snprintf(line + std::strlen(line), 3, "%02x", b);
    console_announce(line);
    console_drain(std::chrono::milliseconds(1000));
}

int writer_exit_status()
{
    return exit_status;
}

void send_footer_item(ZelRecordType type, const char* item)
{
    auto record = new_record<ZelFooterItem>(type, time_in_us());
    if (record) record->item = reinterpret_cast<uint8_t*>(strdup(item));
    if (!record || !record->item) {
        JOURNAL_ERROR("failed to allocate ZelFooterItem record -> exiting");
        stop_request(EndReason::UNSPECIFIED);
        return;
    }
    (void)send_to_writer(std::move(record)); // a refusal is journaled
}
