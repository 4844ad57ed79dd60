// zeldump --serve: what it serves, from files or from object storage.
#ifndef ZELDUMP_SERVE_CATALOG_H
#define ZELDUMP_SERVE_CATALOG_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "zel.h"

namespace serve {

// One recording, opened for a request: safe to use from several threads.
class Served {
  public:
    virtual ~Served() = default;
    // Bytes now (a recording that grows: what is there now).
    virtual uint64_t size() = 0;
    // Up to n bytes at offset (0 at the end); -1 with errno when they cannot be read.
    virtual int64_t read_at(uint64_t offset, void* buf, size_t n) = 0;
    // Whether the recording may still grow (the recorder holds the file, or
    // its end is not shipped yet): the player's live state.
    virtual bool being_written() = 0;
    // Changes whenever the bytes may have: facts read are kept while it stays.
    virtual std::string version() = 0;
    // A new reader of the bytes, for the facts of the index; null with errno.
    virtual ZelReader* open_reader() = 0;
    // Why it is not authentic from where it is kept ("" for a file: nothing
    // beyond its bytes).
    virtual std::string store_problem() { return ""; }
};

// What FILE_OR_DIR or s3://BUCKET/PREFIX names: one recording, or a folder of them.
class Catalog {
  public:
    virtual ~Catalog() = default;
    virtual bool is_dir() const = 0;
    // The one recording's name (not a folder).
    virtual const std::string& single() const = 0;
    // The recordings' names, sorted.
    virtual std::vector<std::string> names() const = 0;
    // 0 and the recording for a name from a URL, or 403 / 404.
    virtual int open_recording(const std::string& name, std::shared_ptr<Served>& out) const = 0;
    // Every hit of the query (zeldump --search's JSON), or nothing where the
    // recordings cannot be searched (in object storage).
    virtual std::optional<std::string> search(const std::string&) const { return std::nullopt; }
};

// A file or a directory of .zel files; null with a message in error.
std::unique_ptr<Catalog> open_file_catalog(const std::string& path, std::string& error);
// A shipped recording, or the shipped recordings right under the prefix, at
// this endpoint with the environment's credentials (which stay in this
// process); null with a message in error.
std::unique_ptr<Catalog> open_store_catalog(const std::string& url, const std::string& endpoint,
                                            const std::string& region, std::string& error);

} // namespace serve

#endif
