// Finding content that moved vertically, by row hashes.
#include "scroll.h"

#include <xxhash.h>

#include <unordered_map>
#include <vector>

namespace {

constexpr uint16_t MIN_ROWS = 16; // shorter runs are left to blocks
constexpr size_t COMMON = 16;     // rows more common than this (blank ones) cast no vote
constexpr size_t MIN_VOTES = 4;

std::vector<uint64_t> row_hashes(const uint8_t* rows, size_t stride, size_t row_bytes, uint16_t n)
{
    std::vector<uint64_t> h(n);
    for (uint16_t i = 0; i < n; ++i) h[i] = XXH3_64bits(rows + i * stride, row_bytes);
    return h;
}

// The shift (old row minus new row) that most rows vote for.  Content that
// repeats (identical lines) votes for several shifts, each as good as the
// other for a copy; the smallest wins.
int best_shift(const std::vector<uint64_t>& old_h, const std::vector<uint64_t>& new_h, size_t* votes_out)
{
    std::unordered_map<uint64_t, std::vector<uint16_t>> where;
    for (uint16_t j = 0; j < old_h.size(); ++j) where[old_h[j]].push_back(j);
    const int n = static_cast<int>(new_h.size());
    std::vector<size_t> votes(2 * static_cast<size_t>(n), 0);
    for (int i = 0; i < n; ++i) {
        auto it = where.find(new_h[i]);
        if (it == where.end() || it->second.size() > COMMON) continue;
        for (uint16_t j : it->second)
            if (j != i) ++votes[static_cast<size_t>(j - i + n)];
    }
    size_t best = 0;
    int shift = 0;
    for (int d = 1; d < n; ++d) // the smaller shift wins a tie
        for (int s : {d, -d})
            if (votes[static_cast<size_t>(s + n)] > best) best = votes[static_cast<size_t>(s + n)], shift = s;
    *votes_out = best;
    return shift;
}

} // namespace

Scroll find_scroll(const uint8_t* old_rows, size_t old_stride, const uint8_t* new_rows, size_t new_stride,
                   size_t row_bytes, uint16_t rows)
{
    if (rows < MIN_ROWS) return {};
    const std::vector<uint64_t> old_h = row_hashes(old_rows, old_stride, row_bytes, rows);
    const std::vector<uint64_t> new_h = row_hashes(new_rows, new_stride, row_bytes, rows);
    size_t votes = 0;
    const int shift = best_shift(old_h, new_h, &votes);
    if (votes < MIN_VOTES) return {};
    // content that repeats may match shifted as well as it matches in place:
    // then nothing moved
    size_t in_place = 0, shifted = 0;
    for (int i = 0; i < rows; ++i) {
        in_place += new_h[static_cast<size_t>(i)] == old_h[static_cast<size_t>(i)];
        const int j = i + shift;
        shifted += j >= 0 && j < rows && new_h[static_cast<size_t>(i)] == old_h[static_cast<size_t>(j)];
    }
    if (shifted <= in_place) return {};
    Scroll best;
    for (int i = 0, run = 0; i <= rows; ++i) {
        const int j = i + shift;
        const bool match =
            i < rows && j >= 0 && j < rows && new_h[static_cast<size_t>(i)] == old_h[static_cast<size_t>(j)];
        if (match) {
            ++run;
            continue;
        }
        if (run > best.rows)
            best = {true, static_cast<uint16_t>(i - run + shift), static_cast<uint16_t>(i - run),
                    static_cast<uint16_t>(run)};
        run = 0;
    }
    if (best.rows < MIN_ROWS) return {};
    return best;
}
