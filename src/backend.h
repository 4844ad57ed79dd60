// The record writer thread: the one place where records reach the file.
#pragma once

#include <cstdint>

inline constexpr uint64_t MAX_FILE_SIZE = 262144000; // 250 MiB
// Bytes of records that may wait for the writer (a larger record waits until
// the queue is empty): past the size limit, at most this much and the frame
// in the compressor's hands is still written.
inline constexpr uint64_t QUEUED_BYTES_MAX = 8u << 20;

// Opens the recording file (and reads the signing key, when one is given)
// on the main thread, before anything is recorded; every refusal ends the
// process with status 1 and one line on standard error.  Until
// backend_recording_started, a start that fails removes the file again.
void backend_open();
void backend_recording_started();
void backend_thread_start();
void backend_thread_stop();
// p is the address of a record pointer; on true the writer owns the record.
[[nodiscard]] bool send_to_backend(void* p);
// After an orderly end: "##recordingDigest sha256:HEX" on standard output.
void backend_print_digest();
// Process exit status the recording asks for: 0, or 1 when the file could
// not be written.
int backend_exit_status();
