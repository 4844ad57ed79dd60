// The record writer thread: writes records through libzel in the order it
// receives them, frees them, and stops the recording when the file grows
// past its limit.
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
#include "frontend.h"
#include "queue.h"
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
// The file this run created, identified, until the recording has started.
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
ZelRecord spare_done_record = {ZEL_DONE, 0};

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
// the file goes, if it is still the one this run made.
void remove_unstarted_recording()
{
    struct stat now {};
    if (started || lstat(filename(), &now) != 0) return;
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

ZelRecord* dequeue_record(PNC1Queue* q, const char* function)
{
    ZelRecord* record = nullptr;
    while (!pNc1_dequeue(q, &record))
        JOURNAL_AS(function, LOG_ERR, "error while dequeuing from the writer queue");
    if (record == nullptr)
        invariant_failed("the dequeued pointer should not be NULL", __FILE__, __LINE__, function);
    return record;
}

// The writer knows every byte it wrote: past the limit after an image
// record, the recording stops (what is in flight is still written).
void check_file_size()
{
    const uint64_t size = zel_writer_size(writer);
    if (size <= MAX_FILE_SIZE) return;
    DEBUG("file larger than %llu -> exiting", static_cast<unsigned long long>(MAX_FILE_SIZE));
    frontend_stop();
}

void give_up_recording()
{
    exit_status = 1;
    frontend_stop();
}

// Writes records until the end-of-data record or a failed write; returns
// whether the end-of-data record was seen.
bool writer_loop(PNC1Queue* q)
{
    for (size_t n = 0;; n++) {
        ZelRecord* record = dequeue_record(q, __func__);
        DEBUG("record %zu type '%s'", n, type_name(record));
        const bool failed = zel_record_write(writer, record) == -1;
        if (failed) {
            JOURNAL_ERROR("error while writing record %zu type %s to file %s -> exiting", n,
                          type_name(record), filename());
            give_up_recording();
        }
        const bool done = record->type == ZEL_DONE;
        if (done && !failed) digest_ready = zel_writer_digest(writer, digest) == 0;
        if (is_image(record)) check_file_size();
        give_queued(weight(record));
        release(record);
        if (done || failed) return done;
    }
}

// After a failed write the producers still send until they are stopped:
// their records are freed unwritten, so that nobody blocks on a full queue,
// until the end-of-data record says that nothing more can come.
void discard_late_records(PNC1Queue* q)
{
    for (bool done = false; !done;) {
        ZelRecord* record = dequeue_record(q, __func__);
        done = record->type == ZEL_DONE;
        give_queued(weight(record));
        release(record);
    }
}

void* writer_function(void* arg)
{
    DEBUG("thread %0lx starting...", static_cast<unsigned long>(pthread_self()));
    auto* q = static_cast<PNC1Queue*>(arg);
    const bool done = writer_loop(q);
    if (zel_writer_close(writer) == -1) {
        JOURNAL_ERROR("error while closing file %s", filename());
        digest_ready = false;
    }
    writer = nullptr;
    if (!done) discard_late_records(q);
    // Nothing is sent after the end-of-data record: the queue is no longer used.
    pNc1_destroy(q);
    DEBUG("thread %0lx exiting", static_cast<unsigned long>(pthread_self()));
    return nullptr;
}

} // namespace

void writer_open()
{
    writer = zel_writer_open(filename());
    if (writer == nullptr) refuse_file(errno);
    if (lstat(filename(), &created) == 0) atexit(remove_unstarted_recording);
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
    ZelRecord* done = zel_record_done();
    if (done == nullptr) done = &spare_done_record;
    done->timestamp = time_in_us();
    take_queued(weight(done));
    if (!pNc1_enqueue(queue, &done)) {
        JOURNAL_ERROR("failed to enqueue end of data record for the writer");
        give_queued(weight(done));
        release(done);
    }
    const int rc = pthread_join(thread, nullptr);
    queue = nullptr; // the thread destroyed it as its last act
    if (rc != 0) {
        JOURNAL_ERROR("failed to join writer thread: %s", strerror(rc));
        return;
    }
    DEBUG("collected writer thread");
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
