// The record writer thread: the one place where records reach the file.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "zel.h"

inline constexpr uint64_t MAX_FILE_SIZE = 262144000; // 250 MiB
// Bytes of records that may wait for the writer (a larger record waits until
// the queue is empty): past the size limit, at most this much and the frame
// in the compressor's hands is still written.
inline constexpr uint64_t QUEUED_BYTES_MAX = 8u << 20;

// Opens the recording file (and reads the signing key, when one is given)
// on the main thread, before anything is recorded; every refusal ends the
// process with status 1 and one line on standard error.  Until
// writer_recording_started, a start that fails removes the file again.
void writer_open();
void writer_recording_started();
void writer_thread_start();
void writer_thread_stop();
// A record of libzel's structures, owned: freed with everything it points to.
struct RecordFree {
    void operator()(void* record) const noexcept { zel_record_free(record); }
};
template <typename T>
using Owned = std::unique_ptr<T, RecordFree>;
using RecordPtr = Owned<ZelRecord>;

// A new zeroed record of the structure T with its type and time set; null
// without memory.
template <typename T>
Owned<T> new_record(ZelRecordType type, uint64_t timestamp)
{
    Owned<T> record(static_cast<T*>(std::calloc(1, sizeof(T))));
    if (record) {
        record->type = static_cast<uint8_t>(type);
        record->timestamp = timestamp;
    }
    return record;
}

// Hands the record to the writer thread; false when it could not be queued
// (the record is then freed and the refusal journaled).
[[nodiscard]] bool send_record_to_writer(RecordPtr record);
template <typename T>
[[nodiscard]] bool send_to_writer(Owned<T> record)
{
    // every record structure starts with the fields of ZelRecord
    return send_record_to_writer(RecordPtr(reinterpret_cast<ZelRecord*>(record.release())));
}
// A footer item (copied); a failure is journaled (and without memory the
// recording stops).
void send_footer_item(ZelRecordType type, const char* item);
// After an orderly end: "##recordingDigest sha256:HEX" on standard output.
void writer_print_digest();
// Process exit status the recording asks for: 0, or 1 when the file could
// not be written.
int writer_exit_status();
