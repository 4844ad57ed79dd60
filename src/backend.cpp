// The record writer thread: writes records through libzel in the order it
// receives them, frees them, and stops the recording when the file grows
// past its limit.
#include "backend.h"

#include <err.h>
#include <pthread.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "args.h"
#include "debugging.h"
#include "frontend.h"
#include "queue.h"
#include "timer.h"
#include "zel.h"

static PNC1Queue* queue;
static pthread_t thread;
// Only the writer thread touches it; 0 so that the first image record checks.
static uint64_t time_of_next_file_size_check;
// 1 once the file could not be opened or written.
static std::atomic<int> exit_status;

// Stands in for the end-of-data record when the library cannot make one:
// it is written like any other but, being static, never freed.
static ZelRecord spare_done_record = {ZEL_DONE, 0};

static void release(ZelRecord* record)
{
    if (record != &spare_done_record) zel_record_free(record);
}

static const char* type_name(const ZelRecord* record)
{
    return zel_record_type_to_string(static_cast<ZelRecordType>(record->type));
}

static bool is_image(const ZelRecord* record)
{
    switch (record->type) {
    case ZEL_IMAGE:
    case ZEL_COMPRESSED_IMAGE:
    case ZEL_IMAGE_BLOCKS:
    case ZEL_COMPRESSED_IMAGE_BLOCKS: return true;
    default: return false;
    }
}

static ZelRecord* dequeue_record(PNC1Queue* q, const char* function)
{
    ZelRecord* record = nullptr;
    while (!pNc1_dequeue(q, &record))
        JOURNAL_AS(function, LOG_ERR, "error while dequeuing from backend queue");
    if (record == nullptr)
        invariant_failed("the dequeued pointer should not be NULL", __FILE__, __LINE__, function);
    return record;
}

static uint64_t time_of_next_check(uint64_t now, off_t size)
{
    if (size < MAX_FILE_SIZE / 3) return now + 5000000;     // below 87,381,333 bytes
    if (size < MAX_FILE_SIZE / 3 * 2) return now + 2000000; // below 174,762,666 bytes
    return now + 1000000;
}

static void check_file_size()
{
    uint64_t now = time_in_us();
    if (now < time_of_next_file_size_check) return;

    struct stat st {};
    if (stat(filename(), &st) != 0) {
        JOURNAL_ERROR("failed to determine file size");
        return;
    }
    DEBUG("file size=%zu", static_cast<size_t>(st.st_size));
    if (st.st_size > MAX_FILE_SIZE) {
        DEBUG("file larger than %zu -> exiting", static_cast<size_t>(MAX_FILE_SIZE));
        frontend_stop();
    }
    time_of_next_file_size_check = time_of_next_check(now, st.st_size);
}

// The recording cannot go on: end it with a failure status.
static void give_up_recording()
{
    exit_status = 1;
    frontend_stop();
}

// Writes records until the end-of-data record or a failed write; returns
// whether the end-of-data record was seen.
static bool backend_loop(PNC1Queue* q, ZelWriter* writer)
{
    size_t n = 0;
    for (;;) {
        ZelRecord* record = dequeue_record(q, __func__);
        DEBUG("record %zu type '%s'", n, type_name(record));

        bool failed = zel_record_write(writer, record) == -1;
        if (failed) {
            JOURNAL_ERROR("error while writing record %zu type %s to file %s -> exiting", n,
                          type_name(record), filename());
            give_up_recording();
        }
        if (record->type == ZEL_DONE) {
            release(record);
            return true;
        }
        if (is_image(record)) check_file_size();
        release(record);
        n++;
        if (failed) return false;
    }
}

// After a failed write the producers still send until they are stopped:
// their records are freed unwritten, so that nobody blocks on a full queue,
// until the end-of-data record says that nothing more can come.
static void discard_late_records(PNC1Queue* q)
{
    for (;;) {
        ZelRecord* record = dequeue_record(q, __func__);
        bool done = record->type == ZEL_DONE;
        release(record);
        if (done) return;
    }
}

void* backend_function(void* arg)
{
    DEBUG("thread %0lx starting...", static_cast<unsigned long>(pthread_self()));
    auto* q = static_cast<PNC1Queue*>(arg);
    if (q == nullptr) errx(1, "%s: no valid queue provided", __func__);

    ZelWriter* writer = zel_writer_open(filename());
    if (writer == nullptr) {
        JOURNAL_ERROR("failed to open file %s", filename());
        give_up_recording();
        // The first write fails on the missing writer and ends the loop.
    } else {
        DEBUG("opened file %s", filename());
    }
    DEBUG("entering...");

    bool done = backend_loop(q, writer);

    DEBUG("exiting");
    if (zel_writer_close(writer) == -1)
        JOURNAL_ERROR("error while closing file %s", filename());
    else
        DEBUG("closed file %s", filename());

    if (!done) discard_late_records(q);

    // Nothing is sent after the end-of-data record: the queue is no longer used.
    pNc1_destroy(q);
    DEBUG("thread %0lx exiting", static_cast<unsigned long>(pthread_self()));
    return nullptr;
}

void backend_thread_start()
{
    time_of_next_file_size_check = 0;
    exit_status = 0;

    queue = pNc1_create(4096, sizeof(ZelRecord*));
    if (queue == nullptr) err(1, "failed to create queue for backend");
    int rc = pthread_create(&thread, nullptr, backend_function, queue);
    if (rc != 0) {
        errno = rc;
        err(1, "failed to start backend thread");
    }
    rc = pthread_setname_np(thread, "backend");
    if (rc != 0) {
        errno = rc;
        err(1, "failed to set name of backend thread");
    }
    DEBUG("thread setup complete");
}

bool send_to_backend(void* p)
{
    ZelRecord* record = *static_cast<ZelRecord**>(p);
    if (queue == nullptr || !pNc1_enqueue(queue, p)) {
        JOURNAL_ERROR("failed to enqueue record of type %s", type_name(record));
        return false;
    }
    return true;
}

void backend_thread_stop()
{
    if (pthread_equal(pthread_self(), thread))
        invariant_failed("should be stopped from another thread", __FILE__, __LINE__, __func__);

    ZelRecord* done = zel_record_done();
    if (done == nullptr) done = &spare_done_record;
    done->timestamp = time_in_us();
    if (!pNc1_enqueue(queue, &done)) {
        JOURNAL_ERROR("failed to enqueue end of data record for backend");
        release(done);
    }

    int rc = pthread_join(thread, nullptr);
    // The thread destroyed the queue as its last act.
    queue = nullptr;
    if (rc != 0) {
        JOURNAL_ERROR("failed to join backend thread: %s", strerror(rc));
        return;
    }
    DEBUG("collected backend thread");
}

int backend_exit_status()
{
    return exit_status;
}
