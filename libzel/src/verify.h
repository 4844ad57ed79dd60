// The hash chain and seals shared by the writer (which makes seals) and the
// verifier (which the reader feeds with every byte it reads).
#pragma once

#include <sodium.h>

#include "zel_internal.h"

namespace zel {

// The signed message of a seal: "ZEL-SEAL", u16 format version, u64 first
// header time, (version 3: u64 the seal frame's timestamp,) u64 offset,
// chain, u8 seal flags.  Returns its size: 59 bytes, 67 in version 3.
inline constexpr size_t seal_message_max = 67;

size_t seal_message(uint8_t out[seal_message_max], unsigned version, uint64_t header_time,
                    const ZelSeal& seal);

// SHA-256 of what the state has seen so far; the state goes on unchanged.
void digest_so_far(const crypto_hash_sha256_state& state, uint8_t out[ZEL_DIGEST_BYTES]);

// libsodium's one-time set-up; false when it cannot run (errno ENOSYS).
bool crypto_ready();

// What the reader tells an attached verifier.
void verifier_file_head(ZelVerifier* v, const uint8_t* head, size_t size, unsigned version);
void verifier_frame(ZelVerifier* v, uint64_t offset, const uint8_t* frame, size_t size,
                    const ZelRecord* record);
void verifier_status(ZelVerifier* v, ZelReadStatus status, uint64_t offset, const char* problem);
// The reader found no intact frame in [from, to) and reads on at `to`.
void verifier_damage(ZelVerifier* v, uint64_t from, uint64_t to);

} // namespace zel
