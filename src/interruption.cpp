// Gaps in the recording.
#include "interruption.h"

#include <cstdlib>
#include <cstring>

#include "debugging.h"
#include "timer.h"
#include "writer.h"

namespace {

const char* cause_name(uint8_t cause)
{
    switch (cause) {
    case ZEL_GAP_CONNECTION_LOST: return "connection-lost";
    case ZEL_GAP_INPUT_LOST: return "input-lost";
    case ZEL_GAP_RESOURCE_LOST: return "resource-lost";
    case ZEL_GAP_MANAGER_CHANGED: return "manager-changed";
    default: return "unknown";
    }
}

} // namespace

void record_interruption(uint64_t from, uint8_t cause, const std::string& detail)
{
    const uint64_t now = time_in_us();
    JOURNAL_ERROR("recording interrupted (%s) for %.3f s: %s", cause_name(cause),
                  static_cast<double>(now - std::min(from, now)) / 1e6, detail.c_str());
    auto record = new_record<ZelInterruption>(ZEL_INTERRUPTION, now);
    if (!record) return;
    record->from = std::min(from, now);
    record->cause = cause;
    const size_t n = std::min<size_t>(detail.size(), ZEL_MAX_BYTES);
    record->detail.data = static_cast<uint8_t*>(std::malloc(n > 0 ? n : 1));
    if (!record->detail.data) return;
    std::memcpy(record->detail.data, detail.data(), n);
    record->detail.length = static_cast<uint32_t>(n);
    (void)send_to_writer(std::move(record)); // a refusal is journaled by the writer
}
