// zeldump --serve s3://BUCKET/PREFIX: shipped recordings served as if they
// were files, read by ranges through their manifests (zelstore).  Each is
// opened once and kept: its size comes from the manifests (new ones asked
// for at most once a second while it grows).  The credentials sign requests
// to the store from this process only; nothing of them reaches a browser.
#include <cerrno>
#include <cstdio>
#include <map>
#include <mutex>

#include "serve-catalog.h"
#include "zeldump/store.h"

namespace serve {
namespace {

class StoreServed final : public Served {
  public:
    explicit StoreServed(std::shared_ptr<zelship::StoreRecording> recording)
        : recording_(std::move(recording))
    {
    }
    uint64_t size() override { return recording_->current_size(); }
    int64_t read_at(uint64_t offset, void* buf, size_t n) override
    {
        return recording_->read_at(offset, {static_cast<uint8_t*>(buf), n});
    }
    bool being_written() override { return recording_->growing(); }
    std::string version() override
    {
        return std::to_string(recording_->size()) + (recording_->growing() ? " growing" : "");
    }
    ZelReader* open_reader() override
    {
        ZelSource source = recording_->zel_source();
        ZelReader* reader = zel_reader_open_source(&source);
        if (reader == nullptr) source.close(source.context);
        return reader;
    }
    std::string store_problem() override
    {
        const auto& problems = recording_->problems();
        return problems.empty() ? "" : problems.front();
    }

  private:
    std::shared_ptr<zelship::StoreRecording> recording_;
};

class StoreCatalog final : public Catalog {
  public:
    explicit StoreCatalog(std::unique_ptr<zelship::StoreFolder> folder) : folder_(std::move(folder)) {}

    // Whether the prefix is one recording or a folder of them; false with a message.
    bool open(std::string& error)
    {
        bool itself = false;
        std::vector<std::string> names;
        if (const zelship::Response r = folder_->list(itself, names); !r.ok())
            return error = "cannot read " + folder_->location().url() + ": " + r.describe(), false;
        if (!itself) return true;
        const std::string& prefix = folder_->location().prefix;
        single_ = prefix.substr(prefix.rfind('/') + 1);
        return true;
    }
    bool is_dir() const override { return single_.empty(); }
    const std::string& single() const override { return single_; }
    std::vector<std::string> names() const override
    {
        if (!is_dir()) return {single_};
        bool itself = false;
        std::vector<std::string> names;
        if (const zelship::Response r = folder_->list(itself, names); !r.ok())
            std::fprintf(stderr, "zeldump: --serve: cannot list %s: %s\n", folder_->location().url().c_str(),
                         r.describe().c_str());
        return names; // sorted by the store
    }
    int open_recording(const std::string& name, std::shared_ptr<Served>& out) const override
    {
        if (!is_dir() && name != single_) return 404;
        std::lock_guard lock(mutex_);
        auto& recording = opened_[name];
        if (!recording) {
            std::string error;
            recording = is_dir() ? folder_->open(name, error) : folder_->open_itself(error);
            if (!recording) {
                opened_.erase(name); // asked again next time: it may be shipped by then
                std::fprintf(stderr, "zeldump: --serve: %s\n", error.c_str());
                return 404;
            }
            recording->on_failure([url = recording->location().url()](const std::string& why) {
                std::fprintf(stderr, "zeldump: --serve: %s: %s\n", url.c_str(), why.c_str());
            });
        }
        out = std::make_shared<StoreServed>(recording);
        return 0;
    }

  private:
    std::unique_ptr<zelship::StoreFolder> folder_;
    std::string single_; // the prefix's last part when it is itself a recording
    mutable std::mutex mutex_;
    mutable std::map<std::string, std::shared_ptr<zelship::StoreRecording>> opened_;
};

} // namespace

std::unique_ptr<Catalog> open_store_catalog(const std::string& url, const std::string& endpoint,
                                            const std::string& region, std::string& error)
{
    if (endpoint.empty()) return error = "an s3://BUCKET/PREFIX recording needs --endpoint URL", nullptr;
    auto folder = zeldump::open_store_folder(url, endpoint, region, error);
    if (!folder) return nullptr;
    auto catalog = std::make_unique<StoreCatalog>(std::move(folder));
    if (!catalog->open(error)) return nullptr;
    return catalog;
}

} // namespace serve
