// Payload codecs: the fields of one record type in both directions, chosen
// from one table by the type code.  Shared by the reader, the writer and the
// record helpers (free, names).
#pragma once

#include <cstdlib>
#include <cstring>
#include <vector>

#include "zel_internal.h"

namespace zel {

inline constexpr uint32_t null_string = 0xFFFFFFFFu; // also the count of a null bytes field

// Reads the fields of one payload; any read past the end clears ok.
class Decoder {
  public:
    // version: of the file the payload comes from (the end-of-data record's
    // payload depends on it).
    Decoder(const uint8_t* p, size_t n, unsigned version = ZEL_FORMAT_VERSION)
        : p_(p), n_(n), version_(version)
    {
    }
    unsigned version() const { return version_; }
    bool ok() const { return ok_; }
    bool at_end() const { return at_ == n_; }
    size_t left() const { return n_ - at_; }
    const char* why() const { return why_; }
    bool no_memory() const { return no_memory_; }
    void fail(const char* why)
    {
        if (ok_) why_ = why;
        ok_ = false;
    }
    void out_of_memory()
    {
        fail("out of memory");
        no_memory_ = true;
    }
    // Fails with why unless cond holds (and nothing failed before).
    void require(bool cond, const char* why)
    {
        if (ok_ && !cond) fail(why);
    }
    const uint8_t* take(size_t k);
    uint8_t u8();
    uint16_t u16();
    int16_t i16() { return static_cast<int16_t>(u16()); }
    uint32_t u32();
    int32_t i32() { return static_cast<int32_t>(u32()); }
    uint64_t u64();
    PixelFormat format();
    void bytes(uint8_t* out, size_t n); // exactly n bytes into out
    uint8_t* copy(size_t n);            // a malloc'ed copy (nullptr for n == 0)
    uint8_t* string();                  // NUL-terminated copy, nullptr for null
    ZelBytes field();                   // a bytes field (at most ZEL_MAX_BYTES)
    // The compression method byte, the two lengths, and a check that the
    // compressed data is the rest of the payload.
    void compressed(uint32_t* length, uint32_t* compressed_length, uint8_t** data);

  private:
    const uint8_t* p_;
    size_t n_;
    unsigned version_;
    size_t at_ = 0;
    bool ok_ = true;
    bool no_memory_ = false;
    const char* why_ = "";
};

// Appends the fields of one payload (little-endian).
class Encoder {
  public:
    explicit Encoder(std::vector<uint8_t>& out) : out_(out) {}
    void u8(uint8_t v) { out_.push_back(v); }
    void u16(uint16_t v);
    void i16(int16_t v) { u16(static_cast<uint16_t>(v)); }
    void u32(uint32_t v);
    void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
    void u64(uint64_t v);
    void bytes(const void* p, size_t n);
    void string(const uint8_t* s);
    bool field(const ZelBytes& b); // false when longer than ZEL_MAX_BYTES

  private:
    std::vector<uint8_t>& out_;
};

// What the library knows about one record type.
struct RecordKind {
    const char* name;
    unsigned since_version; // first format version that has it; 0: never in a file
    size_t size;            // of its structure
    // Fills a zeroed structure from the payload; failures are left in d.
    void (*decode)(Decoder& d, ZelRecord* out);
    // Appends the payload; false for a record that cannot be stored.
    bool (*encode)(const ZelRecord* in, Encoder& e);
    // Frees what the structure's pointer fields own.
    void (*release)(ZelRecord* r);
};

// The kind of a type code; nullptr for codes no version knows.
const RecordKind* kind_of(uint8_t type);

// Decodes one payload into a new record of that type; nullptr with d's
// reason on failure.
ZelRecord* decode_record(const RecordKind& kind, uint8_t type, uint64_t timestamp, Decoder& d);

} // namespace zel
