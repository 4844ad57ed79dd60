// The record writer thread: the one place where records reach the file.
#pragma once

#include <sys/types.h>

inline constexpr off_t MAX_FILE_SIZE = 262144000; // 250 MiB

void backend_thread_start();
void backend_thread_stop();
// p is the address of a record pointer; on true the writer owns the record.
[[nodiscard]] bool send_to_backend(void* p);
void* backend_function(void* arg);
// Process exit status the recording asks for: 0, or 1 when the file could
// not be opened or written.
int backend_exit_status();
