// zeldump: recordings in object storage, s3://BUCKET/PREFIX as zelship
// shipped them, read by ranges through their manifests as if they were the
// file (--endpoint URL, --region R; credentials as zelship takes them).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "recording.h"
#include "zeldump.h"

namespace zeldump {

bool is_store_url(const std::string& name);
// -1 when the store options go with the recording, else the exit status
// (after a message).
int check_store_options(const Options& o);
// The shipped recording o.file, opened once (the store's problems warned
// about on standard error); null after a message when it cannot be opened.
std::shared_ptr<zelship::StoreRecording> open_store_recording(const Options& o);
// A reader of it; null after a message.
Reader open_store_reader(const Options& o);
// The verification of a shipped recording: what libzel checks in a file and
// what the store must hold (see tools/zelship/verify.h); false after a
// message when the store cannot be read or holds no recording there.
bool verify_store(const Options& o, const uint8_t* public_key, Verified& out);
// SHA-256 of the first size bytes of the shipped recording as lower-case
// hex; "" after a message.
std::string store_digest(const Options& o, uint64_t size);

// For --serve: the store at url (its prefix a shipped recording, or a folder
// of them) at this endpoint, with the credentials of the environment; null
// with one line in `error`.
std::unique_ptr<zelship::StoreFolder> open_store_folder(const std::string& url, const std::string& endpoint,
                                                        const std::string& region, std::string& error);

} // namespace zeldump
